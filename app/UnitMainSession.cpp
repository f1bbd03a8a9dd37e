#include "app/UnitMain.h"

#include "net/Pop3Prot.h"
#include "ui/QtText.h"

#include <QCheckBox>
#include <QLineEdit>

#include <iterator>

namespace {

// The session's steps: which request DoStep starts next.
enum TCheckStep : std::uint8_t {
    csConnect = 0,
    csUser = 1,
    csPass = 2,
    csStat = 3,
    csUidl = 4,
    csRetr = 5,
    csDelete = 6,
    csQuit = 7,
};

} // namespace

void TPop3ClientDeleter::operator()(TPop3Cli* client) const {
    delete client;
}

void TfrmMain::CreatePop3Client() {
    Pop3Client.reset(new TPop3Cli(this));
    Pop3Client->SetName("Pop3Client");
    Pop3Client->SetLocalAddr("0.0.0.0");
    Pop3Client->SetPort("pop3");
    Pop3Client->SetMsgLines(0);
    Pop3Client->SetMsgNum(0);
    Pop3Client->OnDisplay = [this](TObject* sender, const std::string& msg) {
        Pop3ClientDisplay(sender, msg);
    };
    Pop3Client->OnRequestDone = [this](TObject* sender, TPop3Request rqType, std::uint16_t error) {
        Pop3ClientRequestDone(sender, static_cast<int>(rqType), error);
    };
    Pop3Client->OnSessionConnected = [this](TObject* sender, std::uint16_t error) {
        Pop3ClientSessionConnected(sender, error);
    };
    Pop3Client->OnSessionClosed = [this](TObject* sender, std::uint16_t error) {
        Pop3ClientSessionClosed(sender, error);
    };
    Pop3Client->OnResponse = [this](TObject*, const std::string&) { Watchdog.Progress(); };
    Watchdog.OnExpired = [this](const std::string& reason) { CheckExpired(reason); };
}

void TfrmMain::btnDownloadClick() {
    // A forward waits inside intake; a check started meanwhile would run inside the last one.
    if (busy_ || Forwarding->Running()) return;
    Forwarding->BeginCheck();
    Notifier->BeginCheck();
    step_ = csConnect;
    retrUidl_.clear();
    // A refused start leaves a check already under way (before its greeting) to its watchdog.
    if (DoStep()) Watchdog.Start();
}

bool TfrmMain::DoStep() {
    // One row per step, in the order of TCheckStep.
    static constexpr struct {
        const char* name;
        void (TCustomPop3Cli::*request)();
    } kSteps[] = {
        {"Connect", &TCustomPop3Cli::Connect}, {"User", &TCustomPop3Cli::User},
        {"Pass", &TCustomPop3Cli::Pass},       {"Stat", &TCustomPop3Cli::Stat},
        {"Uidl", &TCustomPop3Cli::Uidl},       {"Retr", &TCustomPop3Cli::Retr},
        {"Delete", &TCustomPop3Cli::Dele},     {"Quit", &TCustomPop3Cli::Quit},
    };
    if (step_ >= std::size(kSteps)) return false;
    const auto& step = kSteps[step_];
    TPop3Cli& client = *Pop3Client;
    return RunRequest(step.name, [&client, &step] { (client.*step.request)(); });
}

bool TfrmMain::RunRequest(const char* name, const std::function<void()>& request) {
    Pop3Client->SetHost(FromQString(HostEdit->text()));
    Pop3Client->SetPort(FromQString(PortEdit->text()));
    Pop3Client->SetUserName(FromQString(UserNameEdit->text()));
    Pop3Client->SetPassWord(Pop3Password());
    Pop3Client->SetSecurity(Pop3Security());
    Pop3Client->SetTlsPin(loadedOptions_.Pop3TlsFingerprint);
    try {
        request();
    } catch (const std::exception& e) {
        // The request did not start: no completion will follow, the chain stops here.
        SetStatusText(QString::fromLatin1(name) + QStringLiteral(" failed (") +
                      ToQString(e.what()) + QLatin1Char(')'));
        return false;
    }
    SetStatusText(QString::fromLatin1(name) + QStringLiteral(" ok"));
    return true;
}

void TfrmMain::ChainStopped() {
    // The completion of a closed session may be delivered once the next check has started
    // (from a timer that fired before it): that check is still under way.
    if (Pop3Client->State() != pop3Ready) return;
    if (Pop3Client->Connected())
        Watchdog.AwaitClose();
    else
        Watchdog.Stop();
}

void TfrmMain::CheckExpired(const std::string& reason) {
    AppendLog(QStringLiteral("Error: ") + ToQString(reason));
    try {
        Pop3Client->Abort();
    } catch (const std::exception& e) {
        AppendLog(QStringLiteral("Error: ") + ToQString(e.what()));
    }
    // The close normally ends the check; without a session to close it ends here.
    if (busy_) {
        busy_ = false;
        EnableButtons(true);
    }
    Notifier->CheckEnded();
}

void TfrmMain::NextMessage() {
    // The client keeps the identifier of its last UIDL, which may belong to another message or
    // an earlier check: only a UIDL asked for this very message may become its key.
    retrUidl_.clear();
    if (UidlCheckBox->isChecked()) {
        step_ = csUidl;
        return;
    }
    AppendLog(QStringLiteral("Message %1").arg(Pop3Client->MsgNum()));
    step_ = csRetr;
}

void TfrmMain::NextMessageOrFinish() {
    if (Pop3Client->MsgNum() < Pop3Client->MsgCount()) {
        Pop3Client->SetMsgNum(Pop3Client->MsgNum() + 1);
        NextMessage();
    } else {
        AppendLog(QStringLiteral("Finished"));
        step_ = csQuit;
    }
}

void TfrmMain::Pop3ClientRequestDone(TObject*, int rqType, std::uint16_t error) {
    AppendLog(QStringLiteral("Request Done Rq=%1 Error=%2").arg(rqType).arg(error));
    Watchdog.Progress();
    if (error != 0) {
        SetStatusText(QStringLiteral("Aborted due Error"));
        // A connection that could not be secured says why, in the log and the status bar.
        if (step_ == csConnect && Pop3Client->Security() != secNone) {
            std::string reason = Pop3Client->ErrorMessage();
            if (reason.rfind("-ERR ", 0) == 0) reason.erase(0, 5);
            AppendLog(QStringLiteral("Error: ") + ToQString(reason));
            SetStatusText(ToQString(reason));
        }
        ChainStopped();
        return;
    }
    try {
        TPop3Cli& client = *Pop3Client;
        const auto deleting = [this] {
            return cbDeleteOnServer->isChecked() ||
                   (FwdDelCheckBox->isChecked() && Forwarding->LastMessageForwarded());
        };
        switch (step_) {
        case csConnect:
            step_ = csUser;
            break;
        case csUser:
            step_ = csPass;
            break;
        case csPass:
            step_ = csStat;
            break;
        case csStat:
            if (client.MsgCount() >= 1) {
                client.SetMsgNum(1);
                NextMessage();
            } else {
                AppendLog(QStringLiteral("No messages to download."));
                step_ = csQuit;
            }
            break;
        case csUidl:
            if (IsMessageHere(client.MsgUidl())) {
                AppendLog(QStringLiteral("Message %1 already here").arg(client.MsgNum()));
                if (client.MsgNum() < client.MsgCount()) {
                    client.SetMsgNum(client.MsgNum() + 1);
                } else {
                    AppendLog(QStringLiteral("Finished"));
                    step_ = csQuit;
                }
            } else {
                AppendLog(QStringLiteral("Message %1").arg(client.MsgNum()));
                retrUidl_ = client.MsgUidl();
                step_ = csRetr;
            }
            break;
        case csRetr:
            if (deleting())
                step_ = csDelete;
            else
                NextMessageOrFinish();
            break;
        case csDelete:
            NextMessageOrFinish();
            break;
        case csQuit:
        default:
            return; // the chain has ended
        }
        if (!DoStep()) ChainStopped();
    } catch (const std::exception& e) {
        AppendLog(QStringLiteral("Error: ") + ToQString(e.what()));
        busy_ = false;
        EnableButtons(true);
        ChainStopped();
    }
}

void TfrmMain::Pop3ClientSessionConnected(TObject*, std::uint16_t) {
    Watchdog.Progress();
    busy_ = true;
    EnableButtons(false);
}

void TfrmMain::Pop3ClientSessionClosed(TObject*, std::uint16_t) {
    Watchdog.Stop();
    busy_ = false;
    EnableButtons(true);
    ShowMainWindow(true, false);
    SetStatusText(QStringLiteral("There're %1 messages").arg(Messages().size()));
    Notifier->CheckEnded();
    // Only once the check is over: the banner's download never keeps the window busy.
    FetchBanner();
}
