#pragma once

// Helpers shared by the socket suites: a raw blocking listener on 127.0.0.1 that the test
// drives step by step, and a recorder of a socket's events in firing order.

#include "net/WSocket.h"

#include "tests/support/EventLoopFixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

// 127.0.0.1 with the given port (0: the system chooses).
inline sockaddr_in Loopback(std::uint16_t port = 0) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    return addr;
}

// The text of the ESocketException call raises.
inline std::string SocketError(const std::function<void()>& call) {
    try {
        call();
    } catch (const ESocketException& e) {
        return e.what();
    }
    return "no exception";
}

class TRawListener {
public:
    TRawListener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr = Loopback();
        ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(fd_, 5);
        socklen_t length = sizeof addr;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &length);
        port_ = ntohs(addr.sin_port);
    }
    ~TRawListener() {
        if (peer_ >= 0) ::close(peer_);
        ::close(fd_);
    }
    TRawListener(const TRawListener&) = delete;
    TRawListener& operator=(const TRawListener&) = delete;

    std::uint16_t Port() const { return port_; }
    std::string PortText() const { return std::to_string(port_); }

    // Accepts the connection the client made; -1 when none came within a second.
    int Accept() {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 1000) != 1) return -1;
        peer_ = ::accept(fd_, nullptr, nullptr);
        return peer_;
    }
    int Peer() const { return peer_; }

    void SendAll(const std::string& bytes) const {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::send(peer_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return;
            done += static_cast<size_t>(n);
        }
    }
    // Reads what arrives until count bytes are in or the client closes (1 s per read).
    std::string Read(size_t count) const {
        std::string data;
        char buffer[65536];
        while (data.size() < count) {
            pollfd p{peer_, POLLIN, 0};
            if (::poll(&p, 1, 1000) != 1) break;
            const ssize_t n = ::recv(peer_, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            data.append(buffer, static_cast<size_t>(n));
        }
        return data;
    }
    void CloseOrderly() {
        ::close(peer_);
        peer_ = -1;
    }
    // Abortive close: the client sees a connection reset.
    void Reset() {
        linger value{1, 0};
        ::setsockopt(peer_, SOL_SOCKET, SO_LINGER, &value, sizeof value);
        ::close(peer_);
        peer_ = -1;
    }

private:
    int fd_ = -1;
    int peer_ = -1;
    std::uint16_t port_ = 0;
};

// A port on 127.0.0.1 that nobody listens on: bound once, then released.
inline std::string UnusedPort() {
    return TRawListener().PortText();
}

inline const char* StateName(TSocketState state) {
    static const char* const names[] = {"invalid",   "opened",    "bound",     "connecting",
                                        "connected", "accepting", "listening", "closed"};
    return names[state];
}

// Records every event of a socket as a line of text, in firing order.
struct TEventLog {
    std::vector<std::string> lines;

    void Attach(TCustomWSocket& socket) {
        socket.OnChangeState = [this](TObject*, TSocketState from, TSocketState to) {
            lines.push_back(std::string("state ") + StateName(from) + ">" + StateName(to));
        };
        socket.OnSessionConnected = [this](TObject*, std::uint16_t error) {
            lines.push_back("connected " + std::to_string(error));
        };
        socket.OnSessionClosed = [this](TObject*, std::uint16_t error) {
            lines.push_back("closed " + std::to_string(error));
        };
        socket.OnDataSent = [this](TObject*, std::uint16_t error) {
            lines.push_back("sent " + std::to_string(error));
        };
        socket.OnDnsLookupDone = [this](TObject*, std::uint16_t error) {
            lines.push_back("dns " + std::to_string(error));
        };
    }
    int Count(const std::string& line) const {
        return static_cast<int>(std::count(lines.begin(), lines.end(), line));
    }
    bool Has(const std::string& line) const { return Count(line) > 0; }
};

// Sets up a socket for a connect to 127.0.0.1:port.
inline void Target(TCustomWSocket& socket, const std::string& port) {
    socket.SetAddr("127.0.0.1");
    socket.SetPort(port);
    socket.SetProto("tcp");
}

// A socket with its event log, and a listener for it to connect to.
class SocketTest : public EventLoopTest {
protected:
    // Connects socket to server and waits until it is connected.
    bool ConnectSocket() {
        Target(socket, server.PortText());
        socket.Connect();
        return PumpUntil([&] { return socket.State() == wsConnected; });
    }

    TRawListener server;
    TEventLog log; // outlives the socket, whose destruction still reports its state change
    TWSocket socket;
};
