// The socket's proxy layer: the SOCKS handshake in the receive path, its events and failures,
// and the bytes that arrive behind the proxy's last reply.
#include "net/WSocketSocks.h"

#include "net/WSocket.h"
#include "ui/SysUtils.h"

#include <algorithm>
#include <cstring>
#include <exception>

// ---- Properties ----

void TCustomSocksWSocket::SetSocksServer(const std::string& Value) {
    if (state_ != wsClosed) {
        ReportError("Can't change socks server if not closed");
        return;
    }
    socksServer_ = Trim(Value);
    socksServerAssigned_ = !socksServer_.empty();
}

void TCustomSocksWSocket::SetSocksPort(const std::string& Value) {
    if (state_ != wsClosed) {
        ReportError("Can't change socks port if not closed");
        return;
    }
    socksPort_ = Trim(Value);
}

void TCustomSocksWSocket::SetSocksLevel(const std::string& Value) {
    if (state_ != wsClosed) {
        ReportError("Can't change socks level if not closed");
        return;
    }
    if (Value == "4" || Value == "4A" || Value == "5")
        socksLevel_ = Value;
    else if (Value == "4a")
        socksLevel_ = "4A";
    else
        ReportError("Invalid socks level. Must be 4, 4A or 5.");
}

int TCustomSocksWSocket::RcvdCount() {
    if (socksLeftover_ > 0) return static_cast<int>(socksLeftover_);
    return TCustomWSocket::RcvdCount();
}

void TCustomSocksWSocket::ResetToDefaults() {
    TCustomWSocket::ResetToDefaults();
    socksState_ = socksStateIdle;
    socksServer_.clear();
    socksPort_.clear();
    socksServerAssigned_ = false;
    socksLevel_ = "5";
    socksRcvdCount_ = 0;
    socksLeftover_ = 0;
}

// ---- Connecting ----

void TCustomSocksWSocket::Connect() {
    // What the base refuses (no port, no address, a socket in use) it reports itself.
    if (!socksServerAssigned_ || !portAssigned_ || !addrAssigned_ || !protoAssigned_ ||
        (hSocket_ != INVALID_SOCKET && state_ != wsClosed)) {
        TCustomWSocket::Connect();
        return;
    }
    if (LowerCase(protoStr_) != "tcp") {
        ReportError("tcp is the only protocol supported thru socks server");
        return;
    }
    try {
        // The base connects to whatever is resolved here: the proxy.
        if (!portResolved_) {
            portNum_ = WSocketResolvePort(socksPort_, protoStr_);
            sin_.sin_port = htons(portNum_);
            portResolved_ = true;
        }
        if (!addrResolved_) {
            sin_.sin_addr.s_addr = WSocketResolveHost(socksServer_);
            addrResolved_ = true;
        }
        socksDestPort_ = WSocketResolvePort(portStr_, protoStr_);
    } catch (const Exception& E) {
        ReportError("connect: " + E.Message());
        return;
    }
    socksState_ = socksStateMethods;
    socksRcvdCount_ = 0;
    socksLeftover_ = 0;
    // A connect that never started leaves no handshake behind for the next, direct one.
    try {
        TCustomWSocket::Connect();
    } catch (...) {
        if (hSocket_ == INVALID_SOCKET) socksState_ = socksStateIdle;
        throw;
    }
    if (hSocket_ == INVALID_SOCKET) socksState_ = socksStateIdle;
}

void TCustomSocksWSocket::Listen() {
    if (socksServerAssigned_) {
        ReportError("Listening is not supported thru socks server");
        return;
    }
    TCustomWSocket::Listen();
}

void TCustomSocksWSocket::TriggerSessionConnected(std::uint16_t Error) {
    if (socksState_ != socksStateMethods) {
        TCustomWSocket::TriggerSessionConnected(Error);
        return;
    }
    const TSocket handle = hSocket_;
    TriggerSocksConnected(Error);
    if (Error != 0) {
        socksState_ = socksStateIdle;
        TCustomWSocket::TriggerSessionConnected(Error);
        return;
    }
    if (!Still(handle)) return;
    if (SocksLevel4()) {
        SendSocksConnectRequest();
        return;
    }
    socksMethod_ = socksAuthentication_ == socksAuthenticateUsercode ? 2 : 0;
    SendHandshake(std::string{5, 1, static_cast<char>(socksMethod_)});
}

void TCustomSocksWSocket::SendHandshake(const std::string& Bytes) {
    // A send that fails ends the connection, and the close reports it.
    try {
        Send(Bytes.data(), static_cast<int>(Bytes.size()));
    } catch (const Exception&) {
    }
}

void TCustomSocksWSocket::SendSocksConnectRequest() {
    socksState_ = socksStateConnect;
    if (!SocksLevel4()) {
        if (addrStr_.size() > kSocksMaxField) {
            FailSocks(kSocksFieldTooLong, "socks host name too long");
            return;
        }
        SendHandshake(Socks5ConnectRequest(addrStr_, socksDestPort_));
        return;
    }
    const bool level4A = socksLevel_ == "4A";
    if (socksUsercode_.size() > kSocksMaxField) {
        FailSocks(kSocksFieldTooLong, "socks user code too long");
        return;
    }
    if (level4A && addrStr_.size() > kSocksMaxField) {
        FailSocks(kSocksFieldTooLong, "socks host name too long");
        return;
    }
    // 0.0.0.1 tells a 4A proxy to resolve the name that follows the user code.
    std::uint32_t addr = htonl(1);
    if (!level4A) {
        try {
            addr = WSocketResolveHost(addrStr_);
        } catch (const Exception& E) {
            FailSocks(20017, std::string(E.ClassName()) + " " + E.Message(), false);
            return;
        }
    }
    SendHandshake(Socks4ConnectRequest(socksDestPort_, addr, socksUsercode_,
                                       level4A ? addrStr_ : std::string()));
}

void TCustomSocksWSocket::SendSocksCredentials() {
    socksState_ = socksStateAuth;
    const TSocket handle = hSocket_;
    TriggerSocksAuthState(socksAuthStart);
    if (!Still(handle)) return;
    if (socksUsercode_.size() > kSocksMaxField) {
        FailSocks(kSocksFieldTooLong, "socks user code too long");
        return;
    }
    if (socksPassword_.size() > kSocksMaxField) {
        FailSocks(kSocksFieldTooLong, "socks password too long");
        return;
    }
    SendHandshake(Socks5Credentials(socksUsercode_, socksPassword_));
}

// ---- The handshake in the receive path ----

bool TCustomSocksWSocket::TriggerDataAvailable(std::uint16_t Error) {
    if (socksState_ == socksStateIdle) return DeliverData(Error);
    if (Error != 0) {
        FailSocks(Error, "data receive error");
        return false;
    }
    switch (socksState_) {
    case socksStateMethods:
        return SocksMethodsStep();
    case socksStateAuth:
        return SocksAuthStep();
    case socksStateConnect:
        return SocksConnectStep();
    case socksStateIdle:
        break;
    }
    FailSocks(20013, "internal error");
    return false;
}

bool TCustomSocksWSocket::ReadSocksReply(std::size_t Limit) {
    if (socksRcvdCount_ >= Limit) {
        // Every step decides before its buffer fills; reaching the end would mean reading
        // nothing while the platform keeps signalling data.
        FailSocks(20001, "socks reply too long");
        return false;
    }
    const int n = TCustomWSocket::RawReceive(socksReply_ + socksRcvdCount_,
                                             static_cast<int>(Limit - socksRcvdCount_));
    if (n > 0) {
        socksRcvdCount_ += static_cast<std::size_t>(n);
        return true;
    }
    if (n == 0) {
        // The proxy hung up before answering, which would otherwise look like a clean close
        // of a connection that never reached its destination.
        FailSocks(WSAECONNRESET, "connection closed by socks server");
        return false;
    }
    const int error = winsock::WSAGetLastError();
    if (error != WSAEWOULDBLOCK) FailSocks(error, "data receive error");
    return false;
}

bool TCustomSocksWSocket::SocksMethodsStep() {
    if (!ReadSocksReply(kSocksReplySize - 1)) return true;
    if (SocksLevel4()) {
        FailSocks(20001, "TWSocket logic error");
        return true;
    }
    if (socksRcvdCount_ < 2) return true;
    socksRcvdCount_ = 0;
    const TSocksVerdict verdict = Socks5MethodReply(socksReply_);
    if (verdict.Result == TSocksVerdict::kFailed) {
        FailSocks(verdict.Code, verdict.Msg);
    } else if (verdict.Method == 2) {
        SendSocksCredentials();
    } else {
        const TSocket handle = hSocket_;
        if (socksMethod_ == 2) TriggerSocksAuthState(socksAuthNotRequired);
        if (Still(handle)) SendSocksConnectRequest();
    }
    return true;
}

bool TCustomSocksWSocket::SocksAuthStep() {
    if (!ReadSocksReply(kSocksReplySize - 1)) return true;
    const TSocksVerdict verdict = Socks5AuthReply(socksReply_, socksRcvdCount_);
    if (verdict.Result == TSocksVerdict::kFailed) {
        FailSocks(verdict.Code, verdict.Msg);
    } else if (verdict.Result == TSocksVerdict::kAccepted) {
        socksRcvdCount_ = 0;
        const TSocket handle = hSocket_;
        TriggerSocksAuthState(socksAuthSuccess);
        if (Still(handle)) SendSocksConnectRequest();
    }
    return true;
}

bool TCustomSocksWSocket::SocksConnectStep() {
    TSocksVerdict verdict;
    if (SocksLevel4()) {
        // Exactly the 8-byte reply: what follows is the application's, left on the platform.
        if (!ReadSocksReply(8)) return true;
        if (socksRcvdCount_ < 8) return true;
        verdict = Socks4Reply(socksReply_);
    } else {
        if (!ReadSocksReply(kSocksReplySize - 1)) return true;
        verdict = Socks5ConnectReply(socksReply_, socksRcvdCount_);
    }
    switch (verdict.Result) {
    case TSocksVerdict::kIncomplete:
        return true;
    case TSocksVerdict::kFailed:
        socksRcvdCount_ = 0;
        FailSocks(verdict.Code, verdict.Msg);
        return true;
    case TSocksVerdict::kAccepted:
        break;
    }
    return SocksAccepted(verdict);
}

bool TCustomSocksWSocket::SocksAccepted(const TSocksVerdict& Verdict) {
    socksBoundAddr_ = Verdict.BoundAddr;
    socksBoundPort_ = Verdict.BoundPort;
    // Set before OnSessionConnected, whose handler may already read them.
    socksLeftoverPos_ = Verdict.Length;
    socksLeftover_ = socksRcvdCount_ > Verdict.Length ? socksRcvdCount_ - Verdict.Length : 0;
    socksRcvdCount_ = 0;
    socksState_ = socksStateIdle;
    const TSocket handle = hSocket_;
    TriggerSessionConnected(0);
    if (!Still(handle)) return true;
    return TriggerDataAvailable(0);
}

void TCustomSocksWSocket::FailSocks(std::int32_t Code, const std::string& Msg, bool Connected) {
    // The failure must reach the client as its completion even when a handler raises: the
    // receive loop that runs us drops exceptions, and nothing else would report it.
    std::exception_ptr raised;
    const auto step = [&](auto&& action) {
        try {
            action();
        } catch (...) {
            if (!raised) raised = std::current_exception();
        }
    };
    const TSocket handle = hSocket_;
    const bool authenticating = socksState_ == socksStateAuth;
    step([&] { TriggerSocksError(Code, Msg); });
    socksState_ = socksStateIdle;
    socksLeftover_ = 0;
    const auto code = static_cast<std::uint16_t>(Code);
    if (Connected) step([&] { TriggerSessionConnected(code); });
    if (authenticating) step([&] { TriggerSocksAuthState(socksAuthFailure); });
    if (hSocket_ == handle) step([&] { InternalClose(true, code); });
    if (raised) std::rethrow_exception(raised);
}

void TCustomSocksWSocket::TriggerSessionClosed(std::uint16_t Error) {
    if (socksState_ == socksStateAuth) {
        socksState_ = socksStateIdle;
        TriggerSocksAuthState(socksAuthFailure);
    }
    TCustomWSocket::TriggerSessionClosed(Error);
}

// ---- After the handshake ----

bool TCustomSocksWSocket::DeliverData(std::uint16_t Error) {
    if (socksLeftover_ == 0) return TCustomWSocket::TriggerDataAvailable(Error);
    // Reads served from these bytes do not re-arm the platform's read notification, so they
    // are offered until they are gone or a pass takes none, whatever piece a reader takes.
    const TSocket handle = hSocket_;
    while (socksLeftover_ > 0) {
        const std::size_t before = socksLeftover_;
        if (!TCustomWSocket::TriggerDataAvailable(Error)) return false;
        if (socksLeftover_ == before || hSocket_ != handle || paused_) return true;
    }
    // Then what the platform holds, which no notification may announce again.
    unsigned long pending = 0;
    if (winsock::ioctlsocket_fionread(hSocket_, &pending) != 0 || pending == 0) return true;
    return TCustomWSocket::TriggerDataAvailable(Error);
}

int TCustomSocksWSocket::RawReceive(void* Buffer, int BufferSize) {
    if (socksLeftover_ == 0) return TCustomWSocket::RawReceive(Buffer, BufferSize);
    const std::size_t n =
        std::min(socksLeftover_, static_cast<std::size_t>(std::max(BufferSize, 0)));
    std::memcpy(Buffer, socksReply_ + socksLeftoverPos_, n);
    socksLeftoverPos_ += n;
    socksLeftover_ -= n;
    return static_cast<int>(n);
}

// ---- Events ----

void TCustomSocksWSocket::TriggerSocksConnected(std::uint16_t Error) {
    Fire(OnSocksConnected, Error);
}

void TCustomSocksWSocket::TriggerSocksError(std::int32_t Error, const std::string& Msg) {
    Fire(OnSocksError, Error, Msg);
}

void TCustomSocksWSocket::TriggerSocksAuthState(TSocksAuthState AuthState) {
    Fire(OnSocksAuthState, AuthState);
}
