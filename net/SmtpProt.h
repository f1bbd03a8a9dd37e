#pragma once

#include "net/SmtpParse.h"
#include "net/WSocket.h"
#include "ui/Component.h"
#include "ui/EventLoop.h"
#include "ui/Exceptions.h"
#include "ui/StringList.h"

#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// SMTP client (RFC 5321). One request at a time: an operation checks its preconditions, sends
// its command and returns; OnRequestDone reports the outcome later from a posted message, so the
// next request may start inside it. Open and Mail chain several commands and report once.

enum TSmtpState {
    smtpReady,
    smtpDnsLookup,
    smtpConnecting,
    smtpConnected,
    smtpInternalReady,
    smtpWaitingBanner,
    smtpWaitingResponse,
    smtpAbort
};

enum TSmtpRequest {
    smtpConnect,
    smtpHelo,
    smtpMailFrom,
    smtpVrfy,
    smtpRcptTo,
    smtpData,
    smtpQuit,
    smtpRset,
    smtpOpen,
    smtpMail,
    smtpEhlo,
    smtpAuth,
    smtpCustom // kept for its ordinal; no operation issues it
};

enum TSmtpAuthType { smtpAuthNone, smtpAuthPlain, smtpAuthLogin, smtpAuthCramMD5 };

enum TSmtpStep {
    smtpStepNone,
    smtpStepHelo,
    smtpStepConnect,
    smtpStepMailFrom,
    smtpStepRcptTo,
    smtpStepData,
    smtpStepVrfy,
    smtpStepQuit,
    smtpStepRset,
    smtpStepEhlo,
    smtpStepAuth
};

enum TSmtpContentType { smtpHTML, smtpPlainText };

// A set of TSmtpStep, bit n for ordinal n.
class TSmtpSteps {
public:
    constexpr TSmtpSteps() = default;
    constexpr TSmtpSteps(std::initializer_list<TSmtpStep> steps) {
        for (TSmtpStep step : steps)
            bits_ |= Bit(step);
    }
    constexpr bool Contains(TSmtpStep step) const { return (bits_ & Bit(step)) != 0; }
    constexpr void Exclude(TSmtpStep step) { bits_ &= static_cast<std::uint16_t>(~Bit(step)); }
    constexpr bool Empty() const { return bits_ == 0; }

private:
    static constexpr std::uint16_t Bit(TSmtpStep step) {
        return static_cast<std::uint16_t>(1u << step);
    }
    std::uint16_t bits_ = 0;
};

POSTLARK_DECLARE_EXCEPTION(SmtpException, Exception);

using TSmtpDisplay = std::function<void(TObject* Sender, const std::string& Msg)>;
using TSmtpRequestDone =
    std::function<void(TObject* Sender, TSmtpRequest RqType, std::uint16_t ErrorCode)>;
// The host copies one NUL-terminated line of at most MaxLen bytes into MsgLine, or sets More
// false when it has no more.
using TSmtpGetDataEvent =
    std::function<void(TObject* Sender, int LineNum, char* MsgLine, int MaxLen, bool& More)>;
// Msg may be rewritten in place within Size bytes (NUL included).
using TSmtpHeaderLineEvent = std::function<void(TObject* Sender, char* Msg, int Size)>;
using TSmtpProcessHeaderEvent = std::function<void(TObject* Sender, TStringList& HdrLines)>;
using TSmtpAttachmentContentType = std::function<void(
    TObject* Sender, int FileNumber, std::string& FileName, std::string& ContentType)>;
using TSmtpAttachHeader = std::function<void(TObject* Sender, int FileNumber,
                                             const std::string& FileName, TStringList& HdrLines)>;

// The request-done message posted to the client's own endpoint.
constexpr std::uint32_t WM_SMTP_REQUEST_DONE = WM_USER + 1;

class TCustomSmtpClient : public TComponent {
public:
    explicit TCustomSmtpClient(TComponent* AOwner = nullptr);
    ~TCustomSmtpClient() override;

    // Session.
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
    const std::string& SignOn() const noexcept { return signOn_; }
    void SetSignOn(const std::string& Value) { signOn_ = Value; }
    const std::string& Username() const noexcept { return username_; }
    void SetUsername(const std::string& Value) { username_ = Value; }
    const std::string& Password() const noexcept { return password_; }
    void SetPassword(const std::string& Value) { password_ = Value; }
    TSmtpAuthType AuthType() const noexcept { return authType_; }
    void SetAuthType(TSmtpAuthType Value) noexcept { authType_ = Value; }
    const std::string& FromName() const noexcept { return fromName_; }
    void SetFromName(const std::string& Value) { fromName_ = Value; }
    const TStringList& RcptName() const noexcept { return rcptName_; }
    void SetRcptName(const TStringList& Value) { rcptName_ = Value; }
    TSmtpState State() const noexcept { return state_; }
    const std::string& ErrorMessage() const noexcept { return errorMessage_; }
    const std::string& LastResponse() const noexcept { return lastResponse_; }
    int StatusCode() const noexcept { return statusCode_; }
    int RequestResult() const noexcept { return requestResult_; }
    bool Connected() const noexcept { return connected_; }
    int Tag() const noexcept { return tag_; }
    void SetTag(int Value) noexcept { tag_ = Value; }
    HWND Handle() const noexcept { return window_; }
    // The lines of the last accepted EHLO reply, code cut off; the first is the server's name.
    const TStringList& EhloLines() const noexcept { return ehloLines_; }
    // Local address of the connection, "error" without one.
    std::string BoundAddr() const;

    // Message (the composition of the text DATA sends).
    const TStringList& MailMessage() const noexcept { return mailMessage_; }
    void SetMailMessage(const TStringList& Value) { mailMessage_ = Value; }
    const std::string& HdrFrom() const noexcept { return hdrFrom_; }
    void SetHdrFrom(const std::string& Value) { hdrFrom_ = Value; }
    const std::string& HdrTo() const noexcept { return hdrTo_; }
    void SetHdrTo(const std::string& Value) { hdrTo_ = Value; }
    const std::string& HdrCc() const noexcept { return hdrCc_; }
    void SetHdrCc(const std::string& Value) { hdrCc_ = Value; }
    const std::string& HdrReplyTo() const noexcept { return hdrReplyTo_; }
    void SetHdrReplyTo(const std::string& Value) { hdrReplyTo_ = Value; }
    const std::string& HdrReturnPath() const noexcept { return hdrReturnPath_; }
    void SetHdrReturnPath(const std::string& Value) { hdrReturnPath_ = Value; }
    const std::string& HdrSubject() const noexcept { return hdrSubject_; }
    void SetHdrSubject(const std::string& Value) { hdrSubject_ = Value; }
    const std::string& HdrSender() const noexcept { return hdrSender_; }
    void SetHdrSender(const std::string& Value) { hdrSender_ = Value; }
    const std::string& CharSet() const noexcept { return charSet_; }
    void SetCharSet(const std::string& Value) { charSet_ = Value; }
    TSmtpContentType ContentType() const noexcept { return contentType_; }
    void SetContentType(TSmtpContentType Value);
    const std::string& ContentTypeText() const noexcept { return contentTypeText_; }
    bool OwnHeaders() const noexcept { return ownHeaders_; }
    void SetOwnHeaders(bool Value) noexcept { ownHeaders_ = Value; }

    TSmtpDisplay OnDisplay;
    TSmtpDisplay OnCommand;
    TSmtpDisplay OnResponse;
    TSmtpRequestDone OnRequestDone;
    TSessionConnected OnSessionConnected;
    TSessionClosed OnSessionClosed;
    TNotifyEvent OnStateChange;
    TSmtpGetDataEvent OnGetData;
    TSmtpHeaderLineEvent OnHeaderLine;
    TSmtpProcessHeaderEvent OnProcessHeader;

    virtual void Connect();
    virtual void Helo();
    virtual void Ehlo();
    virtual void Auth();
    virtual void Vrfy();
    virtual void MailFrom();
    virtual void RcptTo();
    virtual void Data();
    virtual void Quit();
    virtual void Rset();
    virtual void Abort();
    virtual void Open();
    virtual void Mail();

protected:
    virtual void TriggerDisplay(const std::string& Msg);
    virtual void TriggerCommand(const std::string& Msg);
    virtual void TriggerResponse(const std::string& Msg);
    virtual void TriggerRequestDone(std::uint16_t ErrorCode);
    virtual void TriggerStateChange();
    // One body line into MsgLine; More false when there is none. MaxLen bounds what the host's
    // OnGetData may write.
    virtual void TriggerGetData(int LineNum, std::string& MsgLine, int MaxLen, bool& More);
    virtual void TriggerHeaderLine(char* Msg, int Size);
    virtual void TriggerProcessHeader(TStringList& HdrLines);
    virtual void TriggerSessionConnected(std::uint16_t Error);
    virtual void TriggerSessionClosed(std::uint16_t Error);
    virtual void SendCommand(const std::string& Cmd);
    virtual void WndProc(TMessage& Message);

    void SetState(TSmtpState S);
    void CheckReady() const;
    void RecordError();
    // Ends the current request with a failure the client found itself: LastResponse := text.
    void FailRequest(const std::string& text, int code = 500);

    TSmtpState state_ = smtpReady;
    int requestResult_ = 0;
    int statusCode_ = 0;
    std::string errorMessage_;
    std::string lastResponse_;
    bool connected_ = false;

private:
    using TContinuation = void (TCustomSmtpClient::*)();

    // Sends Command and routes its reply through the reply check; After runs on the final line.
    void ExecCommand(TSmtpRequest Request, TSmtpStep Step, const std::string& Command,
                     std::vector<int> Codes, TContinuation After);
    void ExpectReply(TSmtpRequest Request, std::vector<int> Codes, TContinuation After);
    void CheckConnected() const;

    // Socket events.
    void DnsLookupDone(TObject* Sender, std::uint16_t Error);
    void SocketSessionConnected(TObject* Sender, std::uint16_t Error);
    void DataAvailable(TObject* Sender, std::uint16_t Error);
    bool ProcessLines(std::uint16_t Error);
    void SocketSessionClosed(TObject* Sender, std::uint16_t Error);
    // A reply the client cannot take (no code, too long): fail and drop the connection, since
    // whatever follows can no longer be matched to its command.
    void ProtocolFailure(const std::string& text);

    void HandleBanner(std::uint16_t Error);
    // SignOn, or the local host's name without one.
    std::string GreetingName() const;
    // STARTTLS (RFC 3207) inside the connect request: EHLO, STARTTLS, the handshake, EHLO
    // again; the request completes only on a secured connection.
    void StartTlsEhlo(TContinuation After);
    void AfterPlainEhlo();
    void AfterStartTls();
    void TlsDone(std::uint16_t Error);
    void AfterSecuredEhlo();
    void FailSecurity(const std::string& text, int code);
    void ReplyCheck();
    void AfterEhlo();
    void AfterAuthLoginUser();
    void AfterAuthLoginPassword();
    void AfterAuthCramMD5();
    void RecipientStep();
    void AfterRecipient();
    void DataPump();
    void FailData(const std::string& what);
    void DisplaySent(const std::string& line);
    void ComposeHeader();

    void SendMailGroup();
    void ForgetGroup() noexcept;
    bool PassStaleReply();
    // Shows and collects one reply line; true once the reply is whole and well formed (a
    // malformed one has already failed the request).
    bool TakeReplyLine();
    void StartChain(TSmtpRequest Request, TSmtpSteps Steps);
    void StepDispatcher();
    void ClearChain() noexcept;

    std::unique_ptr<TWSocket> socket_;
    HWND window_ = 0;
    // Cleared by the destructor; handlers that fire user events check it before going on.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

    std::string host_;
    std::string localAddr_ = "0.0.0.0";
    std::string port_ = "smtp";
    std::string signOn_;
    std::string username_;
    std::string password_;
    TSecurityMode security_ = secNone;
    std::string tlsPin_;
    TSmtpAuthType authType_ = smtpAuthNone;
    std::string fromName_;
    TStringList rcptName_;
    int tag_ = 0;

    TStringList mailMessage_;
    std::string hdrFrom_, hdrTo_, hdrCc_, hdrReplyTo_, hdrReturnPath_, hdrSubject_, hdrSender_;
    std::string charSet_ = "iso-8859-1";
    TSmtpContentType contentType_ = smtpPlainText;
    std::string contentTypeText_ = "text/plain";
    bool ownHeaders_ = false;

    bool ehloAccepted_ = false;
    TStringList ehloLines_;
    TSmtpRequest requestType_ = smtpConnect;
    bool requestDoneFlag_ = false;
    TSmtpReceiveBuffer receiveBuffer_;
    TSmtpReplyAssembler reply_;
    void (TCustomSmtpClient::*next_)() = nullptr;
    std::vector<int> acceptedCodes_;
    TContinuation afterReply_ = nullptr;
    int recipientIndex_ = -1;

    TSmtpSteps pendingSteps_;
    TSmtpStep currentStep_ = smtpStepNone;
    int highLevelResult_ = 0;
    bool inHighLevel_ = false;
    bool chainStarting_ = false; // the first step runs inside the host's call
    TContinuation nextRequest_ = nullptr;
    int pipelined_ = 0;    // commands of the group sent ahead whose steps have not run yet
    int staleReplies_ = 0; // replies to pass over, owed to commands of an abandoned group
    TSmtpReplyAssembler staleReply_;

    std::string displayLine_; // reused for "> " + each line of the text
    std::vector<char> getDataBuffer_;
    TStringList headerLines_;
    int headerIndex_ = -1;
    int lineNumber_ = 0;
    bool moreLines_ = false;
};

// The client with its properties and events published and the MIME layer: file attachments in
// a multipart body, encoded in base64.
class TSmtpCli : public TCustomSmtpClient {
public:
    explicit TSmtpCli(TComponent* AOwner = nullptr);
    ~TSmtpCli() override;

    const TStringList& EmailFiles() const noexcept { return emailFiles_; }
    // Each trimmed, non-empty line must name an existing file; raises "File not found '...'"
    // at the first that does not (the names before it stay).
    void SetEmailFiles(const TStringList& Value);

    TSmtpAttachmentContentType OnAttachContentType;
    TSmtpAttachHeader OnAttachHeader;

    void Data() override;

protected:
    void TriggerGetData(int LineNum, std::string& MsgLine, int MaxLen, bool& More) override;
    void TriggerHeaderLine(char* Msg, int Size) override;
    virtual void TriggerAttachContentType(int FileNumber, std::string& FileName,
                                          std::string& ContentType);
    virtual void TriggerAttachHeader(int FileNumber, const std::string& FileName,
                                     TStringList& HdrLines);
    // Raises EInOutError when the file cannot be opened or read.
    virtual void AttachmentOpen(const std::string& Path);
    virtual void AttachmentReadLine(std::string& Line, bool& More);
    virtual void AttachmentClose();

private:
    struct TFileCloser {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };
    void StartAttachment(std::string& MsgLine);

    TStringList emailFiles_;
    std::deque<std::string> messageLines_;
    std::string boundary_;
    bool userPhase_ = false;
    int userLineNumber_ = 0;
    int mailIndex_ = 0;
    int fileIndex_ = 0;
    std::unique_ptr<std::FILE, TFileCloser> file_;
};

// Blocking forms of every request: each runs the event loop until its request has ended, it
// has run out of time or the application quits.
class TSyncSmtpCli : public TSmtpCli {
public:
    using TSmtpCli::TSmtpCli;

    int Timeout() const noexcept { return timeout_; }
    void SetTimeout(int Value) noexcept { timeout_ = Value; }
    bool MultiThreaded() const noexcept { return multiThreaded_; }
    void SetMultiThreaded(bool Value) noexcept { multiThreaded_ = Value; }

    virtual bool WaitUntilReady();
    virtual bool ConnectSync();
    virtual bool HeloSync();
    virtual bool EhloSync();
    virtual bool AuthSync();
    virtual bool VrfySync();
    virtual bool MailFromSync();
    virtual bool RcptToSync();
    virtual bool DataSync();
    virtual bool QuitSync();
    virtual bool RsetSync();
    virtual bool AbortSync();
    virtual bool OpenSync();
    virtual bool MailSync();

protected:
    void TriggerGetData(int LineNum, std::string& MsgLine, int MaxLen, bool& More) override;

private:
    bool Run(void (TCustomSmtpClient::*request)());
    void RestartDeadline();

    int timeout_ = 15;
    bool multiThreaded_ = false;
    Application::TWaitDeadline deadline_;
};

POSTLARK_DECLARE_EXCEPTION(EInOutError, Exception);
