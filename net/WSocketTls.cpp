// The TLS layer of the socket: the handshake driven by the readiness events, then encryption
// of what is sent and decryption of what is received.
#include "net/TlsSession.h"
#include "net/WSocket.h"

namespace {

// Ciphertext read from the platform per call; a little more than the largest record.
constexpr int kRawChunk = 17 * 1024;
// Platform reads one receive may make before it lets other events run.
constexpr int kMaxRawReads = 64;

} // namespace

TCustomTlsWSocket::TCustomTlsWSocket(TComponent* AOwner) : TCustomSocksWSocket(AOwner) {}

TCustomTlsWSocket::~TCustomTlsWSocket() {
    Destroying();
    DropTls();
}

bool TCustomTlsWSocket::TlsActive() const noexcept {
    return tls_ && !handshaking_;
}

void TCustomTlsWSocket::DropTls() noexcept {
    tls_.reset();
    handshaking_ = false;
    implicitPending_ = false;
    peerEnded_ = false;
    // A notification posted for the last connection may never come back to this flag.
    readPosted_ = false;
    earlyOut_.clear();
}

std::string TCustomTlsWSocket::PeerClosedText() const {
    return TlsServer() ? "The client closed the connection during the TLS handshake"
                       : "The server closed the connection during the TLS handshake";
}

void TCustomTlsWSocket::Connect() {
    DropTls();
    tlsError_.clear();
    TCustomSocksWSocket::Connect();
}

void TCustomTlsWSocket::Dup(TSocket NewHSocket) {
    DropTls();
    tlsError_.clear();
    TCustomSocksWSocket::Dup(NewHSocket);
    // An accepted connection under implicit TLS is secured before anything else is said.
    if (tlsImplicit_ && TlsServer() && state_ == wsConnected && type_ == 1) BeginHandshake();
}

void TCustomTlsWSocket::StartTls() {
    if (state_ != wsConnected || hSocket_ == INVALID_SOCKET || tls_) {
        ReportError("StartTls: no plain connection to secure");
        return;
    }
    if (TlsServer()) {
        // The client sends its hello once it has read the reply, so what is here already
        // belongs to the handshake; a hello that is not one fails it.
        BeginHandshake();
        return;
    }
    // Bytes already here were sent before the server can have seen our hello, so they are
    // not part of the handshake; reading them as a reply later is the injection to avoid.
    char scratch[4096];
    for (int i = 0; i < kMaxRawReads; ++i) {
        unsigned long count = 0;
        if (winsock::ioctlsocket_fionread(hSocket_, &count) != 0 || count == 0) break;
        if (TCustomSocksWSocket::RawReceive(scratch, sizeof scratch) <= 0) break;
    }
    BeginHandshake();
}

void TCustomTlsWSocket::BeginHandshake() {
    tlsError_.clear();
    peerEnded_ = false;
    if (TlsServer()) {
        tls_ = TTlsSession::Server(tlsCertFile_, tlsKeyFile_);
        handshaking_ = true;
        // The client speaks first. Its hello, or a certificate that cannot be loaded, is taken
        // up from the event loop, never inside the call that started the handshake.
        ReadAgainLater();
        return;
    }
    const std::string& host = tlsHostName_.empty() ? addrStr_ : tlsHostName_;
    tls_ = std::make_unique<TTlsSession>(host, tlsPin_);
    handshaking_ = true;
    AdvanceHandshake();
}

void TCustomTlsWSocket::AdvanceHandshake() {
    const TSocket handle = hSocket_;
    char raw[kRawChunk];
    for (int reads = 0; handshaking_ && tls_ && hSocket_ == handle; ++reads) {
        const TTlsSession::TStep step = tls_->Handshake();
        FlushTls();
        // A send that failed closed the connection, and the session went with it.
        if (!tls_ || hSocket_ != handle) return;
        if (step == TTlsSession::tlsDone) {
            FinishHandshake({});
            return;
        }
        if (step == TTlsSession::tlsFailed) {
            FinishHandshake(tls_->ErrorText());
            return;
        }
        if (reads == kMaxRawReads) {
            ReadAgainLater();
            return;
        }
        const int n = TCustomSocksWSocket::RawReceive(raw, sizeof raw);
        if (n > 0) {
            tls_->Feed(raw, n);
            continue;
        }
        if (n == 0) {
            FinishHandshake(PeerClosedText());
            return;
        }
        const int error = winsock::WSAGetLastError();
        if (error != WSAEWOULDBLOCK)
            FinishHandshake("The TLS handshake failed: " + SocketErrorText(error));
        return;
    }
}

void TCustomTlsWSocket::FinishHandshake(const std::string& Failure) {
    const TSocket handle = hSocket_;
    handshaking_ = false;
    const bool implicit = implicitPending_;
    implicitPending_ = false;
    std::uint16_t error = 0;
    if (Failure.empty()) {
        if (!earlyOut_.empty()) {
            const std::string early = std::move(earlyOut_);
            earlyOut_.clear();
            tls_->Write(early.data(), static_cast<int>(early.size()));
            FlushTls();
        }
        // Data that came with the end of the handshake has no readiness event of its own.
        if (hSocket_ == handle && tls_ && tls_->HasBuffered()) ReadAgainLater();
    } else {
        tlsError_ = Failure;
        error = TlsFailed;
        // Nothing more may be sent in clear on this connection, and nothing sent is wanted.
        earlyOut_.clear();
    }
    if (implicit)
        TCustomSocksWSocket::TriggerSessionConnected(error);
    else
        TriggerTlsDone(error);
    if (error != 0 && hSocket_ == handle && hSocket_ != INVALID_SOCKET && state_ != wsClosed)
        Close();
}

void TCustomTlsWSocket::FlushTls() {
    std::string out;
    if (tls_ && tls_->TakeOutput(out))
        TCustomSocksWSocket::Send(out.data(), static_cast<int>(out.size()));
}

void TCustomTlsWSocket::ReadAgainLater() {
    if (readPosted_ || hSocket_ == INVALID_SOCKET) return;
    readPosted_ = true;
    PostMessage(window_, WM_SOCKET_EVENT, static_cast<WPARAM>(hSocket_), MakeLong(FD_READ, 0));
}

void TCustomTlsWSocket::HandleNotification(TMessage& Msg) {
    if (Msg.Msg != WM_SOCKET_EVENT || hSocket_ == INVALID_SOCKET ||
        static_cast<TSocket>(Msg.WParam) != hSocket_) {
        TCustomSocksWSocket::HandleNotification(Msg);
        return;
    }
    const std::uint16_t events = LoWord(Msg.LParam);
    if ((events & FD_READ) != 0) readPosted_ = false;
    if (!handshaking_ || paused_) {
        TCustomSocksWSocket::HandleNotification(Msg);
        return;
    }
    // The handshake owns the connection: nothing of it reaches the layers above.
    const TSocket handle = hSocket_;
    if ((events & FD_WRITE) != 0) TryToSend();
    if (hSocket_ == handle && (events & (FD_READ | FD_CLOSE)) != 0) AdvanceHandshake();
    if (hSocket_ == handle && handshaking_ && (events & FD_CLOSE) != 0)
        FinishHandshake(PeerClosedText());
}

void TCustomTlsWSocket::TriggerSessionConnected(std::uint16_t Error) {
    // Through a SOCKS proxy the connect reaches the proxy first; TLS starts with the target
    // once the proxy has connected us.
    if (!tlsImplicit_ || Error != 0 || type_ != 1 || SocksHandshaking()) {
        TCustomSocksWSocket::TriggerSessionConnected(Error);
        return;
    }
    implicitPending_ = true;
    BeginHandshake();
}

bool TCustomTlsWSocket::TriggerDataAvailable(std::uint16_t Error) {
    if (handshaking_) {
        AdvanceHandshake();
        return true;
    }
    return TCustomSocksWSocket::TriggerDataAvailable(Error);
}

void TCustomTlsWSocket::TriggerDataSent(std::uint16_t Error) {
    if (!handshaking_) TCustomSocksWSocket::TriggerDataSent(Error);
}

void TCustomTlsWSocket::TriggerSessionClosed(std::uint16_t Error) {
    if (handshaking_) {
        // The close outruns the handshake: its outcome is reported first, as a failure.
        const bool implicit = implicitPending_;
        handshaking_ = false;
        implicitPending_ = false;
        tlsError_ = PeerClosedText();
        if (implicit)
            TCustomSocksWSocket::TriggerSessionConnected(TlsFailed);
        else
            TriggerTlsDone(TlsFailed);
    }
    TCustomSocksWSocket::TriggerSessionClosed(Error);
}

void TCustomTlsWSocket::TriggerTlsDone(std::uint16_t Error) {
    if (!OnTlsDone) return;
    const TSessionConnected handler = OnTlsDone;
    handler(this, Error);
}

int TCustomTlsWSocket::RawReceive(void* Buffer, int BufferSize) {
    if (!tls_) return TCustomSocksWSocket::RawReceive(Buffer, BufferSize);
    if (handshaking_) AdvanceHandshake();
    if (!tls_ || handshaking_) {
        winsock::WSASetLastError(WSAEWOULDBLOCK);
        return SOCKET_ERROR;
    }
    char* out = static_cast<char*>(Buffer);
    const int size = BufferSize < 0 ? 0 : BufferSize;
    int total = 0;
    int result = 0;
    char raw[kRawChunk];
    for (int reads = 0; total < size; ++reads) {
        const int n = tls_->Read(out + total, size - total);
        if (n > 0) {
            total += n;
            continue;
        }
        if (n < 0) {
            peerEnded_ = true;
            if (!tls_->ErrorText().empty()) {
                // A broken record ends the session: nothing after it can be trusted.
                tlsError_ = tls_->ErrorText();
                winsock::WSASetLastError(WSAECONNABORTED);
                result = SOCKET_ERROR;
                PostClose();
            }
            break;
        }
        if (peerEnded_) break;
        if (reads == kMaxRawReads) {
            ReadAgainLater();
            break;
        }
        const int got = TCustomSocksWSocket::RawReceive(raw, sizeof raw);
        if (got > 0) {
            tls_->Feed(raw, got);
            continue;
        }
        if (got == 0) {
            peerEnded_ = true; // a close without the close alert ends the data all the same
            break;
        }
        result = SOCKET_ERROR;
        break;
    }
    // Reading may have produced records for the peer (a refused renegotiation, for one).
    FlushTls();
    if (total > 0) {
        if (tls_ && tls_->HasBuffered()) ReadAgainLater();
        return total;
    }
    if (result == SOCKET_ERROR && winsock::WSAGetLastError() != WSAEWOULDBLOCK) return result;
    if (peerEnded_) return 0;
    winsock::WSASetLastError(WSAEWOULDBLOCK);
    return SOCKET_ERROR;
}

int TCustomTlsWSocket::RcvdCount() {
    if (!tls_) return TCustomSocksWSocket::RcvdCount();
    return handshaking_ ? 0 : tls_->PendingPlaintext();
}

int TCustomTlsWSocket::Send(const void* Data, int Len) {
    if (!tls_ || state_ != wsConnected || Len <= 0) return TCustomSocksWSocket::Send(Data, Len);
    if (handshaking_) {
        earlyOut_.append(static_cast<const char*>(Data), static_cast<std::size_t>(Len));
        return Len;
    }
    if (!tls_->Write(static_cast<const char*>(Data), Len)) {
        tlsError_ = tls_->ErrorText();
        winsock::WSASetLastError(WSAECONNABORTED);
        ReportSocketError("Send");
        return -1;
    }
    std::string out;
    tls_->TakeOutput(out);
    if (TCustomSocksWSocket::Send(out.data(), static_cast<int>(out.size())) < 0) return -1;
    return Len;
}

void TCustomTlsWSocket::Close() {
    if (tls_ && !handshaking_ && state_ == wsConnected && hSocket_ != INVALID_SOCKET) {
        tls_->Shutdown();
        FlushTls();
    }
    TCustomSocksWSocket::Close();
}

void TCustomTlsWSocket::InternalClose(bool HalfClose, std::uint16_t Error) {
    if (handshaking_ && hSocket_ != INVALID_SOCKET && state_ != wsClosed) {
        // Closed by our side mid-handshake: the close event tells the rest.
        handshaking_ = false;
        implicitPending_ = false;
    }
    // The session belongs to this connection; one opened from OnSessionClosed starts afresh.
    DropTls();
    TCustomSocksWSocket::InternalClose(HalfClose, Error);
}
