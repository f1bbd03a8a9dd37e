#pragma once

#include "ui/Component.h"
#include "ui/Streams.h"
#include "ui/StringList.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>

using TNotifyEvent = std::function<void(TObject* Sender)>;
using TMimeDecodePartLine = std::function<void(TObject* Sender, const char* Data, int DataLen)>;
using TInlineDecodeBegin = std::function<void(TObject* Sender, const std::string& Filename)>;
using TInlineDecodeLine = std::function<void(TObject* Sender, const char* Line, int Len)>;
using TInlineDecodeEnd = std::function<void(TObject* Sender, const std::string& Filename)>;

enum TMimeDecodeState { mdMessageHeader, mdPreamble, mdSinglePartBody, mdPartHeader, mdPartBody };

// Reads one whole mail message from a stream and reports its header fields and decoded parts
// through events, line by line, keeping no decoded content itself.
//
// Data handed to OnPartLine / OnInlineDecodeLine points into the component's buffers, is
// valid only during the call and is followed by a NUL byte that the count does not include.
class TMimeDecode : public TComponent {
public:
    explicit TMimeDecode(TComponent* owner = nullptr);
    ~TMimeDecode() override;

    // Decodes the message from the stream's current position to its end. Errors of the
    // stream, of allocation and of event handlers pass through; the working buffers are
    // released either way.
    void DecodeStream(TStream& stream);

    const std::string& MsgFrom() const noexcept { return msgFrom_; }
    const std::string& MsgTo() const noexcept { return msgTo_; }
    const std::string& MsgSubject() const noexcept { return msgSubject_; }
    const std::string& MsgDate() const noexcept { return msgDate_; }
    const std::string& MsgReturnPath() const noexcept { return msgReturnPath_; }
    const std::string& MsgMimeVersion() const noexcept { return msgMimeVersion_; }
    const std::string& MsgContentType() const noexcept { return msgContentType_; }
    const std::string& MsgCharset() const noexcept { return msgCharset_; }
    const std::string& MsgName() const noexcept { return msgName_; }
    const std::string& MsgBoundary() const noexcept { return msgBoundary_; }
    const std::string& MsgEncoding() const noexcept { return msgEncoding_; }
    const std::string& MsgDisposition() const noexcept { return msgDisposition_; }
    const std::string& MsgFileName() const noexcept { return msgFileName_; }
    const TStringList& MsgHeaderLines() const noexcept { return msgHeaderLines_; }
    bool FinalBoundarySeen() const noexcept { return finalBoundarySeen_; }

    int PartNumber() const noexcept { return partNumber_; }
    const std::string& PartContentType() const noexcept { return partContentType_; }
    const std::string& PartCharset() const noexcept { return partCharset_; }
    const std::string& PartName() const noexcept { return partName_; }
    const std::string& PartEncoding() const noexcept { return partEncoding_; }
    const std::string& PartDisposition() const noexcept { return partDisposition_; }
    const std::string& PartFileName() const noexcept { return partFileName_; }
    const std::string& PartContentId() const noexcept { return partContentId_; }

    // The line being handled (continuation lines joined, no line ending). Meaningful inside
    // OnHeaderLine and OnPartHeaderLine.
    std::string CurrentLine() const { return std::string(currentLine_); }

    TNotifyEvent OnHeaderBegin;
    TNotifyEvent OnHeaderLine;
    TNotifyEvent OnHeaderEnd;
    TNotifyEvent OnPartHeaderBegin;
    TNotifyEvent OnPartHeaderLine;
    TNotifyEvent OnPartHeaderEnd;
    TNotifyEvent OnPartBegin;
    TMimeDecodePartLine OnPartLine;
    TNotifyEvent OnPartEnd;
    TNotifyEvent OnMessageEnd;
    TInlineDecodeBegin OnInlineDecodeBegin;
    TInlineDecodeLine OnInlineDecodeLine;
    TInlineDecodeEnd OnInlineDecodeEnd;

protected:
    virtual void TriggerHeaderBegin();
    virtual void TriggerHeaderLine();
    virtual void TriggerHeaderEnd();
    virtual void TriggerPartHeaderBegin();
    virtual void TriggerPartHeaderLine();
    virtual void TriggerPartHeaderEnd();
    virtual void TriggerPartBegin();
    virtual void TriggerPartLine(const char* Data, int DataLen);
    virtual void TriggerPartEnd();
    virtual void TriggerMessageEnd();

private:
    enum class TEncoding { Plain, Base64, QuotedPrintable, UUEncode };
    static TEncoding EncodingOf(const std::string& name) noexcept;

    // Hashing that accepts string_view lookups without building a string per body line.
    struct TBoundaryHash {
        using is_transparent = void;
        size_t operator()(std::string_view text) const noexcept {
            return std::hash<std::string_view>{}(text);
        }
    };
    using TBoundarySet = std::unordered_set<std::string, TBoundaryHash, std::equal_to<>>;

    // Line splitter (MimeDecLines.cpp).
    void ReadLines();
    bool FillBuffer(size_t maxBytes);
    void MakeRoom();

    // States and header parsing (MimeDec.cpp).
    void Reset();
    void HandleLine(char* line, size_t len);
    void MessageHeaderLine(char* line, size_t len);
    void PreambleLine(char* line, size_t len);
    void PartHeaderLine(char* line, size_t len);
    void PartBodyLine(char* line, size_t len);
    void SinglePartBodyLine(char* line, size_t len);
    void EndPartHeader();
    void NewPart();
    void EndOfInput();
    bool IsBoundaryCandidate(const char* line, size_t len) const noexcept;
    std::string_view LowerLine(const char* line, size_t len);

    // Body decoding and delivery (MimeDecBody.cpp).
    void DecodeLine(char* line, size_t len, TEncoding encoding);
    void UudecodePartLine(char* line, size_t len);
    void Deliver(const char* data, size_t count);
    bool InlineFilter(const char* data, size_t count);

    std::string msgFrom_, msgTo_, msgSubject_, msgDate_, msgReturnPath_, msgMimeVersion_;
    std::string msgContentType_, msgCharset_, msgName_, msgBoundary_, msgEncoding_;
    std::string msgDisposition_, msgFileName_;
    TStringList msgHeaderLines_;
    bool finalBoundarySeen_ = false;

    int partNumber_ = 0;
    std::string partContentType_, partCharset_, partName_, partEncoding_, partDisposition_;
    std::string partFileName_, partContentId_;

    TMimeDecodeState state_ = mdMessageHeader;
    bool headerMode_ = true;
    int32_t lineCount_ = 0;
    bool partBegun_ = false;
    bool partHeaderBegun_ = false;
    bool inInlineBlock_ = false;
    std::string inlineFileName_;
    TEncoding msgEncodingKind_ = TEncoding::Plain;
    TEncoding partEncodingKind_ = TEncoding::Plain;
    std::string_view currentLine_;
    bool decoding_ = false;

    // Boundaries declared by part headers, "--" plus the lowercased value; only allocated
    // while a decode runs. longestBoundary_ covers them and MsgBoundary, so long lines skip
    // the comparison.
    std::unique_ptr<TBoundarySet> nestedBoundaries_;
    size_t longestBoundary_ = 0;
    std::string lowered_;

    // Line buffer: [head_, tail_) holds unconsumed input, scan_ is where the search for the
    // next LF resumes. size_ is the usable size; one more byte is always allocated so that
    // a NUL can follow the last line of the input.
    TStream* stream_ = nullptr;
    struct TFree {
        void operator()(char* p) const noexcept;
    };
    // Grown with realloc: large blocks are then remapped rather than copied and faulted in
    // again, which keeps a huge line close to the cost of reading it.
    std::unique_ptr<char, TFree> buffer_;
    size_t size_ = 0;
    size_t head_ = 0;
    size_t scan_ = 0;
    size_t tail_ = 0;
    bool endOfStream_ = false;

    std::string qpOut_;
    char uuPart_[64] = {};
    char uuInline_[64] = {};
};
