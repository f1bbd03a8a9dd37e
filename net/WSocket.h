#pragma once

#include "net/WSockBuf.h"
#include "net/WSocketLibrary.h"
#include "net/WSocketLine.h"
#include "net/WSocketSocks.h"
#include "net/WinsockEmulation.h"
#include "ui/Component.h"
#include "ui/EventLoop.h"
#include "ui/Exceptions.h"
#include "ui/StringList.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <netinet/in.h>

enum TSocketState {
    wsInvalidState,
    wsOpened,
    wsBound,
    wsConnecting,
    wsConnected,
    wsAccepting,
    wsListening,
    wsClosed
};

enum TSocketSendFlags { wsSendNormal, wsSendUrgent };

enum TSocketLingerOnOff { wsLingerOff, wsLingerOn, wsLingerNoSet };

enum TWSocketOption { wsoNoReceiveLoop, wsoTcpNoDelay };

// A set of TWSocketOption.
class TWSocketOptions {
public:
    constexpr TWSocketOptions() = default;
    constexpr TWSocketOptions(std::initializer_list<TWSocketOption> options) {
        for (TWSocketOption option : options)
            bits_ |= Bit(option);
    }
    constexpr bool Contains(TWSocketOption option) const { return (bits_ & Bit(option)) != 0; }
    constexpr TWSocketOptions& Include(TWSocketOption option) {
        bits_ |= Bit(option);
        return *this;
    }
    constexpr TWSocketOptions& Exclude(TWSocketOption option) {
        bits_ &= static_cast<std::uint8_t>(~Bit(option));
        return *this;
    }
    constexpr bool Empty() const { return bits_ == 0; }
    constexpr bool operator==(const TWSocketOptions&) const = default;

private:
    static constexpr std::uint8_t Bit(TWSocketOption option) {
        return static_cast<std::uint8_t>(1u << option);
    }
    std::uint8_t bits_ = 0;
};

// Notifications on a socket's own endpoint.
constexpr std::uint32_t WM_SOCKET_EVENT = WM_USER + 1;
constexpr std::uint32_t WM_SOCKET_LOOKUP_DONE = WM_USER + 2;
constexpr std::uint32_t WM_SOCKET_REVERSE_LOOKUP_DONE = WM_USER + 3;
constexpr std::uint32_t WM_SOCKET_CLOSE_LATER = WM_USER + 4;
constexpr std::uint32_t WM_SOCKET_FREE_LATER = WM_USER + 5;
constexpr std::uint32_t WM_SOCKET_TEST_EXCEPTION = WM_USER + 6;

using TSessionAvailable = std::function<void(TObject* Sender, std::uint16_t Error)>;
using TSessionConnected = std::function<void(TObject* Sender, std::uint16_t Error)>;
using TSessionClosed = std::function<void(TObject* Sender, std::uint16_t Error)>;
using TDataAvailable = std::function<void(TObject* Sender, std::uint16_t Error)>;
using TDataSent = std::function<void(TObject* Sender, std::uint16_t Error)>;
using TDnsLookupDone = std::function<void(TObject* Sender, std::uint16_t Error)>;
using TSendData = std::function<void(TObject* Sender, std::int32_t BytesSent)>;
using TChangeState =
    std::function<void(TObject* Sender, TSocketState OldState, TSocketState NewState)>;
using TBgExceptionEvent = std::function<void(TObject* Sender, Exception& E, bool& CanClose)>;
using TNotifyEvent = std::function<void(TObject* Sender)>;

// The non-blocking IPv4 socket. Every outcome arrives as an event from the event loop; the
// SOCKS, line and synchronous layers derive from it and override the virtual hooks.
//
// A socket destroyed from inside one of its own handlers must use PostFree, which deletes the
// object later from the event loop; such a socket must have been created with new and must
// not be owned by anything else at that point.
class TCustomWSocket : public TComponent {
public:
    explicit TCustomWSocket(TComponent* AOwner = nullptr);
    ~TCustomWSocket() override;

    // Remote host, port and protocol; changeable only while closed.
    const std::string& Addr() const noexcept { return addrStr_; }
    void SetAddr(const std::string& Value);
    const std::string& Port() const noexcept { return portStr_; }
    virtual void SetPort(const std::string& Value);
    const std::string& Proto() const noexcept { return protoStr_; }
    virtual void SetProto(const std::string& Value);
    const std::string& LocalAddr() const noexcept { return localAddr_; }
    void SetLocalAddr(const std::string& Value);
    const std::string& LocalPort() const noexcept { return localPortStr_; }
    void SetLocalPort(const std::string& Value);

    // "error" outside wsConnected or when the system cannot tell.
    virtual std::string PeerAddr();
    virtual std::string PeerPort();
    // Bound local port and address, "error" when there is no bound handle.
    virtual std::string GetBoundPort();
    virtual std::string GetBoundAddr();
    virtual int GetPeerName(sockaddr_in& Name);
    virtual int GetSockName(sockaddr_in& Name);

    const std::string& DnsResult() const noexcept { return dnsResult_; }
    const TStringList& DnsResultList() const noexcept { return dnsResultList_; }
    TSocketState State() const noexcept { return state_; }
    virtual int RcvdCount();
    int LastError() const noexcept { return lastError_; }
    TSocket HSocket() const noexcept { return hSocket_; }
    HWND Handle() const noexcept { return window_; }
    bool AllSent() const noexcept { return allSent_; }
    bool Terminated() const noexcept { return terminated_; }
    // True while one of the socket's event handlers runs. The socket's own code is then on the
    // stack below the handler, so an owner that goes away meanwhile must free it with PostFree.
    bool InHandler() const noexcept { return handlersRunning_ > 0; }

    bool MultiThreaded() const noexcept { return multiThreaded_; }
    void SetMultiThreaded(bool Value) noexcept { multiThreaded_ = Value; }
    TWSocketOptions ComponentOptions() const noexcept { return componentOptions_; }
    void SetComponentOptions(TWSocketOptions Value) noexcept { componentOptions_ = Value; }
    TSocketSendFlags SendFlags() const noexcept { return sendFlags_; }
    void SetSendFlags(TSocketSendFlags Value);
    TSocketLingerOnOff LingerOnOff() const noexcept { return lingerOnOff_; }
    void SetLingerOnOff(TSocketLingerOnOff Value) noexcept { lingerOnOff_ = Value; }
    int LingerTimeout() const noexcept { return lingerTimeout_; }
    void SetLingerTimeout(int Value) noexcept { lingerTimeout_ = Value; }
    bool MultiCast() const noexcept { return multiCast_; }
    void SetMultiCast(bool Value) noexcept { multiCast_ = Value; }
    const std::string& MultiCastAddrStr() const noexcept { return multiCastAddrStr_; }
    void SetMultiCastAddrStr(const std::string& Value) { multiCastAddrStr_ = Value; }
    int MultiCastIpTTL() const noexcept { return multiCastIpTTL_; }
    void SetMultiCastIpTTL(int Value) noexcept { multiCastIpTTL_ = Value; }
    bool ReuseAddr() const noexcept { return reuseAddr_; }
    void SetReuseAddr(bool Value) noexcept { reuseAddr_ = Value; }

    virtual void Connect();
    virtual void Close();
    virtual void PostClose();
    virtual void PostFree();
    virtual void Abort();
    virtual void Flush();
    virtual void Shutdown(int How);

    // Returns Len (0 for Len <= 0) once everything is queued, -1 when not connected.
    virtual int Send(const void* Data, int Len);
    virtual int SendText(const std::string& Str);
    void QueueSendData(const void* Data, int Len);
    // Bytes copied; 0 when the peer closed; -1 on error with LastError set.
    virtual int Receive(void* Buffer, int BufferSize);
    virtual std::string ReceiveText();

    virtual void DnsLookup(const std::string& HostName);
    virtual void ReverseDnsLookup(const std::string& HostAddr);
    virtual void CancelDnsLookup();

    // Processes pending event-loop messages once.
    virtual void PumpEvents();
    // The same processing for a socket used on its own thread; a quit request sets
    // Terminated().
    void PumpThreadQueue();

    // Server side, adoption and datagrams. Listen binds Addr:Port and listens (stream) or
    // receives (Proto 17). Accept returns the handle of one waiting connection (a later
    // connection is signalled again only after it), for another socket to Dup; until then
    // the caller owns it. ReuseAddr lets Listen share or take over a port. SendTo and ReceiveFrom
    // work without a connection; a datagram larger than the buffer fails with 10040. Pause holds
    // every event, Resume brings back what is still pending, a close included.
    virtual void Listen();
    virtual TSocket Accept();
    virtual void Dup(TSocket NewHSocket);
    virtual int SendTo(const sockaddr_in& Dest, const void* Data, int Len);
    virtual int ReceiveFrom(void* Buffer, int BufferSize, sockaddr_in& From);
    virtual void Pause();
    virtual void Resume();

    TSessionAvailable OnSessionAvailable;
    TSessionConnected OnSessionConnected;
    TSessionClosed OnSessionClosed;
    TChangeState OnChangeState;
    TDataAvailable OnDataAvailable;
    TDataSent OnDataSent;
    TSendData OnSendData;
    TDnsLookupDone OnDnsLookupDone;
    TNotifyEvent OnError;
    TBgExceptionEvent OnBgException;

protected:
    // Handles one message of the socket's endpoint. Runs inside the protection that hands an
    // escaping Exception to ReportBackgroundException. The free request (WM_USER+5) deletes
    // the object: an override must not touch it after passing that message to this version.
    virtual void HandleNotification(TMessage& Msg);
    // Runs at the end of every close and once at creation; at creation it is this class's
    // version (C++ constructors do not dispatch to overrides), so a layer that extends the reset
    // also sets its own fields in its constructor.
    virtual void ResetToDefaults();
    virtual void InternalClose(bool HalfClose, std::uint16_t Error);
    // False when the failure was reported and the caller must stop (OnError assigned).
    virtual bool BindLocal();
    virtual int RawSend(const void* Data, int Len);
    virtual int RawReceive(void* Buffer, int BufferSize);
    virtual void ReportError(const std::string& Msg);
    // printf-style formatting of the message, then ReportError.
    void ReportErrorFmt(const char* Fmt, ...) __attribute__((format(printf, 2, 3)));
    virtual void ReportBackgroundException(Exception& E);
    // "Error <code> in function <name>" CR LF text, from the last socket error.
    void ReportSocketError(const std::string& FunctionName);
    // The connected peer's address; false, with the error reported under FunctionName, when
    // there is none.
    bool PeerName(sockaddr_in& name, const char* FunctionName);

    // Returns whether an OnDataAvailable handler took the data.
    virtual bool TriggerDataAvailable(std::uint16_t Error);
    virtual void TriggerSessionAvailable(std::uint16_t Error);
    virtual void TriggerSessionConnected(std::uint16_t Error);
    virtual void TriggerSessionClosed(std::uint16_t Error);
    virtual void TriggerDataSent(std::uint16_t Error);
    virtual void TriggerSendData(std::int32_t BytesSent);
    virtual void TriggerChangeState(TSocketState OldState, TSocketState NewState);
    virtual void TriggerDnsLookupDone(std::uint16_t Error);
    virtual void TriggerError();

    void SetState(TSocketState NewState);
    void ReceiveLoop(std::uint16_t Error, TWSocketOptions Options);
    // Hands the queue to the platform. Several queued blocks go out in one gathering write
    // rather than through RawSend; OnSendData still reports each block's share.
    void TryToSend();
    void DiscardSendQueue();
    bool ApplyLinger(); // false as BindLocal
    void SetLastSocketError(int Error) noexcept;

    // Socket handle, endpoint and send queue.
    TSocket hSocket_ = INVALID_SOCKET;
    HWND window_ = 0;
    std::deque<std::unique_ptr<TBuffer>> bufList_;
    std::int32_t bufSize_ = 1460;
    bool allSent_ = true;
    bool paused_ = false;
    bool closeInvoked_ = false; // OnSessionClosed already fired in this session
    long selectEvent_ = 0;
    TSocketState state_ = wsClosed;

    // Remote and local end; the resolved flags tell what Connect must still resolve.
    int addrFamily_ = AF_INET;
    int type_ = 1; // 1 stream, 2 datagram, 3 raw
    int proto_ = IPPROTO_TCP;
    sockaddr_in sin_{};
    std::string addrStr_;
    std::string portStr_;
    std::string protoStr_ = "tcp";
    std::string localAddr_ = "0.0.0.0";
    std::string localPortStr_ = "0";
    bool addrAssigned_ = false;
    bool addrResolved_ = false;
    bool portAssigned_ = false;
    bool portResolved_ = false;
    bool protoAssigned_ = true;
    bool protoResolved_ = false;
    bool localPortResolved_ = false;
    std::uint16_t portNum_ = 0;
    std::uint16_t localPortNum_ = 0;

    // Name lookup.
    TAsyncHandle dnsLookupHandle_ = 0;
    bool dnsSaved_ = false;
    TMessage dnsSavedMsg_{};
    std::string dnsResult_;
    TStringList dnsResultList_;

    int lastError_ = 0;
    bool terminated_ = false;
    TSocket lastAcceptHandle_ = INVALID_SOCKET;

    bool multiThreaded_ = false;
    TWSocketOptions componentOptions_;
    TSocketSendFlags sendFlags_ = wsSendNormal;
    TSocketLingerOnOff lingerOnOff_ = wsLingerOn;
    int lingerTimeout_ = 0;
    bool multiCast_ = false;
    std::string multiCastAddrStr_;
    int multiCastIpTTL_ = 1;
    bool reuseAddr_ = false;

    // Runs an event's handler, if one is assigned. A copy runs, so a handler that reassigns or
    // clears its own event (an owner going away) does not destroy the code that is running.
    template <typename Event, typename... Args> void Fire(const Event& event, Args... args) {
        if (!event) return;
        const Event handler = event;
        ++handlersRunning_;
        struct TLeave {
            int& count;
            ~TLeave() { --count; }
        } leave{handlersRunning_};
        handler(this, args...);
    }

private:
    int handlersRunning_ = 0;
    void ForgetLookup();
    // Connect after the descriptor exists: options, registration, the connect itself; false
    // when a failure was reported without an exception.
    bool StartConnect();
    // Closes the descriptor of a connect that failed, without a close event (no connection
    // was made), so the next Connect starts afresh.
    void DropFailedHandle();
    void SetRemoteField(const std::string& Value, const char* Name, std::string& Text,
                        bool& Assigned, bool& Resolved);
    // Resolves what is not yet resolved of Proto, Port (and for a connect LocalPort) and Addr;
    // raises the resolver's exception.
    void ResolveEnds(bool ForListen);
    // Runs the set-up of a new descriptor; one that fails or raises leaves no descriptor.
    void StartOrDrop(bool (TCustomWSocket::*Start)());
    // Listen and Dup after the descriptor exists; false as StartConnect.
    bool StartListen();
    bool StartAdopted();
    bool JoinMulticastGroup();
    bool sending_ = false;               // inside TryToSend
    std::uint32_t platformReceives_ = 0; // reads from the platform, for the receive loop
    // Drained blocks kept for the next QueueSendData instead of a free and an allocation
    // per block; bounded, so a burst does not pin memory.
    std::vector<std::unique_ptr<TBuffer>> spareBlocks_;
    std::unique_ptr<TBuffer> NewBlock();
    void RetireFrontBlock();
    bool SendGathered(); // true when everything offered was taken
    void SendFailed();
    void WndProc(TMessage& Msg);
    void HandleSocketEvent(WPARAM Handle, std::uint16_t Events, std::uint16_t Error);
    // Collects a finished lookup; false when it is not the one this socket waits for.
    bool TakeLookupResult(TAsyncHandle handle, TLookupResult& result);
    void HandleLookupDone(TMessage& Msg);
    void HandleReverseLookupDone(TMessage& Msg);
};

// Proxy layer: with SocksServer set, Connect reaches the proxy, and the SOCKS 4, 4A or 5
// handshake runs inside the receive path; OnSessionConnected fires once the proxy reports the
// destination connected, or with the failure's code, followed by the close. Without a proxy
// everything passes through.
class TCustomSocksWSocket : public TCustomWSocket {
public:
    using TCustomWSocket::TCustomWSocket;

    // Proxy host and port; changeable only while closed, and cleared by every close.
    const std::string& SocksServer() const noexcept { return socksServer_; }
    virtual void SetSocksServer(const std::string& Value);
    const std::string& SocksPort() const noexcept { return socksPort_; }
    virtual void SetSocksPort(const std::string& Value);
    // "4", "4A" or "5"; "5" again after every close.
    const std::string& SocksLevel() const noexcept { return socksLevel_; }
    void SetSocksLevel(const std::string& Value);
    const std::string& SocksUsercode() const noexcept { return socksUsercode_; }
    void SetSocksUsercode(const std::string& Value) { socksUsercode_ = Value; }
    const std::string& SocksPassword() const noexcept { return socksPassword_; }
    void SetSocksPassword(const std::string& Value) { socksPassword_ = Value; }
    TSocksAuthentication SocksAuthentication() const noexcept { return socksAuthentication_; }
    void SetSocksAuthentication(TSocksAuthentication Value) noexcept {
        socksAuthentication_ = Value;
    }

    // Serves the bytes that came behind the proxy's reply first.
    int RcvdCount() override;
    void Connect() override;
    void Listen() override;
    void Resume() override;

    TSessionConnected OnSocksConnected;
    TSocksErrorEvent OnSocksError;
    TSocksAuthStateEvent OnSocksAuthState;

protected:
    virtual void TriggerSocksConnected(std::uint16_t Error);
    virtual void TriggerSocksError(std::int32_t Error, const std::string& Msg);
    virtual void TriggerSocksAuthState(TSocksAuthState AuthState);

    void ResetToDefaults() override;
    bool TriggerDataAvailable(std::uint16_t Error) override;
    void TriggerSessionConnected(std::uint16_t Error) override;
    void TriggerSessionClosed(std::uint16_t Error) override;
    int RawReceive(void* Buffer, int BufferSize) override;

    // While the handshake owns the received bytes, the layers above keep out.
    bool SocksHandshaking() const noexcept { return socksState_ != socksStateIdle; }

private:
    bool SocksLevel4() const noexcept { return socksLevel_[0] == '4'; }
    // The connection Handle is still the one in use: a handler may have closed it.
    bool Still(TSocket Handle) const noexcept {
        return hSocket_ == Handle && state_ == wsConnected;
    }
    void SendSocksConnectRequest();
    void SendSocksCredentials();
    void SendHandshake(const std::string& Bytes);
    // Reads behind the reply bytes already in, up to Limit in all; false when nothing came
    // (a failure it has reported included).
    bool ReadSocksReply(std::size_t Limit);
    // The handshake step for the bytes in the reply buffer; one per state. The result is the
    // receive loop's: whether the data was taken.
    bool SocksMethodsStep();
    bool SocksAuthStep();
    bool SocksConnectStep();
    // The proxy reported the destination connected: on to the application.
    bool SocksAccepted(const TSocksVerdict& Verdict);
    // OnSocksError, OnSessionConnected(Code) unless Connected is false, then the close with
    // Code; every step runs even when a handler raises.
    void FailSocks(std::int32_t Code, const std::string& Msg, bool Connected = true);
    // Offers the bytes left behind the reply until they are read, then the platform's.
    bool DeliverData(std::uint16_t Error);

    TSocksState socksState_ = socksStateIdle;
    std::string socksServer_;
    std::string socksPort_;
    std::string socksLevel_ = "5";
    std::string socksUsercode_;
    std::string socksPassword_;
    TSocksAuthentication socksAuthentication_ = socksNoAuthentication;
    bool socksServerAssigned_ = false;
    std::uint8_t socksMethod_ = 0; // offered to a version 5 proxy
    unsigned char socksReply_[kSocksReplySize] = {};
    std::size_t socksRcvdCount_ = 0;
    // Application bytes that came behind the version 5 reply, not read yet.
    std::size_t socksLeftover_ = 0;
    std::size_t socksLeftoverPos_ = 0;
    std::uint16_t socksDestPort_ = 0; // host order
    std::string socksBoundAddr_;
    std::string socksBoundPort_;
};

class TTlsSession;

// Completion of a handshake started by StartTls: 0, or TlsFailed with the reason in
// TlsErrorText().
constexpr std::uint16_t TlsFailed = 12010;

// How a protocol client secures its connection: not at all, with TLS from the start, or with
// TLS it asks for after the greeting and must get (never falling back to plain text).
enum TSecurityMode { secNone, secTls, secStartTls };

// TLS layer: encrypts the connection either right after connect (TlsImplicit; OnSessionConnected
// then comes once the handshake is through, with TlsFailed when it is not) or on request
// after a plain-text start (StartTls; OnTlsDone reports the outcome). The server's certificate
// must verify against the system store and be valid for TlsHostName, unless TlsPin names its
// SHA-256 fingerprint. A failed handshake closes the connection after its report. Above this
// layer everything is plaintext.
//
// With TlsCertFile set the socket is the server's end instead, presenting that certificate
// (and the key of TlsKeyFile) and asking the client for none: a connection adopted by Dup with
// TlsImplicit set starts the handshake at once, and StartTls starts it after a plain-text
// request; OnTlsDone reports either. What is sent meanwhile goes out once it is through.
class TCustomTlsWSocket : public TCustomSocksWSocket {
public:
    explicit TCustomTlsWSocket(TComponent* AOwner = nullptr);
    ~TCustomTlsWSocket() override;

    bool TlsImplicit() const noexcept { return tlsImplicit_; }
    void SetTlsImplicit(bool Value) noexcept { tlsImplicit_ = Value; }
    // The name the certificate must be valid for; empty means Addr.
    const std::string& TlsHostName() const noexcept { return tlsHostName_; }
    void SetTlsHostName(const std::string& Value) { tlsHostName_ = Value; }
    const std::string& TlsPin() const noexcept { return tlsPin_; }
    void SetTlsPin(const std::string& Value) { tlsPin_ = Value; }
    // The server's certificate chain and private key (PEM files); a certificate makes the
    // socket the server's end of the handshake.
    const std::string& TlsCertFile() const noexcept { return tlsCertFile_; }
    void SetTlsCertFile(const std::string& Value) { tlsCertFile_ = Value; }
    const std::string& TlsKeyFile() const noexcept { return tlsKeyFile_; }
    void SetTlsKeyFile(const std::string& Value) { tlsKeyFile_ = Value; }
    bool TlsServer() const noexcept { return !tlsCertFile_.empty(); }

    // Starts the handshake on a plain connection. A client drops whatever the server sent
    // before unread: it came in clear and must never pass for a protected reply. A server
    // calls it once its plain reply to the request is sent (queued is enough: the handshake's
    // bytes queue behind it) and keeps what came behind the request, the client's hello.
    virtual void StartTls();
    // The handshake is through and the certificate accepted.
    bool TlsActive() const noexcept;
    bool TlsHandshaking() const noexcept { return handshaking_; }
    const std::string& TlsErrorText() const noexcept { return tlsError_; }

    void Connect() override;
    void Close() override;
    void Dup(TSocket NewHSocket) override;
    int Send(const void* Data, int Len) override;
    int RcvdCount() override;

    TSessionConnected OnTlsDone;

protected:
    virtual void TriggerTlsDone(std::uint16_t Error);
    void HandleNotification(TMessage& Msg) override;
    void InternalClose(bool HalfClose, std::uint16_t Error) override;
    int RawReceive(void* Buffer, int BufferSize) override;
    bool TriggerDataAvailable(std::uint16_t Error) override;
    void TriggerSessionConnected(std::uint16_t Error) override;
    void TriggerSessionClosed(std::uint16_t Error) override;
    void TriggerDataSent(std::uint16_t Error) override;

private:
    void BeginHandshake();
    void AdvanceHandshake();
    // Reports the end of the handshake the way it was started; a failure then closes.
    void FinishHandshake(const std::string& Failure);
    void FlushTls();
    void ReadAgainLater();
    void DropTls() noexcept;
    std::string PeerClosedText() const;

    std::unique_ptr<TTlsSession> tls_;
    bool tlsImplicit_ = false;
    std::string tlsHostName_;
    std::string tlsPin_;
    std::string tlsCertFile_;
    std::string tlsKeyFile_;
    std::string tlsError_;
    bool handshaking_ = false;
    bool implicitPending_ = false; // OnSessionConnected waits for the handshake
    bool readPosted_ = false;      // a read notification of our own is on its way
    bool peerEnded_ = false;       // the peer closed its side under TLS
    std::string earlyOut_;         // plaintext sent while the handshake was under way
};

// Line mode: received bytes are collected, and OnDataAvailable fires once per complete line,
// during which Receive and ReceiveText serve exactly that line (line end included). Optional
// echo and backspace/tab editing; a limit event when bytes pile up without a line end.
class TCustomLineWSocket : public TCustomTlsWSocket {
public:
    explicit TCustomLineWSocket(TComponent* AOwner = nullptr);
    ~TCustomLineWSocket() override;

    bool LineMode() const noexcept { return lineMode_; }
    virtual void SetLineMode(bool Value);
    const std::string& LineEnd() const noexcept { return lineEnd_; }
    void SetLineEnd(const std::string& Value);
    int LineLimit() const noexcept { return lineLimit_; }
    void SetLineLimit(int Value) noexcept { lineLimit_ = Value; }
    bool LineEcho() const noexcept { return lineEcho_; }
    void SetLineEcho(bool Value) noexcept { lineEcho_ = Value; }
    bool LineEdit() const noexcept { return lineEdit_; }
    void SetLineEdit(bool Value) noexcept { lineEdit_ = Value; }

    // During a line's delivery: the bytes of it not read yet; 0 between deliveries.
    int RcvdCount() override;
    // Buffered lines came in clear before the handshake: they are dropped too.
    void StartTls() override;

    TLineLimitEvent OnLineLimitExceeded;

protected:
    virtual void TriggerLineLimitExceeded(std::int32_t Count, bool& ClearData);
    // Edits the Fresh bytes just read behind the buffered ones and gives what to echo;
    // false when the edited text would pass the buffer ceiling.
    virtual bool ApplyLineEditing(std::size_t& Fresh, std::string& Echo);

    void HandleNotification(TMessage& Msg) override;
    int RawReceive(void* Buffer, int BufferSize) override;
    bool TriggerDataAvailable(std::uint16_t Error) override;
    void TriggerSessionClosed(std::uint16_t Error) override;

private:
    bool LineActive() const noexcept {
        return lineMode_ && !lineEnd_.empty() && !SocksHandshaking();
    }
    // Makes room for Extra more bytes behind the buffered ones (and the trailing zero);
    // false at the ceiling.
    bool Reserve(std::size_t Extra);
    void Consume(std::size_t Count) noexcept;
    void ReleaseBuffer() noexcept;
    void Terminate() noexcept;
    // Offers the complete buffered lines, scanning from SearchFrom; stops when a delivery
    // takes nothing.
    void DeliverLines(std::size_t SearchFrom);
    // Offers the line at the front (LineLength bytes) until it is read; false when a pass
    // took nothing.
    bool DeliverLine(std::size_t LineLength);
    void CheckLineLimit();
    void FailOverflow();
    // Offers what is buffered under the current mode, from the event loop or at the end.
    void OfferBuffered(bool EndOfInput);

    bool lineMode_ = false;
    std::string lineEnd_ = "\r\n";
    int lineLimit_ = 65536;
    bool lineEcho_ = false;
    bool lineEdit_ = false;

    // The unread bytes are buffer_[start_, start_ + count_), followed by a zero byte; the
    // line being delivered is their first lineLength_ bytes.
    std::unique_ptr<char[]> buffer_;
    std::size_t capacity_ = 0;
    std::size_t start_ = 0;
    std::size_t count_ = 0;
    std::size_t lineLength_ = 0;
    bool clearData_ = false;
    bool scanned_ = true;     // the buffered bytes were searched and hold no line end
    int delivering_ = 0;      // nesting of line deliveries (handlers may pump the event loop)
    bool redeliver_ = false;  // offer the buffer again once the outermost delivery ends
    std::uint64_t taken_ = 0; // bytes taken out of the buffer so far, to see progress
    friend class TLineDelivery;
};

// Result of a wait that gave up: the time limit passed, or the program or thread is quitting.
constexpr int WaitTimedOut = 12001;

// Synchronous waiting: keeps the event loop running until a handler sets a flag, so a caller
// can get an asynchronous outcome as a return value. The waits sleep in the event loop between
// events and may nest (handlers, user commands included, run inside them).
class TCustomSyncWSocket : public TCustomLineWSocket {
public:
    explicit TCustomSyncWSocket(TComponent* AOwner = nullptr);
    ~TCustomSyncWSocket() override;

    // Milliseconds a wait may last; 0 (or below) means no limit.
    std::int32_t TimeLimit() const noexcept { return timeLimit_; }
    void SetTimeLimit(std::int32_t Value) noexcept { timeLimit_ = Value; }

    // Clears Flag, calls Proc (when given) to start an operation, then waits for Flag.
    // An exception from Proc reaches the caller before any wait.
    virtual int RunAndWait(const std::function<void()>& Proc, bool& Flag);
    // 0 once Flag is set (tested before the clock), WaitTimedOut when the limit passes, the
    // program or thread is quitting, or the socket is destroyed while it waits. Flag must
    // outlive the call; the socket need not.
    virtual int WaitForFlag(bool& Flag);

private:
    std::int32_t timeLimit_ = 0;
    // Cleared by the destructor: a wait that outlives its socket sees it and touches nothing.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// The socket component the protocol clients use.
class TWSocket : public TCustomSyncWSocket {
public:
    using TCustomSyncWSocket::TCustomSyncWSocket;
};
