#include "tests/support/ScriptedPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <stdexcept>

namespace {

void SetTimeouts(int fd, int ms) {
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

bool SendAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

std::string Printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c < 32 || c >= 127)
            out += "\\x" + std::string(1, "0123456789abcdef"[c >> 4]) + "0123456789abcdef"[c & 15];
        else
            out += static_cast<char>(c);
    }
    return out.size() > 200 ? out.substr(0, 200) + "..." : out;
}

} // namespace

ScriptedPeer::ScriptedPeer(std::vector<Step> script, int ioTimeoutMs)
    : script_(std::move(script)), ioTimeoutMs_(ioTimeoutMs) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) throw std::runtime_error("ScriptedPeer: socket failed");
    int one = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener_, 8) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ::close(listener_);
        throw std::runtime_error("ScriptedPeer: cannot listen on 127.0.0.1");
    }
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Run(); });
}

ScriptedPeer::~ScriptedPeer() {
    // Unblocks an accept() that is still waiting.
    ::shutdown(listener_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    ::close(listener_);
}

bool ScriptedPeer::Finished() const {
    std::lock_guard lock(mutex_);
    return finished_;
}

bool ScriptedPeer::WaitFinished(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!Finished()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

std::string ScriptedPeer::Received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

std::vector<std::string> ScriptedPeer::Failures() const {
    std::lock_guard lock(mutex_);
    return failures_;
}

int ScriptedPeer::Connections() const {
    std::lock_guard lock(mutex_);
    return connections_;
}

void ScriptedPeer::Fail(std::string what) {
    std::lock_guard lock(mutex_);
    failures_.push_back(std::move(what));
}

void ScriptedPeer::Run() {
    int client = -1;
    bool ok = RunStep(Step{Step::kAccept, {}}, client);
    for (size_t i = 0; ok && i < script_.size(); ++i)
        ok = RunStep(script_[i], client);
    EndTls();
    if (client >= 0) ::close(client);
    std::lock_guard lock(mutex_);
    finished_ = true;
}

long ScriptedPeer::Read(int client, char* buffer, size_t size) {
    if (!tls_) return ::recv(client, buffer, size, 0);
    SSL* ssl = static_cast<SSL*>(tls_);
    const int n = SSL_read(ssl, buffer, static_cast<int>(size));
    if (n > 0) return n;
    // A time-out stays an error; any end of the session, with or without the close alert, is
    // the end of the input.
    const bool timedOut =
        SSL_get_error(ssl, n) == SSL_ERROR_SYSCALL && (errno == EAGAIN || errno == EWOULDBLOCK);
    ERR_clear_error();
    return timedOut ? -1 : 0;
}

bool ScriptedPeer::Write(int client, const char* data, size_t size) {
    if (!tls_) return SendAll(client, data, size);
    const int n = SSL_write(static_cast<SSL*>(tls_), data, static_cast<int>(size));
    if (n <= 0) ERR_clear_error();
    return n == static_cast<int>(size);
}

void ScriptedPeer::EndTls() {
    SSL_free(static_cast<SSL*>(tls_));
    tls_ = nullptr;
}

bool ScriptedPeer::ReadLine(int client, std::string& line) {
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            const size_t lf = pending_.find("\r\n");
            if (lf != std::string::npos) {
                line = pending_.substr(0, lf);
                pending_.erase(0, lf + 2);
                return true;
            }
        }
        char chunk[4096];
        const ssize_t n = Read(client, chunk, sizeof chunk);
        if (n <= 0) return false;
        std::lock_guard lock(mutex_);
        received_.append(chunk, static_cast<size_t>(n));
        pending_.append(chunk, static_cast<size_t>(n));
    }
}

bool ScriptedPeer::RunStep(const Step& step, int& client) {
    switch (step.kind) {
    case Step::kStartTls: {
        // The library writes to the socket without MSG_NOSIGNAL; a client that drops the
        // connection must fail the write, not end the test process.
        ::signal(SIGPIPE, SIG_IGN);
        SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
        SSL* ssl = ctx ? SSL_new(ctx) : nullptr;
        SSL_CTX_free(ctx); // the session keeps its own reference
        if (!ssl || SSL_use_certificate_chain_file(ssl, (step.text + ".crt").c_str()) != 1 ||
            SSL_use_PrivateKey_file(ssl, (step.text + ".key").c_str(), SSL_FILETYPE_PEM) != 1) {
            SSL_free(ssl);
            Fail("cannot load the TLS certificate " + step.text);
            return false;
        }
        if (step.number == 1) {
            SSL_set_max_proto_version(ssl, TLS1_2_VERSION);
            SSL_set_verify(ssl, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
        }
        SSL_set_fd(ssl, client);
        tls_ = ssl;
        {
            // Bytes read ahead in clear belong to nobody now.
            std::lock_guard lock(mutex_);
            pending_.clear();
        }
        if (SSL_accept(ssl) != 1) {
            ERR_clear_error();
            Fail("TLS handshake failed");
            return false;
        }
        return true;
    }
    case Step::kAccept: {
        EndTls();
        if (client >= 0) ::close(client);
        client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            Fail("accept failed: " + std::string(std::strerror(errno)));
            return false;
        }
        SetTimeouts(client, ioTimeoutMs_);
        int one = 1;
        setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::lock_guard lock(mutex_);
        ++connections_;
        pending_.clear();
        return true;
    }
    case Step::kExpectLine: {
        std::string line;
        if (!ReadLine(client, line)) {
            Fail("expected line \"" + Printable(step.text) +
                 "\" but the connection ended or timed out");
            return false;
        }
        if (line != step.text) {
            Fail("expected line \"" + Printable(step.text) + "\" but got \"" + Printable(line) +
                 "\"");
            return false;
        }
        return true;
    }
    case Step::kSend:
        if (!Write(client, step.text.data(), step.text.size())) {
            Fail("send failed: " + std::string(std::strerror(errno)));
            return false;
        }
        return true;
    case Step::kSendSplit: {
        const size_t chunk = step.number > 0 ? static_cast<size_t>(step.number) : 1;
        for (size_t at = 0; at < step.text.size(); at += chunk) {
            if (!Write(client, step.text.data() + at, std::min(chunk, step.text.size() - at))) {
                Fail("send failed: " + std::string(std::strerror(errno)));
                return false;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return true;
    }
    case Step::kClose:
        if (tls_ && step.number == 0) SSL_shutdown(static_cast<SSL*>(tls_));
        ::shutdown(client, SHUT_WR);
        // Collect what the client still sends until it closes too, then release the socket.
        for (char chunk[4096];;) {
            const ssize_t n = Read(client, chunk, sizeof chunk);
            if (n <= 0) break;
            std::lock_guard lock(mutex_);
            received_.append(chunk, static_cast<size_t>(n));
        }
        ::close(client);
        client = -1;
        return true;
    case Step::kReset: {
        linger hard{1, 0};
        setsockopt(client, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        ::close(client);
        client = -1;
        return true;
    }
    case Step::kPause:
        std::this_thread::sleep_for(std::chrono::milliseconds(step.number));
        return true;
    case Step::kExpectClosed:
        for (char chunk[4096];;) {
            const ssize_t n = Read(client, chunk, sizeof chunk);
            if (n == 0) return true;
            if (n < 0) {
                if (errno == ECONNRESET) return true;
                Fail("expected the client to close, but it did not");
                return false;
            }
            std::lock_guard lock(mutex_);
            received_.append(chunk, static_cast<size_t>(n));
        }
    case Step::kReadUntilLine: {
        std::string line;
        while (ReadLine(client, line))
            if (line == step.text) return true;
        Fail("expected a line \"" + Printable(step.text) +
             "\" but the connection ended or timed out");
        return false;
    }
    case Step::kReadBytes: {
        size_t want = static_cast<size_t>(step.number);
        {
            std::lock_guard lock(mutex_);
            const size_t take = std::min(want, pending_.size());
            pending_.erase(0, take);
            want -= take;
        }
        while (want > 0) {
            char chunk[65536];
            const ssize_t n = Read(client, chunk, std::min(want, sizeof chunk));
            if (n <= 0) {
                Fail("expected " + std::to_string(step.number) +
                     " bytes, the connection ended early");
                return false;
            }
            std::lock_guard lock(mutex_);
            received_.append(chunk, static_cast<size_t>(n));
            want -= static_cast<size_t>(n);
        }
        return true;
    }
    }
    return false;
}
