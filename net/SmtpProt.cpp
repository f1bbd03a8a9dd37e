#include "net/SmtpProt.h"

#include "net/ClientSocket.h"
#include "net/WSocketLibrary.h"
#include "net/WinsockErrors.h"

#include <algorithm>

namespace {

std::string SocketErrorLine(std::uint16_t Error) {
    return "500 " + SocketErrorText(Error) + " (Winsock error #" + std::to_string(Error) + ")";
}

} // namespace

TCustomSmtpClient::TCustomSmtpClient(TComponent* AOwner) : TComponent(AOwner) {
    window_ = AllocateNotifyWindow([this](TMessage& Msg) { WndProc(Msg); });
    socket_ = std::make_unique<TWSocket>();
    // DataAvailable reads until the socket is drained, so the socket's own loop would only
    // ask the system again for nothing.
    socket_->SetComponentOptions({wsoNoReceiveLoop});
    socket_->OnSessionClosed = [this](TObject* Sender, std::uint16_t Error) {
        SocketSessionClosed(Sender, Error);
    };
}

TCustomSmtpClient::~TCustomSmtpClient() {
    Destroying();
    *alive_ = false;
    DetachClientHandlers(*socket_);
    socket_.reset();
    ReleaseNotifyWindow(window_);
}

std::string TCustomSmtpClient::BoundAddr() const {
    return socket_->GetBoundAddr();
}

void TCustomSmtpClient::WndProc(TMessage& Message) {
    if (Message.Msg == WM_SMTP_REQUEST_DONE && OnRequestDone)
        OnRequestDone(this, requestType_, LoWord(Message.LParam));
}

void TCustomSmtpClient::TriggerDisplay(const std::string& Msg) {
    if (OnDisplay) OnDisplay(this, Msg);
}

void TCustomSmtpClient::TriggerCommand(const std::string& Msg) {
    if (OnCommand) OnCommand(this, Msg);
}

void TCustomSmtpClient::TriggerResponse(const std::string& Msg) {
    if (OnResponse) OnResponse(this, Msg);
}

void TCustomSmtpClient::TriggerStateChange() {
    if (OnStateChange) OnStateChange(this);
}

void TCustomSmtpClient::TriggerSessionConnected(std::uint16_t Error) {
    if (OnSessionConnected) OnSessionConnected(this, Error);
}

void TCustomSmtpClient::TriggerSessionClosed(std::uint16_t Error) {
    if (OnSessionClosed) OnSessionClosed(this, Error);
}

void TCustomSmtpClient::SetState(TSmtpState S) {
    if (S == state_) return;
    state_ = S;
    TriggerStateChange();
}

void TCustomSmtpClient::CheckReady() const {
    if (state_ != smtpReady && state_ != smtpInternalReady)
        throw SmtpException("SMTP component not ready");
}

void TCustomSmtpClient::CheckConnected() const {
    if (!connected_) throw SmtpException("SMTP component not connected");
}

void TCustomSmtpClient::RecordError() {
    if (errorMessage_.empty()) errorMessage_ = lastResponse_;
}

void TCustomSmtpClient::FailRequest(const std::string& text, int code) {
    lastResponse_ = text;
    statusCode_ = code;
    requestResult_ = code;
    RecordError();
    TriggerRequestDone(static_cast<std::uint16_t>(code));
}

void TCustomSmtpClient::TriggerRequestDone(std::uint16_t ErrorCode) {
    if (requestDoneFlag_) return;
    requestDoneFlag_ = true;
    if (nextRequest_) {
        if (state_ != smtpAbort) SetState(smtpInternalReady);
        (this->*nextRequest_)();
        return;
    }
    SetState(smtpReady);
    inHighLevel_ = false;
    PostMessage(window_, WM_SMTP_REQUEST_DONE, 0, ErrorCode);
}

// ---- Commands and replies ----

void TCustomSmtpClient::SendCommand(const std::string& Cmd) {
    TriggerCommand(Cmd);
    TriggerDisplay("> " + Cmd);
    if (pipelined_ > 0) {
        --pipelined_; // went out with the group of its chain
        return;
    }
    if (socket_->State() == wsConnected) socket_->SendText(Cmd + "\r\n");
}

void TCustomSmtpClient::ExpectReply(TSmtpRequest Request, std::vector<int> Codes,
                                    TContinuation After) {
    if (!inHighLevel_) requestType_ = Request;
    acceptedCodes_ = std::move(Codes);
    requestDoneFlag_ = false;
    next_ = &TCustomSmtpClient::ReplyCheck;
    afterReply_ = After;
    reply_.Clear();
    SetState(smtpWaitingResponse);
}

void TCustomSmtpClient::ExecCommand(TSmtpRequest Request, TSmtpStep Step,
                                    const std::string& Command, std::vector<int> Codes,
                                    TContinuation After) {
    CheckReady();
    CheckConnected();
    // A CR or LF in an argument would end this command and start another of the caller's
    // choosing; a NUL is cut short by many servers.
    if (!SmtpSafeArgument(Command))
        throw SmtpException("SMTP command refused: its argument holds CR, LF or NUL");
    currentStep_ = Step;
    ExpectReply(Request, std::move(Codes), After);
    SendCommand(Command);
}

bool TCustomSmtpClient::TakeReplyLine() {
    TriggerDisplay("< " + lastResponse_);
    if (!reply_.Add(lastResponse_)) return false;
    if (reply_.Malformed()) {
        ProtocolFailure("500 Malformed reply: " + lastResponse_);
        return false;
    }
    statusCode_ = reply_.Code();
    return true;
}

void TCustomSmtpClient::ReplyCheck() {
    if (!TakeReplyLine()) return;
    if (std::find(acceptedCodes_.begin(), acceptedCodes_.end(), statusCode_) !=
        acceptedCodes_.end()) {
        requestResult_ = 0;
    } else {
        requestResult_ = statusCode_;
        RecordError();
    }
    if (afterReply_) {
        const TContinuation after = afterReply_;
        afterReply_ = nullptr;
        try {
            (this->*after)();
        } catch (const std::exception& E) {
            // The next command of a multi-command request could not start.
            FailRequest(std::string("500 ") + E.what());
        }
        return;
    }
    if (requestType_ == smtpQuit && connected_) return; // the close completes QUIT
    TriggerRequestDone(static_cast<std::uint16_t>(requestResult_));
}

void TCustomSmtpClient::ProtocolFailure(const std::string& text) {
    const std::shared_ptr<bool> alive = alive_;
    if (state_ == smtpWaitingBanner || state_ == smtpWaitingResponse ||
        state_ == smtpInternalReady) {
        socket_->OnDataSent = nullptr;
        FailRequest(text);
    } else {
        lastResponse_ = text;
    }
    if (*alive && socket_->State() != wsClosed) socket_->Abort();
}

// ---- Connection ----

void TCustomSmtpClient::Connect() {
    CheckReady();
    if (connected_) throw SmtpException("SMTP component already connected");
    if (!inHighLevel_) requestType_ = smtpConnect;
    currentStep_ = smtpStepConnect;
    requestDoneFlag_ = false;
    receiveBuffer_.Clear();
    reply_.Clear();
    requestResult_ = 0;
    ehloAccepted_ = false;
    ehloLines_.Clear();
    pipelined_ = 0;
    staleReplies_ = 0;
    SetState(smtpDnsLookup);
    socket_->OnDataSent = nullptr;
    socket_->OnDnsLookupDone = [this](TObject* Sender, std::uint16_t Error) {
        DnsLookupDone(Sender, Error);
    };
    socket_->DnsLookup(host_);
}

void TCustomSmtpClient::DnsLookupDone(TObject*, std::uint16_t Error) {
    if (Error != 0) {
        FailRequest(SocketErrorLine(Error), Error);
        return;
    }
    try {
        AimAtResolvedHost(*socket_, port_, localAddr_, security_, host_, tlsPin_);
        socket_->OnSessionConnected = [this](TObject* Sender, std::uint16_t Err) {
            SocketSessionConnected(Sender, Err);
        };
        socket_->OnDataAvailable = [this](TObject* Sender, std::uint16_t Err) {
            DataAvailable(Sender, Err);
        };
        SetState(smtpConnecting);
        socket_->Connect();
    } catch (const Exception& E) {
        // A start that fails without a socket error must not complete as a success.
        const int code = socket_->LastError() != 0 ? socket_->LastError() : 500;
        FailRequest(std::string("500 ") + E.ClassName() + ": " + E.Message(), code);
    }
}

void TCustomSmtpClient::SocketSessionConnected(TObject*, std::uint16_t Error) {
    if (Error == 0) {
        connected_ = true;
        SetState(smtpWaitingBanner);
        return;
    }
    connected_ = false;
    const std::shared_ptr<bool> alive = alive_;
    FailRequest(Error == TlsFailed ? "500 " + socket_->TlsErrorText() : SocketErrorLine(Error),
                Error);
    if (!*alive) return;
    socket_->Close();
    if (!inHighLevel_) SetState(smtpReady);
}

void TCustomSmtpClient::DataAvailable(TObject*, std::uint16_t Error) {
    for (bool first = true;; first = false) {
        if (!first && socket_->State() != wsConnected) return;
        const std::size_t room = receiveBuffer_.Room();
        int received = 0;
        if (room > 0) {
            received = socket_->Receive(receiveBuffer_.Space(), static_cast<int>(room));
            if (received < 1) return;
            receiveBuffer_.Commit(static_cast<std::size_t>(received));
        }
        if (!ProcessLines(Error)) return;
        // A short read drained the socket; after a full one (or none, with the buffer full
        // of whole lines that have now been taken) more is likely queued.
        if (room > 0 && static_cast<std::size_t>(received) < room) return;
    }
}

bool TCustomSmtpClient::ProcessLines(std::uint16_t Error) {
    const std::shared_ptr<bool> alive = alive_;
    for (;;) {
        switch (receiveBuffer_.NextLine(lastResponse_)) {
        case TSmtpReceiveBuffer::kNone:
            return true;
        case TSmtpReceiveBuffer::kOverflow:
            ProtocolFailure("500 Reply line longer than " +
                            std::to_string(TSmtpReceiveBuffer::kSize) + " bytes");
            return false;
        case TSmtpReceiveBuffer::kLine:
            break;
        }
        TriggerResponse(lastResponse_);
        if (!*alive) return false;
        if (staleReplies_ > 0 && state_ != smtpWaitingBanner) {
            if (!PassStaleReply()) return false;
            continue;
        }
        switch (state_) {
        case smtpWaitingBanner:
            HandleBanner(Error);
            if (!*alive || !connected_ || socket_->State() != wsConnected) return false;
            break;
        case smtpWaitingResponse:
            if (!next_) throw SmtpException("Program error: FNext is nil");
            (this->*next_)();
            break;
        default:
            TriggerDisplay("< " + lastResponse_);
            break;
        }
        if (!*alive) return false;
    }
}

bool TCustomSmtpClient::PassStaleReply() {
    TriggerDisplay("< " + lastResponse_);
    TSmtpReplyAssembler& stale = staleReply_;
    if (!stale.Add(lastResponse_)) return true;
    --staleReplies_;
    // A DATA the server took although its transaction failed: only dropping the connection
    // keeps whatever comes next from becoming message text.
    if (stale.Malformed() || stale.Code() == 354) {
        staleReplies_ = 0;
        ProtocolFailure("500 Unexpected reply: " + lastResponse_);
        return false;
    }
    return true;
}

void TCustomSmtpClient::HandleBanner(std::uint16_t Error) {
    if (!TakeReplyLine()) return;
    if (statusCode_ != 220) {
        // The close that follows completes the request; the refusal stays the result.
        RecordError();
        requestResult_ = statusCode_;
        socket_->Close();
        return;
    }
    if (security_ == secStartTls) {
        StartTlsEhlo(&TCustomSmtpClient::AfterPlainEhlo);
        return;
    }
    const std::shared_ptr<bool> alive = alive_;
    SetState(smtpConnected);
    TriggerSessionConnected(Error);
    if (*alive) TriggerRequestDone(0);
}

void TCustomSmtpClient::StartTlsEhlo(TContinuation After) {
    state_ = smtpInternalReady;
    try {
        ExecCommand(smtpConnect, smtpStepConnect, "EHLO " + GreetingName(), {250}, After);
    } catch (const std::exception& E) {
        FailSecurity(std::string("500 ") + E.what(), 500);
    }
}

void TCustomSmtpClient::AfterPlainEhlo() {
    if (!connected_) return; // the close completes the request
    if (requestResult_ != 0 || !SmtpHasExtension(reply_.Lines(), "STARTTLS")) {
        FailSecurity("500 The server does not offer STARTTLS, so the connection cannot be "
                     "secured",
                     500);
        return;
    }
    state_ = smtpInternalReady;
    ExecCommand(smtpConnect, smtpStepConnect, "STARTTLS", {220}, &TCustomSmtpClient::AfterStartTls);
}

void TCustomSmtpClient::AfterStartTls() {
    if (!connected_) return;
    if (requestResult_ != 0) {
        FailSecurity("500 The server refused STARTTLS (" + lastResponse_ + ")", 500);
        return;
    }
    // Whatever followed the reply came in clear and must not be read as the first protected
    // reply; what the server said about itself in clear is forgotten too.
    receiveBuffer_.Clear();
    reply_.Clear();
    ehloAccepted_ = false;
    ehloLines_.Clear();
    socket_->OnTlsDone = [this](TObject*, std::uint16_t Err) { TlsDone(Err); };
    socket_->StartTls();
}

void TCustomSmtpClient::TlsDone(std::uint16_t Error) {
    if (Error != 0) {
        FailSecurity("500 " + socket_->TlsErrorText(), Error);
        return;
    }
    StartTlsEhlo(&TCustomSmtpClient::AfterSecuredEhlo);
}

void TCustomSmtpClient::AfterSecuredEhlo() {
    if (!connected_) return;
    ehloAccepted_ = requestResult_ == 0;
    ehloLines_ = ehloAccepted_ ? reply_.Lines() : TStringList();
    const std::shared_ptr<bool> alive = alive_;
    TriggerSessionConnected(0);
    if (*alive) TriggerRequestDone(static_cast<std::uint16_t>(requestResult_));
}

void TCustomSmtpClient::FailSecurity(const std::string& text, int code) {
    const std::shared_ptr<bool> alive = alive_;
    TriggerDisplay(text);
    if (!*alive) return;
    FailRequest(text, code);
    if (*alive && socket_->State() != wsClosed) socket_->Close();
}

void TCustomSmtpClient::SocketSessionClosed(TObject*, std::uint16_t Error) {
    connected_ = false;
    // A request cut off by the close has failed, whatever its last reply said: DATA taken with
    // 354 and then dropped must not read as a sent message.
    if (state_ != smtpReady && state_ != smtpAbort && requestType_ != smtpQuit &&
        requestResult_ == 0)
        requestResult_ = 10004;
    const std::shared_ptr<bool> alive = alive_;
    socket_->OnDataSent = nullptr;
    TriggerSessionClosed(Error);
    if (!*alive) return;
    TriggerRequestDone(requestType_ == smtpQuit ? 0 : 10004);
}

void TCustomSmtpClient::Abort() {
    SetState(smtpAbort);
    socket_->CancelDnsLookup();
    socket_->Abort();
    // A chain cut off here must not resume at the next request.
    ClearChain();
    pipelined_ = 0;
    staleReplies_ = 0;
    SetState(smtpReady);
}

// ---- Chained requests ----

void TCustomSmtpClient::Open() {
    StartChain(smtpOpen, authType_ != smtpAuthNone
                             ? TSmtpSteps{smtpStepConnect, smtpStepEhlo, smtpStepAuth}
                             : TSmtpSteps{smtpStepConnect, smtpStepHelo});
}

void TCustomSmtpClient::Mail() {
    StartChain(smtpMail, {smtpStepMailFrom, smtpStepRcptTo, smtpStepData});
}

// With PIPELINING (RFC 2920) MAIL FROM, every RCPT TO and DATA go out as one group: one round
// trip where there were 2 + recipients. The steps then run as without it, each taking its own
// reply in order, and only skip sending what the group already sent.
void TCustomSmtpClient::SendMailGroup() {
    if (!connected_ || !ehloAccepted_ || !SmtpHasExtension(ehloLines_, "PIPELINING") ||
        rcptName_.Empty() || state_ != smtpReady)
        return;
    // Anything a step would refuse is left to that step, unsent.
    if (!SmtpSafeArgument(fromName_)) return;
    std::string group = "MAIL FROM:" + SmtpPath(fromName_) + "\r\n";
    for (const std::string& name : rcptName_) {
        if (!SmtpSafeArgument(name)) return;
        group += "RCPT TO:" + SmtpPath(name) + "\r\n";
    }
    group += "DATA\r\n";
    pipelined_ = rcptName_.Count() + 2;
    socket_->SendText(group);
}

// Replies still owed to commands of a group whose chain ended early are passed over, so they
// are not taken for the replies of later commands.
void TCustomSmtpClient::ForgetGroup() noexcept {
    staleReplies_ += pipelined_;
    pipelined_ = 0;
}

void TCustomSmtpClient::StartChain(TSmtpRequest Request, TSmtpSteps Steps) {
    if (connected_ && Steps.Contains(smtpStepConnect))
        throw SmtpException("SMTP component already connected");
    CheckReady();
    if (Request == smtpMail) SendMailGroup();
    requestType_ = Request;
    requestResult_ = 0;
    pendingSteps_ = Steps;
    currentStep_ = smtpStepNone;
    highLevelResult_ = 0;
    inHighLevel_ = true;
    lastResponse_.clear();
    errorMessage_.clear();
    chainStarting_ = true;
    try {
        StepDispatcher();
    } catch (...) {
        // The first step could not start: the host's call raises, and nothing of the chain
        // stays behind for the next request.
        chainStarting_ = false;
        ClearChain();
        ForgetGroup();
        throw;
    }
    chainStarting_ = false;
}

void TCustomSmtpClient::ClearChain() noexcept {
    pendingSteps_ = {};
    nextRequest_ = nullptr;
    inHighLevel_ = false;
}

void TCustomSmtpClient::StepDispatcher() {
    if (state_ == smtpAbort) {
        pendingSteps_ = {};
        highLevelResult_ = 426;
        requestResult_ = 426;
        errorMessage_ = "426 Operation aborted.";
    }
    nextRequest_ = &TCustomSmtpClient::StepDispatcher;
    if (requestResult_ != 0) {
        if (currentStep_ == smtpStepEhlo) {
            // The server did not take EHLO: greet with HELO and leave AUTH out.
            pendingSteps_ = {smtpStepHelo};
            requestResult_ = 0;
        } else {
            highLevelResult_ = requestResult_;
            pendingSteps_ = {};
        }
    }
    struct TStepOperation {
        TSmtpStep step;
        void (TCustomSmtpClient::*operation)();
    };
    static constexpr TStepOperation kOrder[] = {{smtpStepConnect, &TCustomSmtpClient::Connect},
                                                {smtpStepHelo, &TCustomSmtpClient::Helo},
                                                {smtpStepEhlo, &TCustomSmtpClient::Ehlo},
                                                {smtpStepAuth, &TCustomSmtpClient::Auth},
                                                {smtpStepVrfy, &TCustomSmtpClient::Vrfy},
                                                {smtpStepMailFrom, &TCustomSmtpClient::MailFrom},
                                                {smtpStepRcptTo, &TCustomSmtpClient::RcptTo},
                                                {smtpStepData, &TCustomSmtpClient::Data},
                                                {smtpStepQuit, &TCustomSmtpClient::Quit}};
    for (const TStepOperation& entry : kOrder) {
        if (!pendingSteps_.Contains(entry.step)) continue;
        currentStep_ = entry.step;
        pendingSteps_.Exclude(entry.step);
        try {
            (this->*entry.operation)();
            return;
        } catch (const std::exception& E) {
            if (chainStarting_) throw;
            // A later step that cannot start ends the chain with an error of its own.
            lastResponse_ = std::string("500 ") + E.what();
            statusCode_ = 500;
            requestResult_ = 500;
            highLevelResult_ = 500;
            RecordError();
            pendingSteps_ = {};
            break;
        }
    }
    nextRequest_ = nullptr;
    pendingSteps_ = {};
    ForgetGroup();
    requestDoneFlag_ = false;
    TriggerRequestDone(static_cast<std::uint16_t>(highLevelResult_));
}
