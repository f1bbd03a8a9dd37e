// The SMTP client over TLS: from the start and after STARTTLS, against a scripted TLS server;
// AUTH goes only into a connection whose certificate was accepted.
#include "net/TlsSession.h"

#include "tests/net/SmtpTestSupport.h"
#include "tests/support/TestCertificates.h"

#include <gmock/gmock.h>

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

class SmtpTls : public SmtpTest {
protected:
    void SetUp() override {
        SmtpTest::SetUp();
        ASSERT_TRUE(Certs().Ok());
        TlsSetExtraCaFile(Certs().CaFile());
        cli->SetHost("localhost");
        cli->SetUsername("joe");
        cli->SetPassword("secret");
        cli->SetAuthType(smtpAuthPlain);
    }
    void TearDown() override {
        SmtpTest::TearDown();
        TlsSetExtraCaFile({});
    }
    static const TestCertificates& Certs() { return TestCertificates::Get(); }
    static std::vector<P::Step> Ehlo(const char* extensions) {
        return {P::ExpectLine("EHLO client.test"),
                P::Send(std::string("250-localhost\r\n") + extensions + "250 8BITMIME\r\n")};
    }
    static P::Step Auth() {
        return P::ExpectLine("AUTH PLAIN " + SmtpAuthPlainToken("", "joe", "secret"));
    }
};

TEST_F(SmtpTls, ImplicitTlsCarriesTheSessionAndAuth) {
    cli->SetSecurity(secTls);
    P peer(std::vector<P::Step>{P::StartTls(Certs().Prefix("good")),
                                P::Send("220 localhost ready\r\n")} +
           Ehlo("250-AUTH PLAIN\r\n") + std::vector<P::Step>{Auth(), P::Send("235 ok\r\n")});
    UsePeer(peer);
    EXPECT_TRUE(cli->OpenSync()) << cli->ErrorMessage();
    EXPECT_TRUE(cli->Secured());
    Check(peer);
}

TEST_F(SmtpTls, StartTlsGreetsAgainAndDropsWhatCameInClear) {
    cli->SetSecurity(secStartTls);
    // "235 injected" would otherwise pass for the reply to the second EHLO's successor.
    P peer(std::vector<P::Step>{P::Send("220 localhost ready\r\n")} + Ehlo("250-STARTTLS\r\n") +
           std::vector<P::Step>{P::ExpectLine("STARTTLS"),
                                P::Send("220 go ahead\r\n250 injected\r\n"),
                                P::StartTls(Certs().Prefix("good"))} +
           Ehlo("250-AUTH PLAIN\r\n") + Ehlo("250-AUTH PLAIN\r\n") +
           std::vector<P::Step>{Auth(), P::Send("235 ok\r\n")});
    UsePeer(peer);
    EXPECT_TRUE(cli->OpenSync()) << cli->ErrorMessage();
    EXPECT_TRUE(cli->Secured());
    Check(peer);
}

TEST_F(SmtpTls, NoAuthLeavesAConnectionThatIsNotSecured) {
    struct TCase {
        const char* name;
        TSecurityMode mode;
        std::vector<P::Step> script;
        const char* error;
    };
    const TCase cases[] = {
        {"no STARTTLS offered", secStartTls,
         std::vector<P::Step>{P::Send("220 localhost ready\r\n")} + Ehlo("250-AUTH PLAIN\r\n") +
             std::vector<P::Step>{P::ExpectClosed()},
         "does not offer STARTTLS"},
        {"STARTTLS refused", secStartTls,
         std::vector<P::Step>{P::Send("220 localhost ready\r\n")} + Ehlo("250-STARTTLS\r\n") +
             std::vector<P::Step>{P::ExpectLine("STARTTLS"), P::Send("454 not now\r\n"),
                                  P::ExpectClosed()},
         "454 not now"},
        {"wrong host after STARTTLS", secStartTls,
         std::vector<P::Step>{P::Send("220 localhost ready\r\n")} + Ehlo("250-STARTTLS\r\n") +
             std::vector<P::Step>{P::ExpectLine("STARTTLS"), P::Send("220 go\r\n"),
                                  P::StartTls(Certs().Prefix("wronghost"))},
         "not valid for localhost"},
        {"self-signed from the start",
         secTls,
         {P::StartTls(Certs().Prefix("selfsigned"))},
         "is self-signed"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        cli->SetSecurity(c.mode);
        P peer(c.script);
        UsePeer(peer);
        EXPECT_FALSE(cli->OpenSync());
        EXPECT_THAT(cli->ErrorMessage(), HasSubstr(c.error));
        EXPECT_FALSE(cli->Connected());
        PumpUntil([&] { return peer.Finished(); });
        EXPECT_THAT(peer.Received(), Not(HasSubstr("AUTH")));
    }
}

} // namespace
