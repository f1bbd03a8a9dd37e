#include "tests/integration/PostfixServer.h"

#include "tests/support/LoopbackPort.h"

#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;

namespace {

constexpr const char* kPostfix = "/usr/sbin/postfix";

int Spawn(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    return ::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) == 0 ? pid : 0;
}

bool Greets(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    timeval tv{2, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char greeting[4] = {};
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                    ::recv(fd, greeting, 3, MSG_WAITALL) == 3 && std::string(greeting, 3) == "220";
    ::close(fd);
    return ok;
}

// Reaps the child, killing it when it has not ended within the time given: a server that hangs
// on its way down must not hold the test run until the test driver's own time limit.
void ReapWithin(pid_t pid, int ms) {
    for (int waited = 0; waited < ms; waited += 50) {
        if (::waitpid(pid, nullptr, WNOHANG) != 0) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

} // namespace

std::string QueueIdOf(const std::string& reply) {
    const std::string marker = "queued as ";
    const std::size_t at = reply.find(marker);
    if (at == std::string::npos) return {};
    std::string id = reply.substr(at + marker.size());
    return id.substr(
        0, id.find_first_not_of("0123456789ABCDEFabcdefghijklmnopqrstuvwxyzGHIJKLMNOPQRSTUVWXYZ"));
}

bool Postfix::StartWithTls(const std::string& authSocket, const std::string& certPrefix,
                           std::string& why) {
    if (::access(kPostfix, X_OK) != 0) {
        why = "postfix is not installed (Debian postfix)";
        return false;
    }
    if (::geteuid() != 0) {
        why = "a private postfix needs root";
        return false;
    }
    const passwd* owner = ::getpwnam("postfix");
    if (!owner || !::getgrnam("postdrop")) {
        why = "no user postfix or group postdrop";
        return false;
    }
    char pattern[] = "/tmp/postlark-postfix-XXXXXX";
    if (!::mkdtemp(pattern)) {
        why = "mkdtemp failed";
        return false;
    }
    dir_ = pattern;
    ::chmod(dir_.c_str(), 0755); // the daemons run as postfix
    for (const char* sub : {"conf", "queue", "data"})
        fs::create_directories(dir_ / sub);
    ::chown((dir_ / "data").c_str(), owner->pw_uid, owner->pw_gid);
    port_ = FreeLoopbackPort();
    const bool tls = !certPrefix.empty();
    submissionPort_ = tls ? FreeLoopbackPort() : 0;
    smtpsPort_ = tls ? FreeLoopbackPort() : 0;
    const std::string d = dir_.string();
    std::ofstream(dir_ / "conf/main.cf")
        << "compatibility_level = 3.6\n"
        << "queue_directory = " << d << "/queue\n"
        << "data_directory = " << d << "/data\n"
        << "mail_owner = postfix\nsetgid_group = postdrop\n"
        << "inet_interfaces = 127.0.0.1\ninet_protocols = ipv4\n"
        << "myhostname = postlark-test.example\nmydestination =\nmynetworks = 127.0.0.0/8\n"
        << "smtpd_peername_lookup = no\n"
        << "smtpd_helo_required = yes\n"
        // Strict: a bare CR or LF anywhere ends the session, loopback clients included.
        << "smtpd_forbid_bare_newline = yes\nsmtpd_forbid_bare_newline_exclusions =\n"
        << "smtpd_sasl_auth_enable = yes\nsmtpd_sasl_type = dovecot\n"
        << "smtpd_sasl_path = " << authSocket << "\n"
        << "smtpd_relay_restrictions = permit_mynetworks, permit_sasl_authenticated, "
           "reject_unauth_destination\n"
        << "maillog_file = " << d << "/maillog\nmaillog_file_prefixes = " << d << "\n";
    // No qmgr: accepted mail stays in the queue.
    std::ofstream(dir_ / "conf/master.cf") << "127.0.0.1:" << port_ << " inet n - n - - smtpd\n"
                                           << "cleanup unix n - n - 0 cleanup\n"
                                           << "rewrite unix - - n - - trivial-rewrite\n"
                                           << "proxymap unix - - n - - proxymap\n"
                                           << "anvil unix - - n - 1 anvil\n"
                                           << "postlog unix-dgram n - n - 1 postlogd\n";
    if (tls) {
        // smtpd reads the key as root before it drops privileges. No session cache; the
        // Received header tells that the message came over TLS.
        std::ofstream(dir_ / "conf/main.cf", std::ios::app)
            << "smtpd_tls_cert_file = " << certPrefix << ".crt\n"
            << "smtpd_tls_key_file = " << certPrefix << ".key\n"
            << "smtpd_tls_session_cache_database =\nsmtpd_tls_received_header = yes\n";
        // Without tlsmgr smtpd finds no entropy and turns TLS off ("454 4.7.0 TLS not
        // available due to local problem"), whatever the session cache.
        std::ofstream(dir_ / "conf/master.cf", std::ios::app)
            << "127.0.0.1:" << submissionPort_ << " inet n - n - - smtpd"
            << " -o syslog_name=postfix/submission"
            << " -o smtpd_tls_security_level=encrypt -o smtpd_tls_auth_only=yes\n"
            << "127.0.0.1:" << smtpsPort_ << " inet n - n - - smtpd"
            << " -o syslog_name=postfix/smtps"
            << " -o smtpd_tls_wrappermode=yes -o smtpd_tls_security_level=encrypt"
            << " -o smtpd_tls_auth_only=yes\n"
            << "tlsmgr unix - - n 1000? 1 tlsmgr\n";
    }
    pid_ = Spawn({kPostfix, "-c", d + "/conf", "start-fg"});
    if (pid_ == 0) {
        why = "could not start postfix";
        return false;
    }
    // A loaded machine may take a while to start the daemons.
    for (int i = 0; i < 300; ++i) {
        if (Greets(port_)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    why = "postfix did not start; see " + d + "/maillog";
    return false;
}

void Postfix::Stop() {
    if (pid_ > 0) {
        const int stopper = Spawn({kPostfix, "-c", (dir_ / "conf").string(), "stop"});
        if (stopper > 0) ReapWithin(stopper, 10000);
        ::kill(pid_, SIGTERM);
        ReapWithin(pid_, 10000);
        pid_ = 0;
    }
    if (!dir_.empty()) {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
        dir_.clear();
    }
    port_ = submissionPort_ = smtpsPort_ = 0;
}

std::string Postfix::Log() const {
    if (dir_.empty()) return {};
    std::ifstream file(dir_ / "maillog", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

std::string Postfix::QueuedMessage(const std::string& queueId) const {
    if (queueId.empty()) return {};
    const std::string command =
        "/usr/sbin/postcat -c " + (dir_ / "conf").string() + " -bh -q " + queueId + " 2>/dev/null";
    std::string text;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char chunk[4096];
        for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;)
            text.append(chunk, n);
        ::pclose(pipe);
    }
    return text;
}
