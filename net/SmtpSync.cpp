#include "net/SmtpProt.h"

#include "ui/TickCount.h"

void TSyncSmtpCli::RestartDeadline() {
    deadline_.Limited = timeout_ > 0;
    deadline_.Tick =
        GetTickCount() + static_cast<std::uint32_t>(timeout_ > 0 ? timeout_ : 0) * 1000u;
}

bool TSyncSmtpCli::WaitUntilReady() {
    RestartDeadline();
    const Application::TWaitResult result =
        Application::WaitUntil([this] { return state_ == smtpReady; }, deadline_);
    if (result == Application::TWaitResult::Done) return requestResult_ == 0;
    Abort();
    errorMessage_ = "426 Timeout";
    statusCode_ = 426;
    return false;
}

void TSyncSmtpCli::TriggerGetData(int LineNum, std::string& MsgLine, int MaxLen, bool& More) {
    TSmtpCli::TriggerGetData(LineNum, MsgLine, MaxLen, More);
    // Every line produced restarts the limit, so a long message on a slow link is not cut.
    if (timeout_ > 0) RestartDeadline();
}

bool TSyncSmtpCli::Run(void (TCustomSmtpClient::*request)()) {
    try {
        // What the request posts (the socket's send notice) is delivered right after it,
        // without a wake-up of the loop.
        RunThenDeliver([&] { (this->*request)(); });
    } catch (const std::exception&) {
        return false;
    }
    return WaitUntilReady();
}

bool TSyncSmtpCli::ConnectSync() {
    return Run(&TCustomSmtpClient::Connect);
}
bool TSyncSmtpCli::HeloSync() {
    return Run(&TCustomSmtpClient::Helo);
}
bool TSyncSmtpCli::EhloSync() {
    return Run(&TCustomSmtpClient::Ehlo);
}
bool TSyncSmtpCli::AuthSync() {
    return Run(&TCustomSmtpClient::Auth);
}
bool TSyncSmtpCli::VrfySync() {
    return Run(&TCustomSmtpClient::Vrfy);
}
bool TSyncSmtpCli::MailFromSync() {
    return Run(&TCustomSmtpClient::MailFrom);
}
bool TSyncSmtpCli::RcptToSync() {
    return Run(&TCustomSmtpClient::RcptTo);
}
bool TSyncSmtpCli::DataSync() {
    return Run(&TCustomSmtpClient::Data);
}
bool TSyncSmtpCli::QuitSync() {
    return Run(&TCustomSmtpClient::Quit);
}
bool TSyncSmtpCli::RsetSync() {
    return Run(&TCustomSmtpClient::Rset);
}
bool TSyncSmtpCli::AbortSync() {
    return Run(&TCustomSmtpClient::Abort);
}
bool TSyncSmtpCli::OpenSync() {
    return Run(&TCustomSmtpClient::Open);
}
bool TSyncSmtpCli::MailSync() {
    return Run(&TCustomSmtpClient::Mail);
}
