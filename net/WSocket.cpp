#include "net/WSocket.h"

#include "ui/SysUtils.h"

#include <cstdarg>
#include <cstdio>

TCustomWSocket::TCustomWSocket(TComponent* AOwner) : TComponent(AOwner) {
    window_ = AllocateHWnd([this](TMessage& Msg) { WndProc(Msg); });
    if (window_ == 0) ReportError("Cannot create a hidden window for TWSocket");
    bufSize_ = 1460;
    multiCastIpTTL_ = 1;
    ResetToDefaults();
    WSocketObjectCreated();
}

TCustomWSocket::~TCustomWSocket() {
    Destroying();
    try {
        CancelDnsLookup();
    } catch (...) {
    }
    if (state_ != wsClosed) {
        try {
            Close();
        } catch (...) {
        }
    }
    // A close that failed or was never needed must not leave the descriptor behind.
    if (hSocket_ != INVALID_SOCKET) {
        winsock::closesocket(hSocket_);
        hSocket_ = INVALID_SOCKET;
    }
    if (dnsLookupHandle_ != 0) winsock::WSACancelAsyncRequest(dnsLookupHandle_);
    WSocketObjectDestroyed();
    DiscardSendQueue();
    DeallocateHWnd(window_);
    window_ = 0;
}

// ---- Properties ----

// Addr, Port and Proto share one rule: the value already assigned is accepted in any state,
// anything else only while closed; the trimmed text decides whether the field is assigned.
void TCustomWSocket::SetRemoteField(const std::string& Value, const char* Name, std::string& Text,
                                    bool& Assigned, bool& Resolved) {
    if (Assigned && Value == Text) return;
    if (state_ != wsClosed) {
        ReportError(std::string("Cannot change ") + Name + " if not closed");
        return;
    }
    Text = Trim(Value);
    Assigned = !Text.empty();
    Resolved = false;
}

void TCustomWSocket::SetAddr(const std::string& Value) {
    SetRemoteField(Value, "Addr", addrStr_, addrAssigned_, addrResolved_);
}

void TCustomWSocket::SetPort(const std::string& Value) {
    SetRemoteField(Value, "Port", portStr_, portAssigned_, portResolved_);
}

void TCustomWSocket::SetProto(const std::string& Value) {
    SetRemoteField(Value, "Proto", protoStr_, protoAssigned_, protoResolved_);
}

void TCustomWSocket::SetLocalAddr(const std::string& Value) {
    if (state_ != wsClosed) {
        ReportError("Cannot change LocalAddr if not closed");
        return;
    }
    localAddr_ = Value.empty() ? "0.0.0.0" : Value;
}

void TCustomWSocket::SetLocalPort(const std::string& Value) {
    if (state_ != wsClosed) {
        ReportError("Cannot change LocalPort if not closed");
        return;
    }
    localPortStr_ = Value;
    localPortResolved_ = false;
}

void TCustomWSocket::SetSendFlags(TSocketSendFlags Value) {
    if (Value != wsSendNormal && Value != wsSendUrgent) {
        ReportError("Invalid SendFlags");
        return;
    }
    sendFlags_ = Value;
}

bool TCustomWSocket::PeerName(sockaddr_in& name, const char* FunctionName) {
    if (state_ != wsConnected) return false;
    if (winsock::getpeername(hSocket_, &name) == 0) return true;
    ReportSocketError(FunctionName);
    return false;
}

std::string TCustomWSocket::PeerAddr() {
    sockaddr_in name{};
    return PeerName(name, "GetPeerName") ? winsock::inet_ntoa(name.sin_addr.s_addr) : "error";
}

std::string TCustomWSocket::PeerPort() {
    sockaddr_in name{};
    return PeerName(name, "GetPeerPort") ? std::to_string(ntohs(name.sin_port)) : "error";
}

std::string TCustomWSocket::GetBoundPort() {
    if (state_ != wsConnected && state_ != wsBound && state_ != wsListening) return "error";
    sockaddr_in name{};
    if (winsock::getsockname(hSocket_, &name) != 0) return "error";
    return std::to_string(ntohs(name.sin_port));
}

std::string TCustomWSocket::GetBoundAddr() {
    if (state_ != wsConnected && state_ != wsBound && state_ != wsListening) return "error";
    sockaddr_in name{};
    if (winsock::getsockname(hSocket_, &name) != 0) return "error";
    return winsock::inet_ntoa(name.sin_addr.s_addr);
}

int TCustomWSocket::GetPeerName(sockaddr_in& Name) {
    if (state_ != wsConnected) {
        winsock::WSASetLastError(WSAENOTCONN);
        return SOCKET_ERROR;
    }
    return winsock::getpeername(hSocket_, &Name);
}

int TCustomWSocket::GetSockName(sockaddr_in& Name) {
    return winsock::getsockname(hSocket_, &Name);
}

int TCustomWSocket::RcvdCount() {
    unsigned long count = 0;
    if (winsock::ioctlsocket_fionread(hSocket_, &count) == SOCKET_ERROR) {
        ReportSocketError("ioctlSocket");
        return -1;
    }
    return static_cast<int>(count > 0x7FFFFFFFul ? 0x7FFFFFFFul : count);
}

// ---- State and events ----

void TCustomWSocket::ResetToDefaults() {
    state_ = wsClosed;
    hSocket_ = INVALID_SOCKET;
    selectEvent_ = 0;
    protoStr_ = "tcp";
    protoAssigned_ = true;
    protoResolved_ = false;
    proto_ = IPPROTO_TCP;
    type_ = 1;
    portAssigned_ = false;
    portResolved_ = false;
    addrAssigned_ = false;
    addrResolved_ = false;
    localPortStr_ = "0";
    localPortResolved_ = false;
    localPortNum_ = 0;
    localAddr_ = "0.0.0.0";
    addrFamily_ = AF_INET;
    sin_ = sockaddr_in{};
    sin_.sin_family = AF_INET;
    lingerOnOff_ = wsLingerOn;
    lingerTimeout_ = 0;
    allSent_ = true;
    paused_ = false;
    closeInvoked_ = false;
}

void TCustomWSocket::SetState(TSocketState NewState) {
    const TSocketState oldState = state_;
    state_ = NewState;
    TriggerChangeState(oldState, NewState);
}

bool TCustomWSocket::TriggerDataAvailable(std::uint16_t Error) {
    if (!OnDataAvailable) return false;
    Fire(OnDataAvailable, Error);
    return true;
}

void TCustomWSocket::TriggerSessionAvailable(std::uint16_t Error) {
    Fire(OnSessionAvailable, Error);
}

void TCustomWSocket::TriggerSessionConnected(std::uint16_t Error) {
    Fire(OnSessionConnected, Error);
}

void TCustomWSocket::TriggerSessionClosed(std::uint16_t Error) {
    Fire(OnSessionClosed, Error);
}

void TCustomWSocket::TriggerDataSent(std::uint16_t Error) {
    Fire(OnDataSent, Error);
}

void TCustomWSocket::TriggerSendData(std::int32_t BytesSent) {
    Fire(OnSendData, BytesSent);
}

void TCustomWSocket::TriggerChangeState(TSocketState OldState, TSocketState NewState) {
    Fire(OnChangeState, OldState, NewState);
}

void TCustomWSocket::TriggerDnsLookupDone(std::uint16_t Error) {
    Fire(OnDnsLookupDone, Error);
}

void TCustomWSocket::TriggerError() {
    Fire(OnError);
}

// ---- Error reporting ----

void TCustomWSocket::ReportError(const std::string& Msg) {
    if (OnError)
        TriggerError();
    else
        throw ESocketException(Msg);
}

void TCustomWSocket::ReportErrorFmt(const char* Fmt, ...) {
    char buffer[1024];
    va_list args;
    va_start(args, Fmt);
    std::vsnprintf(buffer, sizeof buffer, Fmt, args);
    va_end(args);
    ReportError(buffer);
}

void TCustomWSocket::SetLastSocketError(int Error) noexcept {
    lastError_ = Error;
    winsock::WSASetLastError(Error);
}

void TCustomWSocket::ReportSocketError(const std::string& FunctionName) {
    const int code = winsock::WSAGetLastError();
    const std::string text = "Error " + std::to_string(code) + " in function " + FunctionName +
                             "\r\n" + SocketErrorText(code);
    if (code == WSAECONNRESET || code == WSAENOTCONN) {
        if (hSocket_ != INVALID_SOCKET) {
            winsock::closesocket(hSocket_);
            hSocket_ = INVALID_SOCKET;
        }
        // Reported once per connection; a handler that connects again from it keeps its new
        // connection.
        if (state_ != wsClosed && !closeInvoked_) {
            closeInvoked_ = true;
            TriggerSessionClosed(static_cast<std::uint16_t>(code));
        }
        if (hSocket_ == INVALID_SOCKET) SetState(wsClosed);
    }
    lastError_ = code;
    ReportError(text);
}

void TCustomWSocket::ReportBackgroundException(Exception& E) {
    bool canClose = true;
    if (OnBgException) {
        try {
            OnBgException(this, E, canClose);
        } catch (...) {
        }
    }
    if (canClose) {
        try {
            Abort();
        } catch (...) {
        }
    }
}

// ---- Notification dispatch ----

void TCustomWSocket::WndProc(TMessage& Msg) {
    // Only our own exception family is handled here. Anything else travels on to the event
    // loop's dispatch point, which hands it to the application's default handler.
    try {
        HandleNotification(Msg);
    } catch (Exception& E) {
        ReportBackgroundException(E);
    }
}

void TCustomWSocket::HandleNotification(TMessage& Msg) {
    switch (Msg.Msg) {
    case WM_SOCKET_EVENT:
        HandleSocketEvent(Msg.WParam, LoWord(Msg.LParam), HiWord(Msg.LParam));
        break;
    case WM_SOCKET_LOOKUP_DONE:
        HandleLookupDone(Msg);
        break;
    case WM_SOCKET_REVERSE_LOOKUP_DONE:
        HandleReverseLookupDone(Msg);
        break;
    case WM_SOCKET_CLOSE_LATER:
        Close();
        break;
    case WM_SOCKET_FREE_LATER:
        // The endpoint outlives this dispatch, so deleting ourselves here is safe; nothing
        // may touch the object after this line.
        delete this;
        return;
    case WM_SOCKET_TEST_EXCEPTION:
        throw ESocketException("Test exception in WSocket");
    default:
        Msg.Result = 0;
        break;
    }
}

void TCustomWSocket::HandleSocketEvent(WPARAM Handle, std::uint16_t Events, std::uint16_t Error) {
    const TSocket handle = static_cast<TSocket>(Handle);
    if (hSocket_ == INVALID_SOCKET || handle != hSocket_ || paused_) return;
    // A handler may close this connection and open the next one; the rest of this
    // notification then belongs to a connection that is gone. One that pauses the socket
    // holds the rest back: Resume has it reported again.
    const auto gone = [&] { return hSocket_ != handle || paused_; };
    if ((Events & FD_CONNECT) != 0 && state_ != wsConnected) {
        SetState(wsConnected);
        TriggerSessionConnected(Error);
        if (hSocket_ != handle) return;
        if (Error != 0 && state_ != wsClosed) Close(); // a failed connect ends even if paused
    }
    if ((Events & FD_READ) != 0) {
        if (state_ != wsConnected) {
            SetState(wsConnected);
            TriggerSessionConnected(Error);
            if (gone()) return;
        }
        ReceiveLoop(Error, componentOptions_);
        if (gone()) return;
    }
    if ((Events & FD_WRITE) != 0) {
        TryToSend();
        if (gone()) return;
        if (allSent_) TriggerDataSent(Error);
        if (gone()) return;
    }
    if ((Events & FD_ACCEPT) != 0) {
        TriggerSessionAvailable(Error);
        if (gone()) return;
    }
    if ((Events & FD_CLOSE) != 0 && state_ != wsConnecting) {
        ReceiveLoop(0, TWSocketOptions(componentOptions_).Exclude(wsoNoReceiveLoop));
        if (gone()) return;
        if (!closeInvoked_) {
            closeInvoked_ = true;
            TriggerSessionClosed(Error);
            if (gone()) return;
        }
        if (state_ != wsClosed) Close();
    }
}

void TCustomWSocket::PostClose() {
    PostMessage(window_, WM_SOCKET_CLOSE_LATER, 0, 0);
}

void TCustomWSocket::PostFree() {
    PostMessage(window_, WM_SOCKET_FREE_LATER, 0, 0);
}

void TCustomWSocket::PumpEvents() {
    if (multiThreaded_)
        PumpThreadQueue();
    else
        Application::ProcessMessages();
}

void TCustomWSocket::PumpThreadQueue() {
    // Qt gives each thread one event loop; a quit request is the application's terminate.
    Application::ProcessMessages();
    if (Application::Terminated()) terminated_ = true;
}

// ---- Name lookup ----

// A new lookup silently drops the pending one and the previous result.
void TCustomWSocket::ForgetLookup() {
    if (dnsLookupHandle_ != 0) winsock::WSACancelAsyncRequest(dnsLookupHandle_);
    dnsLookupHandle_ = 0;
    dnsResult_.clear();
    dnsResultList_.Clear();
}

void TCustomWSocket::DnsLookup(const std::string& HostName) {
    if (HostName.empty()) {
        ReportError("DNS lookup: invalid host name.");
        TriggerDnsLookupDone(WSAEINVAL);
        return;
    }
    ForgetLookup();
    const std::uint32_t address = winsock::inet_addr(HostName);
    if (address != INADDR_NONE) {
        dnsResult_ = winsock::inet_ntoa(address);
        TriggerDnsLookupDone(0);
        return;
    }
    if (window_ == 0) {
        ReportError("DnsLookup: Window not assigned");
        return;
    }
    dnsSaved_ = false;
    dnsLookupHandle_ = winsock::WSAAsyncGetHostByName(window_, WM_SOCKET_LOOKUP_DONE, HostName);
    if (dnsLookupHandle_ == 0) {
        ReportErrorFmt("%s: can't start DNS lookup, error #%d", HostName.c_str(),
                       winsock::WSAGetLastError());
        return;
    }
    if (dnsSaved_) {
        dnsSaved_ = false;
        HandleLookupDone(dnsSavedMsg_);
    }
}

bool TCustomWSocket::TakeLookupResult(TAsyncHandle handle, TLookupResult& result) {
    // Collected even when stale, so the layer's table never keeps it.
    winsock::WSAAsyncTakeResult(handle, result);
    if (handle != dnsLookupHandle_) return false;
    dnsLookupHandle_ = 0;
    return true;
}

void TCustomWSocket::HandleLookupDone(TMessage& Msg) {
    const auto handle = static_cast<TAsyncHandle>(Msg.WParam);
    if (dnsLookupHandle_ == 0) {
        // Can only be a completion overtaking the start of its own request.
        dnsSavedMsg_ = Msg;
        dnsSaved_ = true;
        return;
    }
    TLookupResult result;
    if (!TakeLookupResult(handle, result)) return;
    const std::uint16_t error = HiWord(Msg.LParam);
    if (error == 0) {
        for (std::uint32_t address : result.Addresses)
            dnsResultList_.Add(winsock::inet_ntoa(address));
        if (!dnsResultList_.Empty()) dnsResult_ = dnsResultList_[0];
    }
    TriggerDnsLookupDone(error);
}

void TCustomWSocket::ReverseDnsLookup(const std::string& HostAddr) {
    if (HostAddr.empty() || HostAddr.size() > 256) {
        ReportError("ReverseDnsLookup: Invalid host name.");
        TriggerDnsLookupDone(WSAEINVAL);
        return;
    }
    ForgetLookup();
    const std::uint32_t address = winsock::inet_addr(HostAddr);
    if (window_ == 0) {
        ReportError("ReverseDnsLookup: Window not assigned");
        return;
    }
    dnsLookupHandle_ =
        winsock::WSAAsyncGetHostByAddr(window_, WM_SOCKET_REVERSE_LOOKUP_DONE, address);
    if (dnsLookupHandle_ == 0)
        ReportErrorFmt("%s: can't start DNS lookup, error #%d", HostAddr.c_str(),
                       winsock::WSAGetLastError());
}

void TCustomWSocket::HandleReverseLookupDone(TMessage& Msg) {
    TLookupResult result;
    if (!TakeLookupResult(static_cast<TAsyncHandle>(Msg.WParam), result)) return;
    const std::uint16_t error = HiWord(Msg.LParam);
    if (error == 0) {
        dnsResult_ = result.HostName;
        dnsResultList_.Clear();
        dnsResultList_.Add(result.HostName);
    }
    TriggerDnsLookupDone(error);
}

void TCustomWSocket::CancelDnsLookup() {
    if (dnsLookupHandle_ == 0) return;
    if (winsock::WSACancelAsyncRequest(dnsLookupHandle_) != 0) {
        dnsLookupHandle_ = 0;
        ReportSocketError("WSACancelAsyncRequest");
        return;
    }
    dnsLookupHandle_ = 0;
    if (!IsDestroying()) TriggerDnsLookupDone(WSAEINTR);
}
