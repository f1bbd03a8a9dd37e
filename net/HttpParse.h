#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Reading an HTTP response header as plain functions over bytes: the line buffer, the status
// line, header fields and the numbers in them.

// A response header line longer than this cannot be taken.
constexpr std::size_t kHttpLineLimit = 8192;
// A response header may hold at most this many lines and bytes; a peer that sends more is
// refused rather than followed without end.
constexpr int kHttpMaxHeaderLines = 100;
constexpr std::size_t kHttpMaxHeaderBytes = 65536;

// Collects received bytes and hands out complete lines (LF or CR LF ended).
class THttpLineBuffer {
public:
    // Free space behind the buffered bytes; Commit tells how much of it was filled.
    char* Space() noexcept;
    std::size_t Room() const noexcept { return kHttpLineLimit - count_; }
    void Commit(std::size_t count) noexcept { count_ += count; }

    // The first complete line, without its line end, and the bytes it takes with the end;
    // false when no complete line is buffered. The view lasts until the next change.
    bool PeekLine(std::string_view& line, std::size_t& taken) const noexcept;
    void Consume(std::size_t count) noexcept;
    std::string_view Pending() const noexcept { return {data_ + start_, count_}; }
    void Clear() noexcept { start_ = count_ = 0; }
    // Full without a line end: the line is too long to take.
    bool Full() const noexcept { return count_ >= kHttpLineLimit; }

private:
    char data_[kHttpLineLimit];
    std::size_t start_ = 0;
    std::size_t count_ = 0;
};

enum class THttpStatusLine { NotStatus, Status, Malformed };

// A line that starts with "HTTP/1.0" or "HTTP/1.1" is the status line: three digits follow
// after one separator, then the reason phrase after another. Malformed when the digits are not
// there; NotStatus for any other line (another version is not recognised).
THttpStatusLine ParseStatusLine(std::string_view Line, int& Code, std::string& Reason);

// Splits "Name: value": Name lower-cased, Value past the spaces after the colon (the last byte
// of the line always stays). False when the line has no colon.
bool SplitHeaderField(std::string_view Line, std::string& Name, std::string_view& Value);

// A decimal byte count, spaces around allowed; false for anything else, a sign included, or a
// number too large to be a real length.
bool ParseContentLength(std::string_view Value, std::int64_t& Length);

// "bytes 0-99/200" gives "0" and "99".
void ParseContentRange(std::string_view Value, std::string& Begin, std::string& End);

// True when the first six bytes of Line, upper-cased, are "<HTML>": a server that answers
// with the document alone, without a status line or header.
bool IsBareHtml(std::string_view Line) noexcept;
