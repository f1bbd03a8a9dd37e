// The main window's forwarding handlers; the work is done by Forwarding (app/MailForwarder).
#include "app/UnitMain.h"

namespace {

std::function<void(TMailMessage&)>& ForwarderOverride() {
    static std::function<void(TMailMessage&)> forwarder;
    return forwarder;
}

} // namespace

void TfrmMain::CreateSyncSmtpCli() {
    SyncSmtpCli = std::make_unique<TSyncSmtpCli>(this);
    SyncSmtpCli->SetName("SyncSmtpCli");
    SyncSmtpCli->SetLocalAddr("0.0.0.0");
    SyncSmtpCli->SetPort("smtp");
    SyncSmtpCli->SetAuthType(smtpAuthNone);
    SyncSmtpCli->SetCharSet("iso-8859-1");
    SyncSmtpCli->SetContentType(smtpPlainText);
    SyncSmtpCli->SetOwnHeaders(false);
    SyncSmtpCli->SetTimeout(15);
    SyncSmtpCli->SetMultiThreaded(false);
    SyncSmtpCli->OnDisplay = [this](TObject* sender, const std::string& msg) {
        Pop3ClientDisplay(sender, msg);
    };
    SyncSmtpCli->OnRequestDone = [this](TObject* sender, TSmtpRequest rqType, std::uint16_t error) {
        SyncSmtpCliRequestDone(sender, rqType, error);
    };
    SyncSmtpCli->OnProcessHeader = [](TObject*, TStringList& lines) {
        lines.Add(TMailForwarder::kTraceHeader);
    };
    Forwarding = std::make_unique<TMailForwarder>(*this, *SyncSmtpCli,
                                                  TForwardedKeys::FileFor(SettingsFileName()));
}

void TfrmMain::ForwardMessage(TMailMessage& message) {
    if (ForwarderOverride())
        ForwarderOverride()(message);
    else
        Forwarding->ForwardMessage(message);
}

void TfrmMain::SetForwarder(std::function<void(TMailMessage&)> forwarder) {
    ForwarderOverride() = std::move(forwarder);
}

void TfrmMain::SyncSmtpCliRequestDone(TObject*, TSmtpRequest rqType, std::uint16_t errorCode) {
    Forwarding->RequestDone(rqType, errorCode);
}
