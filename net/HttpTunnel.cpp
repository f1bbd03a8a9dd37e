// The CONNECT tunnel through an HTTP proxy for an https document: the proxy is asked to connect
// to the document's host, and TLS then runs with that host through the tunnel.
#include "net/HttpProt.h"

void THttpCli::OpenTunnel() {
    const THttpUrlParts parts = ParseURL(target_.Path);
    const std::string authority = parts.Host + ":" + UrlPort(parts);
    lineHandler_ = lhTunnel;
    statusCode_ = 0;
    StateChange(httpWaitingHeader);
    reqStream_.clear();
    SendCommand("CONNECT " + authority + " HTTP/1.1");
    SendCommand("Host: " + authority);
    if (!proxyUsername_.empty()) SendCommand(ProxyAuthorization());
    SendCommand(std::string());
    socket_->Send(reqStream_.data(), static_cast<int>(reqStream_.size()));
    reqStream_.clear();
}

void THttpCli::GotTunnelLine() {
    if (statusCode_ == 0) {
        if (ParseStatusLine(lastResponse_, statusCode_, reasonPhrase_) != THttpStatusLine::Status)
            Fail(httpErrBadResponse, "Invalid HTTP status line");
        return;
    }
    if (!lastResponse_.empty()) return; // the proxy's header fields concern only the proxy
    if (statusCode_ < 200 || statusCode_ > 299) {
        // Refused (407 for credentials, 403 for a port it does not tunnel): the request ends
        // with the proxy's answer, as a plain request through it would.
        SetReady();
        CloseQuietly();
        return;
    }
    // Nothing may follow the proxy's header before our TLS hello; the server's reply starts the
    // document's own header.
    lines_.Clear();
    headerBytes_ = 0;
    statusCode_ = 0;
    reasonPhrase_.clear();
    lineHandler_ = lhNone;
    socket_->OnTlsDone = [this](TObject*, std::uint16_t Error) { TunnelSecured(Error); };
    socket_->StartTls();
}

void THttpCli::TunnelSecured(std::uint16_t Error) {
    if (!Running()) return;
    if (Error != 0) {
        statusCode_ = 404;
        Fail(Error, socket_->TlsErrorText());
        return;
    }
    SendRequest();
}
