// pop3_floor --host H --port P --user U --pass W
//
// The least work a POP3 retrieval can cost its client: blocking reads into one buffer, no line
// handling, no event loop. It does what pop3_fetch does (USER/PASS, STAT, RETR 1..N on one
// connection, QUIT) and so, run in pop3_fetch's place, shows how fast the server itself can
// send: no client can finish sooner than this one.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int Fail(const char* what) {
    std::fprintf(stderr, "pop3_floor: %s\n", what);
    return 1;
}

// Reads until the bytes received end with terminator; the last reply line goes to reply.
bool ReadUntil(int fd, const char* terminator, std::vector<char>& buffer, std::string& reply,
               long long& total) {
    const std::size_t length = std::strlen(terminator);
    std::string tail;
    for (;;) {
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0) return false;
        total += n;
        tail.append(buffer.data(), static_cast<std::size_t>(n));
        if (tail.size() > 512) tail.erase(0, tail.size() - 512);
        if (tail.size() >= length && tail.compare(tail.size() - length, length, terminator) == 0) {
            reply = tail;
            return true;
        }
    }
}

bool Command(int fd, const std::string& line, std::vector<char>& buffer, std::string& reply,
             long long& total) {
    const std::string bytes = line + "\r\n";
    if (::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size()))
        return false;
    return ReadUntil(fd, "\r\n", buffer, reply, total) && reply.rfind("+OK", 0) == 0;
}

} // namespace

int main(int argc, char** argv) {
    std::string host = "127.0.0.1", user, pass;
    int port = 110;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        if (name == "--host")
            host = argv[i + 1];
        else if (name == "--port")
            port = std::atoi(argv[i + 1]);
        else if (name == "--user")
            user = argv[i + 1];
        else if (name == "--pass")
            pass = argv[i + 1];
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (fd < 0 || ::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return Fail("cannot connect");
    std::vector<char> buffer(1 << 20);
    std::string reply;
    long long total = 0;
    if (!ReadUntil(fd, "\r\n", buffer, reply, total) ||
        !Command(fd, "USER " + user, buffer, reply, total) ||
        !Command(fd, "PASS " + pass, buffer, reply, total) ||
        !Command(fd, "STAT", buffer, reply, total))
        return Fail("login refused");
    const long count = std::strtol(reply.c_str() + 3, nullptr, 10);
    long received = 0;
    for (long i = 1; i <= count; ++i) {
        const std::string command = "RETR " + std::to_string(i) + "\r\n";
        if (::send(fd, command.data(), command.size(), MSG_NOSIGNAL) !=
                static_cast<ssize_t>(command.size()) ||
            !ReadUntil(fd, "\r\n.\r\n", buffer, reply, total))
            break;
        ++received;
    }
    Command(fd, "QUIT", buffer, reply, total);
    ::close(fd);
    std::printf("pop3_floor: %ld of %ld messages, %lld bytes with replies\n", received, count,
                total);
    return received == count ? 0 : 1;
}
