#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Header scanners and line decoders of the MIME decoder, as plain functions over bytes.
//
// The scanners reproduce a deliberately simple header grammar (not RFC 5322/2045 tokens):
// received mail is often malformed, and this grammar decides what the component reports, so
// its quirks are kept exactly: a field name followed by a space reports the space as its
// delimiter even when a colon follows, and a value followed by " ;" ends the parameter list.
namespace MimeDecScan {

// Delimiter reported when scanning stopped at the end of the line.
constexpr int kEndOfLine = -1;

// Result of one scan: the text collected, the delimiter that stopped it (a byte value, or
// kEndOfLine) and the position where scanning goes on.
struct TScan {
    std::string Text;
    int Delim = kEndOfLine;
    size_t Next = 0;
};

inline bool IsWhite(char ch) noexcept {
    return ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n';
}
inline char LowerAscii(char ch) noexcept {
    return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch + ('a' - 'A')) : ch;
}
std::string LowerAscii(std::string_view text);
bool EqualsIgnoreCase(std::string_view a, std::string_view lower) noexcept;

size_t SkipWhite(std::string_view line, size_t pos) noexcept;

// Lowercased characters up to end of line, space, TAB, ":", ";" or "=".
TScan ScanToken(std::string_view line, size_t pos);
// As ScanToken, but text inside parentheses (at any depth) is collected whole and the
// parentheses themselves are dropped.
TScan ScanCommentToken(std::string_view line, size_t pos);
// A double-quoted value with its case kept, or else a token.
TScan ScanValue(std::string_view line, size_t pos);
// A double-quoted value or else the whole rest of the line, case kept. Delim is left as "=".
TScan ScanQuotedOrRest(std::string_view line, size_t pos);

enum class TValueScanner { Value, QuotedOrRest };

// Runs "; name=value" parameters starting at pos with the given delimiter: while the
// delimiter is ";", a name is scanned, and when its delimiter is "=" a value is scanned and
// handed to assign(name, value). Assign is any callable taking (const std::string&, std::string&&).
template <class Assign>
void ParameterLoop(std::string_view line, size_t pos, int delim, TValueScanner scanner,
                   Assign&& assign) {
    while (delim == ';') {
        TScan name = ScanToken(line, pos);
        delim = name.Delim;
        pos = name.Next;
        if (delim != '=') continue;
        if (scanner == TValueScanner::Value) {
            TScan value = ScanValue(line, pos);
            delim = value.Delim;
            pos = value.Next;
            assign(name.Text, std::move(value.Text));
        } else {
            TScan value = ScanQuotedOrRest(line, pos);
            pos = value.Next;
            assign(name.Text, std::move(value.Text));
        }
    }
}

// Removes one enclosing pair of angle brackets ("<>" gives an empty string).
std::string StripAngleBrackets(std::string_view text);

// The text after the second space, or after the first when there is only one, at most 255
// characters: the file name of a uuencode "begin" line.
std::string UuBeginFileName(std::string_view line);

// True when the lowercased text contains both "--" and "cut here": a scissors line such as
// "--- cut here --- begin ..." is not a uuencode begin or end line.
bool IsCutHereLine(std::string_view text);

// Decodes one uuencoded line into out (at least 63 bytes). The first character gives the
// count N; characters missing at the end of the line decode as 0. Returns N.
size_t UudecodeLine(const char* text, size_t len, char* out) noexcept;

// Decodes one quoted-printable line into out, which needs len + 2 bytes; CR LF is appended
// unless the line ends in a soft line break. Returns the number of bytes written.
size_t QuotedPrintableDecodeLine(const char* text, size_t len, char* out) noexcept;

} // namespace MimeDecScan
