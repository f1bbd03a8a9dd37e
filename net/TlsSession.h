#pragma once

// One TLS connection, apart from any socket: ciphertext from the peer goes in through Feed,
// ciphertext for the peer comes out of TakeOutput, so the socket layer can drive it from its
// own readiness events. The client side checks the server's certificate; the server side
// presents one from files and asks the client for none.

#include <memory>
#include <string>

struct ssl_ctx_st; // the library's context type

// Adds one more certificate authority file to the system store for every later connection; an
// empty path goes back to the system store alone. Tests use it for the authority they make.
void TlsSetExtraCaFile(const std::string& Path);

// A SHA-256 fingerprint in lower-case hex without separators; empty when Text (hex, colons
// and blanks allowed) is not one.
std::string TlsNormalizeFingerprint(const std::string& Text);

// Loads a certificate chain and its private key (PEM files) for the server side, kept for every
// later server session of the same pair; the reason when they cannot serve, else empty.
std::string TlsLoadServerCertificate(const std::string& CertFile, const std::string& KeyFile);

class TTlsSession {
public:
    enum TStep { tlsPending, tlsDone, tlsFailed };

    // HostName is what the certificate must be valid for (a name or a dotted address). A
    // non-empty Pin trusts exactly the certificate with that SHA-256 fingerprint instead.
    TTlsSession(const std::string& HostName, const std::string& Pin);
    // The server side, presenting the certificate of CertFile with the key of KeyFile. A pair
    // that cannot be loaded makes the first Handshake fail with the reason.
    static std::unique_ptr<TTlsSession> Server(const std::string& CertFile,
                                               const std::string& KeyFile);
    ~TTlsSession();
    TTlsSession(const TTlsSession&) = delete;
    TTlsSession& operator=(const TTlsSession&) = delete;

    // Moves the handshake on; tlsDone once it is through and, on the client side, the server's
    // certificate accepted.
    TStep Handshake();
    void Feed(const char* Data, int Size);
    // Plaintext bytes copied; 0 when more ciphertext is needed; -1 when the session has ended
    // (ErrorText empty for the peer's orderly close).
    int Read(char* Buffer, int Size);
    // False when the session can no longer send.
    bool Write(const char* Data, int Size);
    // Appends the ciphertext waiting for the peer; false when there is none.
    bool TakeOutput(std::string& Out);
    // Queues the close alert.
    void Shutdown();
    // Decrypted or received bytes not read yet.
    bool HasBuffered() const;
    int PendingPlaintext() const;
    const std::string& ErrorText() const noexcept { return errorText_; }
    // Of the peer's certificate, once the handshake has got that far (the client side).
    std::string PeerFingerprint() const;

private:
    TTlsSession(); // for Server
    struct TState;
    std::unique_ptr<TState> state_;
    std::string hostName_;
    std::string pin_;
    std::string errorText_;
    bool pinGiven_ = false;
    bool failed_ = false;
    bool server_ = false;
    // Makes the connection of Ctx with its memory channels; false when it failed.
    bool Attach(ssl_ctx_st* Ctx);
    TStep Fail(std::string Text);
    TStep CheckPeer();
};
