#include "app/MailForwarder.h"
#include "app/UnitMain.h"
#include "net/Base64.h"
#include "net/WSocketLibrary.h"

#include "tests/app/MainWindowFixture.h"

#include <QCheckBox>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>

using P = ScriptedPeer;

namespace {

std::string Crlf(std::initializer_list<std::string> lines) {
    std::string out;
    for (const std::string& line : lines)
        out += line + "\r\n";
    return out;
}

// A message whose text part, in base64, decodes to text.
std::string Message(const std::string& id, const std::string& subject, const std::string& text,
                    const std::string& extraHeader = "X-Note: none") {
    return Crlf({"Return-Path: <ann@example.org>", "From: Ann <ann@example.org>",
                 "To: joe@example.org", "Subject: " + subject, "Message-ID: " + id, extraHeader,
                 "MIME-Version: 1.0", "Content-Type: text/plain; charset=utf-8",
                 "Content-Transfer-Encoding: base64", "", Base64Encode(text)});
}

// One SMTP session that takes a forward; refuseAt names a command answered with 550.
std::vector<P::Step> SmtpSession(const std::string& refuseAt = "") {
    const std::string helo = "HELO " + TMailForwarder::HeloName(GetLocalHostName(), "127.0.0.1");
    auto answer = [&](const std::string& command, const char* ok) {
        return P::Send(command == refuseAt ? "550 refused\r\n" : ok);
    };
    std::vector<P::Step> s = {
        P::Send("220 sink\r\n"),      P::ExpectLine(helo),
        P::Send("250 hi\r\n"),        P::ExpectLine("MAIL FROM:<ann@example.org>"),
        answer("MAIL", "250 ok\r\n"), P::ExpectLine("RCPT TO:<fwd@example.net>"),
        answer("RCPT", "250 ok\r\n")};
    if (refuseAt != "RCPT") {
        s.push_back(P::ExpectLine("DATA"));
        s.push_back(P::Send("354 go\r\n"));
        s.push_back(P::ReadUntilLine("."));
        s.push_back(P::Send("250 queued\r\n"));
    }
    s.push_back(P::ExpectLine("QUIT"));
    s.push_back(P::Send("221 bye\r\n"));
    s.push_back(P::Close());
    return s;
}

class Forwarding : public MainWindowCheckTest {
protected:
    std::unique_ptr<ScriptedPeer> smtp;

    void SetUp() override {
        MainWindowCheckTest::SetUp();
        Configure();
    }
    void Configure() {
        form->FwdCheckBox->setChecked(true);
        form->FwdDelCheckBox->setChecked(true);
        form->FwdEdit->setText("fwd@example.net");
        form->SmtpHostEdit->setText("127.0.0.1");
    }
    void SmtpServes(std::vector<P::Step> script) {
        smtp = std::make_unique<ScriptedPeer>(std::move(script));
        form->SmtpPortEdit->setText(QString::fromStdString(smtp->PortText()));
    }
    // One check of the mailbox; deleted tells which messages must see a DELE.
    void Check(const std::vector<std::string>& mailbox, const std::vector<bool>& deleted) {
        std::vector<P::Step> s = {P::Send("+OK ready\r\n"),
                                  P::ExpectLine("USER joe"),
                                  P::Send("+OK\r\n"),
                                  P::ExpectLine("PASS secret"),
                                  P::Send("+OK\r\n"),
                                  P::ExpectLine("STAT"),
                                  P::Send("+OK " + std::to_string(mailbox.size()) + " 0\r\n")};
        for (size_t i = 0; i < mailbox.size(); ++i) {
            const std::string n = std::to_string(i + 1);
            s.push_back(P::ExpectLine("RETR " + n));
            s.push_back(P::Send("+OK\r\n" + mailbox[i] + ".\r\n"));
            if (deleted[i]) {
                s.push_back(P::ExpectLine("DELE " + n));
                s.push_back(P::Send("+OK\r\n"));
            }
        }
        s.push_back(P::ExpectLine("QUIT"));
        s.push_back(P::Send("+OK\r\n"));
        s.push_back(P::Close());
        Serve(std::move(s));
        form->SetStatusText({});
        form->btnDownload->click();
        ASSERT_TRUE(PumpUntil([&] { return form->StatusText().startsWith("There're"); }, 10000))
            << form->StatusText().toStdString();
        EXPECT_TRUE(PumpUntil([&] { return peer->Finished(); }));
        for (const std::string& f : peer->Failures())
            ADD_FAILURE() << "POP3: " << f;
        if (smtp) {
            EXPECT_TRUE(PumpUntil([&] { return smtp->Finished(); }));
            for (const std::string& f : smtp->Failures())
                ADD_FAILURE() << "SMTP: " << f;
        }
    }
    std::string StateFile() const { return TForwardedKeys::FileFor(form->SettingsFileName()); }
    bool Logged(const char* line) const {
        return form->LogText().contains(QString::fromUtf8(line));
    }
};

TEST_F(Forwarding, AcceptedForwardsAreDeletedKeptOnRecordAndCarryTheTextSafely) {
    std::vector<P::Step> twoSessions = SmtpSession();
    twoSessions.push_back(P::Accept());
    for (const P::Step& step : SmtpSession("RCPT"))
        twoSessions.push_back(step);
    SmtpServes(std::move(twoSessions));
    Check({Message("<1@x>", "first",
                   "Gr\xc3\xbc\xc3\x9f"
                   "e\r\nx\r\n.\r\nMAIL FROM:<a@b>\r\n"),
           Message("<2@x>", "second", "refused\r\n")},
          {true, false});
    const std::string wire = smtp->Received();
    // The smuggled command stays text of the one message, stuffed.
    EXPECT_NE(wire.find("\r\nx\r\n..\r\nMAIL FROM:<a@b>\r\n"), std::string::npos) << wire;
    EXPECT_NE(wire.find("Content-Type: text/plain; charset=\"utf-8\"\r\n"), std::string::npos);
    EXPECT_NE(wire.find("\r\nGr\xc3\xbc\xc3\x9f"
                        "e\r\n"),
              std::string::npos);
    EXPECT_NE(wire.find("\r\nX-Forwarded-By: Postlark\r\n"), std::string::npos);
    EXPECT_NE(wire.find("\r\nFrom: ann@example.org\r\nTo: joe@example.org\r\nSubject: first\r\n"),
              std::string::npos);
    EXPECT_TRUE(Logged("Request Done Rq=9 Error=0"));
    EXPECT_TRUE(Logged("Request Done Rq=9 Error=550"));

    QFile state(QString::fromStdString(StateFile()));
    ASSERT_TRUE(state.open(QIODevice::ReadOnly));
    EXPECT_EQ(state.readAll().toStdString(), " <1@x>\n");
    state.close();

    // After a restart the accepted one is neither forwarded again nor kept on the server; the
    // refused one is tried again.
    form.reset();
    CreateForm();
    Configure();
    SmtpServes(SmtpSession());
    Check({Message("<1@x>", "first", "again\r\n"), Message("<2@x>", "second", "refused\r\n")},
          {true, true});
    EXPECT_TRUE(Logged("Forward skipped: message already forwarded"));
}

TEST_F(Forwarding, LoopsBlankAddressesAndDeadServersForwardNothing) {
    // Carrying our trace line: it came back from a forward.
    Check({Message("<3@x>", "loop", "text\r\n", "X-Forwarded-By: Postlark")}, {false});
    EXPECT_TRUE(Logged("Forward skipped: message was forwarded by this program"));
    EXPECT_FALSE(Logged("> HELO"));

    form->FwdEdit->setText("  ");
    Check({Message("<4@x>", "blank", "text\r\n")}, {false});
    EXPECT_TRUE(Logged("Forward skipped: no address in \"Forward To:\""));

    // Nothing listens: one log line, and the second message is not tried.
    form->FwdEdit->setText("fwd@example.net");
    form->SmtpPortEdit->setText("1");
    Check({Message("<5@x>", "one", "a\r\n"), Message("<6@x>", "two", "b\r\n")}, {false, false});
    EXPECT_EQ(form->LogText().count("Forwarding stopped for this check"), 1);
    EXPECT_EQ(form->LogText().count("Request Done Rq=0 Error=10061"), 1);
    EXPECT_TRUE(Logged("Request Done Rq=6 Error=0"));
}

TEST(ForwardDecisions, HeloNamesAndCharsetLabels) {
    EXPECT_EQ(TMailForwarder::HeloName("mail.example.org", "10.0.0.1"), "mail.example.org");
    EXPECT_EQ(TMailForwarder::HeloName("host-1", "10.0.0.1"), "host-1");
    EXPECT_EQ(TMailForwarder::HeloName("", "10.0.0.1"), "[10.0.0.1]");
    EXPECT_EQ(TMailForwarder::HeloName("bad_name", "10.0.0.1"), "[10.0.0.1]");
    EXPECT_EQ(TMailForwarder::HeloName("-x.org", "10.0.0.1"), "[10.0.0.1]");
    EXPECT_EQ(TMailForwarder::HeloName("x..org", "error"), "[127.0.0.1]");
    EXPECT_EQ(TMailForwarder::HeloName("Ann <a@b>", "10.0.0.1"), "[10.0.0.1]");
    EXPECT_EQ(TMailForwarder::CharSetFor("utf-8"), "utf-8");
    EXPECT_EQ(TMailForwarder::CharSetFor(""), "iso-8859-1");
    EXPECT_EQ(TMailForwarder::CharSetFor("utf-8\"; x=\"y"), "iso-8859-1");
}

} // namespace

// Nothing identifies the message, so every check takes it in again: its text shows it was
// forwarded, and Delete Forwarded still removes it.
TEST_F(Forwarding, AMessageWithoutAnIdentityIsForwardedOnce) {
    SmtpServes(SmtpSession());
    const std::string anonymous = Message("", "anonymous", "text\r\n");
    Check({anonymous}, {true});
    Check({anonymous}, {true});
    EXPECT_TRUE(Logged("Forward skipped: message already forwarded"));
}
