#include "net/Pop3Prot.h"

#include "net/ClientSocket.h"
#include "net/WSocketLibrary.h"
#include "net/WinsockErrors.h"

namespace {

std::string SocketErrorLine(std::uint16_t Error) {
    return "-ERR " + SocketErrorText(Error) + " (Winsock error #" + std::to_string(Error) + ")";
}

} // namespace

TCustomPop3Cli::TCustomPop3Cli(TComponent* AOwner) : TComponent(AOwner) {
    window_ = AllocateNotifyWindow([this](TMessage& Msg) { WndProc(Msg); });
    socket_ = std::make_unique<TWSocket>();
    socket_->OnSessionClosed = [this](TObject* Sender, std::uint16_t Error) {
        SessionClosed(Sender, Error);
    };
}

TCustomPop3Cli::~TCustomPop3Cli() {
    Destroying();
    *alive_ = false;
    if (socket_) {
        DetachClientHandlers(*socket_);
        if (socket_->InHandler()) {
            // Destroyed from a handler the socket runs: its own code is still on the stack, so
            // it closes now and is freed from the event loop once that code has returned.
            try {
                socket_->Abort();
            } catch (...) {
            }
            socket_.release()->PostFree();
        } else {
            socket_.reset();
        }
    }
    ReleaseNotifyWindow(window_);
}

void TCustomPop3Cli::Notification(TComponent* AComponent, TOperation Operation) {
    TComponent::Notification(AComponent, Operation);
    if (Operation == opRemove && socket_ && AComponent == socket_.get())
        (void)socket_.release(); // freed by whoever removes it
}

void TCustomPop3Cli::WndProc(TMessage& Msg) {
    if (Msg.Msg == WM_POP3_REQUEST_DONE) {
        if (OnRequestDone) OnRequestDone(this, requestType_, LoWord(Msg.LParam));
    }
}

void TCustomPop3Cli::TriggerSessionConnected(std::uint16_t Error) {
    if (OnSessionConnected) OnSessionConnected(this, Error);
}

void TCustomPop3Cli::TriggerResponse(const std::string& Msg) {
    if (OnResponse) OnResponse(this, Msg);
}

void TCustomPop3Cli::TriggerStateChange() {
    if (OnStateChange) OnStateChange(this);
}

void TCustomPop3Cli::TriggerDisplay(const std::string& Msg) {
    if (OnDisplay) OnDisplay(this, Msg);
}

void TCustomPop3Cli::TriggerSessionClosed(std::uint16_t Error) {
    if (OnSessionClosed) OnSessionClosed(this, Error);
}

void TCustomPop3Cli::TriggerHeaderEnd() {
    if (OnHeaderEnd) OnHeaderEnd(this);
}

void TCustomPop3Cli::SetState(TPop3State NewState) {
    if (NewState == state_) return;
    state_ = NewState;
    TriggerStateChange();
}

void TCustomPop3Cli::CheckReady() const {
    if (state_ != pop3Ready && state_ != pop3InternalReady)
        throw Pop3Exception("POP3 component not ready");
}

bool TCustomPop3Cli::CheckPositive() {
    const bool positive = Pop3IsPositive(lastResponse_);
    statusCode_ = positive ? 0 : 500;
    return positive;
}

void TCustomPop3Cli::RecordError() {
    if (errorMessage_.empty()) errorMessage_ = lastResponse_;
}

void TCustomPop3Cli::TriggerRequestDone(std::uint16_t Error) {
    if (requestType_ == pop3Quit && quitSent_) {
        // A QUIT ends with its reply and the close, in either order. Once the session is gone
        // no reply can follow, so the close always completes it.
        if (!quitHalfDone_ && connected_) {
            quitHalfDone_ = true;
            return;
        }
        quitHalfDone_ = false;
        quitSent_ = false;
        Error = 0;
    }
    if (requestDoneFlag_) return;
    requestDoneFlag_ = true;

    if (nextRequest_) {
        if (state_ != pop3Abort) SetState(pop3InternalReady);
        (this->*nextRequest_)();
        return;
    }
    SetState(pop3Ready);
    inHighLevel_ = false;
    PostMessage(window_, WM_POP3_REQUEST_DONE, 0, Error);
}

void TCustomPop3Cli::Connect() {
    CheckReady();
    if (connected_) throw Pop3Exception("POP3 component already connected");
    if (!socket_) throw Pop3Exception("POP3 component not connected");
    if (!inHighLevel_) requestType_ = pop3Connect;
    ++sessions_;
    requestDoneFlag_ = false;
    receiveBuffer_.Clear();
    requestResult_ = 0;
    quitSent_ = false;
    quitHalfDone_ = false;
    SetState(pop3DnsLookup);
    errorMessage_.clear();
    socket_->OnDataSent = nullptr;
    socket_->OnDnsLookupDone = [this](TObject* Sender, std::uint16_t Error) {
        DnsLookupDone(Sender, Error);
    };
    // The state has changed already, so a lookup that cannot start (an empty host name) ends
    // the request here rather than leaving the client busy for good.
    try {
        socket_->DnsLookup(host_);
    } catch (const Exception& E) {
        FailRequest(ExceptionLine(E), 500);
    }
}

std::string TCustomPop3Cli::ExceptionLine(const Exception& E) {
    return std::string("-ERR ") + E.ClassName() + ": " + E.Message();
}

void TCustomPop3Cli::FailRequest(const std::string& Response, std::uint16_t Error) {
    lastResponse_ = Response;
    statusCode_ = 500;
    requestResult_ = Error;
    RecordError();
    TriggerRequestDone(Error);
}

void TCustomPop3Cli::DnsLookupDone(TObject*, std::uint16_t Error) {
    if (Error != 0) {
        FailRequest(SocketErrorLine(Error), Error);
        return;
    }
    try {
        // A Connect from inside OnSessionClosed comes while the socket is still finishing the
        // close of the session before.
        if (socket_->State() != wsClosed) socket_->Close();
        AimAtResolvedHost(*socket_, port_, localAddr_, security_, host_, tlsPin_);
        socket_->OnSessionConnected = [this](TObject* Sender, std::uint16_t Err) {
            SessionConnected(Sender, Err);
        };
        socket_->OnDataAvailable = [this](TObject* Sender, std::uint16_t Err) {
            DataAvailable(Sender, Err);
        };
        SetState(pop3Connecting);
        socket_->Connect();
    } catch (const Exception& E) {
        FailRequest(ExceptionLine(E), 500);
    }
}

void TCustomPop3Cli::SessionConnected(TObject*, std::uint16_t Error) {
    if (Error == TlsFailed) {
        FailConnect("-ERR " + socket_->TlsErrorText(), Error);
        return;
    }
    if (Error != 0) {
        FailConnect(SocketErrorLine(Error), Error);
        return;
    }
    connected_ = true;
    SetState(pop3WaitingBanner);
}

void TCustomPop3Cli::FailConnect(const std::string& Response, std::uint16_t Error) {
    lastResponse_ = Response;
    statusCode_ = 500;
    connected_ = false;
    requestResult_ = Error;
    RecordError();
    TriggerRequestDone(Error);
    if (socket_) socket_->Close();
    SetState(pop3Ready);
}

void TCustomPop3Cli::DataAvailable(TObject*, std::uint16_t Error) {
    const std::shared_ptr<bool> alive = alive_;
    // While a read fills the buffer more bytes are likely queued: reading on here spares the
    // socket a readiness query per 4 KB, and the lines come out exactly as if it had called
    // this handler again.
    for (bool first = true;; first = false) {
        if (!socket_ || (!first && socket_->State() != wsConnected)) return;
        const std::size_t room = receiveBuffer_.Room();
        int received = 0;
        if (room > 0) {
            received = socket_->Receive(receiveBuffer_.Space(), static_cast<int>(room));
            if (received < 1) return;
            receiveBuffer_.Commit(static_cast<std::size_t>(received));
        }
        if (!ProcessLines(Error) || !*alive) return;
        if (room == 0 || static_cast<std::size_t>(received) < room) return;
    }
}

bool TCustomPop3Cli::ProcessLines(std::uint16_t Error) {
    const std::shared_ptr<bool> alive = alive_;
    while (receiveBuffer_.NextLine(lastResponse_, lineContinues_)) {
        TriggerResponse(lastResponse_);
        if (!*alive) return false;
        switch (state_) {
        case pop3WaitingBanner:
            if (lineContinues_) {
                TriggerDisplay("< " + lastResponse_);
                break;
            }
            HandleBanner(Error);
            if (!*alive || !connected_) return false; // a refused greeting closed the session
            break;
        case pop3WaitingResponse:
            if (!next_) throw Pop3Exception("Program error: FNext is nil");
            (this->*next_)();
            break;
        default:
            TriggerDisplay("< " + lastResponse_);
            break;
        }
        if (!*alive) return false;
    }
    return true;
}

void TCustomPop3Cli::HandleBanner(std::uint16_t Error) {
    TriggerDisplay("< " + lastResponse_);
    if (!CheckPositive()) {
        RecordError();
        requestResult_ = statusCode_;
        if (socket_) socket_->Close();
        return;
    }
    timeStamp_ = Pop3TimeStamp(lastResponse_);
    if (security_ == secStartTls) {
        RequestStls();
        return;
    }
    FinishConnect(Error);
}

void TCustomPop3Cli::FinishConnect(std::uint16_t Error) {
    protocolState_ = pop3WaitingUser;
    SetState(pop3Connected);
    TriggerSessionConnected(Error);
    TriggerRequestDone(0);
}

// STLS (RFC 2595) belongs to the connect request: it completes only once the connection is
// secured, so no later request can send a credential in clear.
void TCustomPop3Cli::RequestStls() {
    next_ = &TCustomPop3Cli::StlsReply;
    SetState(pop3WaitingResponse);
    const std::shared_ptr<bool> alive = alive_;
    TriggerDisplay("> STLS");
    if (!*alive || !socket_) return;
    socket_->SendText("STLS\r\n");
}

void TCustomPop3Cli::StlsReply() {
    TriggerDisplay("< " + lastResponse_);
    if (lineContinues_) return;
    if (!CheckPositive()) {
        FailConnect("-ERR The server does not offer STLS, so the connection cannot be secured (" +
                        lastResponse_ + ")",
                    500);
        return;
    }
    // Whatever followed the reply came in clear and must not be read as the first protected
    // reply.
    receiveBuffer_.Clear();
    socket_->OnTlsDone = [this](TObject*, std::uint16_t Err) { TlsDone(Err); };
    socket_->StartTls();
}

void TCustomPop3Cli::TlsDone(std::uint16_t Error) {
    if (Error != 0) {
        FailConnect("-ERR " + socket_->TlsErrorText(), Error);
        return;
    }
    FinishConnect(0);
}

void TCustomPop3Cli::SessionClosed(TObject*, std::uint16_t Error) {
    connected_ = false;
    // A chained request whose session drops between steps must end here with the close code,
    // not go on to a step that can no longer be sent.
    if (nextRequest_ && state_ != pop3Abort && requestResult_ == 0) requestResult_ = 10004;
    const std::shared_ptr<bool> alive = alive_;
    const unsigned session = sessions_;
    TriggerSessionClosed(Error);
    // The handler may have gone away with the client, or connected again: the new session's
    // request is not the one this close ends.
    if (!*alive || sessions_ != session) return;
    TriggerRequestDone(10004);
    protocolState_ = pop3Disconnected;
}

void TCustomPop3Cli::StatusLine() {
    if (lineContinues_) {
        // The rest of an over-long line is not a reply of its own.
        TriggerDisplay("< " + lastResponse_);
        return;
    }
    TriggerDisplay("< " + lastResponse_);
    if (!CheckPositive()) {
        requestResult_ = statusCode_;
        RecordError();
        TriggerRequestDone(500);
        return;
    }
    requestResult_ = 0;
    protocolState_ = nextProtocolState_;
    if (afterOkReply_)
        (this->*afterOkReply_)();
    else
        TriggerRequestDone(0);
}

void TCustomPop3Cli::StartCommand(TPop3Request Kind, TPop3Step Step, const std::string& Command,
                                  TPop3ProtocolState NextState, TLineHandler AfterOk) {
    CheckReady();
    if (!connected_ || !socket_) throw Pop3Exception("POP3 component not connected");
    if (!inHighLevel_) requestType_ = Kind;
    currentStep_ = Step;
    requestDoneFlag_ = false;
    next_ = &TCustomPop3Cli::StatusLine;
    nextProtocolState_ = NextState;
    afterOkReply_ = AfterOk;
    quitSent_ = Kind == pop3Quit;
    quitHalfDone_ = false;
    SetState(pop3WaitingResponse);

    const std::shared_ptr<bool> alive = alive_;
    TriggerDisplay("> " + Command);
    if (!*alive) return;
    Application::ProcessMessages();
    // What ran during that pass may have closed the session or destroyed the client; the close
    // has then completed the request already.
    if (!*alive || !connected_ || !socket_) return;
    try {
        socket_->SendText(Command + "\r\n");
    } catch (const Exception& E) {
        // The command may never leave, so no reply will come: the request ends with the
        // socket's error. A broken connection has completed it already, through the close.
        if (!*alive || requestDoneFlag_) return;
        const int code = socket_ && socket_->LastError() != 0 ? socket_->LastError() : 500;
        FailRequest(ExceptionLine(E), static_cast<std::uint16_t>(code));
    }
}

void TCustomPop3Cli::Abort() {
    SetState(pop3Abort);
    if (socket_) {
        socket_->CancelDnsLookup();
        socket_->Abort();
    }
    SetState(pop3Ready);
}

void TCustomPop3Cli::Open() {
    if (connected_) throw Pop3Exception("pop3 component already connected");
    CheckReady();
    requestType_ = pop3Open;
    requestResult_ = 0;
    pendingSteps_ = {pop3StepConnect, pop3StepUser, pop3StepPass};
    currentStep_ = pop3StepNone;
    highLevelResult_ = 0;
    inHighLevel_ = true;
    lastResponse_.clear();
    errorMessage_.clear();
    StepDispatcher();
}

void TCustomPop3Cli::StepDispatcher() {
    if (state_ == pop3Abort) {
        pendingSteps_ = {};
        highLevelResult_ = 426;
        errorMessage_ = "426 Operation aborted.";
    }
    nextRequest_ = &TCustomPop3Cli::StepDispatcher;
    if (requestResult_ != 0) {
        highLevelResult_ = requestResult_;
        if (currentStep_ != pop3StepQuit && pendingSteps_.Contains(pop3StepQuit))
            pendingSteps_ = {pop3StepQuit};
        else
            pendingSteps_ = {};
    }

    struct StepOperation {
        TPop3Step step;
        void (TCustomPop3Cli::*operation)();
    };
    static constexpr StepOperation kOrder[] = {
        {pop3StepConnect, &TCustomPop3Cli::Connect}, {pop3StepUser, &TCustomPop3Cli::User},
        {pop3StepPass, &TCustomPop3Cli::Pass},       {pop3StepRPop, &TCustomPop3Cli::RPop},
        {pop3StepDele, &TCustomPop3Cli::Dele},       {pop3StepNoop, &TCustomPop3Cli::Noop},
        {pop3StepList, &TCustomPop3Cli::List},       {pop3StepRSet, &TCustomPop3Cli::RSet},
        {pop3StepAPop, &TCustomPop3Cli::APop},       {pop3StepRetr, &TCustomPop3Cli::Retr},
        {pop3StepTop, &TCustomPop3Cli::Top},         {pop3StepStat, &TCustomPop3Cli::Stat},
        {pop3StepUidl, &TCustomPop3Cli::Uidl},       {pop3StepLast, &TCustomPop3Cli::Last},
        {pop3StepQuit, &TCustomPop3Cli::Quit}};
    for (const StepOperation& entry : kOrder) {
        if (!pendingSteps_.Contains(entry.step)) continue;
        currentStep_ = entry.step;
        pendingSteps_.Exclude(entry.step);
        (this->*entry.operation)();
        return;
    }
    pendingSteps_ = {};
    nextRequest_ = nullptr;
    requestDoneFlag_ = false;
    TriggerRequestDone(static_cast<std::uint16_t>(highLevelResult_));
}
