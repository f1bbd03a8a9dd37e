// The demo mail server that scripts/run starts: a POP3 server with a handful of sample
// messages and an SMTP sink, both on 127.0.0.1 only. It exists so the program can be tried
// without a real mailbox; it is deliberately small and serves one mailbox.
#include "tools/DemoMessages.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

struct TOptions {
    int pop3Port = 11110;
    int smtpPort = 12525;
    std::string user = "demo";
    std::string pass = "demo";
};

std::mutex mailboxLock;
struct TStoredMessage {
    std::string uid;
    std::string text;
};
std::vector<TStoredMessage> mailbox; // messages still on the server, in order

// A blocking line reader over one connection; lines longer than 64 KiB are cut there.
class TConnection {
public:
    explicit TConnection(int fd) : fd_(fd) {}
    ~TConnection() { ::close(fd_); }

    bool ReadLine(std::string& line) {
        for (;;) {
            const size_t lf = buffer_.find('\n');
            if (lf != std::string::npos || buffer_.size() > 65536) {
                const size_t end = lf == std::string::npos ? buffer_.size() : lf;
                line = buffer_.substr(0, end);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                buffer_.erase(0, lf == std::string::npos ? end : end + 1);
                return true;
            }
            char chunk[4096];
            const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
            if (n <= 0) return false;
            buffer_.append(chunk, static_cast<size_t>(n));
        }
    }

    void Send(const std::string& text) {
        size_t at = 0;
        while (at < text.size()) {
            const ssize_t n = ::send(fd_, text.data() + at, text.size() - at, MSG_NOSIGNAL);
            if (n <= 0) return;
            at += static_cast<size_t>(n);
        }
    }

    void Reply(const std::string& line) { Send(line + "\r\n"); }

private:
    int fd_;
    std::string buffer_;
};

std::string Upper(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// Splits "CMD arg rest" into the upper-cased command and the argument text.
void SplitCommand(const std::string& line, std::string& command, std::string& argument) {
    const size_t space = line.find(' ');
    command = Upper(line.substr(0, space));
    argument = space == std::string::npos ? std::string() : line.substr(space + 1);
}

// RFC 1939 section 3: a line starting with "." goes out with one more "." in front.
std::string DotStuffed(const std::string& message, long bodyLines) {
    std::string out;
    bool inBody = false;
    long left = bodyLines;
    size_t at = 0;
    while (at < message.size()) {
        size_t lf = message.find('\n', at);
        const size_t end = lf == std::string::npos ? message.size() : lf + 1;
        std::string line = message.substr(at, end - at);
        at = end;
        if (inBody && bodyLines >= 0 && left-- <= 0) break;
        if (!line.empty() && line[0] == '.') out += '.';
        out += line;
        if (line == "\r\n") inBody = true;
    }
    return out + ".\r\n";
}

void ServePop3(int fd, const TOptions& options) {
    TConnection conn(fd);
    std::vector<TStoredMessage> messages;
    std::vector<bool> deleted;
    conn.Reply("+OK Postlark demo POP3 server ready <" + std::to_string(::getpid()) +
               ".demo@127.0.0.1>");
    std::string user;
    bool loggedIn = false;
    int retrieved = 0;
    std::string line, command, argument;
    const auto number = [&](const std::string& text) -> long {
        char* end = nullptr;
        const long n = std::strtol(text.c_str(), &end, 10);
        return (n >= 1 && n <= static_cast<long>(messages.size()) && !deleted[n - 1]) ? n : 0;
    };
    while (conn.ReadLine(line)) {
        SplitCommand(line, command, argument);
        if (command == "QUIT") {
            if (loggedIn) {
                std::printf(
                    "demo POP3 server: session of %s ended: %d messages retrieved, %zu deleted\n",
                    user.c_str(), retrieved,
                    static_cast<size_t>(std::count(deleted.begin(), deleted.end(), true)));
                std::fflush(stdout);
                std::lock_guard lock(mailboxLock);
                std::vector<TStoredMessage> kept;
                for (size_t i = 0; i < messages.size(); ++i)
                    if (!deleted[i]) kept.push_back(messages[i]);
                mailbox = kept;
            }
            conn.Reply("+OK Bye");
            return;
        }
        if (!loggedIn) {
            if (command == "USER") {
                user = argument;
                conn.Reply("+OK Send your password");
            } else if (command == "PASS") {
                if (user == options.user && argument == options.pass) {
                    std::lock_guard lock(mailboxLock);
                    messages = mailbox;
                    deleted.assign(messages.size(), false);
                    loggedIn = true;
                    conn.Reply("+OK Logged in, " + std::to_string(messages.size()) + " messages");
                } else {
                    conn.Reply("-ERR Authentication failed");
                }
            } else {
                conn.Reply("-ERR Log in first");
            }
            continue;
        }
        long count = 0, octets = 0;
        for (size_t i = 0; i < messages.size(); ++i)
            if (!deleted[i]) {
                ++count;
                octets += static_cast<long>(messages[i].text.size());
            }
        if (command == "STAT") {
            conn.Reply("+OK " + std::to_string(count) + " " + std::to_string(octets));
        } else if (command == "LIST" || command == "UIDL") {
            const bool uidl = command == "UIDL";
            const auto item = [&](size_t i) {
                return std::to_string(i + 1) + " " +
                       (uidl ? messages[i].uid : std::to_string(messages[i].text.size()));
            };
            if (!argument.empty()) {
                const long n = number(argument);
                conn.Reply(n ? "+OK " + item(static_cast<size_t>(n - 1)) : "-ERR No such message");
                continue;
            }
            std::string out = "+OK\r\n";
            for (size_t i = 0; i < messages.size(); ++i)
                if (!deleted[i]) out += item(i) + "\r\n";
            conn.Send(out + ".\r\n");
        } else if (command == "RETR" || command == "TOP") {
            std::string which = argument, lines = "-1";
            if (command == "TOP") {
                const size_t space = argument.find(' ');
                which = argument.substr(0, space);
                lines = space == std::string::npos ? "" : argument.substr(space + 1);
            }
            const long n = number(which);
            if (!n || lines.empty()) {
                conn.Reply("-ERR No such message");
                continue;
            }
            const std::string& message = messages[static_cast<size_t>(n - 1)].text;
            if (command == "RETR") ++retrieved;
            conn.Send("+OK " + std::to_string(message.size()) + " octets\r\n" +
                      DotStuffed(message, std::atol(lines.c_str())));
        } else if (command == "DELE") {
            const long n = number(argument);
            if (n) deleted[static_cast<size_t>(n - 1)] = true;
            conn.Reply(n ? "+OK Marked to be deleted" : "-ERR No such message");
        } else if (command == "RSET") {
            deleted.assign(messages.size(), false);
            conn.Reply("+OK");
        } else if (command == "NOOP") {
            conn.Reply("+OK");
        } else if (command == "LAST") {
            conn.Reply("+OK 0");
        } else {
            conn.Reply("-ERR Unknown command");
        }
    }
}

void ServeSmtp(int fd) {
    TConnection conn(fd);
    conn.Reply("220 127.0.0.1 Postlark demo SMTP sink ready");
    std::string line, command, argument, sender, recipients;
    while (conn.ReadLine(line)) {
        SplitCommand(line, command, argument);
        // The envelope is shown with each message, so forwards are visible in the log.
        if (command == "MAIL") sender = argument;
        if (command == "RCPT") recipients += (recipients.empty() ? "" : " ") + argument;
        if (command == "EHLO") {
            conn.Send(
                "250-127.0.0.1 greets you\r\n250-AUTH PLAIN LOGIN CRAM-MD5\r\n250 8BITMIME\r\n");
        } else if (command == "HELO" || command == "MAIL" || command == "RCPT" ||
                   command == "RSET" || command == "NOOP") {
            conn.Reply("250 OK");
        } else if (command == "AUTH") {
            const std::string mechanism = Upper(argument.substr(0, argument.find(' ')));
            if (mechanism == "LOGIN") {
                conn.Reply("334 VXNlcm5hbWU6");
                conn.ReadLine(line);
                conn.Reply("334 UGFzc3dvcmQ6");
                conn.ReadLine(line);
            } else if (mechanism == "CRAM-MD5") {
                conn.Reply("334 PDEyMzQ1LmRlbW9AMTI3LjAuMC4xPg==");
                conn.ReadLine(line);
            } else if (argument.find(' ') == std::string::npos) {
                conn.Reply("334 ");
                conn.ReadLine(line);
            }
            conn.Reply("235 Authentication successful");
        } else if (command == "VRFY") {
            conn.Reply("252 Cannot verify, will accept");
        } else if (command == "DATA") {
            conn.Reply("354 End data with <CR><LF>.<CR><LF>");
            size_t bytes = 0;
            std::string subject;
            bool header = true;
            while (conn.ReadLine(line) && line != ".") {
                bytes += line.size() + 2;
                if (line.empty()) header = false;
                if (header && subject.empty() && Upper(line.substr(0, 8)) == "SUBJECT:")
                    subject = line.substr(8);
            }
            std::printf("demo SMTP sink: accepted a message of %zu bytes, %s %s, subject:%s\n",
                        bytes, sender.c_str(), recipients.c_str(), subject.c_str());
            recipients.clear();
            std::fflush(stdout);
            conn.Reply("250 OK, message accepted");
        } else if (command == "QUIT") {
            conn.Reply("221 Bye");
            return;
        } else {
            conn.Reply("502 Command not implemented");
        }
    }
}

int Listen(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd, 16) != 0) {
        std::fprintf(stderr, "demo server: cannot listen on 127.0.0.1:%d: %s\n", port,
                     std::strerror(errno));
        std::exit(1);
    }
    return fd;
}

template <typename Serve> void AcceptLoop(int listener, Serve serve) {
    for (;;) {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR) continue;
            return;
        }
        std::thread(serve, fd).detach();
    }
}

} // namespace

int main(int argc, char** argv) {
    TOptions options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i], value = argv[i + 1];
        if (flag == "--pop3-port")
            options.pop3Port = std::atoi(value.c_str());
        else if (flag == "--smtp-port")
            options.smtpPort = std::atoi(value.c_str());
        else if (flag == "--user")
            options.user = value;
        else if (flag == "--pass")
            options.pass = value;
        else {
            std::fprintf(stderr,
                         "usage: %s [--pop3-port N] [--smtp-port N] [--user U] [--pass P]\n",
                         argv[0]);
            return 2;
        }
    }
    std::signal(SIGPIPE, SIG_IGN);
    int serial = 0;
    for (std::string& text : DemoMessages())
        mailbox.push_back({"demo-" + std::to_string(++serial), std::move(text)});
    const int pop3 = Listen(options.pop3Port);
    const int smtp = Listen(options.smtpPort);
    std::printf("demo mail server: POP3 on 127.0.0.1:%d, SMTP sink on 127.0.0.1:%d, user %s\n",
                options.pop3Port, options.smtpPort, options.user.c_str());
    std::fflush(stdout);
    std::thread smtpThread([smtp] { AcceptLoop(smtp, ServeSmtp); });
    AcceptLoop(pop3, [&options](int fd) { ServePop3(fd, options); });
    smtpThread.join();
    return 0;
}
