#pragma once

#include "net/HttpParse.h"
#include "net/HttpUrl.h"
#include "net/WSocket.h"
#include "ui/Component.h"
#include "ui/EventLoop.h"
#include "ui/Exceptions.h"
#include "ui/OneShotTimer.h"
#include "ui/Streams.h"
#include "ui/StringList.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// HTTP/1.0 client: fetches one document at a time, directly or through a proxy, follows
// Location replies, hands the body to events and an optional stream. Every request ends with
// OnRequestDone from a posted message; Get, Head and Post wait for that end in the shared
// blocking wait.

enum THttpRequest { httpAbort, httpGET, httpPOST, httpHEAD };

enum THttpState {
    httpReady,
    httpNotConnected,
    httpConnected,
    httpDnsLookup,
    httpDnsLookupDone,
    httpWaitingHeader,
    httpWaitingBody,
    httpAborting
};

// Days since 30 December 1899, the fraction being the time of day.
using TDateTime = double;

class EHttpException : public Exception {
public:
    EHttpException(std::string message, std::uint16_t code)
        : Exception(std::move(message)), errorCode_(code) {}
    const char* ClassName() const noexcept override { return "EHttpException"; }
    std::uint16_t ErrorCode() const noexcept { return errorCode_; }

private:
    std::uint16_t errorCode_;
};

// Codes of EHttpException and of RequestDoneError for failures the client finds itself. Socket
// failures report the socket error code; a request the client gives up on (time limit, Abort,
// the program quitting) reports httpErrGivenUp.
constexpr std::uint16_t httpErrBusy = 1;
constexpr std::uint16_t httpErrNothingToPost = 2;
constexpr std::uint16_t httpErrBadUrl = 3;
constexpr std::uint16_t httpErrLineTooLong = 4;
constexpr std::uint16_t httpErrTooManyRelocations = 5;
constexpr std::uint16_t httpErrBadRelocation = 6;
constexpr std::uint16_t httpErrBadResponse = 7;
constexpr std::uint16_t httpErrHeaderTooLarge = 8;
constexpr std::uint16_t httpErrStream = 9;
constexpr std::uint16_t httpErrGivenUp = 426;

// A request follows at most this many Location replies.
constexpr int kHttpMaxRelocations = 10;

using TDocDataEvent = std::function<void(TObject* Sender, const char* Buffer, int Len)>;
using TOnCommand = std::function<void(TObject* Sender, std::string& S)>;
using TCookieRcvdEvent =
    std::function<void(TObject* Sender, const std::string& Data, bool& Accept)>;
using TBeforeHeaderSendEvent =
    std::function<void(TObject* Sender, const std::string& Method, TStringList& Headers)>;
using THttpRequestDone =
    std::function<void(TObject* Sender, THttpRequest RqType, std::uint16_t Error)>;

// Messages on the client's own endpoint.
constexpr std::uint32_t WM_HTTP_REQUEST_DONE = WM_USER + 1;
constexpr std::uint32_t WM_HTTP_SET_READY = WM_USER + 2;
constexpr std::uint32_t WM_HTTP_LOGIN = WM_USER + 3;

class THttpCli : public TComponent {
public:
    explicit THttpCli(TComponent* AOwner = nullptr);
    ~THttpCli() override;

    // Published properties.
    const std::string& URL() const noexcept { return url_; }
    void SetURL(const std::string& Value) { url_ = Value; }
    const std::string& LocalAddr() const noexcept { return localAddr_; }
    void SetLocalAddr(const std::string& Value) { localAddr_ = Value; }
    const std::string& Proxy() const noexcept { return proxy_; }
    void SetProxy(const std::string& Value) { proxy_ = Value; }
    const std::string& ProxyPort() const noexcept { return proxyPort_; }
    void SetProxyPort(const std::string& Value) { proxyPort_ = Value; }
    const std::string& Sender() const noexcept { return sender_; }
    void SetSender(const std::string& Value) { sender_ = Value; }
    const std::string& Agent() const noexcept { return agent_; }
    void SetAgent(const std::string& Value) { agent_ = Value; }
    const std::string& Accept() const noexcept { return accept_; }
    void SetAccept(const std::string& Value) { accept_ = Value; }
    const std::string& AcceptLanguage() const noexcept { return acceptLanguage_; }
    void SetAcceptLanguage(const std::string& Value) { acceptLanguage_ = Value; }
    const std::string& Reference() const noexcept { return reference_; }
    void SetReference(const std::string& Value) { reference_ = Value; }
    const std::string& Username() const noexcept { return username_; }
    void SetUsername(const std::string& Value) { username_ = Value; }
    const std::string& Password() const noexcept { return password_; }
    void SetPassword(const std::string& Value) { password_ = Value; }
    const std::string& ProxyUsername() const noexcept { return proxyUsername_; }
    void SetProxyUsername(const std::string& Value) { proxyUsername_ = Value; }
    const std::string& ProxyPassword() const noexcept { return proxyPassword_; }
    void SetProxyPassword(const std::string& Value) { proxyPassword_ = Value; }
    bool NoCache() const noexcept { return noCache_; }
    void SetNoCache(bool Value) noexcept { noCache_ = Value; }
    TDateTime ModifiedSince() const noexcept { return modifiedSince_; }
    void SetModifiedSince(TDateTime Value) noexcept { modifiedSince_ = Value; }
    const std::string& Cookie() const noexcept { return cookie_; }
    void SetCookie(const std::string& Value) { cookie_ = Value; }
    const std::string& ContentTypePost() const noexcept { return contentTypePost_; }
    void SetContentTypePost(const std::string& Value) { contentTypePost_ = Value; }
    const std::string& ContentRangeBegin() const noexcept { return contentRangeBegin_; }
    void SetContentRangeBegin(const std::string& Value) { contentRangeBegin_ = Value; }
    const std::string& ContentRangeEnd() const noexcept { return contentRangeEnd_; }
    void SetContentRangeEnd(const std::string& Value) { contentRangeEnd_ = Value; }
    const std::string& AcceptRanges() const noexcept { return acceptRanges_; }
    bool MultiThreaded() const noexcept { return multiThreaded_; }
    virtual void SetMultiThreaded(bool Value);
    // Seconds a request may take from its start to its end, relocations included; 0 means no
    // limit. A request that runs out ends with httpErrGivenUp.
    int Timeout() const noexcept { return timeout_; }
    void SetTimeout(int Value) noexcept { timeout_ = Value; }
    // SHA-256 fingerprint (hex) of the one certificate an https server is trusted with; empty
    // means the system's authorities and the host name decide.
    const std::string& TlsPin() const noexcept { return tlsPin_; }
    void SetTlsPin(const std::string& Value) { tlsPin_ = Value; }

    // The SOCKS proxy of the connection; applied to the socket before every connect.
    const std::string& SocksServer() const noexcept { return socksServer_; }
    void SetSocksServer(const std::string& Value) { socksServer_ = Value; }
    const std::string& SocksLevel() const noexcept { return socksLevel_; }
    // "4", "4A" ("4a") or "5"; raises ESocketException for anything else.
    void SetSocksLevel(const std::string& Value);
    const std::string& SocksPort() const noexcept { return socksPort_; }
    void SetSocksPort(const std::string& Value) { socksPort_ = Value; }
    const std::string& SocksUsercode() const noexcept { return socksUsercode_; }
    void SetSocksUsercode(const std::string& Value) { socksUsercode_ = Value; }
    const std::string& SocksPassword() const noexcept { return socksPassword_; }
    void SetSocksPassword(const std::string& Value) { socksPassword_ = Value; }
    TSocksAuthentication SocksAuthentication() const noexcept { return socksAuthentication_; }
    void SetSocksAuthentication(TSocksAuthentication Value) noexcept {
        socksAuthentication_ = Value;
    }

    // Public, not published. RcvdStream and SendStream are not owned.
    TStream* RcvdStream() const noexcept { return rcvdStream_; }
    void SetRcvdStream(TStream* Value) noexcept { rcvdStream_ = Value; }
    TStream* SendStream() const noexcept { return sendStream_; }
    void SetSendStream(TStream* Value) noexcept { sendStream_ = Value; }
    THttpState State() const noexcept { return state_; }
    int StatusCode() const noexcept { return statusCode_; }
    const std::string& ReasonPhrase() const noexcept { return reasonPhrase_; }
    std::int64_t ContentLength() const noexcept { return contentLength_; }
    const std::string& ContentType() const noexcept { return contentType_; }
    std::int64_t RcvdCount() const noexcept { return rcvdCount_; }
    std::int64_t SentCount() const noexcept { return sentCount_; }
    const TStringList& RcvdHeader() const noexcept { return rcvdHeader_; }
    const TStringList& AuthorizationRequest() const noexcept { return authorizationRequest_; }
    const std::string& Location() const noexcept { return location_; }
    const std::string& DocName() const noexcept { return docName_; }
    const std::string& DnsResult() const noexcept { return dnsResult_; }
    bool Connected() const noexcept { return connected_; }
    std::uint16_t RequestDoneError() const noexcept { return requestDoneError_; }
    HWND Handle() const noexcept { return window_; }

    // Requests. The synchronous forms raise EHttpException when the request failed, no status
    // line came, or the status is 400 or more; the asynchronous ones return at once.
    void Get();
    void Head();
    void Post();
    void GetASync();
    void HeadASync();
    void PostASync();
    // Ends the running request at once: State is httpReady on return and OnRequestDone follows
    // with httpErrGivenUp. Nothing happens when no request runs.
    void Abort();

    TNotifyEvent OnStateChange;
    TNotifyEvent OnSessionConnected;
    TNotifyEvent OnRequestHeaderBegin;
    TNotifyEvent OnRequestHeaderEnd;
    TBeforeHeaderSendEvent OnBeforeHeaderSend;
    TOnCommand OnCommand;
    TNotifyEvent OnSendBegin;
    TDocDataEvent OnSendData;
    TNotifyEvent OnSendEnd;
    TNotifyEvent OnHeaderBegin;
    TNotifyEvent OnHeaderData;
    TNotifyEvent OnHeaderEnd;
    TCookieRcvdEvent OnCookie;
    TNotifyEvent OnLocationChange;
    TNotifyEvent OnDocBegin;
    TDocDataEvent OnDocData;
    TNotifyEvent OnDocEnd;
    THttpRequestDone OnRequestDone;
    TNotifyEvent OnSocketError;
    TSessionConnected OnSocksConnected;
    TSocksErrorEvent OnSocksError;

protected:
    virtual void GotHeaderLine();
    virtual void GotBodyData();
    virtual void SendCommand(const std::string& Line);
    virtual void Login();
    virtual void Logout();
    virtual void InternalClear();
    virtual void SocketDnsLookupDone(TObject* Sender, std::uint16_t Error);
    virtual void SocketSessionClosed(TObject* Sender, std::uint16_t Error);
    virtual void SocketSessionConnected(TObject* Sender, std::uint16_t Error);
    virtual void SocketDataSent(TObject* Sender, std::uint16_t Error);
    virtual void SocketDataAvailable(TObject* Sender, std::uint16_t Error);
    virtual void LocationSessionClosed(TObject* Sender, std::uint16_t Error);
    virtual void DoRequestAsync(THttpRequest Rq);
    virtual void DoRequestSync(THttpRequest Rq);
    virtual void StateChange(THttpState NewState);
    virtual void TriggerStateChange();
    virtual void TriggerCookie(const std::string& Data, bool& Accept);
    virtual void TriggerSessionConnected();
    virtual void TriggerBeforeHeaderSend(const std::string& Method, TStringList& Headers);
    virtual void TriggerRequestHeaderBegin();
    virtual void TriggerRequestHeaderEnd();
    virtual void TriggerHeaderBegin();
    virtual void TriggerHeaderEnd();
    virtual void TriggerDocBegin();
    virtual void TriggerDocData(const char* Buffer, int Len);
    virtual void TriggerDocEnd();
    virtual void TriggerSendBegin();
    virtual void TriggerSendData(const char* Buffer, int Len);
    virtual void TriggerSendEnd();
    virtual void TriggerRequestDone();
    virtual void TriggerLocationChange();
    virtual void TriggerSocketError();
    virtual void SetReady();
    virtual void AdjustDocName();

    // The socket, for layers that add to the client.
    TWSocket& Socket() noexcept { return *socket_; }

private:
    // Who takes the next line or chunk, and who takes the close of the connection.
    enum TLineHandler { lhNone, lhHeader, lhBody, lhTunnel };
    enum TCloseHandler { chSession, chLocation };

    void WndProc(TMessage& Msg);
    void BindSocket();
    void ComputeTarget();
    void ApplySocks();
    void SendRequest();
    void SendRequestHeader(const std::string& Method);
    // An https document behind an HTTP proxy comes through a CONNECT tunnel, encrypted end to
    // end; the proxy sees only the host and port.
    bool Tunnelled() const noexcept { return target_.Secure && !target_.Proxy.empty(); }
    void OpenTunnel();
    std::string ProxyAuthorization() const;
    void GotTunnelLine();
    void TunnelSecured(std::uint16_t Error);
    void BuildHeaderLines(const std::string& Method, TStringList& Lines);
    void ReadHeaderBytes();
    void ReadBody();
    void RunLineHandler();
    void HeaderEnded();
    // The header is over: First (when given) and the bytes buffered behind the header are the
    // document's first bytes.
    void EnterBody(std::string_view First);
    void TakeField(const std::string& Name, std::string_view Value);
    void DeliverBody(const char* Data, std::size_t Len);
    // Ends the running request with a failure the client found itself (RequestDoneError :=
    // Code): the connection is dropped and completion is posted.
    void Fail(std::uint16_t Code, const std::string& Reason);
    // Ends the running request now, for a caller that cannot wait for the posted step.
    void GiveUp(const std::string& Reason);
    void CloseQuietly();
    void TimeLimitReached();
    bool Running() const noexcept { return state_ != httpReady && !readyPosted_; }

    std::unique_ptr<TWSocket> socket_;
    HWND window_ = 0;
    std::unique_ptr<TOneShotTimer> timer_;
    // Cleared by the destructor: a synchronous wait that outlives its client sees it.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

    std::string url_;
    std::string localAddr_ = "0.0.0.0";
    std::string proxy_;
    std::string proxyPort_ = "80";
    std::string sender_;
    std::string agent_ = "Mozilla/3.0 (compatible)";
    std::string accept_ = "image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*";
    std::string acceptLanguage_;
    std::string reference_;
    std::string username_;
    std::string password_;
    std::string proxyUsername_;
    std::string proxyPassword_;
    bool noCache_ = false;
    TDateTime modifiedSince_ = 0;
    std::string cookie_;
    std::string contentTypePost_ = "application/x-www-form-urlencoded";
    std::string contentRangeBegin_;
    std::string contentRangeEnd_;
    std::string acceptRanges_;
    bool multiThreaded_ = false;
    int timeout_ = 30;
    std::string tlsPin_;
    std::string socksServer_;
    std::string socksLevel_ = "5";
    std::string socksPort_;
    std::string socksUsercode_;
    std::string socksPassword_;
    TSocksAuthentication socksAuthentication_ = socksNoAuthentication;
    // What the proxy handshake reported last, for the request's reason phrase.
    std::string socksError_;

    TStream* rcvdStream_ = nullptr;
    TStream* sendStream_ = nullptr;
    THttpState state_ = httpReady;
    int statusCode_ = 0;
    std::string reasonPhrase_;
    std::int64_t contentLength_ = -1;
    std::string contentType_;
    std::int64_t rcvdCount_ = 0;
    std::int64_t sentCount_ = 0;
    TStringList rcvdHeader_;
    TStringList authorizationRequest_;
    std::string location_;
    std::string docName_;
    std::string dnsResult_;
    bool connected_ = false;

    THttpRequest requestType_ = httpAbort;
    std::uint16_t requestDoneError_ = 0;
    // HostName, PortText, TargetHost, Path and the credentials of the running request.
    THttpTarget target_;
    // The proxy's port as the request found it, for every connection after a relocation.
    std::string proxyConnectPort_;
    THttpLineBuffer lines_;
    std::string lastResponse_;
    // The header line just taken with its line end, for a reply that has no header.
    std::string lastRaw_;
    std::unique_ptr<char[]> bodyBuffer_;
    const char* chunk_ = nullptr; // the body chunk GotBodyData delivers
    std::size_t chunkLen_ = 0;
    TLineHandler lineHandler_ = lhNone;
    TCloseHandler closeHandler_ = chSession;
    int headerLineCount_ = 0;
    std::size_t headerBytes_ = 0;
    int bodyLineCount_ = 0;
    bool headerOpen_ = false;
    bool locationSeen_ = false;
    std::unique_ptr<char[]> sendBuffer_;
    bool allowedToSend_ = false;
    std::string reqStream_;
    int relocations_ = 0;
    // Completion has been posted; whatever the socket still reports belongs to no request.
    bool readyPosted_ = false;
    // Numbers the requests, so that a posted step of an ended request is recognised and dropped.
    std::uintptr_t serial_ = 0;
};
