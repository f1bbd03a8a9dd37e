// The POP3 client over TLS: from the start and after STLS, against a scripted TLS server;
// credentials go only into a connection whose certificate was accepted.
#include "net/TlsSession.h"

#include "tests/net/Pop3TestSupport.h"
#include "tests/support/TestCertificates.h"

#include <gmock/gmock.h>

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

class Pop3Tls : public Pop3Test {
protected:
    void SetUp() override {
        Create("u", "p", false);
        ASSERT_TRUE(Certs().Ok());
        TlsSetExtraCaFile(Certs().CaFile());
        cli->SetHost("localhost");
        cli->OnResponse = [this](TObject*, const std::string& line) { responses.push_back(line); };
    }
    void TearDown() override {
        Pop3Test::TearDown();
        TlsSetExtraCaFile({});
    }
    static const TestCertificates& Certs() { return TestCertificates::Get(); }
    bool OpenOn(const ScriptedPeer& peer, TSecurityMode mode) {
        cli->SetSecurity(mode);
        cli->SetPort(peer.PortText());
        return Run([&] { cli->Open(); });
    }
    Log responses;
};

TEST_F(Pop3Tls, ImplicitTlsCarriesTheWholeSession) {
    P peer({P::StartTls(Certs().Prefix("good")), P::Send("+OK ready <1.2@localhost>\r\n"),
            P::ExpectLine("USER u"), P::Send("+OK\r\n"), P::ExpectLine("PASS p"),
            P::Send("+OK in\r\n")});
    ASSERT_TRUE(OpenOn(peer, secTls));
    EXPECT_EQ(log.back(), "done 0");
    EXPECT_TRUE(cli->Secured());
    EXPECT_EQ(cli->TimeStamp(), "<1.2@localhost>");
    Check(peer);
}

TEST_F(Pop3Tls, StlsDropsWhatTheServerSentInClearAfterItsReply) {
    // "+OK injected" would otherwise pass for the reply to USER, and the real reply for the
    // one to PASS.
    P peer({P::Send("+OK ready\r\n"), P::ExpectLine("STLS"),
            P::Send("+OK Begin TLS\r\n+OK injected\r\n"), P::StartTls(Certs().Prefix("good")),
            P::ExpectLine("USER u"), P::Send("+OK user\r\n"), P::ExpectLine("PASS p"),
            P::Send("+OK pass\r\n")});
    ASSERT_TRUE(OpenOn(peer, secStartTls));
    EXPECT_EQ(log.back(), "done 0");
    EXPECT_TRUE(cli->Secured());
    EXPECT_THAT(responses,
                ::testing::ElementsAre("+OK ready", "+OK Begin TLS", "+OK user", "+OK pass"));
    Check(peer);
}

struct TRefusal {
    const char* name;
    TSecurityMode mode;
    std::vector<ScriptedPeer::Step> script;
    const char* error;
};

TEST_F(Pop3Tls, NoCredentialLeavesAConnectionThatIsNotSecured) {
    const TRefusal cases[] = {
        {"server without STLS",
         secStartTls,
         {P::Send("+OK ready\r\n"), P::ExpectLine("STLS"), P::Send("-ERR unknown command\r\n"),
          P::ExpectClosed()},
         "does not offer STLS"},
        {"expired certificate after STLS",
         secStartTls,
         {P::Send("+OK ready\r\n"), P::ExpectLine("STLS"), P::Send("+OK Begin TLS\r\n"),
          P::StartTls(Certs().Prefix("expired"))},
         "has expired"},
        {"self-signed certificate from the start",
         secTls,
         {P::StartTls(Certs().Prefix("selfsigned"))},
         "is self-signed"},
        {"certificate for another name from the start",
         secTls,
         {P::StartTls(Certs().Prefix("wronghost"))},
         "not valid for localhost"},
    };
    for (const TRefusal& c : cases) {
        SCOPED_TRACE(c.name);
        P peer(c.script);
        ASSERT_TRUE(OpenOn(peer, c.mode));
        EXPECT_NE(lastError, 0);
        EXPECT_THAT(cli->ErrorMessage(), HasSubstr(c.error));
        EXPECT_FALSE(cli->Connected());
        PumpUntil([&] { return peer.Finished(); });
        EXPECT_THAT(peer.Received(), Not(HasSubstr("USER")));
        EXPECT_THAT(peer.Received(), Not(HasSubstr("PASS")));
    }
}

TEST_F(Pop3Tls, APinnedSelfSignedCertificateIsTrustedAndApopRunsInside) {
    cli->SetTlsPin(Certs().Fingerprint("selfsigned"));
    cli->SetSecurity(secStartTls);
    P peer({P::Send("+OK ready <7.8@localhost>\r\n"), P::ExpectLine("STLS"), P::Send("+OK go\r\n"),
            P::StartTls(Certs().Prefix("selfsigned")),
            P::ExpectLine("APOP u " + Pop3ApopDigest("<7.8@localhost>", "p")),
            P::Send("+OK in\r\n")});
    ASSERT_TRUE(ConnectTo(peer));
    ASSERT_EQ(lastError, 0) << cli->ErrorMessage();
    ASSERT_TRUE(Run([&] { cli->APop(); }));
    EXPECT_EQ(lastError, 0);
    Check(peer);
}

} // namespace
