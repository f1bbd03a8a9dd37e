#include "net/MimeDec.h"

#include "net/Base64.h"
#include "net/MimeDecScan.h"

#include <algorithm>

using namespace MimeDecScan;

namespace {

constexpr char kCrLf[] = "\r\n";

inline bool StartsWithIgnoreCase(std::string_view text, std::string_view lowerPrefix) noexcept {
    return text.size() >= lowerPrefix.size() &&
           EqualsIgnoreCase(text.substr(0, lowerPrefix.size()), lowerPrefix);
}

} // namespace

// Decodes one body line in its own storage where the result cannot outgrow it (base64 and
// unencoded text); line[len] is always writable and takes the NUL that follows each chunk.
void TMimeDecode::DecodeLine(char* line, size_t len, TEncoding encoding) {
    switch (encoding) {
    case TEncoding::Base64: {
        const size_t count = Base64DecodeLine(line, len, line);
        line[count] = '\0';
        Deliver(line, count);
        break;
    }
    case TEncoding::QuotedPrintable: {
        // The appended CR LF can make the result two bytes longer than the line.
        if (qpOut_.size() < len + 3) qpOut_.resize(std::max(len + 3, qpOut_.size() * 2));
        const size_t count = QuotedPrintableDecodeLine(line, len, qpOut_.data());
        qpOut_[count] = '\0';
        Deliver(qpOut_.data(), count);
        break;
    }
    case TEncoding::UUEncode:
        UudecodePartLine(line, len);
        break;
    case TEncoding::Plain:
        line[len] = '\0';
        Deliver(line, len);
        Deliver(kCrLf, 2);
        break;
    }
}

// x-uuencode bodies carry the "begin mode name" / "end" frame of the uuencode format; only
// the lines inside a frame are data.
void TMimeDecode::UudecodePartLine(char* line, size_t len) {
    if (len == 0) return;
    const std::string_view text(line, len);
    if (StartsWithIgnoreCase(text, "begin ")) {
        if (!IsCutHereLine(text)) inlineFileName_ = UuBeginFileName(text);
        return;
    }
    if (StartsWithIgnoreCase(text, "end")) {
        if (!IsCutHereLine(text)) inlineFileName_.clear();
        return;
    }
    if (inlineFileName_.empty()) return;
    const size_t count = UudecodeLine(line, len, uuPart_);
    uuPart_[count] = '\0';
    Deliver(uuPart_, count);
}

void TMimeDecode::Deliver(const char* data, size_t count) {
    if (count > 0 && partContentType_.empty() && InlineFilter(data, count)) return;
    TriggerPartLine(data, static_cast<int>(count));
}

// Recognises uuencoded files pasted into plain text ("begin 644 name" ... "end"). Returns
// true when the chunk belongs to such a block and must not reach OnPartLine.
bool TMimeDecode::InlineFilter(const char* data, size_t count) {
    size_t first = 0;
    while (first < count && static_cast<unsigned char>(data[first]) <= 32)
        ++first;
    size_t last = count;
    while (last > first && static_cast<unsigned char>(data[last - 1]) <= 32)
        --last;
    if (first == last) return false;
    const std::string_view text(data + first, last - first);

    if (!inInlineBlock_) {
        if (!StartsWithIgnoreCase(text, "begin 666") && !StartsWithIgnoreCase(text, "begin 644"))
            return false;
        if (!IsCutHereLine(text)) {
            inlineFileName_ = UuBeginFileName(text);
            inInlineBlock_ = true;
            if (OnInlineDecodeBegin) OnInlineDecodeBegin(this, inlineFileName_);
        }
        return true;
    }

    if (StartsWithIgnoreCase(text, "end") && !IsCutHereLine(text)) {
        inInlineBlock_ = false;
        const std::string name = std::move(inlineFileName_);
        inlineFileName_.clear();
        if (OnInlineDecodeEnd) OnInlineDecodeEnd(this, name);
        return true;
    }
    if (OnInlineDecodeLine) {
        const size_t decoded =
            text.size() > 1 ? UudecodeLine(text.data(), text.size(), uuInline_) : 0;
        uuInline_[decoded] = '\0';
        OnInlineDecodeLine(this, uuInline_, static_cast<int>(decoded));
    }
    return true;
}
