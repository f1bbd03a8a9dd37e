// The SMTP client against a private Postfix that requires TLS: STARTTLS before anything on its
// submission port, TLS from the first byte on its smtps port, with each kind of certificate the
// tests make. AUTH and mail go only into a connection whose certificate was accepted; the
// server's own log shows what it was sent.

#include "net/SmtpProt.h"
#include "net/TlsSession.h"

#include "tests/integration/DovecotServer.h"
#include "tests/integration/PostfixServer.h"
#include "tests/integration/ServerSkip.h"
#include "tests/support/EventLoopFixture.h"
#include "tests/support/TestCertificates.h"

#include <gmock/gmock.h>

#include <map>
#include <memory>

#include <unistd.h>

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

std::unique_ptr<Dovecot> dovecot;
std::string skipReason;

class PostfixSmtpTls : public EventLoopTest {
public:
    static void SetUpTestSuite() {
        dovecot = std::make_unique<Dovecot>();
        if (!dovecot->Start(skipReason)) TearDownTestSuite();
    }
    static void TearDownTestSuite() {
        if (dovecot) dovecot->Stop();
        dovecot.reset();
    }

protected:
    void SetUp() override {
        EventLoopTest::SetUp();
        if (!dovecot && MaySkipServer(skipReason)) GTEST_SKIP() << skipReason;
        ASSERT_TRUE(dovecot) << skipReason;
        ASSERT_TRUE(TestCertificates::Get().Ok());
        TlsSetExtraCaFile(TestCertificates::Get().CaFile());
    }
    void TearDown() override {
        postfix.Stop();
        TlsSetExtraCaFile({});
    }
    void Serve(const std::string& cert) {
        postfix.Stop();
        logged.clear();
        std::string why;
        ASSERT_TRUE(
            postfix.StartWithTls(dovecot->AuthSocket(), TestCertificates::Get().Prefix(cert), why))
            << why;
    }
    // Logs in, sends a message and quits; the error text, empty on success. What went out is
    // left in `commands`, the queued message in `queued`.
    std::string Deliver(std::uint16_t port, TSecurityMode mode, const std::string& pin = {}) {
        commands.clear();
        queued.clear();
        TSyncSmtpCli cli;
        cli.OnCommand = [this](TObject*, const std::string& line) { commands += line + "\n"; };
        cli.SetHost("localhost");
        cli.SetPort(std::to_string(port));
        cli.SetSecurity(mode);
        cli.SetTlsPin(pin);
        cli.SetSignOn("client.test");
        cli.SetAuthType(smtpAuthPlain);
        cli.SetUsername("test");
        cli.SetPassword("secret");
        cli.SetFromName("ann@example.org");
        TStringList recipients;
        recipients.Add("fwd@example.net");
        cli.SetRcptName(recipients);
        cli.SetHdrFrom("ann@example.org");
        cli.SetHdrTo("joe@example.org");
        cli.SetHdrSubject("through postfix over TLS");
        if (!cli.OpenSync()) {
            EXPECT_FALSE(cli.Connected());
            return cli.ErrorMessage().empty() ? "error" : cli.ErrorMessage();
        }
        EXPECT_TRUE(cli.Secured());
        TStringList lines;
        for (const char* line : {"first line", ".", "last"})
            lines.Add(line);
        cli.SetMailMessage(lines);
        EXPECT_TRUE(cli.MailSync()) << cli.ErrorMessage();
        queued = postfix.QueuedMessage(QueueIdOf(cli.LastResponse()));
        EXPECT_TRUE(cli.QuitSync());
        return {};
    }
    // The server's summary of the next session on the port that logs as postfix/<service>,
    // "disconnect from ... commands=N", once it has logged it.
    std::string NextDisconnect(const std::string& service) {
        const std::string marker = "postfix/" + service + "/smtpd[";
        const int wanted = ++logged[service];
        std::string last;
        const auto found = [&] {
            const std::string log = postfix.Log();
            int n = 0;
            for (std::size_t at = 0, end; at < log.size(); at = end + 1) {
                end = log.find('\n', at);
                if (end == std::string::npos) end = log.size();
                const std::string line = log.substr(at, end - at);
                if (line.find(marker) == std::string::npos) continue;
                const std::size_t summary = line.find("]: disconnect from ");
                if (summary == std::string::npos) continue;
                if (++n == wanted) last = line.substr(summary + 3);
            }
            return n >= wanted;
        };
        return PumpUntil(found, 5000) ? last : "not logged";
    }

    Postfix postfix;
    std::map<std::string, int> logged;
    std::string commands;
    std::string queued;
};

TEST_F(PostfixSmtpTls, BothModesWithEachCertificate) {
    std::string serving;
    for (const TCertificateCase& c : kCertificateCases) {
        SCOPED_TRACE(c.cert + std::string(c.pin ? " pinned" : ""));
        if (serving != c.cert) {
            ASSERT_NO_FATAL_FAILURE(Serve(serving = c.cert));
        }
        const std::string pin = c.pin ? TestCertificates::Get().Fingerprint(c.cert) : "";
        for (const TSecurityMode mode : {secStartTls, secTls}) {
            SCOPED_TRACE(mode == secTls ? "TLS" : "STARTTLS");
            const bool smtps = mode == secTls;
            const std::string outcome =
                Deliver(smtps ? postfix.SmtpsPort() : postfix.SubmissionPort(), mode, pin);
            const std::string summary = NextDisconnect(smtps ? "smtps" : "submission");
            EXPECT_THAT(summary, HasSubstr("disconnect from"));
            if (*c.error == 0) {
                EXPECT_EQ(outcome, "");
                // Authenticated and over TLS, as the server recorded it.
                EXPECT_THAT(queued, HasSubstr("with ESMTPSA id")) << queued;
                EXPECT_THAT(queued, HasSubstr("(using TLS")) << queued;
                EXPECT_THAT(queued, HasSubstr("\nSubject: through postfix over TLS\n"));
                EXPECT_THAT(queued, HasSubstr("\n\nfirst line\n.\nlast\n")) << queued;
                EXPECT_THAT(summary, HasSubstr(" auth=1 mail=1 rcpt=1 data=1 quit=1 "));
            } else {
                EXPECT_THAT(outcome, HasSubstr(c.error));
                EXPECT_THAT(commands, Not(HasSubstr("AUTH")));
                EXPECT_THAT(commands, Not(HasSubstr("MAIL")));
                EXPECT_THAT(summary, Not(HasSubstr("auth=")));
                EXPECT_THAT(summary, Not(HasSubstr("mail=")));
            }
        }
    }
}

// The plain port does not offer STARTTLS: a client that requires it says so and goes no
// further than EHLO.
TEST_F(PostfixSmtpTls, StartTlsRequiredWhereItIsNotOffered) {
    ASSERT_NO_FATAL_FAILURE(Serve("good"));
    EXPECT_THAT(Deliver(postfix.Port(), secStartTls), HasSubstr("does not offer STARTTLS"));
    EXPECT_EQ(commands, "EHLO client.test\n");
}

} // namespace
