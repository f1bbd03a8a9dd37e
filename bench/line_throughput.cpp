// line_throughput [MiB]
//
// Lines per second of a line-mode TWSocket receiver against a plain blocking receiver that
// splits with read and memchr, for 80-byte and 8 KiB lines (CR LF included). A plain sender
// thread sends the given amount per line size (default 256 MiB) over 127.0.0.1; the two
// receivers take turns in eight slices, and each one's fastest slice counts. Both hand every line
// to a consumer that reads its length and first byte. Prints both rates per size and, last, "ratio
// X": ours/plain for 80-byte lines.

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
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kChunk = 65536;

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

// Whole lines of lineSize bytes, as many as fit in about kChunk bytes (at least one).
std::string LineBlock(std::size_t lineSize) {
    std::string line(lineSize - 2, 'x');
    for (std::size_t i = 0; i < line.size(); ++i)
        line[i] = static_cast<char>('a' + i % 26);
    line += "\r\n";
    std::string block;
    do
        block += line;
    while (block.size() + lineSize <= kChunk);
    return block;
}

// Accepts one connection, sends count copies of block, then closes its sending side.
std::thread Sender(const TListener& listener, const std::string& block, std::uint64_t count) {
    return std::thread([&listener, &block, count] {
        const int fd = ::accept(listener.fd, nullptr, nullptr);
        for (std::uint64_t i = 0; i < count; ++i) {
            std::size_t done = 0;
            while (done < block.size()) {
                const ssize_t n =
                    ::send(fd, block.data() + done, block.size() - done, MSG_NOSIGNAL);
                if (n <= 0) break;
                done += static_cast<std::size_t>(n);
            }
        }
        ::shutdown(fd, SHUT_WR);
        char drain[256];
        while (::recv(fd, drain, sizeof drain, 0) > 0) {
        }
        ::close(fd);
    });
}

struct TResult {
    std::uint64_t lines = 0;
    std::uint64_t sum = 0; // line lengths plus first bytes, so no line goes unread
    double seconds = 0;
};

TResult PlainReceiver(const std::string& block, std::uint64_t count) {
    TListener listener;
    std::thread sender = Sender(listener, block, count);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(listener.port);
    ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    TResult result;
    const Clock::time_point start = Clock::now();
    std::vector<char> buffer(2 * kChunk);
    std::size_t kept = 0; // a partial line carried to the next read
    for (;;) {
        const ssize_t n = ::recv(fd, buffer.data() + kept, buffer.size() - kept, 0);
        if (n <= 0) break;
        const char* from = buffer.data();
        const char* end = buffer.data() + kept + static_cast<std::size_t>(n);
        while (const void* found = std::memchr(from, '\n', static_cast<std::size_t>(end - from))) {
            const char* next = static_cast<const char*>(found) + 1;
            ++result.lines;
            result.sum +=
                static_cast<std::uint64_t>(next - from) + static_cast<unsigned char>(*from);
            from = next;
        }
        kept = static_cast<std::size_t>(end - from);
        std::memmove(buffer.data(), from, kept);
    }
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    ::close(fd);
    sender.join();
    return result;
}

TResult SocketReceiver(TConsoleApplication& app, const std::string& block, std::uint64_t count,
                       std::uint64_t expectedLines) {
    TListener listener;
    std::thread sender = Sender(listener, block, count);
    // The handler captures one pointer, as a client's handler captures its owner.
    struct TReceiver {
        TWSocket socket;
        std::vector<char> line = std::vector<char>(16384);
        TResult result;
        std::uint64_t expected = 0;
        Clock::time_point start;
        Clock::time_point end;

        void LineAvailable() {
            const int n = socket.Receive(line.data(), static_cast<int>(line.size()));
            if (n <= 0) return;
            ++result.lines;
            result.sum += static_cast<std::uint64_t>(n) + static_cast<unsigned char>(line[0]);
            if (result.lines == expected) {
                end = Clock::now();
                Application::Terminate();
            }
        }
    } receiver;
    receiver.expected = expectedLines;
    TWSocket& socket = receiver.socket;
    TResult& result = receiver.result;
    socket.SetLineMode(true);
    socket.OnSessionConnected = [r = &receiver](TObject*, std::uint16_t) {
        r->start = Clock::now();
    };
    socket.OnDataAvailable = [r = &receiver](TObject*, std::uint16_t) { r->LineAvailable(); };
    socket.OnSessionClosed = [&](TObject*, std::uint16_t) { Application::Terminate(); };
    socket.SetAddr("127.0.0.1");
    socket.SetPort(std::to_string(listener.port));
    socket.Connect();
    app.Run();
    Application::ResetTerminated();
    socket.OnSessionClosed = nullptr;
    socket.Close();
    sender.join();
    result.seconds = std::chrono::duration<double>(receiver.end - receiver.start).count();
    return result;
}

// Lines per second of ours and of the plain splitter; both in the same slices of time.
std::pair<double, double> Measure(TConsoleApplication& app, std::size_t lineSize,
                                  std::uint64_t bytes) {
    const std::string block = LineBlock(lineSize);
    constexpr int kRounds = 8;
    const std::uint64_t count = std::max<std::uint64_t>(1, bytes / kRounds / block.size());
    const std::uint64_t lines = count * (block.size() / lineSize);
    double ours = 1e30, plain = 1e30;
    for (int round = 0; round < kRounds; ++round) {
        const TResult a = SocketReceiver(app, block, count, lines);
        const TResult b = PlainReceiver(block, count);
        if (a.lines != lines || b.lines != lines || a.sum != b.sum) {
            std::fprintf(stderr, "%zu-byte lines: ours %llu, plain %llu of %llu lines\n", lineSize,
                         static_cast<unsigned long long>(a.lines),
                         static_cast<unsigned long long>(b.lines),
                         static_cast<unsigned long long>(lines));
            std::exit(1);
        }
        // The fastest slice counts: load from elsewhere on the machine only ever slows one.
        ours = std::min(ours, a.seconds);
        plain = std::min(plain, b.seconds);
    }
    const double oursRate = static_cast<double>(lines) / ours;
    const double plainRate = static_cast<double>(lines) / plain;
    std::printf("%5zu-byte lines: line mode %.0f lines/s, read+memchr %.0f lines/s\n", lineSize,
                oursRate, plainRate);
    return {oursRate, plainRate};
}

} // namespace

int main(int argc, char** argv) {
    const std::uint64_t mebibytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
    TConsoleApplication app(argc, argv);
    const auto [ours, plain] = Measure(app, 80, mebibytes << 20);
    Measure(app, 8192, mebibytes << 20);
    std::printf("ratio %.2f\n", ours / plain);
    return 0;
}
