#include "net/MimeDecScan.h"

#include <cstdint>
#include <cstring>

namespace MimeDecScan {

namespace {

inline bool IsTokenDelim(char ch) noexcept {
    return ch == ' ' || ch == '\t' || ch == ':' || ch == ';' || ch == '=';
}

// The common end of the token, comment-token and value scanners: pos is where collection
// stopped. A space or TAB stays the reported delimiter even when a ":", ";" or "=" follows
// it; that following character is swallowed.
void Tail(std::string_view line, size_t pos, TScan& scan) {
    if (pos >= line.size()) {
        scan.Delim = kEndOfLine;
    } else {
        const char delim = line[pos];
        scan.Delim = static_cast<unsigned char>(delim);
        if (delim == ' ' || delim == '\t') {
            pos = SkipWhite(line, pos);
            if (pos < line.size() && (line[pos] == ':' || line[pos] == ';' || line[pos] == '='))
                ++pos;
        } else {
            ++pos;
        }
    }
    scan.Next = SkipWhite(line, pos);
}

// Collects up to the closing double quote (or the end); pos is just after the opening one.
size_t CollectQuoted(std::string_view line, size_t pos, std::string& text) {
    const size_t close = line.find('"', pos);
    if (close == std::string_view::npos) {
        text.assign(line.substr(pos));
        return line.size();
    }
    text.assign(line.substr(pos, close - pos));
    return close + 1;
}

inline unsigned HexValue(unsigned char ch) noexcept {
    // Lenient on purpose: A-F and a-f both give 10-15, other letters give values of their own.
    return ch >= '0' && ch <= '9' ? ch - '0' : (ch & 15u) + 9;
}

} // namespace

std::string LowerAscii(std::string_view text) {
    std::string out(text);
    for (char& ch : out)
        ch = LowerAscii(ch);
    return out;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view lower) noexcept {
    if (a.size() != lower.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (LowerAscii(a[i]) != lower[i]) return false;
    return true;
}

size_t SkipWhite(std::string_view line, size_t pos) noexcept {
    while (pos < line.size() && IsWhite(line[pos]))
        ++pos;
    return pos;
}

TScan ScanToken(std::string_view line, size_t pos) {
    TScan scan;
    pos = SkipWhite(line, pos);
    const size_t start = pos;
    while (pos < line.size() && !IsTokenDelim(line[pos]))
        ++pos;
    scan.Text = LowerAscii(line.substr(start, pos - start));
    Tail(line, pos, scan);
    return scan;
}

TScan ScanCommentToken(std::string_view line, size_t pos) {
    TScan scan;
    pos = SkipWhite(line, pos);
    int depth = 0;
    for (; pos < line.size(); ++pos) {
        const char ch = line[pos];
        if (ch == '(')
            ++depth;
        else if (ch == ')')
            --depth;
        else if (depth == 0 && IsTokenDelim(ch))
            break;
        else
            scan.Text += LowerAscii(ch);
    }
    Tail(line, pos, scan);
    return scan;
}

TScan ScanValue(std::string_view line, size_t pos) {
    pos = SkipWhite(line, pos);
    if (pos < line.size() && line[pos] == '"') {
        TScan scan;
        pos = CollectQuoted(line, pos + 1, scan.Text);
        Tail(line, pos, scan);
        return scan;
    }
    return ScanToken(line, pos);
}

TScan ScanQuotedOrRest(std::string_view line, size_t pos) {
    TScan scan;
    scan.Delim = '=';
    pos = SkipWhite(line, pos);
    if (pos < line.size() && line[pos] == '"') {
        scan.Next = CollectQuoted(line, pos + 1, scan.Text);
    } else {
        scan.Text.assign(line.substr(pos));
        scan.Next = line.size();
    }
    return scan;
}

std::string StripAngleBrackets(std::string_view text) {
    if (text.size() >= 2 && text.front() == '<' && text.back() == '>')
        text = text.substr(1, text.size() - 2);
    return std::string(text);
}

std::string UuBeginFileName(std::string_view line) {
    const size_t first = line.find(' ');
    if (first == std::string_view::npos) return {};
    const size_t second = line.find(' ', first + 1);
    const size_t from = (second == std::string_view::npos ? first : second) + 1;
    return std::string(line.substr(from, 255));
}

bool IsCutHereLine(std::string_view text) {
    if (text.find("--") == std::string_view::npos) return false;
    return LowerAscii(text).find("cut here") != std::string::npos;
}

size_t UudecodeLine(const char* text, size_t len, char* out) noexcept {
    // Characters beyond the line decode as 0, the value of the space that trailing-blank
    // stripping by mail relays removes from uuencoded lines.
    auto dec = [&](size_t i) -> unsigned {
        return i < len ? (static_cast<unsigned char>(text[i]) - 32u) & 63u : 0u;
    };
    const size_t count = dec(0);
    size_t produced = 0;
    for (size_t at = 1; produced < count; at += 4) {
        const unsigned k = dec(at), l = dec(at + 1), m = dec(at + 2), o = dec(at + 3);
        const unsigned char bytes[3] = {static_cast<unsigned char>((k * 4 + l / 16) & 255),
                                        static_cast<unsigned char>((l * 16 + m / 4) & 255),
                                        static_cast<unsigned char>((m * 64 + o) & 255)};
        for (int b = 0; b < 3 && produced < count; ++b)
            out[produced++] = static_cast<char>(bytes[b]);
    }
    return count;
}

size_t QuotedPrintableDecodeLine(const char* text, size_t len, char* out) noexcept {
    size_t o = 0;
    size_t i = 0;
    while (i < len) {
        const void* eq = std::memchr(text + i, '=', len - i);
        const size_t run =
            eq ? static_cast<size_t>(static_cast<const char*>(eq) - text) - i : len - i;
        std::memmove(out + o, text + i, run);
        o += run;
        i += run;
        if (i >= len) break;
        // text[i] is "="
        if (i + 1 >= len) return o; // soft line break (RFC 2045 section 6.7, rule 5): no CR LF
        const unsigned x = HexValue(static_cast<unsigned char>(text[i + 1]));
        if (i + 2 >= len) {
            out[o++] = static_cast<char>(x);
            i += 2;
        } else {
            const unsigned y = HexValue(static_cast<unsigned char>(text[i + 2]));
            out[o++] = static_cast<char>((16 * x + y) & 255);
            i += 3;
        }
    }
    out[o++] = '\r';
    out[o++] = '\n';
    return o;
}

} // namespace MimeDecScan
