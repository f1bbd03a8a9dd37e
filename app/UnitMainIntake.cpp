#include "app/UnitMain.h"

#include "app/UnitQRMail.h"
#include "net/Pop3Prot.h"
#include "ui/QtText.h"
#include "ui/Streams.h"

#include <QCheckBox>

#include <cstring>

namespace {

constexpr int kPartLineMax = 254;
constexpr int64_t kKeptStreamBytes = 1 << 20;

// The key of a message from its own header: the text after the last "Message-ID:" line
// (this spelling, at the start of the line) before the first empty line. A quoted or
// forwarded header in the body is not the message's identity. An identifier folded onto the
// next line leaves nothing but blanks here, which gives no key.
std::string MessageIdKey(const TLineList& lines) {
    static constexpr std::string_view kMessageId = "Message-ID:";
    std::string key;
    for (std::string_view line : lines) {
        if (line.empty()) break;
        if (!line.starts_with(kMessageId)) continue;
        const std::string_view value = line.substr(kMessageId.size());
        if (value.find_first_not_of(" \t") != std::string_view::npos) key = value;
    }
    return key;
}

// How many of the n bytes at buf can end a line without cutting a UTF-8 sequence in two:
// an incomplete sequence at the end is left for the next line. Text in another character
// set may lose a byte or two to the next line here, which harms nothing.
int Utf8Cut(const char* buf, int n) {
    for (int i = n - 1; i >= 0 && i >= n - 4; --i) {
        const auto byte = static_cast<unsigned char>(buf[i]);
        if ((byte & 0xC0) == 0x80) continue; // continuation byte
        if (byte < 0xC0 || byte > 0xF4) return n;
        const int length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : 2;
        return n - i < length ? i : n;
    }
    return n;
}

} // namespace

void TfrmMain::CreateMimeDecode() {
    MimeDecode = std::make_unique<TMimeDecode>(this);
    MimeDecode->SetName("MimeDecode");
    MimeDecode->OnPartBegin = [this](TObject* sender) { MimeDecodePartBegin(sender); };
    MimeDecode->OnPartEnd = [this](TObject* sender) { MimeDecodePartEnd(sender); };
    MimeDecode->OnPartLine = [this](TObject* sender, const char* data, int dataLen) {
        MimeDecodePartLine(sender, data, dataLen);
    };
    Pop3Client->OnMessageBegin = [this](TObject* sender) { Pop3ClientMessageBegin(sender); };
    Pop3Client->OnMessageLine = [this](TObject* sender) { Pop3ClientMessageLine(sender); };
    Pop3Client->OnMessageEnd = [this](TObject* sender) {
        // Printing and forwarding are the program's own work, not the server's silence.
        const TCheckWatchdog::THold hold(Watchdog);
        Pop3ClientMessageEnd(sender);
    };
}

void TfrmMain::Pop3ClientMessageBegin(TObject*) {
    attachmentNoted_ = false;
    currentMessage_ = std::make_unique<TMailMessage>();
    std::swap(currentMessage_->RawLines, spareRaw_);
    std::swap(currentMessage_->Body, spareBody_);
    // With UIDL the message is held under its identifier as well, so the next check skips it
    // before retrieving it; its Message-ID, when it has one, replaces MsgId at the end.
    currentMessage_->Uidl = retrUidl_;
    currentMessage_->MsgId = retrUidl_;
}

void TfrmMain::Pop3ClientMessageLine(TObject*) {
    if (!currentMessage_) return;
    try {
        const std::string& line = Pop3Client->LastResponse();
        currentMessage_->RawLines.Add(line);
    } catch (const std::exception& e) {
        AppendLog(QStringLiteral("Error: ") + ToQString(e.what()));
    }
}

void TfrmMain::Pop3ClientMessageEnd(TObject*) {
    if (!currentMessage_) return;
    // The key keeps the blank after the colon, so held keys stay comparable between checks.
    std::string messageId = MessageIdKey(currentMessage_->RawLines);
    if (!messageId.empty()) currentMessage_->MsgId = std::move(messageId);
    Forwarding->NoteMessage(*currentMessage_);
    if (IsMessageHere(currentMessage_->MsgId)) {
        currentMessage_->RawLines.ShrinkToFit(spareRaw_);
        currentMessage_->Body.ShrinkToFit(spareBody_);
        currentMessage_.reset();
        return;
    }
    // The decoder's part events fill the body of the current message.
    try {
        const TLineList& raw = currentMessage_->RawLines;
        TMemoryStream& stream = decodeStream_;
        // It still holds the last message; the room of a big one is not kept.
        if (stream.Size() > kKeptStreamBytes)
            stream.Clear();
        else
            stream.SetSize(0);
        for (std::string_view line : raw) {
            stream.WriteBuffer(line.data(), static_cast<int64_t>(line.size()));
            stream.WriteBuffer("\r\n", 2);
        }
        stream.SetPosition(0);
        MimeDecode->DecodeStream(stream);
    } catch (...) {
        currentMessage_.reset();
        throw;
    }
    std::unique_ptr<TMailMessage> message = std::move(currentMessage_);
    message->RawLines.ShrinkToFit(spareRaw_);
    message->Body.ShrinkToFit(spareBody_);
    message->From = MimeDecode->MsgFrom();
    message->To = MimeDecode->MsgTo();
    message->Subject = MimeDecode->MsgSubject();
    message->ReturnPath = MimeDecode->MsgReturnPath();
    message->Date = MimeDecode->MsgDate();
    if (!MimeDecode->MsgCharset().empty()) message->CharSet = MimeDecode->MsgCharset();

    if (PrintCheckBox->isChecked()) PrintMessage(*message);

    TMailMessage& held = *message;
    AppendMessage(std::move(message));
    Notifier->MessageArrived(held);
    if (ShouldForward(FwdCheckBox->isChecked(), held.HasAttachment,
                      ForwardAttachCheckBox->isChecked()))
        ForwardMessage(held);
}

void TfrmMain::MimeDecodePartBegin(TObject*) {
    partLinePos_ = 0;
}

void TfrmMain::MimeDecodePartEnd(TObject*) {
    // A text whose last line has no line end (common in base64 bodies) keeps that line.
    if (currentMessage_ && partLinePos_ > 0)
        currentMessage_->Body.Add(
            std::string_view(partLineBuf_, static_cast<size_t>(partLinePos_)));
    partLinePos_ = 0;
}

void TfrmMain::MimeDecodePartLine(TObject*, const char* data, int dataLen) {
    if (!currentMessage_ || dataLen < 0) return;
    TMailMessage& message = *currentMessage_;
    const std::string& disposition = MimeDecode->PartDisposition();
    const std::string& contentType = MimeDecode->PartContentType();

    if (disposition == "attachment") {
        if (!attachmentNoted_) {
            message.HasAttachment = true;
            message.Body.Add(AttachmentMarker);
            attachmentNoted_ = true;
        }
        return;
    }
    const bool preamble = MimeDecode->PartNumber() == 0 && !MimeDecode->MsgBoundary().empty();
    if (preamble) {
        // The decoder hands each preamble line over alone, without its line end.
        const void* zero = std::memchr(data, 0, static_cast<size_t>(dataLen));
        const size_t len = zero ? static_cast<size_t>(static_cast<const char*>(zero) - data)
                                : static_cast<size_t>(dataLen);
        message.Body.Add(std::string_view(data, len));
        return;
    }
    // A part without a Content-Type is plain text (RFC 2045, 5.2).
    if (!contentType.empty() && contentType != "text/plain") return;
    if (message.CharSet.empty()) message.CharSet = MimeDecode->PartCharset();

    for (int i = 0; i < dataLen; ++i) {
        const char c = data[i];
        if (c == '\r') {
            // dropped: lines end at LF
        } else if (c == '\n') {
            message.Body.Add(std::string_view(partLineBuf_, static_cast<size_t>(partLinePos_)));
            partLinePos_ = 0;
        } else {
            partLineBuf_[partLinePos_++] = c;
        }
        if (partLinePos_ >= kPartLineMax) {
            // The bytes of a character cut at the limit start the next line instead.
            const int cut = Utf8Cut(partLineBuf_, kPartLineMax);
            message.Body.Add(std::string_view(partLineBuf_, static_cast<size_t>(cut)));
            partLinePos_ = kPartLineMax - cut;
            std::memmove(partLineBuf_, partLineBuf_ + cut, static_cast<size_t>(partLinePos_));
        }
    }
}

bool TfrmMain::ShouldForward(bool forwardOn, bool hasAttachment, bool withAttachments) noexcept {
    return forwardOn && (!hasAttachment || withAttachments);
}

void TfrmMain::PrintMessage(const TMailMessage& message) {
    TqrMail report(this);
    report.SetMailLines(message);
    report.Print();
}
