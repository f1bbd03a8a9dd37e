#include "app/UnitMain.h"

#include "app/UnitQRMail.h"
#include "net/Pop3Prot.h"
#include "ui/QtText.h"
#include "ui/Streams.h"

#include <QCheckBox>

#include <cstring>

namespace {

constexpr int kPartLineMax = 254;

} // namespace

void TfrmMain::CreateMimeDecode() {
    MimeDecode = std::make_unique<TMimeDecode>(this);
    MimeDecode->SetName("MimeDecode");
    MimeDecode->OnPartBegin = [this](TObject* sender) { MimeDecodePartBegin(sender); };
    MimeDecode->OnPartLine = [this](TObject* sender, const char* data, int dataLen) {
        MimeDecodePartLine(sender, data, dataLen);
    };
    Pop3Client->OnMessageBegin = [this](TObject* sender) { Pop3ClientMessageBegin(sender); };
    Pop3Client->OnMessageLine = [this](TObject* sender) { Pop3ClientMessageLine(sender); };
    Pop3Client->OnMessageEnd = [this](TObject* sender) { Pop3ClientMessageEnd(sender); };
}

void TfrmMain::Pop3ClientMessageBegin(TObject*) {
    attachmentNoted_ = false;
    currentMessage_ = std::make_unique<TMailMessage>();
    // Without UIDL this is whatever identifier the client last held, usually empty.
    currentMessage_->MsgId = Pop3Client->MsgUidl();
}

void TfrmMain::Pop3ClientMessageLine(TObject*) {
    if (!currentMessage_) return;
    try {
        const std::string& line = Pop3Client->LastResponse();
        currentMessage_->RawLines.Add(line);
        // Only this exact spelling is looked for, in every line of the message; the key keeps
        // the blank after the colon, so held keys stay comparable between checks.
        static constexpr char kMessageId[] = "Message-ID:";
        constexpr size_t kMessageIdLen = sizeof kMessageId - 1;
        if (line.compare(0, kMessageIdLen, kMessageId) == 0)
            currentMessage_->MsgId = line.substr(kMessageIdLen);
    } catch (const std::exception& e) {
        AppendLog(QStringLiteral("Error: ") + ToQString(e.what()));
    }
}

void TfrmMain::Pop3ClientMessageEnd(TObject*) {
    if (!currentMessage_) return;
    Forwarding->NoteMessage(currentMessage_->MsgId);
    if (IsMessageHere(currentMessage_->MsgId)) {
        currentMessage_.reset();
        return;
    }
    // The decoder's part events fill the body of the current message.
    try {
        TMemoryStream stream;
        for (std::string_view line : currentMessage_->RawLines) {
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
    message->RawLines.ShrinkToFit();
    message->Body.ShrinkToFit();
    message->From = MimeDecode->MsgFrom();
    message->To = MimeDecode->MsgTo();
    message->Subject = MimeDecode->MsgSubject();
    message->ReturnPath = MimeDecode->MsgReturnPath();
    message->Date = MimeDecode->MsgDate();
    if (!MimeDecode->MsgCharset().empty()) message->CharSet = MimeDecode->MsgCharset();

    if (PrintCheckBox->isChecked()) PrintMessage(*message);

    TMailMessage& held = *message;
    AppendMessage(std::move(message));
    if (ShouldForward(FwdCheckBox->isChecked(), held.HasAttachment,
                      ForwardAttachCheckBox->isChecked()))
        ForwardMessage(held);
}

void TfrmMain::MimeDecodePartBegin(TObject*) {
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
    if (contentType.empty()) {
        // Every chunk is one line, the CR LF the decoder delivers after each line included.
        const void* zero = std::memchr(data, 0, static_cast<size_t>(dataLen));
        const size_t len = zero ? static_cast<size_t>(static_cast<const char*>(zero) - data)
                                : static_cast<size_t>(dataLen);
        message.Body.Add(std::string_view(data, len));
        return;
    }
    if (contentType != "text/plain") return;
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
            message.Body.Add(std::string_view(partLineBuf_, kPartLineMax));
            partLinePos_ = 0;
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
