// The POP3 client against a private Dovecot POP3 server on a loopback port, with its own
// configuration, a passwd-file user and a generated maildir.

#include "net/Pop3Prot.h"

#include "tests/integration/DovecotServer.h"

#include "tests/support/EventLoopFixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace {

constexpr int kMessages = kDovecotMessages;

std::string MessageText(int n) {
    return DovecotMessageText(n);
}

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
