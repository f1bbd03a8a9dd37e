// The demo server with a self-signed certificate, as scripts/run starts it, against the
// program's own POP3 and SMTP clients trusting that certificate by its fingerprint: POP3 with
// TLS from the start and after STLS, the plain port older settings use, a wrong pin refused
// before any credential, and STARTTLS on the SMTP sink.
#include "net/SmtpProt.h"

#include "tests/net/Pop3TestSupport.h"
#include "tests/support/LoopbackPort.h"
#include "tests/support/TestCertificates.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>

#include <gmock/gmock.h>

using ::testing::HasSubstr;

namespace {

class DemoServerTls : public Pop3Test {
protected:
    void SetUp() override {
        Create("demo", "demo", false);
        const QString path =
            QCoreApplication::applicationDirPath() + "/../tools/postlark-demo-server";
        if (!QFile::exists(path)) GTEST_SKIP() << "the demo server is built with this test";
        ASSERT_TRUE(Certs().Ok());
        const QString cert = QString::fromStdString(Certs().Prefix("selfsigned"));
        server.setProcessChannelMode(QProcess::MergedChannels);
        server.start(path, {"--pop3-port", QString::number(pop3Port), "--pop3s-port",
                            QString::number(pop3sPort), "--smtp-port", QString::number(smtpPort),
                            "--tls-cert", cert + ".crt", "--tls-key", cert + ".key"});
        ASSERT_TRUE(PumpUntil([&] { return Log().contains("POP3S on"); })) << Log().toStdString();
        cli->SetTlsPin(Certs().Fingerprint("selfsigned"));
    }
    void TearDown() override {
        Pop3Test::TearDown();
        server.kill();
        server.waitForFinished(5000);
    }
    static const TestCertificates& Certs() { return TestCertificates::Get(); }
    // Everything the server printed so far.
    const QString& Log() {
        serverLog += QString::fromUtf8(server.readAll());
        return serverLog;
    }

    const int pop3Port = FreeLoopbackPort();
    const int pop3sPort = FreeLoopbackPort();
    const int smtpPort = FreeLoopbackPort();
    QProcess server;
    QString serverLog;
};

TEST_F(DemoServerTls, PopChecksWithThePinnedCertificateAndPlainForOlderSettings) {
    struct {
        const char* name;
        TSecurityMode mode;
        int port;
        const char* ended;
    } cases[] = {
        {"TLS from the start", secTls, pop3sPort, "0 deleted, over TLS\n"},
        {"STLS on the plain port", secStartTls, pop3Port, "0 deleted, over TLS\n"},
        {"plain, as older settings have it", secNone, pop3Port, "0 deleted\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        serverLog.clear();
        cli->SetSecurity(c.mode);
        cli->SetPort(std::to_string(c.port));
        ASSERT_TRUE(Run([&] { cli->Open(); }));
        ASSERT_EQ(lastError, 0) << cli->ErrorMessage();
        EXPECT_EQ(cli->Secured(), c.mode != secNone);
        ASSERT_TRUE(Run([&] { cli->Stat(); }));
        EXPECT_EQ(cli->MsgCount(), 4);
        ASSERT_TRUE(Run([&] { cli->Quit(); }));
        ASSERT_TRUE(PumpUntil([&] { return Log().contains("session of demo ended"); }));
        EXPECT_TRUE(Log().contains(c.ended)) << Log().toStdString();
    }
}

TEST_F(DemoServerTls, AWrongPinIsRefusedAndTheServerServesOn) {
    // The client hangs up right after the handshake, often while the server still sends its
    // last records: a few rounds make that race likely.
    cli->SetTlsPin(Certs().Fingerprint("good"));
    for (int round = 0; round < 3; ++round)
        for (const TSecurityMode mode : {secTls, secStartTls}) {
            SCOPED_TRACE(mode == secTls ? "TLS from the start" : "STLS");
            cli->SetSecurity(mode);
            cli->SetPort(std::to_string(mode == secTls ? pop3sPort : pop3Port));
            ASSERT_TRUE(Run([&] { cli->Open(); }));
            EXPECT_NE(lastError, 0);
            EXPECT_THAT(cli->ErrorMessage(), HasSubstr("does not match the pinned fingerprint"));
            EXPECT_THAT(cli->ErrorMessage(), HasSubstr(Certs().Fingerprint("selfsigned")));
            EXPECT_FALSE(cli->Connected());
        }
    cli->SetTlsPin(Certs().Fingerprint("selfsigned"));
    ASSERT_TRUE(Run([&] { cli->Open(); }));
    EXPECT_EQ(lastError, 0) << cli->ErrorMessage() << Log().toStdString();
    EXPECT_EQ(server.state(), QProcess::Running);
}

TEST_F(DemoServerTls, SmtpSinkTakesAMessageAfterStartTls) {
    TSyncSmtpCli smtp;
    smtp.SetHost("127.0.0.1");
    smtp.SetPort(std::to_string(smtpPort));
    smtp.SetSecurity(secStartTls);
    smtp.SetTlsPin(Certs().Fingerprint("selfsigned"));
    smtp.SetTimeout(5);
    smtp.SetFromName("a@b");
    TStringList recipients;
    recipients.Add("c@d");
    smtp.SetRcptName(recipients);
    smtp.SetHdrSubject("over TLS");
    TStringList body;
    body.Add("hello");
    smtp.SetMailMessage(body);
    ASSERT_TRUE(smtp.OpenSync()) << smtp.ErrorMessage();
    EXPECT_TRUE(smtp.Secured());
    ASSERT_TRUE(smtp.MailSync()) << smtp.ErrorMessage();
    EXPECT_TRUE(smtp.QuitSync());
    ASSERT_TRUE(PumpUntil([&] { return Log().contains("accepted a message"); }));
    EXPECT_TRUE(Log().contains("subject: over TLS (over TLS)")) << Log().toStdString();
}

} // namespace
