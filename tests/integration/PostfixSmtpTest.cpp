// The SMTP client against a private Postfix smtpd that requires HELO, refuses bare line ends
// and authenticates through the private Dovecot.
#include "net/SmtpProt.h"
#include "tests/integration/DovecotServer.h"
#include "tests/integration/PostfixServer.h"
#include "tests/integration/ServerSkip.h"

#include "tests/support/EventLoopFixture.h"

#include <memory>

#include <unistd.h>

namespace {

struct Servers {
    Dovecot dovecot;
    Postfix postfix;
};
std::unique_ptr<Servers> servers;
std::string skipReason;

class PostfixSmtp : public EventLoopTest {
public:
    static void SetUpTestSuite() {
        servers = std::make_unique<Servers>();
        if (!servers->dovecot.Start(skipReason) ||
            !servers->postfix.Start(servers->dovecot.AuthSocket(), skipReason))
            TearDownTestSuite();
    }
    static void TearDownTestSuite() {
        if (!servers) return;
        servers->postfix.Stop();
        servers->dovecot.Stop();
        servers.reset();
    }

protected:
    void SetUp() override {
        if (!servers && MaySkipServer(skipReason)) GTEST_SKIP() << skipReason;
        ASSERT_TRUE(servers) << skipReason;
        EventLoopTest::SetUp();
        cli.SetHost("127.0.0.1");
        cli.SetPort(std::to_string(servers->postfix.Port()));
        cli.SetSignOn("client.test");
        cli.SetFromName("ann@example.org");
        TStringList recipients;
        recipients.Add("fwd@example.net");
        cli.SetRcptName(recipients);
        cli.SetHdrFrom("ann@example.org");
        cli.SetHdrTo("joe@example.org");
        cli.SetHdrSubject("through postfix");
        cli.OnProcessHeader = [](TObject*, TStringList& lines) {
            lines.Add("X-Forwarded-By: Postlark");
        };
    }
    // Sends the message of the test on the open session; returns the queue id.
    std::string Send(std::initializer_list<const char*> body) {
        TStringList lines;
        for (const char* line : body)
            lines.Add(line);
        cli.SetMailMessage(lines);
        EXPECT_TRUE(cli.MailSync()) << cli.ErrorMessage();
        return QueueIdOf(cli.LastResponse());
    }

    TSyncSmtpCli cli;
};

TEST_F(PostfixSmtp, AForwardGreetsWithHeloAndArrivesIntact) {
    ASSERT_TRUE(cli.ConnectSync()) << cli.ErrorMessage();
    // Without a greeting the server takes no transaction.
    cli.SetMailMessage(TStringList());
    EXPECT_FALSE(cli.MailSync());
    EXPECT_EQ(cli.StatusCode(), 503) << cli.ErrorMessage();
    ASSERT_TRUE(cli.HeloSync()) << cli.ErrorMessage();
    const std::string id =
        Send({"first line", ".", "..two dots", "x\r\n.\r\nMAIL FROM:<a@b>", "bare\rCR",
              "Gr\xfc\xdf"
              "e",
              "last"});
    EXPECT_TRUE(cli.QuitSync());
    ASSERT_FALSE(id.empty()) << cli.LastResponse();
    const std::string queued = servers->postfix.QueuedMessage(id);
    EXPECT_NE(queued.find("\nSubject: through postfix\nSender: ann@example.org\n"),
              std::string::npos)
        << queued;
    EXPECT_NE(queued.find("\nX-Forwarded-By: Postlark\n"), std::string::npos) << queued;
    EXPECT_NE(
        queued.find("\n\nfirst line\n.\n..two dots\nx\n.\nMAIL FROM:<a@b>\nbare\nCR\nGr\xfc\xdf"
                    "e\nlast\n"),
        std::string::npos)
        << queued;
}

TEST_F(PostfixSmtp, EveryAuthMechanismLogsInAndAWrongSecretIsRefused) {
    for (TSmtpAuthType type : {smtpAuthPlain, smtpAuthLogin, smtpAuthCramMD5}) {
        SCOPED_TRACE(type);
        cli.SetAuthType(type);
        cli.SetUsername("test");
        cli.SetPassword("secret");
        ASSERT_TRUE(cli.OpenSync()) << cli.ErrorMessage();
        EXPECT_FALSE(Send({"authenticated"}).empty());
        EXPECT_TRUE(cli.QuitSync());

        cli.SetPassword("wrong");
        EXPECT_FALSE(cli.OpenSync());
        EXPECT_EQ(cli.StatusCode(), 535) << cli.ErrorMessage();
        EXPECT_TRUE(cli.QuitSync());
    }
}

} // namespace
