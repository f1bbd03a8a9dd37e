// socket_throughput [MiB]
//
// Moves the given amount (default 1024 MiB) over 127.0.0.1 three times, in eight alternating
// slices: from a TWSocket to a
// plain blocking receiver thread, from a plain blocking sender thread to a TWSocket whose
// OnDataAvailable reads into a buffer as a protocol client does, and between two plain
// blocking sockets. Prints the three rates and, last, "ratio X": the slower TWSocket direction
// divided by the plain rate.

#include "net/WSocket.h"
#include "ui/ConsoleApplication.h"
#include "ui/EventLoop.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kChunk = 65536;

struct TListener {
    int fd = -1;
    std::uint16_t port = 0;

    TListener() {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(fd, 1);
        socklen_t length = sizeof addr;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
        port = ntohs(addr.sin_port);
    }
    ~TListener() { ::close(fd); }
};

const std::vector<char>& Pattern() {
    static const std::vector<char> data = [] {
        std::vector<char> bytes(kChunk);
        for (int i = 0; i < kChunk; ++i)
            bytes[static_cast<size_t>(i)] = static_cast<char>(i * 31 + 7);
        return bytes;
    }();
    return data;
}

void PlainSend(int fd, std::uint64_t total) {
    const std::vector<char>& data = Pattern();
    std::uint64_t sent = 0;
    while (sent < total) {
        const size_t n = static_cast<size_t>(std::min<std::uint64_t>(kChunk, total - sent));
        const ssize_t done = ::send(fd, data.data(), n, MSG_NOSIGNAL);
        if (done <= 0) return;
        sent += static_cast<std::uint64_t>(done);
    }
}

std::uint64_t PlainReceive(int fd, std::uint64_t total) {
    std::vector<char> buffer(kChunk);
    std::uint64_t received = 0;
    while (received < total) {
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0) break;
        received += static_cast<std::uint64_t>(n);
    }
    return received;
}

// Accepts one connection and reads total bytes from it; end is when the last byte arrived.
std::uint64_t AcceptAndReceive(const TListener& listener, std::uint64_t total,
                               Clock::time_point& end) {
    const int fd = ::accept(listener.fd, nullptr, nullptr);
    const std::uint64_t received = PlainReceive(fd, total);
    end = Clock::now();
    ::close(fd);
    return received;
}

// Connects the socket to the listener and runs the loop until a handler ends it.
void ConnectAndRun(TConsoleApplication& app, TWSocket& socket, const TListener& listener) {
    socket.SetAddr("127.0.0.1");
    socket.SetPort(std::to_string(listener.port));
    socket.Connect();
    app.Run();
    Application::ResetTerminated();
}

double Seconds(Clock::duration elapsed) {
    return std::chrono::duration<double>(elapsed).count();
}

double PlainToPlain(std::uint64_t total) {
    TListener listener;
    std::uint64_t received = 0;
    Clock::time_point end;
    std::thread receiver([&] { received = AcceptAndReceive(listener, total, end); });
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(listener.port);
    ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    const Clock::time_point start = Clock::now();
    PlainSend(fd, total);
    receiver.join();
    ::close(fd);
    return received == total ? Seconds(end - start) : -1.0;
}

double SocketToPlain(TConsoleApplication& app, std::uint64_t total) {
    TListener listener;
    std::atomic<std::uint64_t> received{0};
    Clock::time_point end;
    std::thread receiver([&] {
        received = AcceptAndReceive(listener, total, end);
        PostToMainThread([] { Application::Terminate(); });
    });

    TWSocket socket;
    std::uint64_t queued = 0;
    Clock::time_point start;
    // One chunk per OnDataSent keeps the queue bounded: the next chunk is queued only once the
    // previous one has been handed to the system.
    auto feed = [&] {
        if (queued >= total) return;
        const int n = static_cast<int>(std::min<std::uint64_t>(kChunk, total - queued));
        queued += static_cast<std::uint64_t>(n);
        socket.Send(Pattern().data(), n);
    };
    socket.OnSessionConnected = [&](TObject*, std::uint16_t error) {
        if (error != 0) {
            std::fprintf(stderr, "connect failed: %u\n", error);
            std::exit(1);
        }
        start = Clock::now();
        feed();
    };
    socket.OnDataSent = [&](TObject*, std::uint16_t) { feed(); };
    ConnectAndRun(app, socket, listener);
    receiver.join();
    socket.Close();
    return received == total ? Seconds(end - start) : -1.0;
}

double PlainToSocket(TConsoleApplication& app, std::uint64_t total) {
    TListener listener;
    Clock::time_point start;
    std::thread sender([&] {
        const int fd = ::accept(listener.fd, nullptr, nullptr);
        start = Clock::now();
        PlainSend(fd, total);
        ::shutdown(fd, SHUT_WR);
        char drain[256];
        while (::recv(fd, drain, sizeof drain, 0) > 0) {
        }
        ::close(fd);
    });

    TWSocket socket;
    std::vector<char> buffer(kChunk);
    std::uint64_t received = 0;
    Clock::time_point end;
    socket.OnDataAvailable = [&](TObject*, std::uint16_t) {
        const int n = socket.Receive(buffer.data(), static_cast<int>(buffer.size()));
        if (n > 0) received += static_cast<std::uint64_t>(n);
        if (received >= total && end == Clock::time_point{}) {
            end = Clock::now();
            Application::Terminate();
        }
    };
    socket.OnSessionClosed = [&](TObject*, std::uint16_t) { Application::Terminate(); };
    ConnectAndRun(app, socket, listener);
    // A second quit request now would end the next transfer's loop at once.
    socket.OnSessionClosed = nullptr;
    socket.Close();
    sender.join();
    return received == total ? Seconds(end - start) : -1.0;
}

} // namespace

int main(int argc, char** argv) {
    const std::uint64_t mebibytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
    const std::uint64_t total = mebibytes << 20;
    TConsoleApplication app(argc, argv);

    // The three transfers take turns in slices, so that load from elsewhere on the machine
    // weighs on all of them alike.
    constexpr int kRounds = 8;
    const std::uint64_t slice = total / kRounds;
    double ours = 0, theirs = 0, plain = 0;
    for (int round = 0; round < kRounds; ++round) {
        const double a = SocketToPlain(app, slice);
        const double b = PlainToSocket(app, slice);
        const double c = PlainToPlain(slice);
        if (a < 0 || b < 0 || c < 0) {
            std::fprintf(stderr, "a transfer did not complete\n");
            return 1;
        }
        ours += a;
        theirs += b;
        plain += c;
    }
    const double bytes = static_cast<double>(slice * kRounds) / 1e6;
    std::printf("TWSocket send -> plain receive: %.0f MB/s\n", bytes / ours);
    std::printf("plain send -> TWSocket receive: %.0f MB/s\n", bytes / theirs);
    std::printf("plain send -> plain receive:    %.0f MB/s\n", bytes / plain);
    std::printf("ratio %.2f\n", std::min(bytes / ours, bytes / theirs) / (bytes / plain));
    return 0;
}
