#include "net/Pop3Parse.h"

#include "net/MD5.h"

#include <cstring>

namespace {

bool IsDigit(char c) noexcept {
    return c >= '0' && c <= '9';
}

std::size_t SkipToDigit(std::string_view text, std::size_t pos) noexcept {
    while (pos < text.size() && !IsDigit(text[pos]))
        ++pos;
    return pos;
}

} // namespace

bool Pop3IsPositive(std::string_view line) noexcept {
    return !line.empty() && line[0] == '+';
}

int Pop3ParseDigits(std::string_view text, std::size_t& digits) noexcept {
    // Accumulate in 64 bits and stop growing at the maximum: no signed overflow, and the whole
    // run is still skipped so the next number is found where it belongs.
    std::int64_t value = 0;
    digits = 0;
    while (digits < text.size() && IsDigit(text[digits])) {
        if (value <= kPop3NumberMax) value = value * 10 + (text[digits] - '0');
        ++digits;
    }
    return value > kPop3NumberMax ? kPop3NumberMax : static_cast<int>(value);
}

void Pop3TwoNumbers(std::string_view text, int& first, int& second) noexcept {
    std::size_t pos = SkipToDigit(text, 0);
    if (pos >= text.size()) {
        first = second = 0;
        return;
    }
    std::size_t digits = 0;
    const int a = Pop3ParseDigits(text.substr(pos), digits);
    pos += digits;
    while (pos < text.size() &&
           (text[pos] == ' ' || text[pos] == '\t' || text[pos] == '\r' || text[pos] == '\n'))
        ++pos;
    if (pos >= text.size()) {
        first = second = 0;
        return;
    }
    first = a;
    second = Pop3ParseDigits(text.substr(pos), digits);
}

void Pop3NumberAndId(std::string_view text, int& number, std::string& id) {
    number = 0;
    id.clear();
    std::size_t pos = SkipToDigit(text, 0);
    if (pos >= text.size()) return;
    std::size_t digits = 0;
    number = Pop3ParseDigits(text.substr(pos), digits);
    pos += digits;
    while (pos < text.size() && text[pos] == ' ')
        ++pos;
    const std::size_t begin = pos;
    while (pos < text.size() && text[pos] >= 33 && text[pos] <= 126)
        ++pos;
    id.assign(text.substr(begin, pos - begin));
}

std::string Pop3TimeStamp(std::string_view greeting) {
    const std::size_t open = greeting.find('<');
    if (open == std::string_view::npos) return {};
    const std::size_t close = greeting.find('>', open + 1);
    if (close == std::string_view::npos) return {};
    return std::string(greeting.substr(open, close - open + 1));
}

std::string Pop3ApopDigest(std::string_view timeStamp, std::string_view secret) {
    TMD5Context context;
    context.Update(timeStamp);
    context.Update(secret);
    return MD5DigestToHex(context.Final());
}

bool Pop3SplitHeader(std::string_view line, std::string& keyword, std::string& data) {
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return false;
    keyword = LowerCase(TrimView(line.substr(0, colon)));
    data.assign(line.substr(colon + 1, kPop3HeaderDataMax));
    return true;
}

std::size_t TPop3ReceiveBuffer::Room() noexcept {
    if (count_ >= kLineCut) return 0;
    if (start_ > 0) {
        std::memmove(buffer_, buffer_ + start_, count_);
        start_ = 0;
    }
    return kLineCut - count_;
}

void TPop3ReceiveBuffer::Commit(std::size_t received) noexcept {
    const std::size_t room = kSize - start_ - count_;
    if (received > room) received = room;
    // One scan per read instead of one per line: NUL bytes are rare in mail.
    if (!mayHoldNul_ && std::memchr(buffer_ + start_ + count_, '\0', received) != nullptr)
        mayHoldNul_ = true;
    count_ += received;
}

void TPop3ReceiveBuffer::Consume(std::size_t bytes) noexcept {
    start_ += bytes;
    count_ -= bytes;
    if (count_ == 0) {
        start_ = 0;
        mayHoldNul_ = false;
    }
}

bool TPop3ReceiveBuffer::NextLine(std::string& line, bool& continuation) {
    for (;;) {
        const char* data = buffer_ + start_;
        const char* end = data + count_;
        const char* cr = data;
        // First CR immediately followed by LF.
        while ((cr = static_cast<const char*>(std::memchr(cr, '\r', end - cr))) != nullptr &&
               (cr + 1 >= end || cr[1] != '\n'))
            ++cr;
        std::size_t length;
        std::size_t consumed;
        bool cut = false;
        if (cr != nullptr) {
            length = static_cast<std::size_t>(cr - data);
            consumed = length + 2;
            if (length == 0 && afterCut_) {
                // The cut line ended exactly at the cut: this CR LF is its end, not a line.
                afterCut_ = false;
                Consume(consumed);
                continue;
            }
        } else if (count_ >= kLineCut) {
            // Keep a trailing CR back: its LF may be the next byte to arrive.
            length = data[kLineCut - 1] == '\r' ? kLineCut - 1 : kLineCut;
            consumed = length;
            cut = true;
        } else {
            return false;
        }
        const void* nul = mayHoldNul_ ? std::memchr(data, '\0', length) : nullptr;
        line.assign(data, nul ? static_cast<const char*>(nul) - data : length);
        continuation = afterCut_;
        afterCut_ = cut;
        Consume(consumed);
        return true;
    }
}

void TPop3ReceiveBuffer::Clear() noexcept {
    start_ = 0;
    count_ = 0;
    afterCut_ = false;
    mayHoldNul_ = false;
}
