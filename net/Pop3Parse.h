#pragma once

#include "ui/SysUtils.h"

#include <cstddef>
#include <string>
#include <string_view>

// Plain helpers over the bytes of POP3 replies (RFC 1939), used by TCustomPop3Cli and testable
// without a socket.

// A status line is positive when it begins with "+"; nothing else of it is examined, so "+" alone
// is positive and an empty line is not.
bool Pop3IsPositive(std::string_view line) noexcept;

// Largest value a reply number can take. A run of digits whose value does not fit a signed
// 32-bit integer saturates here instead of wrapping, so a hostile "+OK 99999999999 1" can never
// turn into a negative or small count.
constexpr int kPop3NumberMax = 2147483647;

// Value of the run of decimal digits at the start of text (0 when it does not start with one);
// digits tells how many characters the run has.
int Pop3ParseDigits(std::string_view text, std::size_t& digits) noexcept;

// Two numbers of STAT, LIST n, each LIST line and LAST: the first run of digits and the one after
// it (separated by spaces, tabs, CR or LF). When the text ends after the first run, or has no
// digit at all, both are 0. "+OK 2 320" gives 2 and 320; "+OK 2" gives 0 and 0.
void Pop3TwoNumbers(std::string_view text, int& first, int& second) noexcept;

// Number and unique identifier of UIDL n and each UIDL line: the first run of digits, then after
// spaces the printable characters (codes 33 to 126) up to the first other one.
// "+OK 4 x9Kq2" gives 4 and "x9Kq2"; no digit gives 0 and empty.
void Pop3NumberAndId(std::string_view text, int& number, std::string& id);

// The greeting's time-stamp for APOP (RFC 1939 section 7): from the first "<" through the first
// ">" after it, brackets included; empty when either is missing.
std::string Pop3TimeStamp(std::string_view greeting);

// The APOP argument: lower-case hex MD5 of the time-stamp immediately followed by the secret.
std::string Pop3ApopDigest(std::string_view timeStamp, std::string_view secret);

// A header line split at its first colon: the keyword trimmed and lower-cased, the data after
// the colon untrimmed and at most kPop3HeaderDataMax characters. False when there is no colon.
constexpr std::size_t kPop3HeaderDataMax = 10000;
bool Pop3SplitHeader(std::string_view line, std::string& keyword, std::string& data);

// Multi-line replies (RFC 1939 section 3): a line that is exactly "." ends the reply; otherwise a
// line starting with ".." loses its first dot.
inline bool Pop3IsTerminator(std::string_view line) noexcept {
    return line == ".";
}
inline std::string_view Pop3Unstuff(std::string_view line) noexcept {
    return line.size() >= 2 && line[0] == '.' && line[1] == '.' ? line.substr(1) : line;
}

// The client's fixed receive buffer and the line cutter over it.
//
// Lines end with CR LF. A line that has not ended when kLineCut bytes are held is cut there and
// its rest arrives as further pieces, each flagged as a continuation. Two guards keep a cut from
// corrupting the stream: the cut never falls between a CR and the LF that may follow it, and a
// CR LF that arrives right after a cut ends the cut line instead of producing an empty line. The
// caller treats a continuation piece as data only (never a "." terminator), so a long line whose
// rest is "." cannot end a multi-line reply early and desynchronise the session.
class TPop3ReceiveBuffer {
public:
    static constexpr std::size_t kSize = 4096;
    static constexpr std::size_t kLineCut = 4093;

    // Where the next receive may write, and how many bytes it may take there. Room() moves a
    // held partial line to the front first, so every byte is moved at most once per receive.
    char* Space() noexcept { return buffer_ + start_ + count_; }
    std::size_t Room() noexcept;
    // Counts bytes just written at Space() (at most Room()).
    void Commit(std::size_t received) noexcept;

    // Takes the next line into line: up to its CR LF, or a cut piece of a line longer than
    // kLineCut bytes; in both cases it ends early at a NUL byte. continuation tells whether the
    // line continues a cut one. False when no complete line or piece is held.
    bool NextLine(std::string& line, bool& continuation);

    std::size_t Count() const noexcept { return count_; }
    void Clear() noexcept;

private:
    void Consume(std::size_t bytes) noexcept;

    char buffer_[kSize] = {};
    std::size_t start_ = 0;   // first byte held
    std::size_t count_ = 0;   // bytes held
    bool afterCut_ = false;   // the bytes held continue a line that was cut
    bool mayHoldNul_ = false; // a NUL byte arrived since the buffer was last empty
};
