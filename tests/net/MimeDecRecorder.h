#pragma once

// Shared by the MIME decoder suites: streams with controlled read sizes and failures, and a
// recorder that turns the decoder's events into one transcript string per event.

#include "net/MimeDec.h"
#include "ui/Streams.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

// Serves a byte string in reads of at most chunk bytes (lines arrive cut anywhere) and, when
// failAt is set, raises EStreamError once that many bytes have been read.
class TChunkStream : public TStream {
public:
    TChunkStream(std::string data, size_t chunk, size_t failAt = SIZE_MAX)
        : data_(std::move(data)), chunk_(chunk), failAt_(failAt) {}

    int64_t Read(void* buffer, int64_t count) override {
        ++reads_;
        if (pos_ >= failAt_) throw EStreamError("simulated read failure");
        size_t n = std::min({static_cast<size_t>(count), chunk_, data_.size() - pos_});
        n = std::min(n, failAt_ - pos_);
        std::memcpy(buffer, data_.data() + pos_, n);
        pos_ += n;
        return static_cast<int64_t>(n);
    }
    int64_t Write(const void*, int64_t) override { return 0; }
    int64_t Seek(int64_t, TSeekOrigin) override { return static_cast<int64_t>(pos_); }
    size_t Reads() const { return reads_; }

private:
    std::string data_;
    size_t chunk_;
    size_t failAt_;
    size_t pos_ = 0;
    size_t reads_ = 0;
};

inline std::string Escaped(const char* data, size_t len) {
    std::string out;
    for (size_t i = 0; i < len; ++i) {
        const auto ch = static_cast<unsigned char>(data[i]);
        if (ch == '\r') {
            out += "\\r";
        } else if (ch == '\n') {
            out += "\\n";
        } else if (ch < 32 || ch >= 127 || ch == '\\') {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", ch);
            out += hex;
        } else {
            out += static_cast<char>(ch);
        }
    }
    return out;
}

// Records every event as a short text: "PL 5 hello" is an OnPartLine chunk of 5 bytes.
// Header lines are recorded with CurrentLine; part header events carry PartNumber.
class TMimeRecorder {
public:
    explicit TMimeRecorder(TMimeDecode& decoder, bool inlineEvents = true) : d_(decoder) {
        d_.OnHeaderBegin = [this](TObject*) { Add("HB"); };
        d_.OnHeaderLine = [this](TObject*) { Add("HL " + EscapedText(d_.CurrentLine())); };
        d_.OnHeaderEnd = [this](TObject*) { Add("HE"); };
        d_.OnPartHeaderBegin = [this](TObject*) { Add("PHB " + std::to_string(d_.PartNumber())); };
        d_.OnPartHeaderLine = [this](TObject*) { Add("PHL " + EscapedText(d_.CurrentLine())); };
        d_.OnPartHeaderEnd = [this](TObject*) { Add("PHE"); };
        d_.OnPartBegin = [this](TObject*) { Add("PB"); };
        d_.OnPartLine = [this](TObject*, const char* data, int len) { Chunk("PL", data, len); };
        d_.OnPartEnd = [this](TObject*) { Add("PE"); };
        d_.OnMessageEnd = [this](TObject*) { Add("ME"); };
        if (!inlineEvents) return;
        d_.OnInlineDecodeBegin = [this](TObject*, const std::string& name) { Add("IB " + name); };
        d_.OnInlineDecodeLine = [this](TObject*, const char* data, int len) {
            Chunk("IL", data, len);
        };
        d_.OnInlineDecodeEnd = [this](TObject*, const std::string& name) { Add("IE " + name); };
    }

    // The handlers capture this recorder; none may outlive it.
    ~TMimeRecorder() {
        d_.OnHeaderBegin = d_.OnHeaderLine = d_.OnHeaderEnd = nullptr;
        d_.OnPartHeaderBegin = d_.OnPartHeaderLine = d_.OnPartHeaderEnd = nullptr;
        d_.OnPartBegin = d_.OnPartEnd = d_.OnMessageEnd = nullptr;
        d_.OnPartLine = nullptr;
        d_.OnInlineDecodeBegin = nullptr;
        d_.OnInlineDecodeLine = nullptr;
        d_.OnInlineDecodeEnd = nullptr;
    }
    TMimeRecorder(const TMimeRecorder&) = delete;
    TMimeRecorder& operator=(const TMimeRecorder&) = delete;

    static std::string EscapedText(const std::string& s) { return ::Escaped(s.data(), s.size()); }

    void Add(std::string event) { events_.push_back(std::move(event)); }
    const std::vector<std::string>& Events() const { return events_; }
    void Clear() { events_.clear(); }

private:
    // Decoded chunks are handed over NUL-terminated, so handlers may treat them as C strings.
    void Chunk(const std::string& kind, const char* data, int len) {
        if (data == nullptr || data[len] != '\0')
            ADD_FAILURE() << kind << " chunk not followed by NUL";
        Add(kind + " " + std::to_string(len) +
            (len ? " " + ::Escaped(data, static_cast<size_t>(len)) : ""));
    }

    TMimeDecode& d_;
    std::vector<std::string> events_;
};

// Decodes message from a memory stream with whatever handlers the decoder has.
inline void Decode(TMimeDecode& decoder, const std::string& message) {
    TMemoryStream stream;
    stream.WriteString(message);
    stream.SetPosition(0);
    decoder.DecodeStream(stream);
}

// Decodes message from a memory stream and returns the events. The same bytes are decoded
// again in reads of 1 and 7 bytes, which must not change a single event.
inline std::vector<std::string> DecodeEvents(TMimeDecode& decoder, const std::string& message) {
    TMimeRecorder recorder(decoder);
    Decode(decoder, message);
    const std::vector<std::string> events = recorder.Events();
    for (size_t chunk : {1u, 7u}) {
        recorder.Clear();
        TChunkStream pieces(message, chunk);
        decoder.DecodeStream(pieces);
        EXPECT_EQ(recorder.Events(), events) << "reads of " << chunk << " bytes";
    }
    return events;
}

using Events = std::vector<std::string>;
