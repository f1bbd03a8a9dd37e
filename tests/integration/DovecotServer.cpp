#include "tests/integration/DovecotServer.h"

#include "tests/support/LoopbackPort.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;

namespace {

constexpr const char* kDovecot = "/usr/sbin/dovecot";

bool PortOpen(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    const bool open = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return open;
}

} // namespace

// Message n of the generated mailbox, with LF line ends as maildir stores them. Lines that
// begin with "." exercise dot-stuffing on the way out.
std::string DovecotMessageText(int n) {
    std::ostringstream text;
    text << "Return-Path: <sender" << n << "@example.org>\n"
         << "From: Sender " << n << " <sender" << n << "@example.org>\n"
         << "To: test@example.org\n"
         << "Subject:  Message " << n << "\n"
         << "Message-ID: <" << n << ".postlark@example.org>\n"
         << "Date: Mon, 1 Jan 2024 10:0" << n << ":00 +0000\n"
         << "\n"
         << "Body of message " << n << ".\n"
         << ".starts with a dot\n"
         << "..two dots\n"
         << ".\n"
         << " .\n";
    for (int i = 0; i < n * 40; ++i)
        text << "line " << i << " of message " << n << " 0123456789abcdefghijklmnopqrstuvwxyz\n";
    text << "last line\n";
    return text.str();
}

bool Dovecot::StartWithTls(const std::string& CertPrefix, std::string& why) {
    certPrefix_ = CertPrefix;
    return Start(why);
}

bool Dovecot::Start(std::string& why) {
    if (::access(kDovecot, X_OK) != 0) {
        why = "dovecot is not installed (Debian dovecot-pop3d)";
        return false;
    }
    if (::geteuid() != 0) {
        why = "a private dovecot needs root to serve mail as an unprivileged user";
        return false;
    }
    const passwd* owner = ::getpwnam("nobody");
    if (!owner) {
        why = "no user 'nobody' to own the mail";
        return false;
    }
    char pattern[] = "/tmp/postlark-dovecot-XXXXXX";
    if (!::mkdtemp(pattern)) {
        why = "mkdtemp failed";
        return false;
    }
    dir_ = pattern;
    ::chmod(dir_.c_str(), 0755);
    port_ = FreeLoopbackPort();
    tlsPort_ = certPrefix_.empty() ? 0 : FreeLoopbackPort();
    const std::string ssl = certPrefix_.empty()
                                ? std::string("ssl = no\ndisable_plaintext_auth = no\n")
                                : "ssl = required\ndisable_plaintext_auth = yes\nssl_cert = <" +
                                      certPrefix_ + ".crt\nssl_key = <" + certPrefix_ + ".key\n";
    for (const char* sub :
         {"Maildir/cur", "Maildir/new", "Maildir/tmp", "index", "control", "home"})
        fs::create_directories(dir_ / sub);
    for (int n = 1; n <= kDovecotMessages; ++n) {
        // Maildir names sort by delivery time, which fixes the message numbers.
        std::ofstream(dir_ / "Maildir/cur" / ("100000000" + std::to_string(n) + ".M1P1.test:2,S"))
            << DovecotMessageText(n);
    }
    for (const auto& entry : fs::recursive_directory_iterator(dir_))
        ::chown(entry.path().c_str(), owner->pw_uid, owner->pw_gid);
    for (const char* sub : {"Maildir", "index", "control", "home"})
        ::chown((dir_ / sub).c_str(), owner->pw_uid, owner->pw_gid);

    std::ofstream(dir_ / "passwd") << "test:{PLAIN}secret\n";
    const std::string uid = std::to_string(owner->pw_uid);
    std::ofstream(dir_ / "dovecot.conf")
        << "instance_name = postlark-test-" << port_ << "\n"
        << "base_dir = " << (dir_ / "base").string() << "\n"
        << "state_dir = " << (dir_ / "state").string() << "\n"
        << "protocols = pop3\n"
        << "listen = 127.0.0.1\n"
        << ssl
        // APOP and CRAM-MD5 need a passdb that holds the plaintext secret; LOGIN and
        // CRAM-MD5 serve the SMTP server that authenticates through this one.
        << "auth_mechanisms = plain login cram-md5 apop\n"
        << "log_path = " << (dir_ / "dovecot.log").string() << "\n"
        << "first_valid_uid = " << uid << "\n"
        << "last_valid_uid = " << uid << "\n"
        << "mail_location = maildir:" << (dir_ / "Maildir").string()
        << ":INDEX=" << (dir_ / "index").string() << ":CONTROL=" << (dir_ / "control").string()
        << "\n"
        << "mail_fsync = never\n"
        << "passdb {\n  driver = passwd-file\n  args = " << (dir_ / "passwd").string() << "\n}\n"
        << "userdb {\n  driver = static\n  args = uid=" << uid << " gid=" << owner->pw_gid
        << " home=" << (dir_ / "home").string() << "\n}\n"
        << "service auth {\n  unix_listener " << AuthSocket() << " {\n    mode = 0666\n  }\n}\n"
        << "service pop3-login {\n  inet_listener pop3 {\n    address = 127.0.0.1\n    port = "
        << port_
        << "\n  }\n  inet_listener pop3s {\n    address = 127.0.0.1\n    port = " << tlsPort_
        << (certPrefix_.empty() ? "" : "\n    ssl = yes") << "\n  }\n}\n";

    const std::string conf = (dir_ / "dovecot.conf").string();
    const char* argv[] = {kDovecot, "-F", "-c", conf.c_str(), nullptr};
    if (::posix_spawn(&pid_, kDovecot, nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
        why = "could not start dovecot";
        return false;
    }
    for (int i = 0; i < 100; ++i) {
        if (PortOpen(port_)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    why = "dovecot did not start; see " + (dir_ / "dovecot.log").string();
    return false;
}

void Dovecot::Stop() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = 0;
    }
    if (!dir_.empty()) {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
}

int Dovecot::FilesInMaildir() const {
    int count = 0;
    for (const char* sub : {"Maildir/cur", "Maildir/new"})
        for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir_ / sub))
            ++count;
    return count;
}
