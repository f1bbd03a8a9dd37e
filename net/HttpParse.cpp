#include "net/HttpParse.h"

#include "ui/SysUtils.h"

#include <cstring>

char* THttpLineBuffer::Space() noexcept {
    if (start_ > 0) {
        std::memmove(data_, data_ + start_, count_);
        start_ = 0;
    }
    return data_ + count_;
}

bool THttpLineBuffer::PeekLine(std::string_view& line, std::size_t& taken) const noexcept {
    const char* begin = data_ + start_;
    const void* lf = std::memchr(begin, '\n', count_);
    if (!lf) return false;
    std::size_t length = static_cast<std::size_t>(static_cast<const char*>(lf) - begin);
    taken = length + 1;
    if (length > 0 && begin[length - 1] == '\r') --length;
    line = std::string_view(begin, length);
    return true;
}

void THttpLineBuffer::Consume(std::size_t count) noexcept {
    if (count > count_) count = count_;
    start_ += count;
    count_ -= count;
    if (count_ == 0) start_ = 0;
}

THttpStatusLine ParseStatusLine(std::string_view Line, int& Code, std::string& Reason) {
    if (!Line.starts_with("HTTP/1.0") && !Line.starts_with("HTTP/1.1"))
        return THttpStatusLine::NotStatus;
    if (Line.size() < 12) return THttpStatusLine::Malformed;
    int code = 0;
    for (std::size_t i = 9; i < 12; ++i) {
        if (Line[i] < '0' || Line[i] > '9') return THttpStatusLine::Malformed;
        code = code * 10 + (Line[i] - '0');
    }
    Code = code;
    Reason = Line.size() > 13 ? std::string(Line.substr(13)) : std::string();
    return THttpStatusLine::Status;
}

bool SplitHeaderField(std::string_view Line, std::string& Name, std::string_view& Value) {
    const std::size_t colon = Line.find(':');
    if (colon == std::string_view::npos) return false;
    Name = LowerCase(Line.substr(0, colon));
    std::size_t at = colon + 1;
    while (at + 1 < Line.size() && Line[at] == ' ')
        ++at;
    Value = at < Line.size() ? Line.substr(at) : std::string_view();
    return true;
}

bool ParseContentLength(std::string_view Value, std::int64_t& Length) {
    const std::string_view digits = TrimView(Value);
    // Eighteen digits cannot overflow and are far beyond any real document.
    if (digits.empty() || digits.size() > 18) return false;
    std::int64_t length = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return false;
        length = length * 10 + (c - '0');
    }
    Length = length;
    return true;
}

void ParseContentRange(std::string_view Value, std::string& Begin, std::string& End) {
    Begin.clear();
    End.clear();
    if (Value.size() <= 6) return;
    const std::size_t dash = Value.find('-', 6);
    Begin = std::string(Value.substr(6, dash == std::string_view::npos ? dash : dash - 6));
    if (dash == std::string_view::npos) return;
    const std::size_t slash = Value.find('/', dash + 1);
    End = std::string(Value.substr(
        dash + 1, slash == std::string_view::npos ? std::string_view::npos : slash - dash - 1));
}

bool IsBareHtml(std::string_view Line) noexcept {
    if (Line.size() < 6) return false;
    constexpr std::string_view tag = "<html>";
    for (std::size_t i = 0; i < tag.size(); ++i)
        if (LowerCaseChar(Line[i]) != tag[i]) return false;
    return true;
}
