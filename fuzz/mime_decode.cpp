// libFuzzer entry for TMimeDecode: any bytes are a message. The first byte picks the read
// size of the stream, so lines and CR LF pairs also arrive cut at every position. Every
// delivered chunk is read in full (ASan checks its bounds) and must be NUL-terminated.
#include "net/MimeDec.h"
#include "ui/Streams.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

class TPieceStream : public TStream {
public:
    TPieceStream(const uint8_t* data, size_t size, size_t piece)
        : data_(data), size_(size), piece_(piece) {}
    int64_t Read(void* buffer, int64_t count) override {
        const size_t n = std::min({static_cast<size_t>(count), piece_, size_ - pos_});
        if (n) std::memcpy(buffer, data_ + pos_, n);
        pos_ += n;
        return static_cast<int64_t>(n);
    }
    int64_t Write(const void*, int64_t) override { return 0; }
    int64_t Seek(int64_t, TSeekOrigin) override { return static_cast<int64_t>(pos_); }

private:
    const uint8_t* data_;
    size_t size_;
    size_t piece_;
    size_t pos_ = 0;
};

volatile unsigned sink;

void Touch(const char* data, int len) {
    if (len < 0 || (len > 0 && data == nullptr) || (data && data[len] != '\0')) std::abort();
    unsigned sum = 0;
    for (int i = 0; i < len; ++i)
        sum += static_cast<unsigned char>(data[i]);
    sink = sink + sum;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t piece = SIZE_MAX;
    if (size > 0) {
        // 0 = whole reads; otherwise pieces of 1..255 bytes.
        piece = data[0] == 0 ? SIZE_MAX : data[0];
        ++data;
        --size;
    }
    static TMimeDecode decoder;
    decoder.OnHeaderLine = [](TObject* sender) {
        const std::string line = static_cast<TMimeDecode*>(sender)->CurrentLine();
        Touch(line.c_str(), static_cast<int>(line.size()));
    };
    decoder.OnPartHeaderLine = decoder.OnHeaderLine;
    decoder.OnPartLine = [](TObject*, const char* d, int n) { Touch(d, n); };
    decoder.OnInlineDecodeBegin = [](TObject*, const std::string& name) {
        if (name.size() > 255) std::abort();
    };
    decoder.OnInlineDecodeLine = [](TObject*, const char* d, int n) { Touch(d, n); };
    decoder.OnInlineDecodeEnd = decoder.OnInlineDecodeBegin;
    TPieceStream stream(data, size, piece);
    decoder.DecodeStream(stream);
    const auto& lines = decoder.MsgHeaderLines();
    sink = sink + static_cast<unsigned>(lines.Count() + decoder.PartNumber());
    return 0;
}
