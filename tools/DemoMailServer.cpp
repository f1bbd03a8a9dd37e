// The demo mail server that scripts/run starts: a POP3 server with a handful of sample
// messages, an SMTP sink and a small web server for the sponsor banner, all on 127.0.0.1 only.
// It exists so the program can be tried without a real mailbox; it is deliberately small and
// serves one mailbox. It runs on the program's own socket suite: a listening socket per
// service, one adopted socket per session, all driven by one event loop. Given a certificate
// it offers TLS too: from the start on a POP3S port, and on request (STLS, STARTTLS) on the
// plain POP3 and SMTP ports, which keep serving plain sessions.
#include "tools/DemoBanner.h"
#include "tools/DemoMessages.h"

#include "net/TlsSession.h"
#include "net/WSocket.h"

#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

struct TOptions {
    int pop3Port = 11110;
    int smtpPort = 12525;
    int httpPort = 0;    // 0: no web server
    int pop3sPort = 0;   // 0: no POP3 with TLS from the start
    std::string tlsCert; // empty: no TLS at all
    std::string tlsKey;
    std::string user = "demo";
    std::string pass = "demo";
};

struct TStoredMessage {
    std::string uid;
    std::string text;
};
std::vector<TStoredMessage> mailbox; // messages still on the server, in order

// How a session may use TLS: not at all, from the start, or when the client asks for it.
enum TTlsUse { tlsNever, tlsAtOnce, tlsOnRequest };

// A plain port offers TLS on request when the server has a certificate.
TTlsUse PlainPortTls(const TOptions& options) {
    return options.tlsCert.empty() ? tlsNever : tlsOnRequest;
}

// One client connection: assembles its lines (cut at 64 KiB) and hands each to Line. The
// connection ends after the reply to the last command has gone out.
class TSession {
public:
    TSession(TSocket handle, const char* service, const TOptions& options, TTlsUse tls)
        : service_(service) {
        // A plain close: the client must still read the last reply.
        socket_.SetLingerOnOff(wsLingerOff);
        socket_.OnDataAvailable = [this](TObject*, std::uint16_t) { Receive(); };
        socket_.OnDataSent = [this](TObject*, std::uint16_t) {
            if (ending_) socket_.Close();
        };
        socket_.OnSessionClosed = [this](TObject*, std::uint16_t) { closed_ = true; };
        if (tls != tlsNever) {
            socket_.SetTlsCertFile(options.tlsCert);
            socket_.SetTlsKeyFile(options.tlsKey);
            socket_.SetTlsImplicit(tls == tlsAtOnce);
            socket_.OnTlsDone = [this](TObject*, std::uint16_t error) {
                // A failed handshake closes the connection by itself.
                if (error == 0) return;
                std::printf("demo %s: %s\n", service_, socket_.TlsErrorText().c_str());
                std::fflush(stdout);
            };
        }
        socket_.Dup(handle);
    }
    virtual ~TSession() = default;
    TSession(const TSession&) = delete;
    TSession& operator=(const TSession&) = delete;

    bool Closed() const { return closed_; }

protected:
    virtual void Line(const std::string& line) = 0;
    // The client may still ask for TLS on this connection.
    bool TlsOffered() const { return socket_.TlsServer() && !socket_.TlsActive() && !tlsAsked_; }
    bool Secured() const { return socket_.TlsActive(); }
    // After the plain reply that grants it. The lines the client sent behind its request came
    // in clear before it saw that reply: they are dropped, not taken as protected commands.
    void StartTls() {
        tlsAsked_ = true;
        buffer_.clear();
        socket_.StartTls();
    }
    void Send(const std::string& text) {
        if (socket_.State() == wsConnected) socket_.SendText(text);
    }
    void Reply(const std::string& line) { Send(line + "\r\n"); }
    // Closes once everything sent so far has been handed to the system.
    void End() { ending_ = true; }

private:
    void Receive() {
        char chunk[4096];
        const int n = socket_.Receive(chunk, sizeof chunk);
        if (n <= 0) return;
        buffer_.append(chunk, static_cast<size_t>(n));
        for (;;) {
            const size_t lf = buffer_.find('\n');
            if (lf == std::string::npos && buffer_.size() <= 65536) return;
            const size_t end = lf == std::string::npos ? buffer_.size() : lf;
            std::string line = buffer_.substr(0, end);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            buffer_.erase(0, lf == std::string::npos ? end : end + 1);
            if (ending_ || closed_) return;
            Line(line);
        }
    }

    const char* service_;
    TWSocket socket_;
    std::string buffer_;
    bool ending_ = false;
    bool closed_ = false;
    bool tlsAsked_ = false;
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

class TPop3Session : public TSession {
public:
    TPop3Session(TSocket handle, const TOptions& options, TTlsUse tls)
        : TSession(handle, "POP3 server", options, tls), options_(options) {
        Reply("+OK Postlark demo POP3 server ready <" + std::to_string(::getpid()) +
              ".demo@127.0.0.1>");
    }

private:
    void Line(const std::string& line) override {
        std::string command, argument;
        SplitCommand(line, command, argument);
        if (command == "QUIT") {
            if (loggedIn_) Commit();
            Reply("+OK Bye");
            End();
        } else if (command == "CAPA" && !options_.tlsCert.empty()) {
            Send(std::string("+OK Capability list follows\r\nTOP\r\nUSER\r\nUIDL\r\n") +
                 (!loggedIn_ && TlsOffered() ? "STLS\r\n" : "") + ".\r\n");
        } else if (command == "STLS" && !loggedIn_ && !options_.tlsCert.empty()) {
            if (!TlsOffered()) {
                Reply("-ERR Already using TLS");
                return;
            }
            Reply("+OK Begin TLS");
            StartTls();
        } else if (!loggedIn_) {
            LogIn(command, argument);
        } else {
            Transaction(command, argument);
        }
    }

    void LogIn(const std::string& command, const std::string& argument) {
        if (command == "USER") {
            user_ = argument;
            Reply("+OK Send your password");
        } else if (command == "PASS") {
            if (user_ == options_.user && argument == options_.pass) {
                messages_ = mailbox;
                deleted_.assign(messages_.size(), false);
                loggedIn_ = true;
                Reply("+OK Logged in, " + std::to_string(messages_.size()) + " messages");
            } else {
                Reply("-ERR Authentication failed");
            }
        } else {
            Reply("-ERR Log in first");
        }
    }

    // The mailbox keeps what this session did not delete.
    void Commit() {
        std::printf("demo POP3 server: session of %s ended: %d messages retrieved, %zu deleted%s\n",
                    user_.c_str(), retrieved_,
                    static_cast<size_t>(std::count(deleted_.begin(), deleted_.end(), true)),
                    Secured() ? ", over TLS" : "");
        std::fflush(stdout);
        std::vector<TStoredMessage> kept;
        for (size_t i = 0; i < messages_.size(); ++i)
            if (!deleted_[i]) kept.push_back(messages_[i]);
        mailbox = kept;
    }

    // The number of a message that is there and not deleted, else 0.
    long Number(const std::string& text) const {
        const long n = std::strtol(text.c_str(), nullptr, 10);
        return (n >= 1 && n <= static_cast<long>(messages_.size()) && !deleted_[n - 1]) ? n : 0;
    }

    void Transaction(const std::string& command, const std::string& argument) {
        long count = 0, octets = 0;
        for (size_t i = 0; i < messages_.size(); ++i)
            if (!deleted_[i]) {
                ++count;
                octets += static_cast<long>(messages_[i].text.size());
            }
        if (command == "STAT") {
            Reply("+OK " + std::to_string(count) + " " + std::to_string(octets));
        } else if (command == "LIST" || command == "UIDL") {
            List(command == "UIDL", argument);
        } else if (command == "RETR" || command == "TOP") {
            Retrieve(command == "TOP", argument);
        } else if (command == "DELE") {
            const long n = Number(argument);
            if (n) deleted_[static_cast<size_t>(n - 1)] = true;
            Reply(n ? "+OK Marked to be deleted" : "-ERR No such message");
        } else if (command == "RSET") {
            deleted_.assign(messages_.size(), false);
            Reply("+OK");
        } else if (command == "NOOP") {
            Reply("+OK");
        } else if (command == "LAST") {
            Reply("+OK 0");
        } else {
            Reply("-ERR Unknown command");
        }
    }

    void List(bool uidl, const std::string& argument) {
        const auto item = [&](size_t i) {
            return std::to_string(i + 1) + " " +
                   (uidl ? messages_[i].uid : std::to_string(messages_[i].text.size()));
        };
        if (!argument.empty()) {
            const long n = Number(argument);
            Reply(n ? "+OK " + item(static_cast<size_t>(n - 1)) : "-ERR No such message");
            return;
        }
        std::string out = "+OK\r\n";
        for (size_t i = 0; i < messages_.size(); ++i)
            if (!deleted_[i]) out += item(i) + "\r\n";
        Send(out + ".\r\n");
    }

    void Retrieve(bool top, const std::string& argument) {
        std::string which = argument, lines = "-1";
        if (top) {
            const size_t space = argument.find(' ');
            which = argument.substr(0, space);
            lines = space == std::string::npos ? "" : argument.substr(space + 1);
        }
        const long n = Number(which);
        if (!n || lines.empty()) {
            Reply("-ERR No such message");
            return;
        }
        const std::string& message = messages_[static_cast<size_t>(n - 1)].text;
        if (!top) ++retrieved_;
        Send("+OK " + std::to_string(message.size()) + " octets\r\n" +
             DotStuffed(message, std::atol(lines.c_str())));
    }

    const TOptions& options_;
    std::vector<TStoredMessage> messages_;
    std::vector<bool> deleted_;
    std::string user_;
    bool loggedIn_ = false;
    int retrieved_ = 0;
};

// Accepts every command; authentication takes whatever the client answers to its prompts.
class TSmtpSession : public TSession {
public:
    TSmtpSession(TSocket handle, const TOptions& options)
        : TSession(handle, "SMTP sink", options, PlainPortTls(options)) {
        Reply("220 127.0.0.1 Postlark demo SMTP sink ready");
    }

private:
    void Line(const std::string& line) override {
        if (!authReplies_.empty()) {
            // Each line answers a prompt; the last reply ends the exchange.
            Reply(authReplies_.front());
            authReplies_.erase(authReplies_.begin());
            return;
        }
        if (inData_) {
            if (line != ".") {
                dataBytes_ += line.size() + 2;
                if (line.empty()) inHeader_ = false;
                if (inHeader_ && subject_.empty() && Upper(line.substr(0, 8)) == "SUBJECT:")
                    subject_ = line.substr(8);
                return;
            }
            inData_ = false;
            // The envelope is shown with each message, so forwards are visible in the log.
            std::printf("demo SMTP sink: accepted a message of %zu bytes, %s %s, subject:%s%s\n",
                        dataBytes_, sender_.c_str(), recipients_.c_str(), subject_.c_str(),
                        Secured() ? " (over TLS)" : "");
            std::fflush(stdout);
            recipients_.clear();
            Reply("250 OK, message accepted");
            return;
        }
        std::string command, argument;
        SplitCommand(line, command, argument);
        if (command == "MAIL") sender_ = argument;
        if (command == "RCPT") recipients_ += (recipients_.empty() ? "" : " ") + argument;
        if (command == "EHLO") {
            Send(std::string("250-127.0.0.1 greets you\r\n") +
                 (TlsOffered() ? "250-STARTTLS\r\n" : "") +
                 "250-AUTH PLAIN LOGIN CRAM-MD5\r\n250 8BITMIME\r\n");
        } else if (command == "STARTTLS" && Secured()) {
            Reply("503 Already using TLS");
        } else if (command == "STARTTLS" && TlsOffered()) {
            Reply("220 Ready to start TLS");
            StartTls();
            // The client starts over with EHLO; nothing said in clear carries on.
            sender_.clear();
            recipients_.clear();
        } else if (command == "HELO" || command == "MAIL" || command == "RCPT" ||
                   command == "RSET" || command == "NOOP") {
            Reply("250 OK");
        } else if (command == "AUTH") {
            Authenticate(argument);
        } else if (command == "VRFY") {
            Reply("252 Cannot verify, will accept");
        } else if (command == "DATA") {
            Reply("354 End data with <CR><LF>.<CR><LF>");
            inData_ = true;
            inHeader_ = true;
            dataBytes_ = 0;
            subject_.clear();
        } else if (command == "QUIT") {
            Reply("221 Bye");
            End();
        } else {
            Reply("502 Command not implemented");
        }
    }

    void Authenticate(const std::string& argument) {
        static const std::string done = "235 Authentication successful";
        const std::string mechanism = Upper(argument.substr(0, argument.find(' ')));
        if (mechanism == "LOGIN") {
            Reply("334 VXNlcm5hbWU6");
            authReplies_ = {"334 UGFzc3dvcmQ6", done};
        } else if (mechanism == "CRAM-MD5") {
            Reply("334 PDEyMzQ1LmRlbW9AMTI3LjAuMC4xPg==");
            authReplies_ = {done};
        } else if (argument.find(' ') == std::string::npos) {
            Reply("334 ");
            authReplies_ = {done};
        } else {
            Reply(done);
        }
    }

    std::vector<std::string> authReplies_;
    bool inData_ = false;
    size_t dataBytes_ = 0;
    bool inHeader_ = false;
    std::string sender_, recipients_, subject_;
};

// One HTTP request, answered and closed: the banner image, the sponsor's page, or 404.
class THttpSession : public TSession {
public:
    THttpSession(TSocket handle, const TOptions& options)
        : TSession(handle, "web server", options, tlsNever) {}

private:
    void Line(const std::string& line) override {
        if (target_.empty()) {
            std::string method;
            SplitCommand(line, method, target_);
            target_ = target_.substr(0, target_.find(' '));
            if (target_.empty()) target_ = "/";
            return;
        }
        if (!line.empty()) return; // header lines are not needed
        if (target_ == "/banner.gif")
            Answer("200 OK", "image/gif", DemoBannerGif());
        else if (target_ == "/" || target_ == "/sponsor.html")
            Answer("200 OK", "text/html; charset=utf-8", DemoSponsorPage());
        else
            Answer("404 Not Found", "text/plain", "Not found\r\n");
        std::printf("demo web server: GET %s\n", target_.c_str());
        std::fflush(stdout);
    }

    void Answer(const std::string& status, const std::string& type, const std::string& body) {
        Send("HTTP/1.0 " + status + "\r\nServer: Postlark demo\r\nContent-Type: " + type +
             "\r\nContent-Length: " + std::to_string(body.size()) +
             "\r\nConnection: close\r\n\r\n" + body);
        End();
    }

    std::string target_;
};

// A listening socket on 127.0.0.1 whose connections become sessions made by start. Ended
// sessions are freed from the event loop, after their socket's handlers have returned.
class TServer {
public:
    using TStart = std::function<std::unique_ptr<TSession>(TSocket)>;

    TServer(int port, TStart start) : start_(std::move(start)) {
        listener_.SetAddr("127.0.0.1");
        listener_.SetPort(std::to_string(port));
        listener_.SetProto("tcp");
        // A restart must not wait for the last run's closed connections to time out.
        listener_.SetReuseAddr(true);
        listener_.OnSessionAvailable = [this](TObject*, std::uint16_t error) {
            if (error == 0) Accept();
        };
        try {
            listener_.Listen();
        } catch (const ESocketException& e) {
            std::string reason = e.what();
            std::replace(reason.begin(), reason.end(), '\r', ' ');
            std::replace(reason.begin(), reason.end(), '\n', ' ');
            std::fprintf(stderr, "demo server: cannot listen on 127.0.0.1:%d: %s\n", port,
                         reason.c_str());
            std::exit(1);
        }
        sweep_.setInterval(200);
        QObject::connect(&sweep_, &QTimer::timeout, [this] {
            sessions_.remove_if([](const auto& session) { return session->Closed(); });
        });
        sweep_.start();
    }

private:
    void Accept() {
        listener_.OnError = [](TObject*) {}; // a connection that vanished before its accept
        const TSocket handle = listener_.Accept();
        listener_.OnError = nullptr;
        if (handle != INVALID_SOCKET) sessions_.push_back(start_(handle));
    }

    TStart start_;
    TWSocket listener_;
    std::list<std::unique_ptr<TSession>> sessions_;
    QTimer sweep_;
};

} // namespace

int main(int argc, char** argv) {
    TOptions options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i], value = argv[i + 1];
        if (flag == "--pop3-port")
            options.pop3Port = std::atoi(value.c_str());
        else if (flag == "--smtp-port")
            options.smtpPort = std::atoi(value.c_str());
        else if (flag == "--http-port")
            options.httpPort = std::atoi(value.c_str());
        else if (flag == "--pop3s-port")
            options.pop3sPort = std::atoi(value.c_str());
        else if (flag == "--tls-cert")
            options.tlsCert = value;
        else if (flag == "--tls-key")
            options.tlsKey = value;
        else if (flag == "--user")
            options.user = value;
        else if (flag == "--pass")
            options.pass = value;
        else {
            std::fprintf(stderr,
                         "usage: %s [--pop3-port N] [--smtp-port N] [--http-port N] [--user U] "
                         "[--pass P] [--tls-cert FILE --tls-key FILE [--pop3s-port N]]\n",
                         argv[0]);
            return 2;
        }
    }
    if (options.tlsCert.empty() != options.tlsKey.empty() ||
        (options.pop3sPort > 0 && options.tlsCert.empty())) {
        std::fprintf(stderr, "demo server: TLS needs both --tls-cert and --tls-key\n");
        return 2;
    }
    if (!options.tlsCert.empty()) {
        const std::string problem = TlsLoadServerCertificate(options.tlsCert, options.tlsKey);
        if (!problem.empty()) {
            std::fprintf(stderr, "demo server: %s\n", problem.c_str());
            return 1;
        }
    }
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    int serial = 0;
    for (std::string& text : DemoMessages())
        mailbox.push_back({"demo-" + std::to_string(++serial), std::move(text)});
    TServer pop3(options.pop3Port, [&options](TSocket handle) {
        return std::make_unique<TPop3Session>(handle, options, PlainPortTls(options));
    });
    std::unique_ptr<TServer> pop3s;
    if (options.pop3sPort > 0)
        pop3s = std::make_unique<TServer>(options.pop3sPort, [&options](TSocket handle) {
            return std::make_unique<TPop3Session>(handle, options, tlsAtOnce);
        });
    TServer smtp(options.smtpPort, [&options](TSocket handle) {
        return std::make_unique<TSmtpSession>(handle, options);
    });
    std::unique_ptr<TServer> http;
    if (options.httpPort > 0)
        http = std::make_unique<TServer>(options.httpPort, [&options](TSocket handle) {
            return std::make_unique<THttpSession>(handle, options);
        });
    std::printf("demo mail server: POP3 on 127.0.0.1:%d, SMTP sink on 127.0.0.1:%d, user %s\n",
                options.pop3Port, options.smtpPort, options.user.c_str());
    if (!options.tlsCert.empty())
        std::printf("demo mail server: TLS with %s: STLS on POP3, STARTTLS on SMTP%s\n",
                    options.tlsCert.c_str(),
                    pop3s ? (", POP3S on 127.0.0.1:" + std::to_string(options.pop3sPort)).c_str()
                          : "");
    if (http)
        std::printf("demo web server: banner on http://127.0.0.1:%d/banner.gif\n",
                    options.httpPort);
    std::fflush(stdout);
    return app.exec();
}
