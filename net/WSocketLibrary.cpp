#include "net/WSocketLibrary.h"

#include "ui/SysUtils.h"

#include "net/WinsockEmulation.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <strings.h>
#include <unistd.h>

#include <array>
#include <cstdio>

namespace {

int objectCount = 0;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Value of the leading decimal digits; saturates at limit + 1 so that absurdly long digit runs
// cannot overflow.
long LeadingNumber(const std::string& text, long limit) {
    long value = 0;
    for (size_t i = 0; i < text.size() && IsDigit(text[i]); ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > limit) return limit + 1;
    }
    return value;
}

template <typename... Args> std::string Format(const char* format, Args... args) {
    std::array<char, 512> buffer{};
    std::snprintf(buffer.data(), buffer.size(), format, args...);
    return buffer.data();
}

struct TNamedNumber {
    const char* name;
    int number;
};

// Used when the system databases (/etc/services, /etc/protocols) are missing or lack the
// names this program relies on; minimal containers often ship without them.
constexpr TNamedNumber kFallbackServices[] = {{"pop3", 110}, {"smtp", 25}, {"http", 80}};
constexpr TNamedNumber kFallbackProtocols[] = {{"tcp", IPPROTO_TCP}, {"udp", IPPROTO_UDP}};

template <size_t N> int FindFallback(const TNamedNumber (&table)[N], const std::string& name) {
    for (const TNamedNumber& entry : table) {
        if (strcasecmp(entry.name, name.c_str()) == 0) return entry.number;
    }
    return -1;
}

} // namespace

std::string GetLocalHostName() {
    std::array<char, 64> buffer{};
    if (gethostname(buffer.data(), buffer.size() - 1) != 0)
        throw ESocketException("Winsock.GetHostName failed");
    return buffer.data();
}

bool IsDottedIP(const std::string& S) {
    const size_t length = S.size();
    size_t i = 0;
    while (i < length && S[i] == ' ')
        ++i;
    if (i < length && S[i] == '.') return false;
    int dotCount = 0;
    long value = 0;
    while (i < length) {
        const char c = S[i];
        if (IsDigit(c)) {
            value = value * 10 + (c - '0');
            if (value > 255)
                value = 256; // only "above 255" matters; keeps long digit runs from overflowing
        } else if (c == '.') {
            ++dotCount;
            if (dotCount > 3 || value > 255) return false;
            value = 0;
            if (i + 1 >= length || !IsDigit(S[i + 1])) return false;
        } else {
            while (i < length && S[i] == ' ')
                ++i;
            if (i < length) return false;
            break;
        }
        ++i;
    }
    return dotCount == 3 && value <= 255;
}

std::uint32_t WSocketResolveHost(const std::string& InAddr) {
    if (InAddr.empty() || InAddr.size() > 256)
        throw ESocketException("WSocketResolveHost: '" + InAddr + "' Invalid Hostname.");
    const std::string trimmed = Trim(InAddr);
    if (IsDottedIP(InAddr)) {
        const std::uint32_t address = winsock::inet_addr(trimmed);
        if (address == INADDR_NONE && trimmed != "255.255.255.255")
            throw ESocketException("WSocketResolveHost: '" + InAddr + "' Invalid IP address.");
        return address;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    const int status = getaddrinfo(trimmed.c_str(), nullptr, &hints, &result);
    if (status != 0 || result == nullptr) {
        if (result) freeaddrinfo(result);
        const int error = status != 0 ? WinsockErrorFromResolver(status) : WSANO_DATA;
        throw ESocketException(
            Format("WSocketResolveHost: Cannot convert host address '%s', Error #%d",
                   InAddr.c_str(), error));
    }
    const std::uint32_t address = reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(result);
    return address;
}

std::uint16_t WSocketResolvePort(const std::string& Port, const std::string& Proto) {
    if (Port.empty() || Port.size() >= 32)
        throw ESocketException("WSocketResolvePort: Invalid Port.");
    if (Proto.empty() || Proto.size() >= 32)
        throw ESocketException("WSocketResolvePort: Invalid Proto.");
    if (IsDigit(Port[0])) {
        // A number past 65535 cannot be a port; truncating it would connect somewhere else.
        const long value = LeadingNumber(Port, 65535);
        if (value > 65535) throw ESocketException("WSocketResolvePort: Invalid Port.");
        return static_cast<std::uint16_t>(value);
    }
    const std::string port = Trim(Port);
    const std::string proto = Trim(Proto);
    servent entry{};
    servent* found = nullptr;
    std::array<char, 1024> scratch{};
    getservbyname_r(port.c_str(), proto.empty() ? nullptr : proto.c_str(), &entry, scratch.data(),
                    scratch.size(), &found);
    if (found) return ntohs(static_cast<std::uint16_t>(found->s_port));
    const int fallback = FindFallback(kFallbackServices, port);
    if (fallback >= 0) return static_cast<std::uint16_t>(fallback);
    throw ESocketException(Format("WSocketResolvePort: Cannot convert port '%s', Error #%d",
                                  Port.c_str(), static_cast<int>(WSANO_DATA)));
}

int WSocketResolveProto(const std::string& sProto) {
    if (sProto.empty() || sProto.size() >= 32)
        throw ESocketException("WSocketResolveProto: Invalid Protocol.");
    const std::string proto = Trim(sProto);
    if (!proto.empty() && IsDigit(proto[0])) return static_cast<int>(LeadingNumber(proto, 65535));
    protoent entry{};
    protoent* found = nullptr;
    std::array<char, 1024> scratch{};
    getprotobyname_r(proto.c_str(), &entry, scratch.data(), scratch.size(), &found);
    if (found) return found->p_proto;
    const int fallback = FindFallback(kFallbackProtocols, proto);
    if (fallback >= 0) return fallback;
    throw ESocketException(Format("WSocketResolveProto: Cannot convert protocol '%s', Error #%d",
                                  proto.c_str(), static_cast<int>(WSANO_DATA)));
}

HWND AllocateNotifyWindow(TWndMethod Method) {
    return AllocateHWnd(std::move(Method));
}

void ReleaseNotifyWindow(HWND Window) {
    DeallocateHWnd(Window);
}

int WSocketObjectCount() noexcept {
    return objectCount;
}

void WSocketObjectCreated() noexcept {
    ++objectCount;
}

bool WSocketObjectDestroyed() noexcept {
    --objectCount;
    if (objectCount < 1) {
        ReleaseSocketLibrary();
        return true;
    }
    return false;
}

void ReleaseSocketLibrary() noexcept {
    // Nothing to unload: the system's sockets need no start-up or clean-up per process.
    objectCount = 0;
}
