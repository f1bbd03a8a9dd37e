// Reading the response: header lines, relocation, and the body up to its announced length or
// the close of the connection.
#include "net/HttpProt.h"

#include "ui/SysUtils.h"

namespace {

// Body bytes are read in blocks this large: a big document then costs few reads.
constexpr int kBodyBufferSize = 256 * 1024;
// Reads per notification; then the event loop gets its turn (timers, other sockets) and the
// socket reports the rest.
constexpr int kBodyReadsPerTurn = 16;

} // namespace

void THttpCli::SocketDataAvailable(TObject*, std::uint16_t) {
    if (!Running() || requestType_ == httpAbort) {
        char scratch[1024];
        socket_->Receive(scratch, sizeof scratch);
        return;
    }
    if (state_ == httpWaitingBody) {
        ReadBody();
        return;
    }
    const int count = socket_->Receive(lines_.Space(), static_cast<int>(lines_.Room()));
    if (count < 1) return;
    lines_.Commit(static_cast<std::size_t>(count));
    if (state_ != httpWaitingHeader) {
        lines_.Clear();
        return;
    }
    ReadHeaderBytes();
}

void THttpCli::ReadBody() {
    if (!bodyBuffer_) bodyBuffer_ = std::make_unique<char[]>(kBodyBufferSize);
    const std::uintptr_t serial = serial_;
    for (int turn = 0; turn < kBodyReadsPerTurn; ++turn) {
        const int count = socket_->Receive(bodyBuffer_.get(), kBodyBufferSize);
        if (count <= 0) return;
        DeliverBody(bodyBuffer_.get(), static_cast<std::size_t>(count));
        if (serial != serial_ || !Running() || state_ != httpWaitingBody) return;
        // A short read took everything that was ready; asking again would only cost a call.
        // The socket reports what comes later.
        if (count < kBodyBufferSize) return;
    }
}

void THttpCli::ReadHeaderBytes() {
    const std::uintptr_t serial = serial_;
    while (serial == serial_ && Running() && state_ == httpWaitingHeader) {
        std::string_view line;
        std::size_t taken = 0;
        if (!lines_.PeekLine(line, taken)) {
            // A full buffer without a line end would wait for ever for the rest of the line.
            if (lines_.Full()) Fail(httpErrLineTooLong, "HTTP line too long");
            return;
        }
        headerBytes_ += taken;
        lastResponse_.assign(line);
        lastRaw_.assign(lines_.Pending().substr(0, taken));
        lines_.Consume(taken);
        if (headerBytes_ > kHttpMaxHeaderBytes) {
            Fail(httpErrHeaderTooLarge, "HTTP response header too large");
            return;
        }
        RunLineHandler();
    }
}

void THttpCli::RunLineHandler() {
    switch (lineHandler_) {
    case lhHeader:
        GotHeaderLine();
        break;
    case lhBody:
        GotBodyData();
        break;
    case lhTunnel:
        GotTunnelLine();
        break;
    case lhNone:
        SetReady();
        break;
    }
}

void THttpCli::GotHeaderLine() {
    if (headerLineCount_ == 0) TriggerHeaderBegin();
    ++headerLineCount_;
    if (!Running()) return;
    if (IsBareHtml(lastResponse_)) {
        // A server that sends the document without a header: what came is the document.
        if (contentType_.empty()) contentType_ = "text/html";
        EnterBody(lastRaw_);
        return;
    }
    if (lastResponse_.empty()) {
        HeaderEnded();
        return;
    }
    if (headerLineCount_ > kHttpMaxHeaderLines) {
        Fail(httpErrHeaderTooLarge, "HTTP response header too large");
        return;
    }
    rcvdHeader_.Add(lastResponse_);
    switch (ParseStatusLine(lastResponse_, statusCode_, reasonPhrase_)) {
    case THttpStatusLine::Malformed:
        Fail(httpErrBadResponse, "Invalid HTTP status line");
        return;
    case THttpStatusLine::Status:
        break;
    case THttpStatusLine::NotStatus: {
        std::string name;
        std::string_view value;
        if (SplitHeaderField(lastResponse_, name, value)) TakeField(name, value);
        if (!Running()) return;
        break;
    }
    }
    if (OnHeaderData) OnHeaderData(this);
}

void THttpCli::TakeField(const std::string& Name, std::string_view Value) {
    if (Name == "location") {
        locationSeen_ = true;
        switch (Relocate(target_, Value)) {
        case THttpRelocation::Accepted:
            location_ = target_.Location;
            break;
        case THttpRelocation::OtherScheme:
            Fail(httpErrBadRelocation, "Relocation to another scheme is not supported");
            break;
        case THttpRelocation::BadTarget:
            Fail(httpErrBadRelocation, "Invalid relocation target");
            break;
        }
    } else if (Name == "content-length") {
        if (!ParseContentLength(Value, contentLength_))
            Fail(httpErrBadResponse, "Invalid Content-Length");
    } else if (Name == "content-range") {
        ParseContentRange(Value, contentRangeBegin_, contentRangeEnd_);
    } else if (Name == "accept-ranges") {
        acceptRanges_ = std::string(Value);
    } else if (Name == "content-type") {
        contentType_ = LowerCase(Value);
    } else if (Name == "www-authenticate") {
        authorizationRequest_.Add(std::string(Value));
    } else if (Name == "set-cookie") {
        bool accept = true;
        TriggerCookie(std::string(Value), accept);
    }
}

void THttpCli::HeaderEnded() {
    if (locationSeen_) {
        TriggerHeaderEnd();
        if (!Running()) return;
        // What came after this header belongs to a document nobody asked for.
        lines_.Clear();
        headerLineCount_ = 0;
        bodyLineCount_ = 0;
        closeHandler_ = chLocation;
        if (socket_->State() != wsClosed) socket_->Close();
        // A socket that was closed already reports nothing: go on without it.
        if (Running() && closeHandler_ == chLocation) LocationSessionClosed(socket_.get(), 0);
        return;
    }
    // HEAD, 204 and 304 replies never carry a body, whatever length they announce.
    if (contentLength_ == 0 || requestType_ == httpHEAD || statusCode_ == 204 ||
        statusCode_ == 304) {
        TriggerHeaderEnd();
        SetReady();
        CloseQuietly();
        return;
    }
    docName_ = HtmlDocName(docName_, contentType_);
    EnterBody({});
    if (Running() && statusCode_ >= 400) socket_->Close();
}

void THttpCli::EnterBody(std::string_view First) {
    StateChange(httpWaitingBody);
    lineHandler_ = lhBody;
    TriggerHeaderEnd();
    if (Running() && !First.empty()) DeliverBody(First.data(), First.size());
    if (Running() && !lines_.Pending().empty())
        DeliverBody(lines_.Pending().data(), lines_.Pending().size());
    lines_.Clear();
}

void THttpCli::DeliverBody(const char* Data, std::size_t Len) {
    if (contentLength_ >= 0) {
        const std::int64_t remaining = contentLength_ - rcvdCount_;
        if (remaining <= 0) return;
        // Bytes past the announced length are not the document's.
        if (static_cast<std::int64_t>(Len) > remaining) Len = static_cast<std::size_t>(remaining);
    }
    chunk_ = Data;
    chunkLen_ = Len;
    RunLineHandler();
    // The announced length has arrived: the document is complete even if the server keeps
    // the connection open.
    if (Running() && contentLength_ >= 0 && rcvdCount_ >= contentLength_) {
        TriggerDocEnd();
        SetReady();
        CloseQuietly();
    }
}

void THttpCli::GotBodyData() {
    if (bodyLineCount_ == 0) TriggerDocBegin();
    ++bodyLineCount_;
    rcvdCount_ += static_cast<std::int64_t>(chunkLen_);
    if (rcvdStream_) {
        try {
            rcvdStream_->WriteBuffer(chunk_, static_cast<std::int64_t>(chunkLen_));
        } catch (const Exception& E) {
            Fail(httpErrStream, E.Message());
            return;
        }
    }
    TriggerDocData(chunk_, static_cast<int>(chunkLen_));
}
