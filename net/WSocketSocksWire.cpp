// SOCKS requests and replies on the wire.
#include "net/WSocketSocks.h"

#include <arpa/inet.h>

namespace {

void PutPort(std::string& Out, std::uint16_t Port) {
    Out.push_back(static_cast<char>(Port >> 8));
    Out.push_back(static_cast<char>(Port & 0xFF));
}

// Callers have refused fields longer than kSocksMaxField.
void PutCounted(std::string& Out, const std::string& Field) {
    Out.push_back(static_cast<char>(static_cast<unsigned char>(Field.size())));
    Out += Field;
}

std::string Unassigned(unsigned Value) {
    return "unassigned error #" + std::to_string(Value);
}

} // namespace

TSocksVerdict TSocksVerdict::Failed(std::int32_t Code, std::string Msg) {
    TSocksVerdict verdict;
    verdict.Result = kFailed;
    verdict.Code = Code;
    verdict.Msg = std::move(Msg);
    return verdict;
}

std::string Socks4ConnectRequest(std::uint16_t Port, std::uint32_t Addr,
                                 const std::string& UserCode, const std::string& Host) {
    std::string out;
    out.reserve(8 + UserCode.size() + 1 + (Host.empty() ? 0 : Host.size() + 1));
    out.push_back(4);
    out.push_back(1);
    PutPort(out, Port);
    out.append(reinterpret_cast<const char*>(&Addr), 4);
    out += UserCode;
    out.push_back('\0');
    if (!Host.empty()) {
        out += Host;
        out.push_back('\0');
    }
    return out;
}

std::string Socks5ConnectRequest(const std::string& Host, std::uint16_t Port) {
    std::string out{5, 1, 0, 3};
    out.reserve(Host.size() + 7);
    PutCounted(out, Host);
    PutPort(out, Port);
    return out;
}

std::string Socks5Credentials(const std::string& UserCode, const std::string& Password) {
    std::string out(1, '\1');
    out.reserve(3 + UserCode.size() + Password.size());
    PutCounted(out, UserCode);
    PutCounted(out, Password);
    return out;
}

TSocksVerdict Socks4Reply(const unsigned char* Reply) {
    if (Reply[0] != 0) return TSocksVerdict::Failed(20002, "socks version error");
    switch (Reply[1]) {
    case 90: {
        TSocksVerdict verdict;
        verdict.Result = TSocksVerdict::kAccepted;
        verdict.Length = 8;
        return verdict;
    }
    case 91:
        return TSocksVerdict::Failed(20016, "request rejected or failed");
    case 92:
        return TSocksVerdict::Failed(20008, "connection refused");
    case 93:
        return TSocksVerdict::Failed(20015, "authentification failed");
    default:
        return TSocksVerdict::Failed(20012, Unassigned(Reply[1]));
    }
}

TSocksVerdict Socks5MethodReply(const unsigned char* Reply) {
    if (Reply[0] != 5) return TSocksVerdict::Failed(20002, "socks version error");
    if (Reply[1] != 0 && Reply[1] != 2)
        return TSocksVerdict::Failed(20003, "authentification method not acceptable");
    TSocksVerdict verdict;
    verdict.Result = TSocksVerdict::kAccepted;
    verdict.Length = 2;
    verdict.Method = Reply[1];
    return verdict;
}

TSocksVerdict Socks5AuthReply(const unsigned char* Reply, std::size_t Count) {
    if (Count >= 1 && Reply[0] != 1) return TSocksVerdict::Failed(20002, "socks version error");
    if (Count > 2) return TSocksVerdict::Failed(20001, "too much data availaible");
    TSocksVerdict verdict;
    if (Count < 2) return verdict;
    if (Reply[1] != 0) return TSocksVerdict::Failed(20015, "socks authentication failed");
    verdict.Result = TSocksVerdict::kAccepted;
    verdict.Length = 2;
    return verdict;
}

TSocksVerdict Socks5ConnectReply(const unsigned char* Reply, std::size_t Count) {
    static const char* const kReplyTexts[] = {
        "general SOCKS server failure", "connection not allowed by ruleset",
        "network unreachable",          "host unreachable",
        "connection refused",           "time to live expired",
        "command not supported",        "address type not supported"};
    TSocksVerdict verdict;
    if (Count >= 1 && Reply[0] != 5) return TSocksVerdict::Failed(20002, "socks version error");
    if (Count >= 2 && Reply[1] != 0) {
        if (Reply[1] <= 8)
            return TSocksVerdict::Failed(20003 + Reply[1], kReplyTexts[Reply[1] - 1]);
        return TSocksVerdict::Failed(20012, Unassigned(Reply[1]));
    }
    if (Count < 5) return verdict;
    std::size_t length = 5; // an unknown type fails as soon as it is seen
    std::size_t addrEnd = 0;
    switch (Reply[3]) {
    case 1:
        addrEnd = 8;
        break;
    case 3:
        addrEnd = 5 + Reply[4];
        break;
    case 4:
        addrEnd = 20;
        break;
    }
    if (addrEnd != 0) length = addrEnd + 2;
    if (length > kSocksReplySize - 1) return TSocksVerdict::Failed(20001, "socks reply too long");
    if (Count < length) return verdict;
    char text[INET6_ADDRSTRLEN] = {};
    switch (Reply[3]) {
    case 1:
        ::inet_ntop(AF_INET, Reply + 4, text, sizeof text);
        verdict.BoundAddr = text;
        break;
    case 3:
        verdict.BoundAddr.assign(reinterpret_cast<const char*>(Reply + 5), Reply[4]);
        break;
    case 4:
        ::inet_ntop(AF_INET6, Reply + 4, text, sizeof text);
        verdict.BoundAddr = text;
        break;
    default:
        return TSocksVerdict::Failed(20011, "address type not supported");
    }
    verdict.BoundPort = std::to_string((Reply[addrEnd] << 8) | Reply[addrEnd + 1]);
    verdict.Result = TSocksVerdict::kAccepted;
    verdict.Length = length;
    return verdict;
}
