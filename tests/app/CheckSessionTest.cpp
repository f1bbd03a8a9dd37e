#include "app/UnitMain.h"
#include "net/Pop3Prot.h"
#include "net/TlsSession.h"
#include "net/WSocketLibrary.h"
#include "net/WinsockEmulation.h"
#include "ui/ApplicationErrors.h"

#include "tests/app/MainWindowFixture.h"
#include "tests/support/TestCertificates.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>

#include <cerrno>

using P = ScriptedPeer;

namespace {

// The main window runs a whole check against a scripted POP3 server on 127.0.0.1.
class CheckSession : public MainWindowCheckTest {
protected:
    // Clicks Check and waits until the session has ended with the message count.
    void CheckAndWait() {
        form->btnDownload->click();
        ASSERT_TRUE(PumpUntil([&] { return form->StatusText().startsWith("There're"); }, 8000))
            << form->StatusText().toStdString();
        EXPECT_TRUE(peer->WaitFinished(2000));
        EXPECT_TRUE(peer->Failures().empty()) << peer->Failures().front();
        // The QUIT's completion may be delivered before or after the close; either way it comes.
        EXPECT_TRUE(PumpUntil([&] { return OwnLines().last() == "Request Done Rq=4 Error=0"; }));
    }
    // The window's own log lines, without the client's "> " and "< " lines.
    QStringList OwnLines() const {
        QStringList own;
        for (const QString& line : form->LogText().split('\n'))
            if (!line.startsWith("> ") && !line.startsWith("< ")) own << line;
        return own;
    }
    static std::vector<P::Step> Login(const char* stat) {
        return {P::Send("+OK ready\r\n"),
                P::ExpectLine("USER joe"),
                P::Send("+OK\r\n"),
                P::ExpectLine("PASS secret"),
                P::Send("+OK\r\n"),
                P::ExpectLine("STAT"),
                P::Send(stat)};
    }
    static std::vector<P::Step> Retr(int n) {
        const std::string num = std::to_string(n);
        return {P::ExpectLine("RETR " + num),
                P::Send("+OK\r\nSubject: " + num + "\r\n\r\nbody\r\n.\r\n")};
    }
    static std::vector<P::Step> Quit() {
        return {P::ExpectLine("QUIT"), P::Send("+OK bye\r\n"), P::Close()};
    }
    static std::vector<P::Step> Join(std::initializer_list<std::vector<P::Step>> parts) {
        std::vector<P::Step> all;
        for (const auto& part : parts)
            all.insert(all.end(), part.begin(), part.end());
        return all;
    }
    void Hold(const std::string& id) {
        auto m = std::make_unique<TMailMessage>();
        m->MsgId = id;
        form->AppendMessage(std::move(m));
    }
};

TEST_F(CheckSession, EmptyMailboxQuitsAtOnce) {
    Serve(Join({Login("+OK 0 0\r\n"), Quit()}));
    CheckAndWait();
    EXPECT_EQ(OwnLines(), QStringList({"Request Done Rq=0 Error=0", "Request Done Rq=1 Error=0",
                                       "Request Done Rq=2 Error=0", "Request Done Rq=5 Error=0",
                                       "No messages to download.", "Request Done Rq=4 Error=0"}));
    EXPECT_EQ(form->StatusText(), "There're 0 messages");
    EXPECT_FALSE(form->Busy());
    EXPECT_TRUE(form->btnDownload->isEnabled());
    EXPECT_TRUE(form->isVisible() && !form->isMinimized());
    EXPECT_FALSE(form->CoolTrayIcon->IconShown());
    EXPECT_TRUE(form->LogText().contains("> PASS secret"));
}

TEST_F(CheckSession, EveryMessageIsRetrievedWithoutUidl) {
    Serve(Join({Login("+OK 3 300\r\n"), Retr(1), Retr(2), Retr(3), Quit()}));
    CheckAndWait();
    EXPECT_EQ(OwnLines().mid(4),
              QStringList({"Message 1", "Request Done Rq=7 Error=0", "Message 2",
                           "Request Done Rq=7 Error=0", "Message 3", "Request Done Rq=7 Error=0",
                           "Finished", "Request Done Rq=4 Error=0"}));
    EXPECT_EQ(peer->Received(), "USER joe\r\nPASS secret\r\nSTAT\r\nRETR 1\r\nRETR 2\r\nRETR "
                                "3\r\nQUIT\r\n");
}

TEST_F(CheckSession, UidlSkipsAHeldMessage) {
    form->UidlCheckBox->setChecked(true);
    Hold("uid-2");
    Serve(Join({Login("+OK 3 300\r\n"),
                {P::ExpectLine("UIDL 1"), P::Send("+OK 1 uid-1\r\n")},
                Retr(1),
                {P::ExpectLine("UIDL 2"), P::Send("+OK 2 UID-2\r\n")},
                {P::ExpectLine("UIDL 3"), P::Send("+OK 3 uid-3\r\n")},
                Retr(3),
                Quit()}));
    CheckAndWait();
    EXPECT_EQ(OwnLines().mid(4),
              QStringList({"Request Done Rq=13 Error=0", "Message 1", "Request Done Rq=7 Error=0",
                           "Request Done Rq=13 Error=0", "Message 2 already here",
                           "Request Done Rq=13 Error=0", "Message 3", "Request Done Rq=7 Error=0",
                           "Finished", "Request Done Rq=4 Error=0"}));
    // The held message and the two retrieved ones.
    EXPECT_EQ(form->StatusText(), "There're 3 messages");
}

TEST_F(CheckSession, HeldLastMessageEndsTheChain) {
    form->UidlCheckBox->setChecked(true);
    Hold("uid-2");
    Serve(Join({Login("+OK 2 200\r\n"),
                {P::ExpectLine("UIDL 1"), P::Send("+OK 1 uid-1\r\n")},
                Retr(1),
                {P::ExpectLine("UIDL 2"), P::Send("+OK 2 uid-2\r\n")},
                Quit()}));
    CheckAndWait();
    EXPECT_EQ(OwnLines().mid(OwnLines().size() - 4),
              QStringList({"Request Done Rq=13 Error=0", "Message 2 already here", "Finished",
                           "Request Done Rq=4 Error=0"}));
}

// "&Delete Forwarded" deletes only what a server accepted as a forward; with forwarding off,
// nothing.
TEST_F(CheckSession, DeleteForwardedAloneDeletesNothingThatWasNotForwarded) {
    form->FwdDelCheckBox->setChecked(true);
    Serve(Join({Login("+OK 2 200\r\n"), Retr(1), Retr(2), Quit()}));
    CheckAndWait();
    EXPECT_FALSE(OwnLines().contains("Request Done Rq=9 Error=0"));
    EXPECT_EQ(OwnLines().mid(OwnLines().size() - 2),
              QStringList({"Finished", "Request Done Rq=4 Error=0"}));
}

TEST_F(CheckSession, WrongPasswordStopsAndStaysBusyUntilTheServerCloses) {
    Serve({P::Send("+OK ready\r\n"), P::ExpectLine("USER joe"), P::Send("+OK\r\n"),
           P::ExpectLine("PASS secret"), P::Send("-ERR invalid\r\n"), P::Pause(400), P::Close()});
    form->btnDownload->click();
    ASSERT_TRUE(PumpUntil([&] { return form->StatusText() == "Aborted due Error"; }));
    EXPECT_TRUE(form->Busy());
    EXPECT_FALSE(form->btnClose->isEnabled());
    form->btnDownloadClick(); // Check while busy: nothing
    EXPECT_EQ(form->StatusText(), "Aborted due Error");
    ASSERT_TRUE(PumpUntil([&] { return !form->Busy(); }));
    EXPECT_EQ(form->StatusText(), "There're 0 messages");
    EXPECT_TRUE(form->btnClose->isEnabled());
    EXPECT_TRUE(form->isVisible() && !form->isMinimized());
    EXPECT_EQ(OwnLines().last(), "Request Done Rq=2 Error=500");
    EXPECT_EQ(peer->Received(), "USER joe\r\nPASS secret\r\n") << "no QUIT after an error";
}

TEST_F(CheckSession, SecondCheckBeforeTheGreetingIsRefused) {
    Serve(Join({{P::Pause(300)}, Login("+OK 0 0\r\n"), Quit()}));
    form->btnDownload->click();
    EXPECT_EQ(form->StatusText(), "Connect ok");
    form->btnDownload->click();
    EXPECT_EQ(form->StatusText(), "Connect failed (POP3 component not ready)");
    ASSERT_TRUE(PumpUntil([&] { return form->StatusText().startsWith("There're"); }, 8000));
    EXPECT_EQ(peer->Connections(), 1);
}

TEST_F(CheckSession, EmptyPortAbortsTheCheck) {
    form->PortEdit->setText("");
    form->btnDownload->click();
    ASSERT_TRUE(PumpUntil([&] { return form->StatusText() == "Aborted due Error"; }))
        << form->StatusText().toStdString();
    EXPECT_TRUE(OwnLines().last().startsWith("Request Done Rq=0 Error="));
    EXPECT_FALSE(form->Busy());
}

// The five buttons are back and nothing of the session is left open.
void ExpectCheckEnded(const TfrmMain& form) {
    EXPECT_FALSE(form.Watchdog.Running());
    EXPECT_FALSE(form.Busy());
    for (const QPushButton* button :
         {form.btnDownload, form.btnHide, form.btnAbout, form.btnClear, form.btnClose})
        EXPECT_TRUE(button->isEnabled()) << button->text().toStdString();
    EXPECT_EQ(winsock::OpenHandleCount(), 0);
    EXPECT_EQ(form.Pop3Client->State(), pop3Ready);
}

// The security mode of the configuration page: the check runs inside TLS, or fails with the
// reason in the log and the status bar and no credential sent.
TEST_F(CheckSession, SecuredChecksAndTheirRefusals) {
    const TestCertificates& certs = TestCertificates::Get();
    ASSERT_TRUE(certs.Ok());
    TlsSetExtraCaFile(certs.CaFile());
    form->HostEdit->setText("localhost");
    std::vector<P::Step> login = Login("+OK 0 0\r\n");
    login.erase(login.begin()); // the greeting came before STLS
    struct TCase {
        const char* name;
        int mode;
        std::vector<P::Step> script;
        const char* reason; // empty: the check succeeds
    } cases[] = {
        {"STARTTLS", 2,
         Join({{P::Send("+OK ready\r\n"), P::ExpectLine("STLS"), P::Send("+OK go\r\n"),
                P::StartTls(certs.Prefix("good"))},
               login,
               Quit()}),
         ""},
        {"no STLS",
         2,
         {P::Send("+OK ready\r\n"), P::ExpectLine("STLS"), P::Send("-ERR what\r\n"),
          P::ExpectClosed()},
         "The server does not offer STLS"},
        {"expired",
         1,
         {P::StartTls(certs.Prefix("expired"))},
         "The server's certificate has expired"},
    };
    for (TCase& c : cases) {
        SCOPED_TRACE(c.name);
        form->Pop3SecurityBox->setCurrentIndex(c.mode);
        Serve(c.script);
        if (*c.reason == 0) {
            CheckAndWait();
            EXPECT_EQ(peer->Received(), "STLS\r\nUSER joe\r\nPASS secret\r\nSTAT\r\nQUIT\r\n");
            continue;
        }
        form->btnDownload->click();
        ASSERT_TRUE(PumpUntil([&] { return form->StatusText().startsWith(c.reason); }))
            << form->StatusText().toStdString();
        EXPECT_TRUE(OwnLines().filter(QString("Error: ") + c.reason).size() == 1)
            << form->LogText().toStdString();
        PumpUntil([&] { return peer->Finished(); });
        EXPECT_FALSE(QString::fromStdString(peer->Received()).contains("PASS"));
        ExpectCheckEnded(*form);
    }
    TlsSetExtraCaFile({});
}

// A server that falls silent, before its greeting or in the middle of the session, is dropped
// once the check has made no progress for the idle limit.
TEST_F(CheckSession, TheWatchdogEndsACheckTheServerLeavesSilent) {
    form->Watchdog.SetLimits(300, 200);
    const std::vector<std::vector<P::Step>> scripts = {
        {P::ExpectClosed()},
        {P::Send("+OK ready\r\n"), P::ExpectLine("USER joe"), P::Send("+OK\r\n"),
         P::ExpectLine("PASS secret"), P::ExpectClosed()},
    };
    // The same for a TLS handshake the server leaves hanging after the client's hello, from
    // the start or after STLS.
    const struct {
        int mode;
        std::vector<P::Step> script;
    } tlsStalls[] = {
        {1, {P::ReadBytes(20), P::ExpectClosed()}},
        {2,
         {P::Send("+OK ready\r\n"), P::ExpectLine("STLS"), P::Send("+OK go\r\n"), P::ReadBytes(20),
          P::ExpectClosed()}},
    };
    std::vector<std::pair<int, std::vector<P::Step>>> runs;
    for (const auto& script : scripts)
        runs.emplace_back(0, script);
    for (const auto& stall : tlsStalls)
        runs.emplace_back(stall.mode, stall.script);
    for (const auto& [mode, script] : runs) {
        form->Pop3SecurityBox->setCurrentIndex(mode);
        Serve(script);
        form->btnDownload->click();
        ASSERT_TRUE(PumpUntil([&] { return peer->Finished(); }, 3000))
            << form->LogText().toStdString();
        ASSERT_TRUE(PumpUntil([&] { return !form->Watchdog.Running(); }));
        EXPECT_TRUE(peer->Failures().empty()) << peer->Failures().front();
        EXPECT_TRUE(OwnLines().contains("Error: No answer from the server for 1 seconds"))
            << form->LogText().toStdString();
        ExpectCheckEnded(*form);
    }
}

// After a refusal nothing more is sent; a server that then keeps the connection open is
// dropped after the close-wait limit.
TEST_F(CheckSession, AServerThatRefusesThePasswordAndNeverClosesIsDropped) {
    form->Watchdog.SetLimits(60000, 200);
    Serve({P::Send("+OK ready\r\n"), P::ExpectLine("USER joe"), P::Send("+OK\r\n"),
           P::ExpectLine("PASS secret"), P::Send("-ERR invalid\r\n"), P::ExpectClosed()});
    form->btnDownload->click();
    ASSERT_TRUE(PumpUntil([&] { return peer->Finished(); }, 3000));
    ASSERT_TRUE(PumpUntil([&] { return !form->Watchdog.Running(); }));
    EXPECT_TRUE(peer->Failures().empty()) << peer->Failures().front();
    EXPECT_EQ(OwnLines().mid(OwnLines().size() - 2),
              QStringList({"Request Done Rq=2 Error=500",
                           "Error: The server did not close the connection"}));
    EXPECT_EQ(peer->Received(), "USER joe\r\nPASS secret\r\n");
    EXPECT_EQ(form->StatusText(), "There're 0 messages");
    ExpectCheckEnded(*form);
}

// An empty host ends its check with a completion; the next check runs as usual.
TEST_F(CheckSession, AnEmptyHostEndsTheCheckAndTheNextOneRuns) {
    form->HostEdit->setText("");
    form->btnDownload->click();
    ASSERT_TRUE(PumpUntil([&] { return form->StatusText() == "Aborted due Error"; }))
        << form->StatusText().toStdString();
    EXPECT_EQ(OwnLines().last(), "Request Done Rq=0 Error=500");
    ExpectCheckEnded(*form);
    form->HostEdit->setText("127.0.0.1");
    Serve(Join({Login("+OK 0 0\r\n"), Quit()}));
    CheckAndWait();
}

// A failure of each system call of a whole check in turn, a broken connection and a shortage of
// buffers: every check ends, with its buttons back and nothing left open, and the next one runs.
TEST_F(CheckSession, EverySocketCallOfACheckFailingInTurnEndsTheCheck) {
    form->Watchdog.SetLimits(400, 200);
    // The window's own clients each own one socket for the whole run; no other may remain.
    const int socketsOfTheWindow = WSocketObjectCount();
    for (const int error : {ECONNRESET, ENOBUFS}) {
        int failAt = 1;
        for (;; ++failAt) {
            ASSERT_LT(failAt, 500);
            SCOPED_TRACE("system call " + std::to_string(failAt) + " failing with " +
                         std::to_string(error));
            Serve(Join({Login("+OK 1 40\r\n"), Retr(1), Quit()}));
            const QString logBefore = form->LogText();
            winsock::FailOperationAfter(failAt, error);
            form->btnDownload->click();
            const bool ended = PumpUntil([&] { return !form->Watchdog.Running(); }, 5000);
            const bool fired = !winsock::InjectedFailurePending();
            winsock::FailOperationAfter(0, 0);
            PumpFor(10); // a completion still on its way
            ASSERT_TRUE(ended);
            ExpectCheckEnded(*form);
            EXPECT_EQ(WSocketObjectCount(), socketsOfTheWindow);
            // A line of the window's own ends each check.
            EXPECT_NE(form->LogText(), logBefore);
            EXPECT_FALSE(OwnLines().last().isEmpty()) << form->LogText().toStdString();
            if (!fired) {
                // Past the end of the check: it ran without a failure.
                EXPECT_TRUE(form->StatusText().startsWith("There're"));
                break;
            }
        }
        EXPECT_GT(failAt, 20) << "fewer system calls than a whole check makes";
    }
}

} // namespace
