#include "net/WSockBuf.h"

#include <algorithm>
#include <cstring>

TBuffer::TBuffer(std::int32_t Size) : size_(Size <= 0 ? 1514 : Size) {
    // Not zeroed: only written bytes are ever read.
    data_ = std::make_unique_for_overwrite<char[]>(static_cast<size_t>(size_));
}

std::int32_t TBuffer::Write(const void* Data, std::int32_t Len) {
    const std::int32_t count = std::clamp(Len, 0, size_ - wrCount_);
    if (count > 0) {
        std::memcpy(data_.get() + wrCount_, Data, static_cast<size_t>(count));
        wrCount_ += count;
    }
    return count;
}

const char* TBuffer::Peek(std::int32_t& Len) const {
    Len = wrCount_ - rdCount_;
    return Len > 0 ? data_.get() + rdCount_ : nullptr;
}

std::int32_t TBuffer::Remove(std::int32_t Len) {
    const std::int32_t count = std::clamp(Len, 0, wrCount_ - rdCount_);
    rdCount_ += count;
    if (rdCount_ >= wrCount_) {
        rdCount_ = 0;
        wrCount_ = 0;
    }
    return count;
}
