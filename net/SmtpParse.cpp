#include "net/SmtpParse.h"

#include "net/Base64.h"
#include "net/MD5.h"
#include "ui/SysUtils.h"

#include <cstdio>
#include <cstring>

namespace {

bool IsDigit(char c) noexcept {
    return c >= '0' && c <= '9';
}

std::string UpperCase(std::string_view text) {
    std::string result(text);
    for (char& c : result)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - ('a' - 'A'));
    return result;
}

} // namespace

TSmtpReplyLine SmtpParseReplyLine(std::string_view line) noexcept {
    if (line.size() < 3 || line[0] < '2' || line[0] > '5' || !IsDigit(line[1]) || !IsDigit(line[2]))
        return {};
    const int code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
    if (line.size() == 3 || line[3] == ' ') return {TSmtpLineKind::Final, code};
    if (line[3] == '-') return {TSmtpLineKind::Continuation, code};
    return {};
}

bool TSmtpReplyAssembler::Add(std::string_view line) {
    if (ended_) Clear();
    const TSmtpReplyLine parsed = SmtpParseReplyLine(line);
    const bool first = code_ == 0;
    if (parsed.Kind == TSmtpLineKind::Malformed || (!first && parsed.Code != code_)) {
        malformed_ = true;
        ended_ = true;
        code_ = 0;
        return true;
    }
    code_ = parsed.Code;
    if (lines_.Count() < kMaxLines)
        lines_.Add(std::string(line.substr(line.size() > 4 ? 4 : line.size())));
    ended_ = parsed.Kind == TSmtpLineKind::Final;
    return ended_;
}

void TSmtpReplyAssembler::Clear() noexcept {
    lines_.Clear();
    code_ = 0;
    malformed_ = false;
    ended_ = false;
}

bool SmtpHasExtension(const TStringList& ehloLines, std::string_view keyword) {
    for (int i = 1; i < ehloLines.Count(); ++i) {
        const std::string_view line = ehloLines[i];
        if (UpperCase(line.substr(0, line.find(' '))) == keyword) return true;
    }
    return false;
}

bool SmtpHasAuthMechanism(const TStringList& ehloLines, std::string_view mechanism) {
    for (int i = 1; i < ehloLines.Count(); ++i) {
        const std::string line = UpperCase(ehloLines[i]);
        if (line.compare(0, 5, "AUTH ") != 0 && line.compare(0, 5, "AUTH=") != 0) continue;
        std::string_view rest = std::string_view(line).substr(5);
        while (!rest.empty()) {
            const std::size_t space = rest.find(' ');
            if (rest.substr(0, space) == mechanism) return true;
            if (space == std::string_view::npos) break;
            rest.remove_prefix(space + 1);
        }
    }
    return false;
}

std::size_t TSmtpReceiveBuffer::Room() noexcept {
    if (start_ > 0) {
        std::memmove(buffer_, buffer_ + start_, count_);
        start_ = 0;
    }
    return kSize - count_;
}

void TSmtpReceiveBuffer::Commit(std::size_t received) noexcept {
    count_ += received <= kSize - start_ - count_ ? received : 0;
}

TSmtpReceiveBuffer::TNext TSmtpReceiveBuffer::NextLine(std::string& line) {
    const char* begin = buffer_ + start_;
    for (std::size_t i = 0; i + 1 < count_; ++i) {
        if (begin[i] != '\r' || begin[i + 1] != '\n') continue;
        line.assign(begin, i);
        start_ += i + 2;
        count_ -= i + 2;
        if (count_ == 0) start_ = 0;
        return kLine;
    }
    return count_ == kSize ? kOverflow : kNone;
}

bool SmtpSafeArgument(std::string_view text) noexcept {
    for (char c : text)
        if (c == '\r' || c == '\n' || c == '\0') return false;
    return true;
}

std::string SmtpPath(std::string_view name) {
    const std::string_view trimmed = TrimView(name);
    if (trimmed.find('<') != std::string_view::npos && trimmed.find('>') != std::string_view::npos)
        return std::string(trimmed);
    return "<" + std::string(trimmed) + ">";
}

std::string SmtpReturnPathAddress(std::string_view value) {
    const std::size_t open = value.find('<');
    if (open != std::string_view::npos) {
        const std::size_t close = value.find('>', open + 1);
        if (close != std::string_view::npos) return Trim(value.substr(open + 1, close - open - 1));
    }
    return Trim(value);
}

namespace {

// Position of the first CR or LF; find_first_of would search its two-byte set once per byte.
std::size_t FindBreak(std::string_view text) noexcept {
    for (std::size_t i = 0; i < text.size(); ++i)
        if (text[i] == '\r' || text[i] == '\n') return i;
    return std::string_view::npos;
}

} // namespace

void SmtpAppendTextLine(std::string& out, std::string_view line, bool headerLine) {
    bool firstPiece = true;
    for (;;) {
        const std::size_t cut = FindBreak(line);
        const std::string_view piece = line.substr(0, cut);
        if (headerLine && !firstPiece && (piece.empty() || (piece[0] != ' ' && piece[0] != '\t')))
            out += ' ';
        else if (!piece.empty() && piece[0] == '.')
            out += '.';
        out.append(piece);
        out += "\r\n";
        if (cut == std::string_view::npos) return;
        const std::size_t next =
            line[cut] == '\r' && cut + 1 < line.size() && line[cut + 1] == '\n' ? cut + 2 : cut + 1;
        line.remove_prefix(next);
        firstPiece = false;
    }
}

std::string SmtpAuthPlainToken(std::string_view authzid, std::string_view user,
                               std::string_view password) {
    std::string token(authzid);
    token += '\0';
    token += user;
    token += '\0';
    token += password;
    return Base64Encode(token);
}

std::string HmacMD5Hex(std::string_view key, std::string_view text) {
    constexpr std::size_t kBlock = 64;
    unsigned char block[kBlock] = {};
    if (key.size() > kBlock) {
        const TMD5Digest hashed = MD5Digest(key);
        std::memcpy(block, hashed.data(), hashed.size());
    } else {
        std::memcpy(block, key.data(), key.size());
    }
    unsigned char inner[kBlock], outer[kBlock];
    for (std::size_t i = 0; i < kBlock; ++i) {
        inner[i] = static_cast<unsigned char>(block[i] ^ 0x36);
        outer[i] = static_cast<unsigned char>(block[i] ^ 0x5C);
    }
    TMD5Context first;
    first.Update(inner, kBlock);
    first.Update(text);
    const TMD5Digest innerDigest = first.Final();
    TMD5Context second;
    second.Update(outer, kBlock);
    second.Update(innerDigest.data(), innerDigest.size());
    return MD5DigestToHex(second.Final());
}

std::string SmtpCramMD5Answer(std::string_view user, std::string_view password,
                              std::string_view challenge) {
    return std::string(user) + " " + HmacMD5Hex(password, challenge);
}

std::string SmtpDateText(const std::tm& local, long offsetEastSeconds) {
    static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const long minutes = (offsetEastSeconds < 0 ? -offsetEastSeconds : offsetEastSeconds) / 60;
    char text[64];
    std::snprintf(text, sizeof text, "%s, %d %s %d %02d:%02d:%02d %c%02ld%02ld",
                  kDays[(local.tm_wday % 7 + 7) % 7], local.tm_mday,
                  kMonths[(local.tm_mon % 12 + 12) % 12], local.tm_year + 1900, local.tm_hour,
                  local.tm_min, local.tm_sec, offsetEastSeconds < 0 ? '-' : '+', minutes / 60 % 100,
                  minutes % 60);
    return text;
}

std::string SmtpDateNow() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (!localtime_r(&now, &local)) return SmtpDateText(std::tm{}, 0);
    return SmtpDateText(local, local.tm_gmtoff);
}
