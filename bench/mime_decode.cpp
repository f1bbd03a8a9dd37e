// mime_decode FILE...
//
// Decodes each message file with TMimeDecode from a file stream and consumes the result the
// way a mail reader does: Subject and From with their encoded words (RFC 2047) turned into
// UTF-8, every part's decoded bytes collected in memory, text parts converted to UTF-8 from
// their charset, then discarded. Prints a one-line summary; exits 0 when every file decoded.
#include "net/Base64.h"
#include "net/MimeDec.h"
#include "ui/Streams.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <string_view>

namespace {

bool IsLatin1(std::string_view charset) {
    return charset == "iso-8859-1" || charset == "latin1" || charset == "windows-1252" ||
           charset == "us-ascii";
}

void Latin1ToUtf8(std::string_view in, std::string& out) {
    out.clear();
    out.reserve(in.size() * 2);
    for (const char ch : in) {
        const auto b = static_cast<unsigned char>(ch);
        if (b < 0x80) {
            out += ch;
        } else {
            out += static_cast<char>(0xC0 | (b >> 6));
            out += static_cast<char>(0x80 | (b & 0x3F));
        }
    }
}

// Length of the valid UTF-8 prefix; invalid sequences would be replaced by a reader.
size_t ValidUtf8(std::string_view in) {
    size_t i = 0, valid = 0;
    while (i < in.size()) {
        const auto b = static_cast<unsigned char>(in[i]);
        const size_t n = b < 0x80         ? 1
                         : (b >> 5) == 6  ? 2
                         : (b >> 4) == 14 ? 3
                         : (b >> 3) == 30 ? 4
                                          : 0;
        if (n == 0 || i + n > in.size()) return valid;
        for (size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(in[i + k]) & 0xC0) != 0x80) return valid;
        i += n;
        valid = i;
    }
    return valid;
}

int HexDigit(char ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    return -1;
}

// RFC 2047 encoded words ("=?charset?B|Q?text?=") to UTF-8; white space between two
// encoded words is dropped (section 6.2).
std::string DecodeHeaderValue(std::string_view value) {
    std::string out, word, converted;
    size_t i = 0;
    bool lastWasWord = false;
    size_t pendingSpace = 0;
    while (i < value.size()) {
        if (value.compare(i, 2, "=?") == 0) {
            const size_t q1 = value.find('?', i + 2);
            const size_t q2 = q1 == std::string_view::npos ? q1 : value.find('?', q1 + 1);
            const size_t end = q2 == std::string_view::npos ? q2 : value.find("?=", q2 + 1);
            if (end != std::string_view::npos && q2 == q1 + 2) {
                std::string charset(value.substr(i + 2, q1 - i - 2));
                for (char& ch : charset)
                    ch = static_cast<char>(ch >= 'A' && ch <= 'Z' ? ch + 32 : ch);
                const char kind = value[q1 + 1];
                const std::string_view text = value.substr(q2 + 1, end - q2 - 1);
                word.clear();
                if (kind == 'B' || kind == 'b') {
                    word = Base64Decode(text);
                } else {
                    for (size_t k = 0; k < text.size(); ++k) {
                        if (text[k] == '_') {
                            word += ' ';
                        } else if (text[k] == '=' && k + 2 < text.size() &&
                                   HexDigit(text[k + 1]) >= 0 && HexDigit(text[k + 2]) >= 0) {
                            word += static_cast<char>(HexDigit(text[k + 1]) * 16 +
                                                      HexDigit(text[k + 2]));
                            k += 2;
                        } else {
                            word += text[k];
                        }
                    }
                }
                if (!lastWasWord) out.append(pendingSpace, ' ');
                pendingSpace = 0;
                if (IsLatin1(charset)) {
                    Latin1ToUtf8(word, converted);
                    out += converted;
                } else {
                    out.append(word, 0, ValidUtf8(word));
                }
                lastWasWord = true;
                i = end + 2;
                continue;
            }
        }
        if (value[i] == ' ' || value[i] == '\t') {
            ++pendingSpace;
            ++i;
            continue;
        }
        out.append(pendingSpace, ' ');
        pendingSpace = 0;
        lastWasWord = false;
        out += value[i++];
    }
    return out;
}

// A file stream with a 64 KB read-ahead, as a host reading large files would use: the
// decoder asks for a few KB at a time, which would otherwise cost one system call each.
class TBufferedFileStream : public TStream {
public:
    explicit TBufferedFileStream(const char* path) : file_(path, fmOpenRead) {}

    int64_t Read(void* buffer, int64_t count) override {
        auto* out = static_cast<char*>(buffer);
        int64_t done = 0;
        while (done < count) {
            if (pos_ == end_) {
                pos_ = 0;
                end_ = static_cast<size_t>(file_.Read(block_, sizeof block_));
                if (end_ == 0) break;
            }
            const size_t n = std::min(end_ - pos_, static_cast<size_t>(count - done));
            std::memcpy(out + done, block_ + pos_, n);
            pos_ += n;
            done += static_cast<int64_t>(n);
        }
        return done;
    }
    int64_t Write(const void*, int64_t) override { return 0; }
    int64_t Seek(int64_t offset, TSeekOrigin origin) override {
        pos_ = end_ = 0;
        return file_.Seek(offset, origin);
    }

private:
    TFileStream file_;
    char block_[65536];
    size_t pos_ = 0;
    size_t end_ = 0;
};

struct THost {
    TMimeDecode decoder;
    std::string part;   // decoded bytes of the current part
    std::string utf8;   // a text part converted to UTF-8
    std::string header; // the last header line read
    unsigned long parts = 0;
    unsigned long long bytes = 0;

    THost() {
        decoder.OnHeaderLine = [this](TObject*) { header = decoder.CurrentLine(); };
        decoder.OnPartHeaderLine = [this](TObject*) { header = decoder.CurrentLine(); };
        decoder.OnPartBegin = [this](TObject*) { part.clear(); };
        decoder.OnPartLine = [this](TObject*, const char* data, int len) {
            part.append(data, static_cast<size_t>(len));
        };
        decoder.OnPartEnd = [this](TObject*) { FinishPart(); };
    }

    void FinishPart() {
        if (part.empty()) return;
        const std::string& type =
            decoder.PartNumber() > 0 ? decoder.PartContentType() : decoder.MsgContentType();
        if (type.empty() || type.starts_with("text/")) {
            const std::string& charset =
                decoder.PartNumber() > 0 ? decoder.PartCharset() : decoder.MsgCharset();
            if (IsLatin1(charset)) {
                Latin1ToUtf8(part, utf8);
                bytes += utf8.size();
            } else {
                bytes += ValidUtf8(part);
            }
        } else {
            bytes += part.size();
        }
        ++parts;
        part.clear();
    }

    void Decode(const char* path) {
        auto stream = std::make_unique<TBufferedFileStream>(path);
        decoder.DecodeStream(*stream);
        bytes += DecodeHeaderValue(decoder.MsgSubject()).size() +
                 DecodeHeaderValue(decoder.MsgFrom()).size();
    }
};

} // namespace

int main(int argc, char** argv) {
    THost host;
    int failed = 0;
    for (int i = 1; i < argc; ++i) {
        try {
            host.Decode(argv[i]);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s: %s\n", argv[i], e.what());
            ++failed;
        }
    }
    std::printf("ours: %d messages, %lu parts, %llu decoded bytes, %d failed\n", argc - 1,
                host.parts, host.bytes, failed);
    return failed ? 1 : 0;
}
