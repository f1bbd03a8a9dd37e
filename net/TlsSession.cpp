#include "net/TlsSession.h"

#include "net/WinsockEmulation.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cctype>

namespace {

struct TCtxFree {
    void operator()(SSL_CTX* ctx) const noexcept { SSL_CTX_free(ctx); }
};

std::string& ExtraCaFile() {
    static std::string path;
    return path;
}

struct TSharedContext {
    std::unique_ptr<SSL_CTX, TCtxFree> ctx;
    bool storeLoaded = false;
};

TSharedContext& SharedContext() {
    static TSharedContext shared;
    return shared;
}

// One context for every connection: loading the system store costs far more than a session.
// The store is loaded by the first session that verifies against it; a pinned session never
// consults it, so a program that only pins pays nothing for it.
SSL_CTX* Context(bool NeedStore) {
    auto& shared = SharedContext();
    if (!shared.ctx) {
        shared.ctx.reset(SSL_CTX_new(TLS_client_method()));
        shared.storeLoaded = false;
        if (!shared.ctx) return nullptr;
        SSL_CTX_set_min_proto_version(shared.ctx.get(), TLS1_2_VERSION);
        // A renegotiation could swap the certificate after it was checked.
        SSL_CTX_set_options(shared.ctx.get(), SSL_OP_NO_RENEGOTIATION);
    }
    if (NeedStore && !shared.storeLoaded) {
        shared.storeLoaded = true;
        SSL_CTX_set_default_verify_paths(shared.ctx.get());
        if (!ExtraCaFile().empty())
            SSL_CTX_load_verify_locations(shared.ctx.get(), ExtraCaFile().c_str(), nullptr);
        ERR_clear_error(); // a missing store file leaves errors that belong to no session
    }
    return shared.ctx.get();
}

// The reason at the top of the library's error queue, which is then emptied.
std::string QueueErrorText(const std::string& What) {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return What;
    const char* reason = ERR_reason_error_string(code);
    return What + ": " + (reason ? reason : "error " + std::to_string(code));
}

// The server side's context, for the certificate pair last loaded.
struct TServerContext {
    std::string certFile;
    std::string keyFile;
    std::unique_ptr<SSL_CTX, TCtxFree> ctx;
};

TServerContext& SharedServerContext() {
    static TServerContext shared;
    return shared;
}

// Null, with Error set, when the pair cannot serve; a pair that failed is tried afresh next time.
SSL_CTX* ServerContext(const std::string& CertFile, const std::string& KeyFile,
                       std::string& Error) {
    TServerContext& shared = SharedServerContext();
    if (shared.ctx && shared.certFile == CertFile && shared.keyFile == KeyFile)
        return shared.ctx.get();
    std::unique_ptr<SSL_CTX, TCtxFree> ctx(SSL_CTX_new(TLS_server_method()));
    if (!ctx) {
        Error = QueueErrorText("TLS cannot start");
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
    // A client's renegotiation is refused: it costs the server a handshake for every request.
    SSL_CTX_set_options(ctx.get(), SSL_OP_NO_RENEGOTIATION);
    if (SSL_CTX_use_certificate_chain_file(ctx.get(), CertFile.c_str()) != 1) {
        Error = QueueErrorText("The TLS certificate cannot be loaded from " + CertFile);
        return nullptr;
    }
    if (SSL_CTX_use_PrivateKey_file(ctx.get(), KeyFile.c_str(), SSL_FILETYPE_PEM) != 1 &&
        ERR_GET_REASON(ERR_peek_error()) != X509_R_KEY_VALUES_MISMATCH) {
        Error = QueueErrorText("The TLS key cannot be loaded from " + KeyFile);
        return nullptr;
    }
    if (SSL_CTX_check_private_key(ctx.get()) != 1) {
        Error = QueueErrorText("The TLS key " + KeyFile + " does not belong to the certificate");
        return nullptr;
    }
    shared.certFile = CertFile;
    shared.keyFile = KeyFile;
    shared.ctx = std::move(ctx);
    return shared.ctx.get();
}

std::string Hex(const unsigned char* Data, unsigned Size) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned i = 0; i < Size; ++i) {
        text += digits[Data[i] >> 4];
        text += digits[Data[i] & 15];
    }
    return text;
}

std::string CertificateFingerprint(X509* Cert) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned size = 0;
    if (!Cert || X509_digest(Cert, EVP_sha256(), digest, &size) != 1) return {};
    return Hex(digest, size);
}

bool IsDottedAddress(const std::string& Host) {
    return winsock::inet_addr(Host) != INADDR_NONE || Host == "255.255.255.255";
}

std::string VerifyErrorText(long Code, const std::string& Host, const std::string& Fingerprint) {
    switch (Code) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return "The server's certificate has expired";
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return "The server's certificate is not valid yet";
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return "The server's certificate is not valid for " + Host;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        return "The server's certificate is self-signed (SHA-256 fingerprint " + Fingerprint + ")";
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        return "The server's certificate was issued by an unknown authority";
    default:
        return std::string("The server's certificate cannot be verified: ") +
               X509_verify_cert_error_string(Code);
    }
}

} // namespace

void TlsSetExtraCaFile(const std::string& Path) {
    ExtraCaFile() = Path;
    SharedContext().ctx.reset(); // the next connection loads the stores again
}

std::string TlsLoadServerCertificate(const std::string& CertFile, const std::string& KeyFile) {
    std::string error;
    ServerContext(CertFile, KeyFile, error);
    return error;
}

std::string TlsNormalizeFingerprint(const std::string& Text) {
    std::string hex;
    for (const char c : Text) {
        if (c == ':' || c == ' ' || c == '\t') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) return {};
        hex += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return hex.size() == 64 ? hex : std::string();
}

struct TTlsSession::TState {
    SSL* ssl = nullptr;
    BIO* in = nullptr;  // ciphertext from the peer, owned by ssl
    BIO* out = nullptr; // ciphertext for the peer, owned by ssl
    ~TState() { SSL_free(ssl); }
};

TTlsSession::TTlsSession(const std::string& HostName, const std::string& Pin)
    : state_(std::make_unique<TState>()), hostName_(HostName), pin_(TlsNormalizeFingerprint(Pin)),
      pinGiven_(!Pin.empty()) {
    if (!Attach(Context(!pinGiven_))) return;
    SSL_set_connect_state(state_->ssl);
    // With a pin the certificate is judged after the handshake; otherwise a certificate that
    // fails ends the handshake with an alert to the server.
    SSL_set_verify(state_->ssl, pinGiven_ ? SSL_VERIFY_NONE : SSL_VERIFY_PEER, nullptr);
    X509_VERIFY_PARAM* param = SSL_get0_param(state_->ssl);
    if (IsDottedAddress(hostName_)) {
        X509_VERIFY_PARAM_set1_ip_asc(param, hostName_.c_str());
    } else {
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        SSL_set1_host(state_->ssl, hostName_.c_str());
        SSL_set_tlsext_host_name(state_->ssl, hostName_.c_str());
    }
}

TTlsSession::TTlsSession() : state_(std::make_unique<TState>()), server_(true) {}

std::unique_ptr<TTlsSession> TTlsSession::Server(const std::string& CertFile,
                                                 const std::string& KeyFile) {
    std::unique_ptr<TTlsSession> session(new TTlsSession());
    std::string error;
    SSL_CTX* ctx = ServerContext(CertFile, KeyFile, error);
    if (!ctx) {
        session->Fail(error);
        return session;
    }
    if (session->Attach(ctx)) SSL_set_accept_state(session->state_->ssl);
    return session;
}

TTlsSession::~TTlsSession() = default;

bool TTlsSession::Attach(SSL_CTX* Ctx) {
    if (!Ctx || !(state_->ssl = SSL_new(Ctx))) {
        Fail(QueueErrorText("TLS cannot start"));
        return false;
    }
    state_->in = BIO_new(BIO_s_mem());
    state_->out = BIO_new(BIO_s_mem());
    if (!state_->in || !state_->out) {
        BIO_free(state_->in);
        BIO_free(state_->out);
        state_->in = state_->out = nullptr;
        Fail(QueueErrorText("TLS cannot start"));
        return false;
    }
    SSL_set_bio(state_->ssl, state_->in, state_->out);
    return true;
}

TTlsSession::TStep TTlsSession::Fail(std::string Text) {
    failed_ = true;
    if (errorText_.empty()) errorText_ = std::move(Text);
    ERR_clear_error();
    return tlsFailed;
}

TTlsSession::TStep TTlsSession::Handshake() {
    if (failed_) return tlsFailed;
    const int result = SSL_do_handshake(state_->ssl);
    // The server side asks for no certificate: there is nothing of the client's to judge.
    if (result == 1) return server_ ? tlsDone : CheckPeer();
    const int error = SSL_get_error(state_->ssl, result);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) return tlsPending;
    if (server_) return Fail(QueueErrorText("TLS handshake failed"));
    // A pinned session does not verify against the store, so its verdict explains nothing.
    const long verify = pinGiven_ ? X509_V_OK : SSL_get_verify_result(state_->ssl);
    if (verify != X509_V_OK) return Fail(VerifyErrorText(verify, hostName_, PeerFingerprint()));
    return Fail(QueueErrorText("TLS handshake failed"));
}

TTlsSession::TStep TTlsSession::CheckPeer() {
    X509* cert = SSL_get0_peer_certificate(state_->ssl);
    if (!cert) return Fail("The server sent no certificate");
    if (pinGiven_) {
        if (pin_.empty()) return Fail("The pinned certificate fingerprint is not a SHA-256 one");
        const std::string actual = CertificateFingerprint(cert);
        if (actual != pin_)
            return Fail("The server's certificate does not match the pinned fingerprint "
                        "(SHA-256 fingerprint " +
                        actual + ")");
        return tlsDone;
    }
    const long verify = SSL_get_verify_result(state_->ssl);
    if (verify != X509_V_OK)
        return Fail(VerifyErrorText(verify, hostName_, CertificateFingerprint(cert)));
    return tlsDone;
}

std::string TTlsSession::PeerFingerprint() const {
    if (!state_->ssl) return {};
    if (X509* cert = SSL_get0_peer_certificate(state_->ssl)) return CertificateFingerprint(cert);
    // A certificate that failed verification during the handshake is never made the peer's,
    // but the chain it came in is kept, the server's own certificate first: the refusal can
    // still name what to pin.
    STACK_OF(X509)* chain = SSL_get_peer_cert_chain(state_->ssl);
    return chain && sk_X509_num(chain) > 0 ? CertificateFingerprint(sk_X509_value(chain, 0))
                                           : std::string();
}

void TTlsSession::Feed(const char* Data, int Size) {
    if (state_->in && Size > 0) BIO_write(state_->in, Data, Size);
}

int TTlsSession::Read(char* Buffer, int Size) {
    if (failed_) return -1;
    if (Size <= 0) return 0;
    const int result = SSL_read(state_->ssl, Buffer, Size);
    if (result > 0) return result;
    const int error = SSL_get_error(state_->ssl, result);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) return 0;
    if (error == SSL_ERROR_ZERO_RETURN) {
        ERR_clear_error();
        return -1;
    }
    Fail(QueueErrorText("TLS connection failed"));
    return -1;
}

bool TTlsSession::Write(const char* Data, int Size) {
    if (failed_) return false;
    // Memory output never blocks, so one call takes everything.
    if (Size <= 0 || SSL_write(state_->ssl, Data, Size) == Size) return true;
    Fail(QueueErrorText("TLS connection failed"));
    return false;
}

bool TTlsSession::TakeOutput(std::string& Out) {
    if (!state_->out) return false;
    const std::size_t before = Out.size();
    char chunk[16384];
    for (int n; (n = BIO_read(state_->out, chunk, sizeof chunk)) > 0;)
        Out.append(chunk, static_cast<std::size_t>(n));
    return Out.size() > before;
}

void TTlsSession::Shutdown() {
    if (state_->ssl && !failed_ && SSL_is_init_finished(state_->ssl)) SSL_shutdown(state_->ssl);
    ERR_clear_error();
}

bool TTlsSession::HasBuffered() const {
    return state_->ssl && (SSL_pending(state_->ssl) > 0 || BIO_ctrl_pending(state_->in) > 0);
}

int TTlsSession::PendingPlaintext() const {
    return state_->ssl ? SSL_pending(state_->ssl) : 0;
}
