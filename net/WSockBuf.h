#pragma once

#include <cstdint>
#include <memory>

// One fixed-size block of a socket's send queue. Bytes from the read position up to the write
// position are pending; once everything is read the block starts over from its beginning.
class TBuffer {
public:
    // A size of 0 or less gives the default of 1514 bytes (one Ethernet frame).
    explicit TBuffer(std::int32_t Size);

    // Copies as much of Data as fits; returns the count copied (0 when the block is full).
    std::int32_t Write(const void* Data, std::int32_t Len);
    // First pending byte and, in Len, how many are pending; nullptr and 0 when none.
    const char* Peek(std::int32_t& Len) const;
    // Drops up to Len pending bytes; returns the count dropped.
    std::int32_t Remove(std::int32_t Len);

    std::int32_t Size() const noexcept { return size_; }
    std::int32_t WrCount() const noexcept { return wrCount_; }
    std::int32_t RdCount() const noexcept { return rdCount_; }

private:
    std::unique_ptr<char[]> data_;
    std::int32_t size_;
    std::int32_t wrCount_ = 0;
    std::int32_t rdCount_ = 0;
};
