// The commands of TCustomSmtpClient and the DATA phase.
#include "net/SmtpProt.h"

#include "net/Base64.h"
#include "net/WSocketLibrary.h"
#include "ui/SysUtils.h"

#include <cstring>

namespace {

// Message text is handed to the socket in blocks of about this size: one system call per
// block instead of one per line, while memory stays bounded whatever the message's size.
constexpr std::size_t kDataBlock = 16 * 1024;
constexpr int kBodyLineMax = 1023;
constexpr std::size_t kHeaderLineBuffer = 1024;

} // namespace

std::string TCustomSmtpClient::GreetingName() const {
    return signOn_.empty() ? GetLocalHostName() : signOn_;
}

void TCustomSmtpClient::Helo() {
    ExecCommand(smtpHelo, smtpStepHelo, "HELO " + GreetingName(), {250}, nullptr);
}

void TCustomSmtpClient::Ehlo() {
    ExecCommand(smtpEhlo, smtpStepEhlo, "EHLO " + GreetingName(), {250},
                &TCustomSmtpClient::AfterEhlo);
}

void TCustomSmtpClient::AfterEhlo() {
    if (!connected_) return; // the close completes the request
    ehloAccepted_ = requestResult_ == 0;
    ehloLines_ = ehloAccepted_ ? reply_.Lines() : TStringList();
    TriggerRequestDone(static_cast<std::uint16_t>(requestResult_));
}

void TCustomSmtpClient::Vrfy() {
    ExecCommand(smtpVrfy, smtpStepVrfy, "VRFY " + hdrTo_, {250}, nullptr);
}

void TCustomSmtpClient::MailFrom() {
    ExecCommand(smtpMailFrom, smtpStepMailFrom, "MAIL FROM:" + SmtpPath(fromName_), {250}, nullptr);
}

void TCustomSmtpClient::RcptTo() {
    if (rcptName_.Empty()) throw SmtpException("RcptName list is empty");
    // Every recipient is checked before the first is sent, so a bad one sends nothing.
    for (const std::string& name : rcptName_)
        if (!SmtpSafeArgument(name))
            throw SmtpException("SMTP command refused: its argument holds CR, LF or NUL");
    CheckReady();
    CheckConnected();
    recipientIndex_ = -1;
    RecipientStep();
}

void TCustomSmtpClient::RecipientStep() {
    ++recipientIndex_;
    const bool last = recipientIndex_ + 1 >= rcptName_.Count();
    ExecCommand(smtpRcptTo, smtpStepRcptTo, "RCPT TO:" + SmtpPath(rcptName_[recipientIndex_]),
                {250, 251}, last ? nullptr : &TCustomSmtpClient::AfterRecipient);
}

// Every recipient is tried even after a refusal; the request reports the last one's result.
void TCustomSmtpClient::AfterRecipient() {
    state_ = smtpInternalReady;
    RecipientStep();
}

void TCustomSmtpClient::Quit() {
    CheckReady();
    if (connected_) {
        ExecCommand(smtpQuit, smtpStepQuit, "QUIT", {221}, nullptr);
        return;
    }
    requestType_ = smtpQuit;
    requestDoneFlag_ = false;
    TriggerRequestDone(0);
}

void TCustomSmtpClient::Rset() {
    ExecCommand(smtpRset, smtpStepRset, "RSET", {250}, nullptr);
}

// ---- AUTH (RFC 4954) ----

void TCustomSmtpClient::Auth() {
    CheckReady();
    CheckConnected();
    if (!inHighLevel_) requestType_ = smtpAuth;
    currentStep_ = smtpStepAuth;
    requestDoneFlag_ = false;
    if (!ehloAccepted_) {
        FailRequest("500 ESMTP not supported.");
        return;
    }
    if (security_ != secNone && !Secured()) {
        FailRequest("500 AUTH not sent: the connection is not secured");
        return;
    }
    switch (authType_) {
    case smtpAuthNone:
        FailRequest("500 No Authorization Type Selected.");
        return;
    case smtpAuthPlain:
        // The login is the user name: the sender address in its place (as the authentication
        // id) fails against every server. No authorisation id: the server derives it.
        ExecCommand(smtpAuth, smtpStepAuth,
                    "AUTH PLAIN " + SmtpAuthPlainToken("", username_, password_), {235}, nullptr);
        return;
    case smtpAuthLogin:
        ExecCommand(smtpAuth, smtpStepAuth, "AUTH LOGIN", {334},
                    &TCustomSmtpClient::AfterAuthLoginUser);
        return;
    case smtpAuthCramMD5:
        ExecCommand(smtpAuth, smtpStepAuth, "AUTH CRAM-MD5", {334},
                    &TCustomSmtpClient::AfterAuthCramMD5);
        return;
    }
}

void TCustomSmtpClient::AfterAuthLoginUser() {
    if (requestResult_ != 0) {
        TriggerRequestDone(static_cast<std::uint16_t>(requestResult_));
        return;
    }
    state_ = smtpInternalReady;
    ExecCommand(smtpAuth, smtpStepAuth, Base64Encode(username_), {334},
                &TCustomSmtpClient::AfterAuthLoginPassword);
}

void TCustomSmtpClient::AfterAuthLoginPassword() {
    if (requestResult_ != 0) {
        TriggerRequestDone(static_cast<std::uint16_t>(requestResult_));
        return;
    }
    state_ = smtpInternalReady;
    ExecCommand(smtpAuth, smtpStepAuth, Base64Encode(password_), {235}, nullptr);
}

void TCustomSmtpClient::AfterAuthCramMD5() {
    if (requestResult_ != 0) {
        TriggerRequestDone(static_cast<std::uint16_t>(requestResult_));
        return;
    }
    if (lastResponse_.size() < 5) {
        FailRequest("500 Malformed MD5 Challege: " + lastResponse_);
        return;
    }
    const std::string challenge = Base64Decode(std::string_view(lastResponse_).substr(4));
    state_ = smtpInternalReady;
    ExecCommand(smtpAuth, smtpStepAuth,
                Base64Encode(SmtpCramMD5Answer(username_, password_, challenge)), {235}, nullptr);
}

// ---- DATA ----

void TCustomSmtpClient::SetContentType(TSmtpContentType Value) {
    if (Value == contentType_) return;
    contentType_ = Value;
    contentTypeText_ = Value == smtpHTML ? "text/html" : "text/plain";
}

void TCustomSmtpClient::TriggerGetData(int LineNum, std::string& MsgLine, int MaxLen, bool& More) {
    if (!OnGetData) {
        More = false;
        return;
    }
    const std::size_t size = MaxLen > 0 ? static_cast<std::size_t>(MaxLen) : 0;
    getDataBuffer_.resize(size + 1);
    getDataBuffer_[0] = '\0';
    OnGetData(this, LineNum, getDataBuffer_.data(), static_cast<int>(size), More);
    getDataBuffer_[size] = '\0'; // a host that filled the whole buffer left no NUL
    MsgLine.assign(getDataBuffer_.data(), std::strlen(getDataBuffer_.data()));
}

void TCustomSmtpClient::TriggerHeaderLine(char* Msg, int Size) {
    if (OnHeaderLine) OnHeaderLine(this, Msg, Size);
}

void TCustomSmtpClient::TriggerProcessHeader(TStringList& HdrLines) {
    if (OnProcessHeader) OnProcessHeader(this, HdrLines);
}

void TCustomSmtpClient::ComposeHeader() {
    headerLines_.Clear();
    if (ownHeaders_) return;
    if (!TrimView(hdrReplyTo_).empty()) headerLines_.Add("Reply-To: " + hdrReplyTo_);
    if (!TrimView(hdrReturnPath_).empty()) headerLines_.Add("Return-Path: " + hdrReturnPath_);
    if (!hdrFrom_.empty()) headerLines_.Add("From: " + hdrFrom_);
    if (!hdrTo_.empty()) headerLines_.Add("To: " + hdrTo_);
    if (!hdrCc_.empty()) headerLines_.Add("Cc: " + hdrCc_);
    headerLines_.Add("Subject: " + hdrSubject_);
    if (!TrimView(hdrSender_).empty())
        headerLines_.Add("Sender: " + hdrSender_);
    else if (!TrimView(hdrFrom_).empty())
        headerLines_.Add("Sender: " + hdrFrom_);
    headerLines_.Add("Mime-Version: 1.0");
    headerLines_.Add("Content-Type: " + contentTypeText_ + "; charset=\"" + charSet_ + "\"");
    headerLines_.Add("Date: " + SmtpDateNow());
    headerLines_.Add("X-Mailer: Quillon SMTP Component V2.28");
    TriggerProcessHeader(headerLines_);
    headerLines_.Add("");
}

void TCustomSmtpClient::Data() {
    CheckReady();
    CheckConnected();
    lineNumber_ = 0;
    moreLines_ = true;
    headerIndex_ = -1;
    ComposeHeader();
    ExecCommand(smtpData, smtpStepData, "DATA", {354}, &TCustomSmtpClient::DataPump);
}

void TCustomSmtpClient::DataPump() {
    if (requestResult_ != 0) {
        // DATA refused: nothing of the message goes out.
        TriggerRequestDone(static_cast<std::uint16_t>(requestResult_));
        return;
    }
    if (!connected_) {
        socket_->OnDataSent = nullptr;
        return;
    }
    state_ = smtpInternalReady;
    const std::shared_ptr<bool> alive = alive_;
    std::string block;
    block.reserve(kDataBlock + 1024);
    std::string line;
    std::vector<char> headerBuffer;
    while (block.size() < kDataBlock) {
        if (headerIndex_ + 1 < headerLines_.Count()) {
            ++headerIndex_;
            const std::string& header = headerLines_[headerIndex_];
            headerBuffer.assign(std::max(kHeaderLineBuffer, header.size() + 1), '\0');
            std::memcpy(headerBuffer.data(), header.data(), header.size());
            TriggerHeaderLine(headerBuffer.data(), static_cast<int>(headerBuffer.size()));
            headerBuffer.back() = '\0';
            line.assign(headerBuffer.data(), std::strlen(headerBuffer.data()));
            DisplaySent(line);
            SmtpAppendTextLine(block, line, headerIndex_ + 1 < headerLines_.Count());
            continue;
        }
        if (!moreLines_) break;
        ++lineNumber_;
        try {
            line.clear();
            TriggerGetData(lineNumber_, line, kBodyLineMax, moreLines_);
        } catch (const std::exception& E) {
            // Sending "." now would deliver a cut message as if it were whole.
            FailData(E.what());
            return;
        }
        if (!*alive) return;
        if (!moreLines_) break;
        DisplaySent(line);
        SmtpAppendTextLine(block, line, false);
    }
    if (!*alive || !connected_) return;
    if (moreLines_ || headerIndex_ + 1 < headerLines_.Count()) {
        socket_->OnDataSent = [this](TObject*, std::uint16_t) { DataPump(); };
        socket_->SendText(block);
        return;
    }
    socket_->OnDataSent = nullptr;
    ExpectReply(smtpData, {250}, nullptr);
    TriggerCommand(".");
    TriggerDisplay("> .");
    block += ".\r\n";
    socket_->SendText(block);
}

void TCustomSmtpClient::DisplaySent(const std::string& line) {
    displayLine_.assign("> ");
    displayLine_.append(line);
    TriggerDisplay(displayLine_);
}

void TCustomSmtpClient::FailData(const std::string& what) {
    socket_->OnDataSent = nullptr;
    const std::shared_ptr<bool> alive = alive_;
    FailRequest("500 Message text failed: " + what);
    // Only a dropped connection keeps the server from taking what was sent as a message.
    if (*alive && socket_->State() != wsClosed) socket_->Abort();
}
