#pragma once

#include "net/WSocket.h"
#include "ui/Component.h"
#include "ui/EventLoop.h"
#include "ui/Exceptions.h"

#include "net/Pop3Parse.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// POP3 client (RFC 1939, with the older RPOP and LAST commands). One request at a time: an
// operation checks its preconditions, sends one command and returns; OnRequestDone reports the
// outcome later from a posted message, so the next request may start inside it.

enum TPop3ProtocolState { pop3Disconnected, pop3WaitingUser, pop3WaitingPass, pop3Transaction };

enum TPop3Request {
    pop3Connect,
    pop3User,
    pop3Pass,
    pop3RPop,
    pop3Quit,
    pop3Stat,
    pop3List,
    pop3Retr,
    pop3Top,
    pop3Dele,
    pop3Noop,
    pop3Last,
    pop3RSet,
    pop3Uidl,
    pop3APop,
    pop3Open,
    pop3Custom // kept for its ordinal; no operation sends a custom command
};

enum TPop3State {
    pop3Ready,
    pop3DnsLookup,
    pop3Connecting,
    pop3Connected,
    pop3InternalReady,
    pop3WaitingBanner,
    pop3WaitingResponse,
    pop3Abort
};

enum TPop3Step {
    pop3StepNone,
    pop3StepConnect,
    pop3StepUser,
    pop3StepPass,
    pop3StepRPop,
    pop3StepQuit,
    pop3StepAPop,
    pop3StepStat,
    pop3StepList,
    pop3StepUidl,
    pop3StepRetr,
    pop3StepTop,
    pop3StepDele,
    pop3StepNoop,
    pop3StepRSet,
    pop3StepLast
};

// A set of TPop3Step, bit n for ordinal n.
class TPop3Steps {
public:
    constexpr TPop3Steps() = default;
    constexpr TPop3Steps(std::initializer_list<TPop3Step> steps) {
        for (TPop3Step step : steps)
            bits_ |= Bit(step);
    }
    constexpr bool Contains(TPop3Step step) const { return (bits_ & Bit(step)) != 0; }
    constexpr void Include(TPop3Step step) { bits_ |= Bit(step); }
    constexpr void Exclude(TPop3Step step) { bits_ &= static_cast<std::uint16_t>(~Bit(step)); }
    constexpr bool Empty() const { return bits_ == 0; }
    constexpr bool operator==(const TPop3Steps&) const = default;

private:
    static constexpr std::uint16_t Bit(TPop3Step step) {
        return static_cast<std::uint16_t>(1u << step);
    }
    std::uint16_t bits_ = 0;
};

POSTLARK_DECLARE_EXCEPTION(Pop3Exception, Exception);

using TPop3Display = std::function<void(TObject* Sender, const std::string& Msg)>;
using TPop3RequestDone =
    std::function<void(TObject* Sender, TPop3Request RqType, std::uint16_t Error)>;

// The request-done message posted to the client's own endpoint.
constexpr std::uint32_t WM_POP3_REQUEST_DONE = WM_USER + 1;

class TCustomPop3Cli : public TComponent {
public:
    explicit TCustomPop3Cli(TComponent* AOwner = nullptr);
    ~TCustomPop3Cli() override;
    void Notification(TComponent* AComponent, TOperation Operation) override;

    const std::string& Host() const noexcept { return host_; }
    void SetHost(const std::string& Value) { host_ = Value; }
    const std::string& LocalAddr() const noexcept { return localAddr_; }
    void SetLocalAddr(const std::string& Value) { localAddr_ = Value; }
    const std::string& Port() const noexcept { return port_; }
    void SetPort(const std::string& Value) { port_ = Value; }
    TSecurityMode Security() const noexcept { return security_; }
    void SetSecurity(TSecurityMode Value) noexcept { security_ = Value; }
    // SHA-256 fingerprint of the one server certificate to trust, for a self-signed one.
    const std::string& TlsPin() const noexcept { return tlsPin_; }
    void SetTlsPin(const std::string& Value) { tlsPin_ = Value; }
    // The connection is encrypted and the server's certificate accepted.
    bool Secured() const noexcept { return socket_ && socket_->TlsActive(); }
    const std::string& UserName() const noexcept { return userName_; }
    void SetUserName(const std::string& Value) { userName_ = Value; }
    const std::string& PassWord() const noexcept { return passWord_; }
    void SetPassWord(const std::string& Value) { passWord_ = Value; }
    const std::string& ErrorMessage() const noexcept { return errorMessage_; }
    const std::string& LastResponse() const noexcept { return lastResponse_; }
    TPop3ProtocolState ProtocolState() const noexcept { return protocolState_; }
    int MsgCount() const noexcept { return msgCount_; }
    int MsgSize() const noexcept { return msgSize_; }
    int MsgLines() const noexcept { return msgLines_; }
    void SetMsgLines(int Value) noexcept { msgLines_ = Value; }
    int MsgNum() const noexcept { return msgNum_; }
    void SetMsgNum(int Value) noexcept { msgNum_ = Value; }
    const std::string& MsgUidl() const noexcept { return msgUidl_; }
    int Tag() const noexcept { return tag_; }
    void SetTag(int Value) noexcept { tag_ = Value; }

    TPop3State State() const noexcept { return state_; }
    bool Connected() const noexcept { return connected_; }
    HWND Handle() const noexcept { return window_; }
    // The greeting's "<...>" token, brackets included; empty when the greeting had none.
    const std::string& TimeStamp() const noexcept { return timeStamp_; }

    // Header values captured from the reply of the last transaction command.
    bool HeaderPart() const noexcept { return headerPart_; }
    const std::string& HdrKeyword() const noexcept { return hdrKeyword_; }
    const std::string& HdrData() const noexcept { return hdrData_; }
    const std::string& HdrFrom() const noexcept { return hdrFrom_; }
    const std::string& HdrTo() const noexcept { return hdrTo_; }
    const std::string& HdrSubject() const noexcept { return hdrSubject_; }
    const std::string& HdrDate() const noexcept { return hdrDate_; }
    const std::string& HdrMessageId() const noexcept { return hdrMessageId_; }
    const std::string& HdrReplyTo() const noexcept { return hdrReplyTo_; }
    const std::string& HdrReturnPath() const noexcept { return hdrReturnPath_; }

    TPop3Display OnDisplay;
    TPop3Display OnResponse;
    TNotifyEvent OnStateChange;
    TPop3RequestDone OnRequestDone;
    TSessionConnected OnSessionConnected;
    TSessionClosed OnSessionClosed;
    TNotifyEvent OnMessageBegin;
    TNotifyEvent OnMessageLine;
    TNotifyEvent OnMessageEnd;
    TNotifyEvent OnListBegin;
    TNotifyEvent OnListLine;
    TNotifyEvent OnListEnd;
    TNotifyEvent OnUidlBegin;
    TNotifyEvent OnUidlLine;
    TNotifyEvent OnUidlEnd;
    TNotifyEvent OnHeaderEnd;

protected:
    virtual void WndProc(TMessage& Msg);
    virtual void TriggerSessionConnected(std::uint16_t Error);
    virtual void TriggerResponse(const std::string& Msg);
    virtual void TriggerStateChange();
    virtual void TriggerRequestDone(std::uint16_t Error);

public:
    virtual void Connect();
    virtual void Open();
    virtual void User();
    virtual void Pass();
    virtual void RPop();
    virtual void APop();
    virtual void Quit();
    virtual void Stat();
    virtual void List();
    virtual void Retr();
    virtual void Top();
    virtual void Dele();
    virtual void Noop();
    virtual void Last();
    virtual void RSet();
    virtual void Uidl();
    virtual void Abort();

protected:
    // Hooks of the events the engine fires besides the ones above.
    virtual void TriggerDisplay(const std::string& Msg);
    virtual void TriggerSessionClosed(std::uint16_t Error);
    virtual void TriggerHeaderEnd();

private:
    using TLineHandler = void (TCustomPop3Cli::*)();

    void SetState(TPop3State NewState);
    void CheckReady() const;
    bool CheckPositive();
    void RecordError();
    // Ends the connect request with Error, Response recorded as the reason, and drops the
    // connection.
    void FailConnect(const std::string& Response, std::uint16_t Error);
    // The greeting was accepted and, when asked for, the connection secured.
    void FinishConnect(std::uint16_t Error);
    void RequestStls();
    void StlsReply();
    void TlsDone(std::uint16_t Error);
    // Refuses to send a credential unless the security asked for is in place.
    void CheckSecured(const char* Command);
    void RefuseSession(const std::string& Text);
    // Ends the request under way with Error, Response recorded as the server's refusal.
    void FailRequest(const std::string& Response, std::uint16_t Error);
    // "-ERR " + the exception's class and message: a failure of the client's own as a reply.
    static std::string ExceptionLine(const Exception& E);
    void ResetHeader();
    void StartCommand(TPop3Request Kind, TPop3Step Step, const std::string& Command,
                      TPop3ProtocolState NextState, TLineHandler AfterOk);
    void TransactionCommand(const char* Word, TPop3Request Kind, TPop3Step Step,
                            const std::string& Command, TLineHandler AfterOk);

    // Socket events.
    void DnsLookupDone(TObject* Sender, std::uint16_t Error);
    void SessionConnected(TObject* Sender, std::uint16_t Error);
    void DataAvailable(TObject* Sender, std::uint16_t Error);
    // Hands every complete line held to the handler of the current state; false when the
    // client must stop reading (refused greeting, client destroyed).
    bool ProcessLines(std::uint16_t Error);
    void SessionClosed(TObject* Sender, std::uint16_t Error);

    // Line handlers and after-reply steps.
    void HandleBanner(std::uint16_t Error);
    void StatusLine();
    void MultiLineLineHandler();
    void ReplyDataLine();
    // Runs the owner's handlers of a multi-line reply; what they raise is kept in
    // replyFailure_.
    void GuardReplyHandlers(const std::function<void()>& Handlers);
    void StartMultiLine(const TNotifyEvent& Begin, const TNotifyEvent& Line,
                        const TNotifyEvent& End, TLineHandler Parse);
    void AfterStat();
    void AfterListSingle();
    void AfterListMulti();
    void AfterUidlSingle();
    void AfterUidlMulti();
    void AfterRetr();
    void AfterLast();
    void ParseListLine();
    void ParseUidlLine();
    void CaptureHeader();

    void StepDispatcher();

    std::unique_ptr<TWSocket> socket_;
    HWND window_ = 0;
    // Cleared by the destructor; handlers that fire user events check it before going on, since
    // a handler may destroy the client.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

    std::string host_;
    std::string localAddr_ = "0.0.0.0";
    std::string port_ = "pop3";
    std::string userName_;
    std::string passWord_;
    TSecurityMode security_ = secNone;
    std::string tlsPin_;
    std::string errorMessage_;
    std::string lastResponse_;
    TPop3ProtocolState protocolState_ = pop3Disconnected;
    int msgCount_ = 0;
    int msgSize_ = 0;
    int msgLines_ = 0;
    int msgNum_ = 0;
    std::string msgUidl_;
    int tag_ = 0;
    TPop3State state_ = pop3Ready;
    bool connected_ = false;

    TPop3Request requestType_ = pop3Connect;
    TPop3ProtocolState nextProtocolState_ = pop3Disconnected;
    bool requestDoneFlag_ = false;
    int requestResult_ = 0;
    int statusCode_ = 0;
    TPop3ReceiveBuffer receiveBuffer_;
    bool lineContinues_ = false; // the line in lastResponse_ continues a line that was cut
    TLineHandler next_ = nullptr;
    TLineHandler afterOkReply_ = nullptr;
    TNotifyEvent multiLineLine_;
    TNotifyEvent multiLineEnd_;
    TLineHandler multiLineParse_ = nullptr;
    std::string replyFailure_; // what a handler of the reply under way raised
    bool headerPart_ = false;
    std::string hdrKeyword_, hdrData_, hdrFrom_, hdrTo_, hdrSubject_, hdrDate_, hdrMessageId_,
        hdrReplyTo_, hdrReturnPath_;
    std::string timeStamp_;
    unsigned sessions_ = 0; // Connect calls, to tell a session from the one after it
    bool quitSent_ = false;
    bool quitHalfDone_ = false;

    TPop3Steps pendingSteps_;
    TPop3Step currentStep_ = pop3StepNone;
    int highLevelResult_ = 0;
    bool inHighLevel_ = false;
    TLineHandler nextRequest_ = nullptr;
};

// The client with its properties and events published; no behaviour of its own.
class TPop3Cli : public TCustomPop3Cli {
public:
    using TCustomPop3Cli::TCustomPop3Cli;
};
