// socks_relay PROXY_PORT [MiB] [rounds]
//
// Moves the given amount (default 1024 MiB) from a local sender on 127.0.0.1 through the
// SOCKS 5 proxy on PROXY_PORT (bench/socks_relay.sh starts a private Dante) to two clients in
// turn: a TWSocket with the proxy set, reading in OnDataAvailable as a protocol client does,
// and a plain blocking socket that does the SOCKS 5 handshake itself and reads in a loop. Each
// transfer is timed from the connect to its last byte, handshake included; rounds alternate.
// Prints the medians of wall time and client CPU (the reading thread's) and, last,
// "ratio X": TWSocket's median wall time over the plain client's.

#include "net/WSocket.h"
#include "ui/ConsoleApplication.h"
#include "ui/EventLoop.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kChunk = 65536;

struct TResult {
    double wall = -1; // seconds; negative when the transfer did not complete
    double cpu = 0;   // seconds of the reading thread
};

double ThreadCpu() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

sockaddr_in Loopback(std::uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    return addr;
}

// Sends total bytes to the one connection it accepts, then closes it.
class TSender {
public:
    explicit TSender(std::uint64_t total) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr = Loopback(0);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(fd_, 1);
        socklen_t length = sizeof addr;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &length);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this, total] { Run(total); });
    }
    ~TSender() {
        thread_.join();
        ::close(fd_);
    }
    std::uint16_t Port() const { return port_; }

private:
    void Run(std::uint64_t total) {
        std::vector<char> data(kChunk);
        for (int i = 0; i < kChunk; ++i)
            data[static_cast<std::size_t>(i)] = static_cast<char>(i * 31 + 7);
        const int peer = ::accept(fd_, nullptr, nullptr);
        std::uint64_t sent = 0;
        while (sent < total) {
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, total - sent));
            const ssize_t done = ::send(peer, data.data(), n, MSG_NOSIGNAL);
            if (done <= 0) break;
            sent += static_cast<std::uint64_t>(done);
        }
        ::close(peer);
    }
    int fd_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
};

TResult Ours(TConsoleApplication& app, std::uint16_t proxyPort, std::uint64_t total) {
    TSender sender(total);
    TWSocket socket;
    std::vector<char> buffer(kChunk);
    std::uint64_t received = 0;
    TResult result;
    socket.OnDataAvailable = [&](TObject*, std::uint16_t) {
        const int n = socket.Receive(buffer.data(), static_cast<int>(buffer.size()));
        if (n > 0) received += static_cast<std::uint64_t>(n);
    };
    socket.OnSessionClosed = [&](TObject*, std::uint16_t) { Application::Terminate(); };
    socket.SetAddr("127.0.0.1");
    socket.SetPort(std::to_string(sender.Port()));
    socket.SetSocksServer("127.0.0.1");
    socket.SetSocksPort(std::to_string(proxyPort));
    socket.SetSocksLevel("5");
    const Clock::time_point start = Clock::now();
    const double cpu = ThreadCpu();
    socket.Connect();
    app.Run();
    result.cpu = ThreadCpu() - cpu;
    if (received == total)
        result.wall = std::chrono::duration<double>(Clock::now() - start).count();
    socket.OnSessionClosed = nullptr;
    Application::ResetTerminated();
    return result;
}

bool SendAll(int fd, const std::string& bytes) {
    return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
}

bool ReceiveExactly(int fd, char* buffer, std::size_t count) {
    return ::recv(fd, buffer, count, MSG_WAITALL) == static_cast<ssize_t>(count);
}

TResult Plain(std::uint16_t proxyPort, std::uint64_t total) {
    TSender sender(total);
    TResult result;
    const Clock::time_point start = Clock::now();
    const double cpu = ThreadCpu();
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in proxy = Loopback(proxyPort);
    const std::string host = "127.0.0.1";
    std::string request = {5, 1, 0, 3, static_cast<char>(host.size())};
    request += host;
    request.push_back(static_cast<char>(sender.Port() >> 8));
    request.push_back(static_cast<char>(sender.Port() & 0xFF));
    std::vector<char> buffer(kChunk);
    // Dante answers an IPv4 bound address: a 10-byte reply.
    const bool connected =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&proxy), sizeof proxy) == 0 &&
        SendAll(fd, std::string{5, 1, 0}) && ReceiveExactly(fd, buffer.data(), 2) &&
        buffer[1] == 0 && SendAll(fd, request) && ReceiveExactly(fd, buffer.data(), 10) &&
        buffer[1] == 0;
    std::uint64_t received = 0;
    while (connected) {
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0) break;
        received += static_cast<std::uint64_t>(n);
    }
    ::close(fd);
    result.cpu = ThreadCpu() - cpu;
    if (received == total)
        result.wall = std::chrono::duration<double>(Clock::now() - start).count();
    return result;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: socks_relay PROXY_PORT [MiB] [rounds]\n");
        return 2;
    }
    const auto proxyPort = static_cast<std::uint16_t>(std::strtoul(argv[1], nullptr, 10));
    const std::uint64_t mebibytes = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1024;
    const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;
    const std::uint64_t total = mebibytes << 20;
    TConsoleApplication app(argc, argv);

    std::vector<double> oursWall, oursCpu, plainWall, plainCpu;
    for (int round = 0; round < rounds; ++round) {
        // Which client goes first alternates, so neither always meets a warmer proxy.
        for (int turn = 0; turn < 2; ++turn) {
            const bool oursNow = (round + turn) % 2 == 0;
            const TResult r = oursNow ? Ours(app, proxyPort, total) : Plain(proxyPort, total);
            if (r.wall < 0) {
                std::fprintf(stderr, "a transfer through the proxy did not complete\n");
                return 1;
            }
            (oursNow ? oursWall : plainWall).push_back(r.wall);
            (oursNow ? oursCpu : plainCpu).push_back(r.cpu);
        }
    }
    const double mb = static_cast<double>(total) / 1e6;
    std::printf("%llu MiB through the proxy, %d rounds, medians\n",
                static_cast<unsigned long long>(mebibytes), rounds);
    std::printf("TWSocket, SOCKS 5:      %.3f s (%.0f MB/s), client CPU %.3f s\n", Median(oursWall),
                mb / Median(oursWall), Median(oursCpu));
    std::printf("plain blocking client:  %.3f s (%.0f MB/s), client CPU %.3f s\n",
                Median(plainWall), mb / Median(plainWall), Median(plainCpu));
    std::printf("cpu ratio %.2f\n", Median(oursCpu) / Median(plainCpu));
    std::printf("ratio %.2f\n", Median(oursWall) / Median(plainWall));
    return 0;
}
