#include "net/HttpProt.h"

#include "net/ClientSocket.h"
#include "net/WSocketLibrary.h"
#include "net/WinsockErrors.h"
#include "ui/TickCount.h"

namespace {

// The completion code of a session that closed before its request was done.
constexpr std::uint16_t kSessionClosed = WSAEINTR;

} // namespace

THttpCli::THttpCli(TComponent* AOwner) : TComponent(AOwner) {
    window_ = AllocateNotifyWindow([this](TMessage& Msg) { WndProc(Msg); });
    socket_ = std::make_unique<TWSocket>(this);
    timer_ = std::make_unique<TOneShotTimer>([this] { TimeLimitReached(); });
    sendBuffer_ = std::make_unique<char[]>(8193);
    BindSocket();
}

THttpCli::~THttpCli() {
    Destroying();
    *alive_ = false;
    DetachClientHandlers(*socket_);
    socket_.reset();
    timer_.reset();
    ReleaseNotifyWindow(window_);
}

void THttpCli::BindSocket() {
    TWSocket& s = *socket_;
    // The data handler reads a body until the system has no more; the socket's own loop would
    // only ask the system again for nothing.
    s.SetComponentOptions({wsoNoReceiveLoop});
    s.OnSessionClosed = [this](TObject* Sender, std::uint16_t Error) {
        if (closeHandler_ == chLocation)
            LocationSessionClosed(Sender, Error);
        else
            SocketSessionClosed(Sender, Error);
    };
    s.OnDataAvailable = [this](TObject* Sender, std::uint16_t Error) {
        // The socket's receive loop swallows what escapes: a failure here must end the request
        // instead, or nothing would ever complete it.
        try {
            SocketDataAvailable(Sender, Error);
        } catch (const std::exception& E) {
            Fail(httpErrBadResponse, E.what());
        }
    };
    s.OnSessionConnected = [this](TObject* Sender, std::uint16_t Error) {
        SocketSessionConnected(Sender, Error);
    };
    s.OnDataSent = [this](TObject* Sender, std::uint16_t Error) {
        try {
            SocketDataSent(Sender, Error);
        } catch (const std::exception& E) {
            Fail(httpErrStream, E.what());
        }
    };
    s.OnDnsLookupDone = [this](TObject* Sender, std::uint16_t Error) {
        SocketDnsLookupDone(Sender, Error);
    };
    s.OnSocksConnected = [this](TObject*, std::uint16_t Error) {
        if (OnSocksConnected) OnSocksConnected(this, Error);
    };
    s.OnSocksError = [this](TObject*, std::int32_t Error, const std::string& Msg) {
        socksError_ = Msg;
        if (OnSocksError) OnSocksError(this, Error, Msg);
    };
    // A socket with an error handler reports failures there instead of raising; the request
    // must still end.
    s.OnError = [this](TObject*) {
        TriggerSocketError();
        if (Running()) {
            const int error = socket_->LastError();
            Fail(error != 0 ? static_cast<std::uint16_t>(error) : kSessionClosed,
                 SocketErrorText(error) + " (Error #" + std::to_string(error) + ")");
        }
    };
}

void THttpCli::SetMultiThreaded(bool Value) {
    multiThreaded_ = Value;
    socket_->SetMultiThreaded(Value);
}

void THttpCli::SetSocksLevel(const std::string& Value) {
    if (Value == "4a")
        socksLevel_ = "4A";
    else if (Value == "4" || Value == "4A" || Value == "5")
        socksLevel_ = Value;
    else
        throw ESocketException("Invalid socks level. Must be 4, 4A or 5.");
}

void THttpCli::ApplySocks() {
    // The socket forgets its proxy at every close; the client keeps it for every connection.
    socksError_.clear();
    if (socksServer_.empty()) return;
    socket_->SetSocksServer(socksServer_);
    socket_->SetSocksPort(socksPort_);
    socket_->SetSocksLevel(socksLevel_);
    socket_->SetSocksUsercode(socksUsercode_);
    socket_->SetSocksPassword(socksPassword_);
    socket_->SetSocksAuthentication(socksAuthentication_);
}

// ---- Messages and completion ----

void THttpCli::WndProc(TMessage& Msg) {
    switch (Msg.Msg) {
    case WM_HTTP_REQUEST_DONE:
        if (OnRequestDone)
            OnRequestDone(this, static_cast<THttpRequest>(Msg.WParam),
                          static_cast<std::uint16_t>(Msg.LParam));
        break;
    case WM_HTTP_SET_READY:
        if (Msg.WParam == serial_) StateChange(httpReady);
        break;
    case WM_HTTP_LOGIN:
        if (Msg.WParam == serial_ && !readyPosted_ && state_ != httpReady) Login();
        break;
    default:
        break;
    }
}

void THttpCli::SetReady() {
    if (readyPosted_) return;
    readyPosted_ = true;
    PostMessage(window_, WM_HTTP_SET_READY, serial_, 0);
}

void THttpCli::StateChange(THttpState NewState) {
    if (NewState == state_) return;
    state_ = NewState;
    if (NewState == httpReady) {
        timer_->Stop();
        readyPosted_ = true; // a posted step of this request finds nothing more to do
    }
    TriggerStateChange();
    if (NewState == httpReady) TriggerRequestDone();
}

void THttpCli::TriggerRequestDone() {
    PostMessage(window_, WM_HTTP_REQUEST_DONE, static_cast<WPARAM>(requestType_),
                static_cast<LPARAM>(requestDoneError_));
}

void THttpCli::CloseQuietly() {
    connected_ = false;
    if (socket_->State() == wsClosed) return;
    // The close handler finds the request ended and does nothing.
    socket_->Close();
}

void THttpCli::Fail(std::uint16_t Code, const std::string& Reason) {
    if (!Running()) return;
    requestDoneError_ = Code;
    reasonPhrase_ = Reason;
    if (headerOpen_) TriggerHeaderEnd();
    SetReady();
    CloseQuietly();
}

void THttpCli::GiveUp(const std::string& Reason) {
    Fail(httpErrGivenUp, Reason);
    if (state_ != httpReady) StateChange(httpReady);
}

void THttpCli::TimeLimitReached() {
    if (Running()) Fail(httpErrGivenUp, "Request timed out");
}

void THttpCli::Abort() {
    if (state_ == httpReady) return;
    GiveUp("Request aborted");
}

void THttpCli::Logout() {
    socket_->Close();
    connected_ = false;
}

// ---- Starting a request ----

void THttpCli::Get() {
    DoRequestSync(httpGET);
}
void THttpCli::Head() {
    DoRequestSync(httpHEAD);
}
void THttpCli::Post() {
    DoRequestSync(httpPOST);
}
void THttpCli::GetASync() {
    DoRequestAsync(httpGET);
}
void THttpCli::HeadASync() {
    DoRequestAsync(httpHEAD);
}
void THttpCli::PostASync() {
    DoRequestAsync(httpPOST);
}

void THttpCli::InternalClear() {
    rcvdHeader_.Clear();
    authorizationRequest_.Clear();
    requestDoneError_ = 0;
    docName_.clear();
    statusCode_ = 0;
    reasonPhrase_.clear();
    rcvdCount_ = 0;
    sentCount_ = 0;
    headerLineCount_ = 0;
    headerBytes_ = 0;
    bodyLineCount_ = 0;
    contentLength_ = -1;
    contentType_.clear();
    allowedToSend_ = false;
    location_ = url_;
    headerOpen_ = false;
    locationSeen_ = false;
    relocations_ = 0;
    lines_.Clear();
    lineHandler_ = lhNone;
}

void THttpCli::ComputeTarget() {
    // The fragment is for the reader of the document; it never goes to the server.
    const std::string_view url = WithoutFragment(url_);
    const THttpUrlParts parts = ParseURL(url, target_.Path);
    target_.Proxy = proxy_;
    target_.Secure = IsHttps(parts);
    target_.TargetHost = parts.Host;
    target_.Username = parts.User.empty() ? username_ : parts.User;
    target_.Password = parts.Pass.empty() ? password_ : parts.Pass;
    if (proxy_.empty()) {
        target_.Path = parts.Path;
        target_.HostName = parts.Host;
        target_.PortText = UrlPort(parts);
        docName_ = target_.Path;
    } else {
        docName_ = parts.Path;
        target_.Path = (parts.Proto.empty() ? std::string("http") : parts.Proto) + "://" +
                       parts.Host + (parts.Port.empty() ? std::string() : ":" + parts.Port) +
                       parts.Path;
        const THttpUrlParts proxy = ParseURL(proxy_);
        target_.HostName = proxy.Host;
        target_.PortText = proxy.Port.empty() ? proxyPort_ : proxy.Port;
        proxyConnectPort_ = target_.PortText;
    }
    if (target_.Path.empty()) target_.Path = "/";
    AdjustDocName();
}

void THttpCli::DoRequestAsync(THttpRequest Rq) {
    if (state_ != httpReady) throw EHttpException("HTTP component is busy", httpErrBusy);
    if (Rq == httpPOST && !sendStream_)
        throw EHttpException("HTTP component has nothing to post", httpErrNothingToPost);
    // Checked before anything changes, so a refused URL leaves the client as it was. A space
    // or control byte would end up inside the request line.
    for (char c : url_)
        if (static_cast<unsigned char>(c) <= ' ' || c == '\x7f')
            throw EHttpException("HTTP component cannot send this URL", httpErrBadUrl);
    const THttpUrlParts parts = ParseURL(WithoutFragment(url_));
    if (!parts.Proto.empty() && parts.Proto != "http" && parts.Proto != "https")
        throw EHttpException("HTTP component does not support " + parts.Proto, httpErrBadUrl);

    ++serial_;
    readyPosted_ = false;
    closeHandler_ = chSession;
    StateChange(httpNotConnected);
    requestType_ = Rq;
    InternalClear();
    ComputeTarget();
    if (timeout_ > 0) timer_->Start(timeout_ * 1000);
    Login();
}

void THttpCli::DoRequestSync(THttpRequest Rq) {
    // What the start posts is delivered right after it, without a wake-up of the loop.
    RunThenDeliver([&] { DoRequestAsync(Rq); });
    const std::shared_ptr<bool> alive = alive_;
    Application::TWaitDeadline deadline;
    deadline.Limited = timeout_ > 0;
    deadline.Tick =
        GetTickCount() + static_cast<std::uint32_t>(timeout_ > 0 ? timeout_ : 0) * 1000u;
    const Application::TWaitResult result =
        Application::WaitUntil([&] { return !*alive || state_ == httpReady; }, deadline);
    if (!*alive) throw EHttpException("HTTP component destroyed while waiting", httpErrGivenUp);
    if (result == Application::TWaitResult::TimedOut) GiveUp("Request timed out");
    if (result == Application::TWaitResult::Terminated) GiveUp("Program is quitting");
    if (state_ != httpReady) GiveUp("Request aborted");

    if (requestDoneError_ != 0) throw EHttpException(reasonPhrase_, requestDoneError_);
    if (statusCode_ == 0) throw EHttpException("No HTTP status line received", httpErrBadResponse);
    if (statusCode_ >= 400)
        throw EHttpException(reasonPhrase_, static_cast<std::uint16_t>(statusCode_));
}

void THttpCli::Login() {
    dnsResult_.clear();
    StateChange(httpDnsLookup);
    if (Application::Terminated()) {
        Fail(httpErrGivenUp, "Program is quitting");
        return;
    }
    socket_->SetLocalAddr(localAddr_);
    try {
        socket_->DnsLookup(target_.HostName);
    } catch (const Exception& E) {
        statusCode_ = 404;
        reasonPhrase_ = E.Message();
        connected_ = false;
        const int error = socket_->LastError();
        requestDoneError_ = static_cast<std::uint16_t>(error != 0 ? error : WSAHOST_NOT_FOUND);
        StateChange(httpReady);
    }
}

void THttpCli::SocketDnsLookupDone(TObject*, std::uint16_t Error) {
    if (!Running()) return;
    if (Error != 0) {
        requestDoneError_ = Error;
        statusCode_ = 404;
        reasonPhrase_ = "can't resolve hostname to IP address";
        SocketSessionClosed(socket_.get(), Error);
        return;
    }
    dnsResult_ = socket_->DnsResult();
    StateChange(httpDnsLookupDone);
    try {
        // An https target is secured right after the connect, through the SOCKS proxy if any;
        // behind an HTTP proxy, once the proxy has opened the tunnel.
        AimAtResolvedHost(*socket_, target_.PortText, localAddr_,
                          target_.Secure && !Tunnelled() ? secTls : secNone, target_.TargetHost,
                          tlsPin_);
        ApplySocks();
        socket_->Connect();
    } catch (const std::exception&) {
        const int error = socket_->LastError();
        requestDoneError_ = static_cast<std::uint16_t>(error != 0 ? error : WSAEINVAL);
        statusCode_ = 404;
        reasonPhrase_ =
            "can't connect: " + SocketErrorText(error) + " (Error #" + std::to_string(error) + ")";
        socket_->Close();
        SocketSessionClosed(socket_.get(), requestDoneError_);
    }
}

void THttpCli::SocketSessionConnected(TObject*, std::uint16_t Error) {
    if (!Running()) return;
    if (Error != 0) {
        requestDoneError_ = Error;
        statusCode_ = 404;
        const std::string text = Error == TlsFailed      ? socket_->TlsErrorText()
                                 : !socksError_.empty() ? socksError_
                                                        : SocketErrorText(Error);
        reasonPhrase_ = text + " (Error #" + std::to_string(Error) + ")";
        SocketSessionClosed(socket_.get(), Error);
        return;
    }
    connected_ = true;
    StateChange(httpConnected);
    TriggerSessionConnected();
    if (!Running()) return;
    if (Tunnelled())
        OpenTunnel();
    else
        SendRequest();
}

void THttpCli::SendRequest() {
    lineHandler_ = lhHeader;
    StateChange(httpWaitingHeader);
    try {
        switch (requestType_) {
        case httpPOST:
            SendRequestHeader("POST");
            TriggerSendBegin();
            allowedToSend_ = true;
            SocketDataSent(socket_.get(), 0);
            break;
        case httpHEAD:
            SendRequestHeader("HEAD");
            break;
        default:
            SendRequestHeader("GET");
            break;
        }
    } catch (const std::exception&) {
        Logout();
    }
}

void THttpCli::SocketSessionClosed(TObject*, std::uint16_t Error) {
    if (!Running()) return;
    if (Error != 0) requestDoneError_ = Error;
    connected_ = false;
    if (headerOpen_) {
        TriggerHeaderEnd();
        if (locationSeen_) {
            LocationSessionClosed(socket_.get(), 0);
            return;
        }
        // Without a complete header there is no document; the request must still end.
        Fail(Error != 0 ? Error : kSessionClosed, "Connection closed inside the response header");
        return;
    }
    if (state_ != httpWaitingBody) {
        if (requestDoneError_ == 0) {
            requestDoneError_ = kSessionClosed;
            reasonPhrase_ = "Connection closed without a response";
        }
    } else if (contentLength_ >= 0 && rcvdCount_ < contentLength_ && statusCode_ < 400 &&
               requestDoneError_ == 0) {
        // The announced length did not arrive: the document is cut, not complete.
        requestDoneError_ = kSessionClosed;
        reasonPhrase_ = "Connection closed before the end of the document";
    }
    if (bodyLineCount_ > 0) TriggerDocEnd();
    SetReady();
}

void THttpCli::LocationSessionClosed(TObject*, std::uint16_t) {
    if (!Running()) return;
    connected_ = false;
    closeHandler_ = chSession;
    if (++relocations_ > kHttpMaxRelocations) {
        Fail(httpErrTooManyRelocations, "Too many relocations");
        return;
    }
    const THttpUrlParts parts = ParseURL(WithoutFragment(location_));
    docName_ = parts.Path;
    AdjustDocName();
    locationSeen_ = false;
    if (requestType_ == httpPOST) requestType_ = httpGET;
    TriggerLocationChange();
    rcvdHeader_.Clear();
    headerLineCount_ = 0;
    headerBytes_ = 0;
    bodyLineCount_ = 0;
    contentLength_ = -1;
    contentType_.clear();
    statusCode_ = 0;
    // The proxy's own port, not whatever the Location named.
    if (!proxy_.empty()) target_.PortText = proxyConnectPort_;
    PostMessage(window_, WM_HTTP_LOGIN, serial_, 0);
}

void THttpCli::AdjustDocName() {
    docName_ = DocNameOfPath(docName_);
}

// ---- Event hooks ----

void THttpCli::TriggerStateChange() {
    if (OnStateChange) OnStateChange(this);
}
void THttpCli::TriggerCookie(const std::string& Data, bool& Accept) {
    if (OnCookie) OnCookie(this, Data, Accept);
}
void THttpCli::TriggerSessionConnected() {
    if (OnSessionConnected) OnSessionConnected(this);
}
void THttpCli::TriggerBeforeHeaderSend(const std::string& Method, TStringList& Headers) {
    if (OnBeforeHeaderSend) OnBeforeHeaderSend(this, Method, Headers);
}
void THttpCli::TriggerRequestHeaderBegin() {
    if (OnRequestHeaderBegin) OnRequestHeaderBegin(this);
}
void THttpCli::TriggerRequestHeaderEnd() {
    if (OnRequestHeaderEnd) OnRequestHeaderEnd(this);
}
void THttpCli::TriggerHeaderBegin() {
    headerOpen_ = true;
    if (OnHeaderBegin) OnHeaderBegin(this);
}
void THttpCli::TriggerHeaderEnd() {
    headerOpen_ = false;
    if (OnHeaderEnd) OnHeaderEnd(this);
}
void THttpCli::TriggerDocBegin() {
    if (OnDocBegin) OnDocBegin(this);
}
void THttpCli::TriggerDocData(const char* Buffer, int Len) {
    if (OnDocData) OnDocData(this, Buffer, Len);
}
void THttpCli::TriggerDocEnd() {
    if (OnDocEnd) OnDocEnd(this);
}
void THttpCli::TriggerSendBegin() {
    if (OnSendBegin) OnSendBegin(this);
}
void THttpCli::TriggerSendData(const char* Buffer, int Len) {
    if (OnSendData) OnSendData(this, Buffer, Len);
}
void THttpCli::TriggerSendEnd() {
    if (OnSendEnd) OnSendEnd(this);
}
void THttpCli::TriggerLocationChange() {
    if (OnLocationChange) OnLocationChange(this);
}
void THttpCli::TriggerSocketError() {
    if (OnSocketError) OnSocketError(this);
}
