#include "app/MessageText.h"

#include "app/UnitMessage.h"
#include "ui/QtText.h"

#include <QStringDecoder>

#include <algorithm>
#include <optional>

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Charset labels compare without regard to the case of ASCII letters.
bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}

// A decoder for a charset label, or none. Latin-1 labels read as Windows-1252, as every
// browser does: mail marked Latin-1 often carries its quotes and dashes in 0x80..0x9F.
std::optional<QStringDecoder> DecoderFor(std::string_view charset) {
    if (charset.empty() || charset.size() > 64) return std::nullopt;
    for (std::string_view latin1 : {"iso-8859-1", "latin1", "iso_8859-1", "l1"})
        if (SameName(charset, latin1)) charset = "windows-1252";
    const std::string name(charset);
    QStringDecoder decoder(name.c_str());
    if (!decoder.isValid()) return std::nullopt;
    return decoder;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// RFC 2047 4.1; padding may be missing, as some senders leave it off.
std::optional<std::string> DecodeB(std::string_view text) {
    std::string out;
    unsigned bits = 0;
    int count = 0;
    std::size_t i = 0;
    for (; i < text.size() && text[i] != '='; ++i) {
        const int value = Base64Value(text[i]);
        if (value < 0) return std::nullopt;
        bits = (bits << 6) | static_cast<unsigned>(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<char>((bits >> count) & 0xFF));
        }
    }
    for (; i < text.size(); ++i)
        if (text[i] != '=') return std::nullopt;
    return out;
}

// RFC 2047 4.2: "_" is a blank, "=XX" a byte.
std::optional<std::string> DecodeQ(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '_') {
            out.push_back(' ');
        } else if (c == '=') {
            if (i + 2 >= text.size()) return std::nullopt;
            const int high = HexValue(text[i + 1]);
            const int low = HexValue(text[i + 2]);
            if (high < 0 || low < 0) return std::nullopt;
            out.push_back(static_cast<char>(high * 16 + low));
            i += 2;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

struct TEncodedWord {
    std::size_t end = 0; // just past the closing "?="
    std::string charset; // without an RFC 2231 language suffix
    std::string bytes;   // decoded
};

// Reads the encoded word that starts at pos ("=?"). Every part stops at the first "?" or
// blank, so a failed attempt looks at no more than the next three question marks: the work
// over a whole value stays linear whatever it holds.
std::optional<TEncodedWord> ReadEncodedWord(std::string_view s, std::size_t pos) {
    std::size_t i = pos + 2;
    const std::size_t charsetBegin = i;
    while (i < s.size() && s[i] != '?' && !IsBlank(s[i]))
        ++i;
    if (i >= s.size() || s[i] != '?' || i == charsetBegin) return std::nullopt;
    std::string_view charset = s.substr(charsetBegin, i - charsetBegin);
    charset = charset.substr(0, charset.find('*'));
    if (i + 2 >= s.size() || s[i + 2] != '?') return std::nullopt;
    const char encoding = s[i + 1];
    i += 3;
    const std::size_t textBegin = i;
    while (i < s.size() && s[i] != '?' && !IsBlank(s[i]))
        ++i;
    if (i + 1 >= s.size() || s[i] != '?' || s[i + 1] != '=') return std::nullopt;
    const std::string_view text = s.substr(textBegin, i - textBegin);
    std::optional<std::string> bytes;
    if (encoding == 'B' || encoding == 'b')
        bytes = DecodeB(text);
    else if (encoding == 'Q' || encoding == 'q')
        bytes = DecodeQ(text);
    if (!bytes || charset.empty()) return std::nullopt;
    return TEncodedWord{i + 2, std::string(charset), std::move(*bytes)};
}

QString OneLine(QString text) {
    for (QChar& c : text)
        if (c.unicode() < 0x20 || c.unicode() == 0x7F) c = QLatin1Char(' ');
    return text;
}

} // namespace

QString HeaderText(std::string_view raw) {
    QString result;
    std::size_t plainBegin = 0; // start of text not yet appended
    // Bytes of adjacent words in one charset decode together: senders split a character
    // between two words.
    std::string pendingBytes;
    std::string pendingCharset;
    const auto flushWords = [&] {
        if (pendingCharset.empty()) return;
        std::optional<QStringDecoder> decoder = DecoderFor(pendingCharset);
        result += decoder ? decoder->decode(QByteArrayView(
                                pendingBytes.data(), static_cast<qsizetype>(pendingBytes.size())))
                          : QString();
        pendingBytes.clear();
        pendingCharset.clear();
    };
    std::size_t i = 0;
    while (i + 1 < raw.size()) {
        if (raw[i] != '=' || raw[i + 1] != '?') {
            ++i;
            continue;
        }
        std::optional<TEncodedWord> word = ReadEncodedWord(raw, i);
        if (!word || !DecoderFor(word->charset)) {
            i += 2;
            continue;
        }
        const std::string_view between = raw.substr(plainBegin, i - plainBegin);
        const bool onlyBlanks =
            std::all_of(between.begin(), between.end(), [](char c) { return IsBlank(c); });
        if (pendingCharset.empty() || !onlyBlanks) {
            flushWords();
            result += ToQString(std::string(between));
        } else if (!SameName(word->charset, pendingCharset)) {
            flushWords();
        }
        if (pendingCharset.empty()) pendingCharset = word->charset;
        pendingBytes += word->bytes;
        i = plainBegin = word->end;
    }
    flushWords();
    result += ToQString(std::string(raw.substr(plainBegin)));
    return OneLine(std::move(result));
}

QStringList BodyText(const TLineList& body, const std::string& charset) {
    QStringList lines;
    lines.reserve(body.Count());
    std::optional<QStringDecoder> decoder;
    if (!SameName(charset, "us-ascii")) decoder = DecoderFor(charset);
    if (decoder) {
        for (std::string_view line : body)
            lines << decoder->decode(
                QByteArrayView(line.data(), static_cast<qsizetype>(line.size())));
        if (!decoder->hasError()) return lines;
        lines.clear();
    }
    for (std::string_view line : body)
        lines << ToQString(std::string(line));
    return lines;
}
