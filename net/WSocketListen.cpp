// Listening, accepting, adopting a handle, and holding events of TCustomWSocket.
#include "net/WSocket.h"

#include <sys/socket.h>

void TCustomWSocket::Listen() {
    if (hSocket_ != INVALID_SOCKET && state_ != wsClosed) {
        // A second descriptor would orphan the first one.
        ReportError("Listen: Socket already in use");
        return;
    }
    const char* missing = !portAssigned_    ? "listen: port not assigned"
                          : !protoAssigned_ ? "listen: protocol not assigned"
                          : !addrAssigned_  ? "listen: address not assigned"
                                            : nullptr;
    if (missing) {
        SetLastSocketError(WSAEINVAL);
        ReportSocketError(missing);
        return;
    }
    try {
        ResolveEnds(true);
    } catch (const Exception& E) {
        ReportError("listen: " + E.Message());
        return;
    }

    DiscardSendQueue();
    hSocket_ = winsock::socket(addrFamily_, type_ == 2 ? SOCK_DGRAM : SOCK_STREAM, proto_);
    if (hSocket_ == INVALID_SOCKET) {
        ReportSocketError("socket");
        return;
    }
    closeInvoked_ = false;
    StartOrDrop(&TCustomWSocket::StartListen);
}

bool TCustomWSocket::StartListen() {
    const TSocket handle = hSocket_;
    // Also honoured by a stream listener, so that a restarted server need not wait for the
    // last run's closed connections to time out.
    if (reuseAddr_) {
        const int on = 1;
        if (winsock::setsockopt(hSocket_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
            ReportSocketError("setsockopt(SO_REUSEADDR)");
            return false;
        }
    }
    if (winsock::bind(hSocket_, sin_) != 0) {
        ReportSocketError("Bind");
        return false;
    }
    SetState(wsBound);
    if (type_ == 2 && multiCast_ && !JoinMulticastGroup()) return false;
    if (type_ == 2) {
        SetState(wsListening);
        SetState(wsConnected);
        TriggerSessionConnected(0);
        // The handler may have closed this socket, or opened another one.
        if (hSocket_ != handle) return true;
    } else {
        if (winsock::listen(hSocket_, 5) != 0) {
            ReportSocketError("Listen");
            return false;
        }
        SetState(wsListening);
    }
    selectEvent_ = FD_READ | FD_WRITE | FD_ACCEPT | FD_CLOSE;
    if (winsock::WSAAsyncSelect(hSocket_, window_, WM_SOCKET_EVENT, selectEvent_) != 0) {
        ReportSocketError("WSAASyncSelect");
        return false;
    }
    return true;
}

TSocket TCustomWSocket::Accept() {
    if (state_ != wsListening) {
        SetLastSocketError(WSAEINVAL);
        ReportSocketError("not a listening socket");
        return INVALID_SOCKET;
    }
    sockaddr_in peer{};
    lastAcceptHandle_ = winsock::accept(hSocket_, &peer);
    if (lastAcceptHandle_ == INVALID_SOCKET) {
        ReportSocketError("Accept");
        return INVALID_SOCKET;
    }
    sin_ = peer;
    return lastAcceptHandle_;
}

void TCustomWSocket::Dup(TSocket NewHSocket) {
    if (NewHSocket == 0 || NewHSocket == INVALID_SOCKET || NewHSocket == hSocket_ ||
        winsock::NativeHandle(NewHSocket) < 0) {
        // Adopting it would leave the socket "connected" to nothing.
        SetLastSocketError(WSAEINVAL);
        ReportSocketError("Dup");
        return;
    }
    if (hSocket_ != INVALID_SOCKET) {
        const int closed = winsock::closesocket(hSocket_);
        hSocket_ = INVALID_SOCKET;
        if (closed != 0) ReportSocketError("Dup (closesocket)");
    }
    if (state_ != wsClosed) SetState(wsClosed);
    // A new session: bytes still queued for the previous peer must not reach this one.
    DiscardSendQueue();
    allSent_ = true;
    closeInvoked_ = false;
    hSocket_ = NewHSocket;
    StartOrDrop(&TCustomWSocket::StartAdopted);
}

bool TCustomWSocket::StartAdopted() {
    int type = SOCK_STREAM;
    int length = sizeof type;
    if (winsock::getsockopt(hSocket_, SOL_SOCKET, SO_TYPE, &type, &length) == 0 &&
        type == SOCK_DGRAM) {
        type_ = 2;
        proto_ = IPPROTO_UDP;
    } else {
        type_ = 1;
        proto_ = IPPROTO_TCP;
    }
    if (type_ == 1 && !ApplyLinger()) return false;
    selectEvent_ = FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE;
    if (winsock::WSAAsyncSelect(hSocket_, window_, WM_SOCKET_EVENT, selectEvent_) != 0) {
        ReportSocketError("WSAAsyncSelect");
        return false;
    }
    SetState(wsConnected);
    return true;
}

// Notifications that arrive while paused are dropped on arrival; what they announced is still
// pending, and the platform reports it again when Resume registers the event set.
void TCustomWSocket::Pause() {
    paused_ = true;
    if (hSocket_ != INVALID_SOCKET) winsock::WSAAsyncSelect(hSocket_, window_, WM_SOCKET_EVENT, 0);
}

void TCustomWSocket::Resume() {
    paused_ = false;
    if (hSocket_ != INVALID_SOCKET)
        winsock::WSAAsyncSelect(hSocket_, window_, WM_SOCKET_EVENT, selectEvent_);
}
