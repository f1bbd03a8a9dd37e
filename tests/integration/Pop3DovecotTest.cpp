// The POP3 client against a private Dovecot POP3 server on a loopback port, with its own
// configuration, a passwd-file user and a generated maildir.

#include "net/Pop3Prot.h"

#include "tests/support/EventLoopFixture.h"

#include <gtest/gtest.h>

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
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

extern char** environ;

namespace fs = std::filesystem;

namespace {

constexpr const char* kDovecot = "/usr/sbin/dovecot";
constexpr int kMessages = 6;

std::uint16_t FreeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
    ::close(fd);
    return ntohs(addr.sin_port);
}

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

// Message n of the generated mailbox, with LF line ends as maildir stores them. Lines that
// begin with "." exercise dot-stuffing on the way out.
std::string MessageText(int n) {
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

// The server for the whole suite.
class Dovecot {
public:
    bool Start(std::string& why) {
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
        for (const char* sub :
             {"Maildir/cur", "Maildir/new", "Maildir/tmp", "index", "control", "home"})
            fs::create_directories(dir_ / sub);
        for (int n = 1; n <= kMessages; ++n) {
            // Maildir names sort by delivery time, which fixes the message numbers.
            std::ofstream(dir_ / "Maildir/cur" /
                          ("100000000" + std::to_string(n) + ".M1P1.test:2,S"))
                << MessageText(n);
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
            << "ssl = no\n"
            << "disable_plaintext_auth = no\n"
            // APOP needs the mechanism and a passdb that holds the plaintext secret.
            << "auth_mechanisms = plain apop\n"
            << "log_path = " << (dir_ / "dovecot.log").string() << "\n"
            << "first_valid_uid = " << uid << "\n"
            << "last_valid_uid = " << uid << "\n"
            << "mail_location = maildir:" << (dir_ / "Maildir").string()
            << ":INDEX=" << (dir_ / "index").string() << ":CONTROL=" << (dir_ / "control").string()
            << "\n"
            << "mail_fsync = never\n"
            << "passdb {\n  driver = passwd-file\n  args = " << (dir_ / "passwd").string()
            << "\n}\n"
            << "userdb {\n  driver = static\n  args = uid=" << uid << " gid=" << owner->pw_gid
            << " home=" << (dir_ / "home").string() << "\n}\n"
            << "service pop3-login {\n  inet_listener pop3 {\n    address = 127.0.0.1\n    port = "
            << port_ << "\n  }\n  inet_listener pop3s {\n    port = 0\n  }\n}\n";

        const std::string conf = (dir_ / "dovecot.conf").string();
        const char* argv[] = {kDovecot, "-F", "-c", conf.c_str(), nullptr};
        if (::posix_spawn(&pid_, kDovecot, nullptr, nullptr, const_cast<char**>(argv), environ) !=
            0) {
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

    void Stop() {
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

    std::uint16_t Port() const { return port_; }
    int FilesInMaildir() const {
        int count = 0;
        for (const char* sub : {"Maildir/cur", "Maildir/new"})
            for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir_ / sub))
                ++count;
        return count;
    }

private:
    fs::path dir_;
    std::uint16_t port_ = 0;
    pid_t pid_ = 0;
};

Dovecot* server = nullptr;
std::string skipReason;

class Pop3Dovecot : public EventLoopTest {
public:
    static void SetUpTestSuite() {
        server = new Dovecot;
        if (!server->Start(skipReason)) {
            server->Stop();
            delete server;
            server = nullptr;
        }
    }
    static void TearDownTestSuite() {
        if (server) {
            server->Stop();
            delete server;
            server = nullptr;
        }
    }

protected:
    void SetUp() override {
        if (!server) GTEST_SKIP() << skipReason;
        EventLoopTest::SetUp();
        cli = std::make_unique<TPop3Cli>();
        cli->SetHost("127.0.0.1");
        cli->SetPort(std::to_string(server->Port()));
        cli->SetUserName("test");
        cli->SetPassWord("secret");
        cli->OnRequestDone = [this](TObject*, TPop3Request rq, std::uint16_t e) {
            ++doneCount;
            lastRq = rq;
            lastError = e;
        };
    }
    void TearDown() override { cli.reset(); }

    // Runs one request to its completion and returns its code.
    int Run(void (TCustomPop3Cli::*op)()) {
        const int before = doneCount;
        (cli.get()->*op)();
        if (!PumpUntil([&] { return doneCount > before; }, 10000)) return -1;
        return lastError;
    }
    void Login() {
        ASSERT_EQ(Run(&TCustomPop3Cli::Connect), 0) << cli->ErrorMessage();
        ASSERT_EQ(Run(&TCustomPop3Cli::User), 0) << cli->ErrorMessage();
        ASSERT_EQ(Run(&TCustomPop3Cli::Pass), 0) << cli->ErrorMessage();
    }
    void Logout() {
        ASSERT_EQ(Run(&TCustomPop3Cli::Quit), 0);
        EXPECT_FALSE(cli->Connected());
    }

    std::unique_ptr<TPop3Cli> cli;
    int doneCount = 0;
    TPop3Request lastRq = pop3Custom;
    std::uint16_t lastError = 0;
};

} // namespace

TEST_F(Pop3Dovecot, LogsInWithUserPassAndWithApop) {
    Login();
    EXPECT_EQ(cli->ProtocolState(), pop3Transaction);
    Logout();

    ASSERT_EQ(Run(&TCustomPop3Cli::Connect), 0);
    ASSERT_FALSE(cli->TimeStamp().empty())
        << "greeting without APOP time-stamp: " << cli->LastResponse();
    ASSERT_EQ(Run(&TCustomPop3Cli::APop), 0) << cli->ErrorMessage();
    EXPECT_EQ(cli->ProtocolState(), pop3Transaction);
    Logout();
}

TEST_F(Pop3Dovecot, StatListUidlRetrAndTopMatchTheMaildir) {
    Login();
    ASSERT_EQ(Run(&TCustomPop3Cli::Stat), 0);
    ASSERT_EQ(cli->MsgCount(), kMessages);
    int octets = 0;
    for (int n = 1; n <= kMessages; ++n) {
        const std::string text = MessageText(n);
        octets += static_cast<int>(text.size() + std::count(text.begin(), text.end(), '\n'));
    }
    EXPECT_EQ(cli->MsgSize(), octets); // sizes count CR LF line ends

    std::map<int, int> sizes;
    cli->OnListLine = [&](TObject*) { sizes[cli->MsgNum()] = cli->MsgSize(); };
    cli->SetMsgNum(0);
    ASSERT_EQ(Run(&TCustomPop3Cli::List), 0);
    ASSERT_EQ(sizes.size(), static_cast<size_t>(kMessages));
    cli->SetMsgNum(3);
    ASSERT_EQ(Run(&TCustomPop3Cli::List), 0);
    EXPECT_EQ(cli->MsgNum(), 3);
    EXPECT_EQ(cli->MsgSize(), sizes[3]);

    std::map<int, std::string> uidls;
    cli->OnUidlLine = [&](TObject*) { uidls[cli->MsgNum()] = cli->MsgUidl(); };
    cli->SetMsgNum(0);
    ASSERT_EQ(Run(&TCustomPop3Cli::Uidl), 0);
    ASSERT_EQ(uidls.size(), static_cast<size_t>(kMessages));
    std::set<std::string> distinct;
    for (const auto& [n, uidl] : uidls)
        distinct.insert(uidl);
    EXPECT_EQ(distinct.size(), uidls.size());
    cli->SetMsgNum(4);
    ASSERT_EQ(Run(&TCustomPop3Cli::Uidl), 0);
    EXPECT_EQ(cli->MsgUidl(), uidls[4]);

    std::string received;
    cli->OnMessageBegin = [&](TObject*) { received.clear(); };
    cli->OnMessageLine = [&](TObject*) { received += cli->LastResponse() + "\n"; };
    for (int n = 1; n <= kMessages; ++n) {
        cli->SetMsgNum(n);
        ASSERT_EQ(Run(&TCustomPop3Cli::Retr), 0);
        EXPECT_EQ(received, MessageText(n)) << "message " << n;
        EXPECT_EQ(cli->HdrSubject(), "  Message " + std::to_string(n));
        EXPECT_EQ(cli->HdrMessageId(), " <" + std::to_string(n) + ".postlark@example.org>");
        EXPECT_EQ(cli->LastResponse(), "");
        EXPECT_EQ(
            static_cast<int>(received.size() + std::count(received.begin(), received.end(), '\n')),
            sizes[n]);
    }

    cli->SetMsgNum(2);
    cli->SetMsgLines(3);
    ASSERT_EQ(Run(&TCustomPop3Cli::Top), 0);
    const std::string full = MessageText(2);
    const std::size_t body = full.find("\n\n") + 2;
    std::size_t end = body;
    for (int i = 0; i < 3; ++i)
        end = full.find('\n', end) + 1;
    EXPECT_EQ(received, full.substr(0, end));
    Logout();
}

TEST_F(Pop3Dovecot, RsetKeepsAndDeleWithQuitRemoves) {
    Login();
    cli->SetMsgNum(2);
    ASSERT_EQ(Run(&TCustomPop3Cli::Dele), 0);
    ASSERT_EQ(Run(&TCustomPop3Cli::RSet), 0);
    Logout();
    EXPECT_EQ(server->FilesInMaildir(), kMessages);

    Login();
    ASSERT_EQ(Run(&TCustomPop3Cli::Stat), 0);
    EXPECT_EQ(cli->MsgCount(), kMessages);
    cli->SetMsgNum(1);
    ASSERT_EQ(Run(&TCustomPop3Cli::Dele), 0);
    EXPECT_EQ(cli->LastResponse().rfind("+OK", 0), 0u);
    Logout();
    EXPECT_EQ(server->FilesInMaildir(), kMessages - 1);

    Login();
    ASSERT_EQ(Run(&TCustomPop3Cli::Stat), 0);
    EXPECT_EQ(cli->MsgCount(), kMessages - 1);
    std::string first;
    cli->OnMessageLine = [&](TObject*) {
        if (first.empty()) first = cli->LastResponse();
    };
    cli->SetMsgNum(1);
    ASSERT_EQ(Run(&TCustomPop3Cli::Retr), 0);
    EXPECT_EQ(first, "Return-Path: <sender2@example.org>"); // the old message 2 is now 1
    Logout();
}

// Last: Dovecot slows down later logins from an address that failed one.
TEST_F(Pop3Dovecot, WrongSecretIsRefused) {
    cli->SetPassWord("wrong");
    ASSERT_EQ(Run(&TCustomPop3Cli::Open), 500);
    EXPECT_EQ(lastRq, pop3Open);
    EXPECT_EQ(cli->ErrorMessage().rfind("-ERR", 0), 0u) << cli->ErrorMessage();
    EXPECT_EQ(cli->ProtocolState(), pop3WaitingPass);
    cli->Abort();
}
