// Composing and sending the request: header lines, the request header in one send, the POST
// body from SendStream.
#include "net/HttpProt.h"

#include "net/Base64.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

// "Sun, 06 Nov 1994 08:49:37 GMT" (RFC 1123) for a date-time taken as it is, without a time
// zone conversion.
std::string Rfc1123Date(TDateTime value) {
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    // Years 1 to 9999 are all the form can show.
    value = std::clamp(value, -693593.0, 2958465.0);
    const double dayPart = std::floor(value);
    long long days = static_cast<long long>(dayPart);
    long long ms = std::llround((value - dayPart) * 86400000.0);
    if (ms >= 86400000) {
        ms -= 86400000;
        ++days;
    }
    const long long seconds = ms / 1000;
    // Day 0 (30 December 1899) was a Saturday.
    const int weekday = static_cast<int>(((days + 6) % 7 + 7) % 7);
    // Civil date from days since 1970-01-01 (the days-from-civil inverse).
    const long long z = days - 25569 + 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const long long doe = z - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    const long long day = doy - (153 * mp + 2) / 5 + 1;
    const long long month = mp < 10 ? mp + 3 : mp - 9;
    const long long year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    char text[96];
    std::snprintf(text, sizeof text, "%s, %2.2d %s %4.4d %2.2d:%2.2d:%2.2d GMT", kDays[weekday],
                  static_cast<int>(day), kMonths[month - 1], static_cast<int>(year),
                  static_cast<int>(seconds / 3600), static_cast<int>(seconds / 60 % 60),
                  static_cast<int>(seconds % 60));
    return text;
}

void AddIfValue(TStringList& lines, const char* name, const std::string& value) {
    if (!value.empty()) lines.Add(name + value);
}

} // namespace

void THttpCli::BuildHeaderLines(const std::string& Method, TStringList& Lines) {
    const bool post = Method == "POST";
    // Inside a tunnel the server is the document's own, so the request names only the path.
    std::string path = target_.Path;
    if (Tunnelled()) {
        path = ParseURL(target_.Path).Path;
        if (path.empty()) path = "/";
    }
    Lines.Add(Method + " " + path + " HTTP/1.0");
    AddIfValue(Lines, "From: ", sender_);
    AddIfValue(Lines, "Accept: ", accept_);
    AddIfValue(Lines, "Referer: ", reference_);
    AddIfValue(Lines, "Accept-Language: ", acceptLanguage_);
    if (post) AddIfValue(Lines, "Content-Type: ", contentTypePost_);
    AddIfValue(Lines, "User-Agent: ", agent_);
    Lines.Add("Host: " + target_.TargetHost);
    if (noCache_) Lines.Add("Pragma: no-cache");
    if (post) Lines.Add("Content-Length: " + std::to_string(sendStream_->Size()));
    if (modifiedSince_ != 0) Lines.Add("If-Modified-Since: " + Rfc1123Date(modifiedSince_));
    if (!target_.Username.empty())
        Lines.Add("Authorization: Basic " +
                  Base64Encode(target_.Username + ":" + target_.Password));
    // The proxy's credentials are for the proxy: inside a tunnel they would reach the server.
    if (!proxy_.empty() && !proxyUsername_.empty() && !Tunnelled())
        Lines.Add(ProxyAuthorization());
    AddIfValue(Lines, "Cookie: ", cookie_);
    if (!contentRangeBegin_.empty() || !contentRangeEnd_.empty()) {
        Lines.Add("Range: bytes=" + contentRangeBegin_ + "-" + contentRangeEnd_);
        contentRangeBegin_.clear();
        contentRangeEnd_.clear();
    }
}

std::string THttpCli::ProxyAuthorization() const {
    return "Proxy-Authorization: Basic " + Base64Encode(proxyUsername_ + ":" + proxyPassword_);
}

void THttpCli::SendRequestHeader(const std::string& Method) {
    reqStream_.clear();
    TriggerRequestHeaderBegin();
    TStringList lines;
    BuildHeaderLines(Method, lines);
    acceptRanges_.clear();
    TriggerBeforeHeaderSend(Method, lines);
    for (const std::string& line : lines)
        SendCommand(line);
    TriggerRequestHeaderEnd();
    SendCommand(std::string());
    socket_->Send(reqStream_.data(), static_cast<int>(reqStream_.size()));
    reqStream_.clear();
}

void THttpCli::SendCommand(const std::string& Line) {
    std::string s = Line;
    if (OnCommand) OnCommand(this, s);
    reqStream_ += s;
    reqStream_ += "\r\n";
}

void THttpCli::SocketDataSent(TObject*, std::uint16_t) {
    if (!allowedToSend_ || !Running()) return;
    constexpr int kSendSize = 8193;
    const std::int64_t n = sendStream_->Read(sendBuffer_.get(), kSendSize);
    if (n > 0) {
        sentCount_ += n;
        TriggerSendData(sendBuffer_.get(), static_cast<int>(n));
        socket_->Send(sendBuffer_.get(), static_cast<int>(n));
    } else {
        allowedToSend_ = false;
        TriggerSendEnd();
    }
}
