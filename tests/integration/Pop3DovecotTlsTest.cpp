// The POP3 client against a private Dovecot that requires TLS: from the start on its pop3s
// port and after STLS on its plain port, with each kind of certificate the tests make.

#include "net/Pop3Prot.h"
#include "net/TlsSession.h"

#include "tests/integration/DovecotServer.h"
#include "tests/support/EventLoopFixture.h"
#include "tests/support/TestCertificates.h"

#include <gmock/gmock.h>

using ::testing::HasSubstr;

namespace {

class Pop3DovecotTls : public EventLoopTest {
protected:
    void SetUp() override {
        EventLoopTest::SetUp();
        if (!TestCertificates::Get().Ok()) GTEST_SKIP() << "no test certificates";
        TlsSetExtraCaFile(TestCertificates::Get().CaFile());
    }
    void TearDown() override {
        server.Stop();
        TlsSetExtraCaFile({});
    }
    bool Serve(const char* cert) {
        std::string why;
        if (server.StartWithTls(TestCertificates::Get().Prefix(cert), why)) return true;
        server.Stop();
        skipReason = why;
        return false;
    }
    // Connects, logs in and asks for the message count; the error text, empty on success.
    std::string Check(TSecurityMode mode, const std::string& pin = {}) {
        TPop3Cli cli;
        int done = 0;
        std::uint16_t error = 0;
        cli.OnRequestDone = [&](TObject*, TPop3Request, std::uint16_t e) {
            ++done;
            error = e;
        };
        cli.SetHost("localhost");
        cli.SetPort(std::to_string(mode == secTls ? server.TlsPort() : server.Port()));
        cli.SetSecurity(mode);
        cli.SetTlsPin(pin);
        cli.SetUserName("test");
        cli.SetPassWord("secret");
        cli.Open();
        if (!PumpUntil([&] { return done > 0; }, 10000)) return "no completion";
        if (error != 0) return cli.ErrorMessage().empty() ? "error" : cli.ErrorMessage();
        EXPECT_TRUE(cli.Secured());
        done = 0;
        cli.Stat();
        PumpUntil([&] { return done > 0; }, 10000);
        EXPECT_EQ(cli.MsgCount(), kDovecotMessages);
        done = 0;
        cli.Quit();
        PumpUntil([&] { return done > 0; }, 10000);
        return {};
    }

    Dovecot server;
    std::string skipReason;
};

TEST_F(Pop3DovecotTls, BothModesWithEachCertificate) {
    for (const TCertificateCase& c : kCertificateCases) {
        SCOPED_TRACE(c.cert + std::string(c.pin ? " pinned" : ""));
        if (!Serve(c.cert)) GTEST_SKIP() << skipReason;
        const std::string pin = c.pin ? TestCertificates::Get().Fingerprint(c.cert) : "";
        for (const TSecurityMode mode : {secTls, secStartTls}) {
            SCOPED_TRACE(mode == secTls ? "TLS" : "STARTTLS");
            const std::string outcome = Check(mode, pin);
            if (*c.error == 0)
                EXPECT_EQ(outcome, "");
            else
                EXPECT_THAT(outcome, HasSubstr(c.error));
        }
        server.Stop();
    }
}

} // namespace
