// Connecting and closing of TCustomWSocket.
#include "net/WSocket.h"

#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>

namespace {

int NativeSocketType(int type) {
    switch (type) {
    case 1:
        return SOCK_STREAM;
    case 2:
        return SOCK_DGRAM;
    default:
        return SOCK_RAW;
    }
}

} // namespace

void TCustomWSocket::Connect() {
    if (hSocket_ != INVALID_SOCKET && state_ != wsClosed) {
        ReportError("Connect: Socket already in use");
        return;
    }
    if (!portAssigned_) {
        ReportError("Connect: No Port Specified");
        return;
    }
    if (!addrAssigned_) {
        ReportError("Connect: No IP Address Specified");
        return;
    }
    if (!protoAssigned_) {
        ReportError("Connect: No Protocol Specified");
        return;
    }
    try {
        ResolveEnds(false);
    } catch (const Exception& E) {
        ReportError("connect: " + E.Message());
        return;
    }

    DiscardSendQueue();
    hSocket_ = winsock::socket(addrFamily_, NativeSocketType(type_), proto_);
    if (hSocket_ == INVALID_SOCKET) {
        ReportSocketError("Connect (socket)");
        return;
    }
    closeInvoked_ = false; // a new connection, whose close is still to be reported
    StartOrDrop(&TCustomWSocket::StartConnect);
}

void TCustomWSocket::ResolveEnds(bool ForListen) {
    if (!protoResolved_) {
        proto_ = WSocketResolveProto(protoStr_);
        protoResolved_ = true;
    }
    // A listener is a stream socket unless it receives datagrams.
    type_ = proto_ == IPPROTO_UDP ? 2 : proto_ == IPPROTO_TCP || ForListen ? 1 : 3;
    if (!portResolved_) {
        portNum_ = WSocketResolvePort(portStr_, protoStr_);
        sin_.sin_port = htons(portNum_);
        portResolved_ = true;
    }
    if (!ForListen && !localPortResolved_) {
        localPortNum_ = WSocketResolvePort(localPortStr_, protoStr_);
        localPortResolved_ = true;
    }
    if (!addrResolved_) {
        sin_.sin_addr.s_addr = WSocketResolveHost(addrStr_);
        addrResolved_ = true;
    }
}

// A set-up that fails half way must not keep its descriptor: the socket would stay in use
// and refuse every later Connect, or leak it when the next one overwrites it.
void TCustomWSocket::StartOrDrop(bool (TCustomWSocket::*Start)()) {
    bool started = false;
    try {
        started = (this->*Start)();
    } catch (...) {
        DropFailedHandle();
        throw;
    }
    if (!started) DropFailedHandle();
}

void TCustomWSocket::DropFailedHandle() {
    if (hSocket_ != INVALID_SOCKET) {
        winsock::closesocket(hSocket_);
        hSocket_ = INVALID_SOCKET;
    }
    if (state_ != wsClosed) SetState(wsClosed);
}

bool TCustomWSocket::StartConnect() {
    SetState(wsOpened);
    if (state_ != wsOpened) {
        winsock::WSASetLastError(WSAEINVAL);
        ReportSocketError("Connect (Invalid operation in OnChangeState)");
        return false;
    }

    const int on = -1; // any non-zero value sets a Boolean option
    if (type_ == 2) {
        if (!BindLocal()) return false;
        if (multiCast_ && multiCastIpTTL_ != 1) {
            const int ttl = multiCastIpTTL_;
            if (winsock::setsockopt(hSocket_, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) !=
                0) {
                ReportSocketError("setsockopt(IP_MULTICAST_TTL)");
                return false;
            }
        }
        if (sin_.sin_addr.s_addr == INADDR_BROADCAST) {
            const int one = 1;
            if (winsock::setsockopt(hSocket_, SOL_SOCKET, SO_BROADCAST, &one, sizeof one) != 0) {
                ReportSocketError("setsockopt(SO_BROADCAST)");
                return false;
            }
        }
    } else {
        if (winsock::setsockopt(hSocket_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
            ReportSocketError("setsockopt(SO_REUSEADDR)");
            return false;
        }
        if (componentOptions_.Contains(wsoTcpNoDelay) &&
            winsock::setsockopt(hSocket_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
            ReportSocketError("setsockopt(IPPROTO_TCP, TCP_NODELAY)");
            return false;
        }
        if (!ApplyLinger()) return false;
        if (winsock::setsockopt(hSocket_, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0) {
            ReportSocketError("setsockopt(SO_KEEPALIVE)");
            return false;
        }
        if ((localPortNum_ != 0 || localAddr_ != "0.0.0.0") && !BindLocal()) return false;
    }

    selectEvent_ = FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE;
    if (winsock::WSAAsyncSelect(hSocket_, window_, WM_SOCKET_EVENT, selectEvent_) != 0) {
        ReportSocketError("WSAAsyncSelect");
        return false;
    }
    if (type_ == 2) {
        SetState(wsConnected);
        TriggerSessionConnected(0);
        return true;
    }
    if (winsock::connect(hSocket_, sin_) == 0 || winsock::WSAGetLastError() == WSAEWOULDBLOCK) {
        SetState(wsConnecting);
        return true;
    }
    lastError_ = winsock::WSAGetLastError();
    ReportSocketError("Connect");
    return false;
}

bool TCustomWSocket::ApplyLinger() {
    if (lingerOnOff_ == wsLingerNoSet) return true;
    if (hSocket_ == INVALID_SOCKET) {
        ReportError("Cannot set linger option at this time");
        return false;
    }
    linger value{};
    value.l_onoff = lingerOnOff_ == wsLingerOn ? 1 : 0;
    // The original option holds the seconds in 16 bits.
    value.l_linger = std::clamp(lingerTimeout_, 0, 65535);
    if (winsock::setsockopt(hSocket_, SOL_SOCKET, SO_LINGER, &value, sizeof value) == 0)
        return true;
    ReportSocketError("setsockopt(SO_LINGER)");
    return false;
}

bool TCustomWSocket::BindLocal() {
    sockaddr_in local{};
    local.sin_family = static_cast<sa_family_t>(addrFamily_);
    local.sin_port = htons(localPortNum_);
    local.sin_addr.s_addr = WSocketResolveHost(localAddr_);
    if (winsock::bind(hSocket_, local) != 0) {
        ReportErrorFmt("winsock.bind failed, error #%d", winsock::WSAGetLastError());
        return false;
    }
    sockaddr_in bound{};
    if (winsock::getsockname(hSocket_, &bound) != 0) {
        ReportErrorFmt("winsock.getsockname failed, error #%d", winsock::WSAGetLastError());
        return false;
    }
    localPortNum_ = ntohs(bound.sin_port);
    localPortStr_ = std::to_string(localPortNum_);
    return true;
}

void TCustomWSocket::InternalClose(bool HalfClose, std::uint16_t Error) {
    if (hSocket_ == INVALID_SOCKET) {
        if (state_ != wsClosed) {
            SetState(wsClosed);
            ResetToDefaults();
        }
        return;
    }
    if (state_ == wsClosed) return;
    if (HalfClose) Shutdown(1);
    while (winsock::closesocket(hSocket_) != 0) {
        const int error = winsock::WSAGetLastError();
        if (error == WSAEWOULDBLOCK) {
            PumpEvents();
            continue;
        }
        hSocket_ = INVALID_SOCKET;
        if (error != WSANOTINITIALISED) {
            ReportSocketError("Disconnect (closesocket)");
            return;
        }
        break;
    }
    hSocket_ = INVALID_SOCKET;
    SetState(wsClosed);
    if (!IsDestroying() && !closeInvoked_) {
        closeInvoked_ = true;
        TriggerSessionClosed(Error);
    }
    // A handler that already opened the next connection from OnSessionClosed keeps it: the
    // reset would otherwise orphan the new descriptor and wipe its settings.
    if (hSocket_ != INVALID_SOCKET) return;
    try {
        ResetToDefaults();
    } catch (...) {
    }
}

void TCustomWSocket::Close() {
    InternalClose(true, 0);
}

void TCustomWSocket::Abort() {
    CancelDnsLookup();
    DiscardSendQueue();
    if (state_ == wsConnected && proto_ == IPPROTO_TCP) {
        lingerOnOff_ = wsLingerOff;
        ApplyLinger();
    }
    InternalClose(false, 0);
}

void TCustomWSocket::Shutdown(int How) {
    if (hSocket_ != INVALID_SOCKET) winsock::shutdown(hSocket_, How);
}

void TCustomWSocket::Flush() {
    while (hSocket_ != INVALID_SOCKET && !allSent_) {
        TryToSend();
        PumpEvents();
    }
}
