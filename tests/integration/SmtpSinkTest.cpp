// The SMTP client against Postfix's smtp-sink, which dumps every message it takes to a file.
#include "net/SmtpProt.h"

#include "tests/support/EventLoopFixture.h"
#include "tests/support/LoopbackPort.h"

#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

extern char** environ;

namespace fs = std::filesystem;

namespace {

constexpr const char* kSink = "/usr/sbin/smtp-sink";

class SmtpSink : public EventLoopTest {
protected:
    void SetUp() override {
        EventLoopTest::SetUp();
        if (::access(kSink, X_OK) != 0)
            GTEST_SKIP() << "smtp-sink is not installed (Debian postfix)";
        if (::geteuid() != 0) GTEST_SKIP() << "smtp-sink runs as root here, switching to postfix";
        const passwd* postfix = ::getpwnam("postfix");
        if (!postfix) GTEST_SKIP() << "no user postfix";
        char pattern[] = "/tmp/postlark-sink-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        ::chown(dir_.c_str(), postfix->pw_uid, postfix->pw_gid);
        port_ = FreeLoopbackPort();
        const std::string address = "127.0.0.1:" + std::to_string(port_);
        const std::string dump = (dir_ / "msg.").string();
        const char* argv[] = {kSink,           "-u", "postfix", "-d", dump.c_str(),
                              address.c_str(), "16", nullptr};
        ASSERT_EQ(::posix_spawn(&pid_, kSink, nullptr, nullptr, const_cast<char**>(argv), environ),
                  0);
        // Waiting for the listener by connecting would count as a session; the socket file
        // table tells without one.
        for (int i = 0; i < 100 && !Listening(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_TRUE(Listening());
    }
    void TearDown() override {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        std::error_code ignored;
        if (!dir_.empty()) fs::remove_all(dir_, ignored);
    }
    bool Listening() const {
        char hex[8];
        std::snprintf(hex, sizeof hex, ":%04X", port_);
        std::ifstream table("/proc/net/tcp");
        std::string line;
        while (std::getline(table, line))
            if (line.find(std::string("0100007F") + hex) != std::string::npos &&
                line.find(" 0A ") != std::string::npos)
                return true;
        return false;
    }
    std::vector<std::string> Dumps() const {
        std::vector<std::string> texts;
        for (const auto& entry : fs::directory_iterator(dir_)) {
            std::ifstream in(entry.path(), std::ios::binary);
            texts.emplace_back(std::istreambuf_iterator<char>(in),
                               std::istreambuf_iterator<char>());
        }
        return texts;
    }

    fs::path dir_;
    std::uint16_t port_ = 0;
    pid_t pid_ = 0;
};

TEST_F(SmtpSink, MessagesArriveIntactOverPlainAndPipelinedSessions) {
    TSyncSmtpCli cli;
    cli.SetHost("127.0.0.1");
    cli.SetPort(std::to_string(port_));
    cli.SetSignOn("client.test");
    cli.SetFromName("a@example.org");
    TStringList recipients;
    recipients.Add("b@example.net");
    cli.SetRcptName(recipients);
    cli.SetHdrFrom("a@example.org");
    cli.SetHdrSubject("sink test");
    TStringList body;
    for (const char* line : {"first", ".", "..two", "x\r\n.\r\nMAIL FROM:<a@b>", "last"})
        body.Add(line);
    cli.SetMailMessage(body);

    ASSERT_TRUE(cli.OpenSync()) << cli.ErrorMessage(); // HELO
    EXPECT_TRUE(cli.MailSync()) << cli.ErrorMessage();
    ASSERT_TRUE(cli.EhloSync()) << cli.ErrorMessage(); // PIPELINING from here on
    EXPECT_TRUE(SmtpHasExtension(cli.EhloLines(), "PIPELINING"));
    EXPECT_TRUE(cli.MailSync()) << cli.ErrorMessage();
    EXPECT_TRUE(cli.QuitSync()) << cli.ErrorMessage();

    ASSERT_TRUE(PumpUntil([&] { return Dumps().size() == 2; }, 5000));
    for (const std::string& dump : Dumps()) {
        // One transaction each, unstuffed again by the sink and stored with LF line ends: the
        // smuggled command stays a line of the text.
        EXPECT_NE(dump.find("\nSubject: sink test\n"), std::string::npos) << dump;
        EXPECT_NE(dump.find("\n\nfirst\n.\n..two\nx\n.\nMAIL FROM:<a@b>\nlast\n"),
                  std::string::npos)
            << dump;
    }
}

} // namespace
