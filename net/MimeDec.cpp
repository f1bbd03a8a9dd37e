#include "net/MimeDec.h"

#include "net/MimeDecScan.h"
#include "ui/Exceptions.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <new>

using namespace MimeDecScan;

namespace {

constexpr size_t kInitialBufferSize = 2048;

// Counters are only compared with small values; saturating keeps absurdly long inputs
// from overflowing a signed counter.
inline void Bump(int32_t& counter) noexcept {
    if (counter < INT32_MAX) ++counter;
}

} // namespace

TMimeDecode::TMimeDecode(TComponent* owner) : TComponent(owner) {}

TMimeDecode::~TMimeDecode() {
    Destroying();
}

TMimeDecode::TEncoding TMimeDecode::EncodingOf(const std::string& name) noexcept {
    if (name == "base64") return TEncoding::Base64;
    if (name == "quoted-printable") return TEncoding::QuotedPrintable;
    if (name == "x-uuencode") return TEncoding::UUEncode;
    return TEncoding::Plain;
}

void TMimeDecode::DecodeStream(TStream& stream) {
    // Events point into the buffers a second decode would free.
    if (decoding_)
        throw Exception("TMimeDecode: DecodeStream called from one of its own event handlers");

    struct TRelease {
        TMimeDecode& self;
        ~TRelease() {
            self.buffer_.reset();
            self.nestedBoundaries_.reset();
            self.qpOut_ = std::string();
            self.lowered_ = std::string();
            self.currentLine_ = {};
            self.stream_ = nullptr;
            self.decoding_ = false;
        }
    } release{*this};
    decoding_ = true;

    buffer_.reset(static_cast<char*>(std::malloc(kInitialBufferSize + 1)));
    if (!buffer_) throw std::bad_alloc();
    size_ = kInitialBufferSize;
    head_ = scan_ = tail_ = 0;
    endOfStream_ = false;
    inlineFileName_.clear();
    nestedBoundaries_ = std::make_unique<TBoundarySet>();
    Reset();
    stream_ = &stream;

    ReadLines();
    EndOfInput();
}

void TMimeDecode::Reset() {
    for (std::string* field :
         {&msgFrom_,       &msgTo_,           &msgSubject_,     &msgDate_,
          &msgReturnPath_, &msgMimeVersion_,  &msgContentType_, &msgCharset_,
          &msgName_,       &msgBoundary_,     &msgEncoding_,    &msgDisposition_,
          &msgFileName_,   &partContentType_, &partCharset_,    &partName_,
          &partEncoding_,  &partDisposition_, &partFileName_,   &partContentId_})
        field->clear();
    msgHeaderLines_.Clear();
    msgEncodingKind_ = partEncodingKind_ = TEncoding::Plain;
    longestBoundary_ = 0;
    partNumber_ = 0;
    lineCount_ = 0;
    partBegun_ = partHeaderBegun_ = inInlineBlock_ = finalBoundarySeen_ = false;
    headerMode_ = true;
    state_ = mdMessageHeader;
}

void TMimeDecode::HandleLine(char* line, size_t len) {
    currentLine_ = std::string_view(line, len);
    switch (state_) {
    case mdMessageHeader:
        MessageHeaderLine(line, len);
        break;
    case mdPreamble:
        PreambleLine(line, len);
        break;
    case mdSinglePartBody:
        SinglePartBodyLine(line, len);
        break;
    case mdPartHeader:
        PartHeaderLine(line, len);
        break;
    case mdPartBody:
        PartBodyLine(line, len);
        break;
    }
}

void TMimeDecode::MessageHeaderLine(char* line, size_t len) {
    if (len == 0) {
        headerMode_ = false;
        TriggerHeaderEnd();
        lineCount_ = 0;
        inInlineBlock_ = false;
        if (!msgBoundary_.empty()) {
            // The preamble is reported as a part of its own, without a part header.
            TriggerPartBegin();
            state_ = mdPreamble;
        } else {
            state_ = mdSinglePartBody;
        }
        return;
    }
    Bump(lineCount_);
    if (lineCount_ == 1) TriggerHeaderBegin();

    const std::string_view text(line, len);
    const TScan name = ScanToken(text, 0);
    if (name.Delim == ':') {
        const std::string_view raw = text.substr(name.Next);
        const std::string& field = name.Text;
        if (field == "from") {
            msgFrom_ = raw;
        } else if (field == "to") {
            msgTo_ = raw;
        } else if (field == "subject") {
            msgSubject_ = raw;
        } else if (field == "return-path") {
            msgReturnPath_ = StripAngleBrackets(raw);
        } else if (field == "date") {
            msgDate_ = raw;
        } else if (field == "mime-version") {
            msgMimeVersion_ = raw;
        } else if (field == "content-type") {
            TScan value = ScanCommentToken(text, name.Next);
            msgContentType_ = std::move(value.Text);
            ParameterLoop(text, value.Next, value.Delim, TValueScanner::Value,
                          [this](const std::string& param, std::string&& v) {
                              if (param == "name") {
                                  msgName_ = std::move(v);
                              } else if (param == "charset") {
                                  msgCharset_ = std::move(v);
                              } else if (param == "boundary") {
                                  msgBoundary_ = "--" + LowerAscii(v);
                                  longestBoundary_ =
                                      std::max(longestBoundary_, msgBoundary_.size());
                              }
                          });
        } else if (field == "content-transfer-encoding") {
            msgEncoding_ = ScanCommentToken(text, name.Next).Text;
            msgEncodingKind_ = EncodingOf(msgEncoding_);
        } else if (field == "content-disposition") {
            TScan value = ScanCommentToken(text, name.Next);
            msgDisposition_ = std::move(value.Text);
            ParameterLoop(text, value.Next, value.Delim, TValueScanner::Value,
                          [this](const std::string& param, std::string&& v) {
                              if (param == "filename") msgFileName_ = std::move(v);
                          });
        }
    }
    msgHeaderLines_.Add(std::string(text));
    TriggerHeaderLine();
}

void TMimeDecode::PreambleLine(char* line, size_t len) {
    if (IsBoundaryCandidate(line, len) && LowerLine(line, len) == msgBoundary_) {
        NewPart();
        return;
    }
    line[len] = '\0';
    Deliver(line, len);
}

void TMimeDecode::PartHeaderLine(char* line, size_t len) {
    if (len == 0) {
        if (!partHeaderBegun_) {
            Bump(partNumber_);
            TriggerPartHeaderBegin();
        }
        EndPartHeader();
        return;
    }
    Bump(lineCount_);
    if (lineCount_ == 1) {
        Bump(partNumber_);
        partHeaderBegun_ = true;
        TriggerPartHeaderBegin();
    }
    if (line[0] == ' ' || line[0] == '\t') {
        // A body that starts right after the boundary with an indented line: no header.
        EndPartHeader();
        PartBodyLine(line, len);
        return;
    }

    const std::string_view text(line, len);
    const TScan name = ScanToken(text, 0);
    const std::string& field = name.Text;
    const auto assignFileName = [this](const std::string& param, std::string&& v) {
        if (param == "filename") partFileName_ = std::move(v);
    };
    if (field == "content-type") {
        TScan value = ScanCommentToken(text, name.Next);
        partContentType_ = std::move(value.Text);
        ParameterLoop(text, value.Next, value.Delim, TValueScanner::Value,
                      [this](const std::string& param, std::string&& v) {
                          if (param == "name") {
                              partName_ = std::move(v);
                          } else if (param == "charset") {
                              partCharset_ = std::move(v);
                          } else if (param == "boundary") {
                              std::string boundary = "--" + LowerAscii(v);
                              longestBoundary_ = std::max(longestBoundary_, boundary.size());
                              nestedBoundaries_->insert(std::move(boundary));
                          }
                      });
    } else if (field == "content-transfer-encoding") {
        partEncoding_ = ScanCommentToken(text, name.Next).Text;
        partEncodingKind_ = EncodingOf(partEncoding_);
    } else if (field == "content-id") {
        partContentId_ = StripAngleBrackets(text.substr(name.Next));
    } else if (field == "content-disposition") {
        TScan value = ScanCommentToken(text, name.Next);
        partDisposition_ = std::move(value.Text);
        ParameterLoop(text, value.Next, value.Delim, TValueScanner::QuotedOrRest, assignFileName);
    } else if (field == "content-description" && partFileName_.empty()) {
        ParameterLoop(text, name.Next, ';', TValueScanner::QuotedOrRest, assignFileName);
    }
    TriggerPartHeaderLine();
}

void TMimeDecode::EndPartHeader() {
    TriggerPartHeaderEnd();
    headerMode_ = false;
    lineCount_ = 0;
    inInlineBlock_ = false;
    state_ = mdPartBody;
}

// Boundary lines (RFC 2046 section 5.1.1) match in any letter case but otherwise exactly:
// trailing white space makes a line content. Boundaries of nested multiparts end a part too,
// which flattens the nesting into one sequence of parts.
void TMimeDecode::PartBodyLine(char* line, size_t len) {
    if (IsBoundaryCandidate(line, len)) {
        const std::string_view lower = LowerLine(line, len);
        const bool closing = lower.size() > 2 && lower.ends_with("--");
        if (lower == msgBoundary_) {
            NewPart();
            return;
        }
        if (closing && lower.substr(0, lower.size() - 2) == msgBoundary_) {
            finalBoundarySeen_ = true;
            NewPart();
            return;
        }
        if (nestedBoundaries_->contains(lower) ||
            (closing && nestedBoundaries_->contains(lower.substr(0, lower.size() - 2)))) {
            NewPart();
            return;
        }
    }
    if (!partBegun_) {
        partBegun_ = true;
        TriggerPartBegin();
    }
    DecodeLine(line, len, partEncodingKind_);
}

void TMimeDecode::SinglePartBodyLine(char* line, size_t len) {
    Bump(lineCount_);
    if (lineCount_ == 1) TriggerPartBegin();
    DecodeLine(line, len, msgEncodingKind_);
}

void TMimeDecode::NewPart() {
    partBegun_ = false;
    TriggerPartEnd();
    for (std::string* field : {&partEncoding_, &partContentType_, &partDisposition_,
                               &partContentId_, &partName_, &partFileName_, &partCharset_})
        field->clear();
    partEncodingKind_ = TEncoding::Plain;
    headerMode_ = true;
    lineCount_ = 0;
    inInlineBlock_ = false;
    partHeaderBegun_ = false;
    state_ = mdPartHeader;
}

void TMimeDecode::EndOfInput() {
    currentLine_ = {};
    if (msgBoundary_.empty() || partBegun_) TriggerPartEnd();
    TriggerMessageEnd();
}

// Every boundary starts with "--"; lines longer than any boundary (plus its closing "--")
// never match, so they are not lowercased.
bool TMimeDecode::IsBoundaryCandidate(const char* line, size_t len) const noexcept {
    return len >= 2 && line[0] == '-' && line[1] == '-' && len <= longestBoundary_ + 2;
}

std::string_view TMimeDecode::LowerLine(const char* line, size_t len) {
    lowered_.assign(line, len);
    for (char& ch : lowered_)
        ch = LowerAscii(ch);
    return lowered_;
}

void TMimeDecode::TriggerHeaderBegin() {
    if (OnHeaderBegin) OnHeaderBegin(this);
}

void TMimeDecode::TriggerHeaderLine() {
    if (OnHeaderLine) OnHeaderLine(this);
}

void TMimeDecode::TriggerHeaderEnd() {
    if (OnHeaderEnd) OnHeaderEnd(this);
}

void TMimeDecode::TriggerPartHeaderBegin() {
    if (OnPartHeaderBegin) OnPartHeaderBegin(this);
}

void TMimeDecode::TriggerPartHeaderLine() {
    if (OnPartHeaderLine) OnPartHeaderLine(this);
}

void TMimeDecode::TriggerPartHeaderEnd() {
    if (OnPartHeaderEnd) OnPartHeaderEnd(this);
}

void TMimeDecode::TriggerPartBegin() {
    if (OnPartBegin) OnPartBegin(this);
}

void TMimeDecode::TriggerPartLine(const char* Data, int DataLen) {
    if (OnPartLine) OnPartLine(this, Data, DataLen);
}

void TMimeDecode::TriggerPartEnd() {
    if (OnPartEnd) OnPartEnd(this);
}

void TMimeDecode::TriggerMessageEnd() {
    if (OnMessageEnd) OnMessageEnd(this);
}
