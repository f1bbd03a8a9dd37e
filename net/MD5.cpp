#include "net/MD5.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::uint32_t RotateLeft(std::uint32_t x, int n) noexcept {
    return (x << n) | (x >> (32 - n));
}

// Per-round shift amounts and the sine-derived constants of RFC 1321 section 3.4.
constexpr int kShift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                            5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                            4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                            6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

constexpr std::uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

} // namespace

TMD5Context::TMD5Context() noexcept : state_{0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476} {}

void TMD5Context::Transform(const std::uint8_t* block) noexcept {
    // Words are little-endian whatever the host order (RFC 1321 section 2).
    std::uint32_t x[16];
    for (int i = 0; i < 16; ++i)
        x[i] = static_cast<std::uint32_t>(block[i * 4]) |
               (static_cast<std::uint32_t>(block[i * 4 + 1]) << 8) |
               (static_cast<std::uint32_t>(block[i * 4 + 2]) << 16) |
               (static_cast<std::uint32_t>(block[i * 4 + 3]) << 24);

    std::uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
    for (int i = 0; i < 64; ++i) {
        std::uint32_t f;
        int g;
        if (i < 16) {
            f = (b & c) | (~b & d);
            g = i;
        } else if (i < 32) {
            f = (b & d) | (c & ~d);
            g = (5 * i + 1) % 16;
        } else if (i < 48) {
            f = b ^ c ^ d;
            g = (3 * i + 5) % 16;
        } else {
            f = c ^ (b | ~d);
            g = (7 * i) % 16;
        }
        const std::uint32_t rotated = RotateLeft(a + f + kSine[i] + x[g], kShift[i]);
        a = d;
        d = c;
        c = b;
        b = b + rotated;
    }
    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
}

void TMD5Context::Update(const void* data, std::size_t size) noexcept {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::size_t held = static_cast<std::size_t>((bitCount_ / 8) % 64);
    bitCount_ += static_cast<std::uint64_t>(size) * 8;
    if (held > 0) {
        const std::size_t take = std::min(size, 64 - held);
        std::memcpy(buffer_.data() + held, bytes, take);
        held += take;
        bytes += take;
        size -= take;
        if (held < 64) return;
        Transform(buffer_.data());
    }
    for (; size >= 64; size -= 64, bytes += 64)
        Transform(bytes);
    if (size > 0) std::memcpy(buffer_.data(), bytes, size);
}

TMD5Digest TMD5Context::Final() noexcept {
    // Padding: one 1 bit, zeros up to 56 mod 64 bytes, then the bit length, little-endian.
    const std::uint64_t bits = bitCount_;
    std::uint8_t pad[72] = {0x80};
    const std::size_t held = static_cast<std::size_t>((bitCount_ / 8) % 64);
    const std::size_t padLength = held < 56 ? 56 - held : 120 - held;
    Update(pad, padLength);
    std::uint8_t length[8];
    for (int i = 0; i < 8; ++i)
        length[i] = static_cast<std::uint8_t>(bits >> (8 * i));
    Update(length, 8);

    TMD5Digest digest;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            digest[static_cast<std::size_t>(i * 4 + j)] =
                static_cast<std::uint8_t>(state_[static_cast<std::size_t>(i)] >> (8 * j));
    *this = TMD5Context();
    return digest;
}

TMD5Digest MD5Digest(std::string_view data) noexcept {
    TMD5Context context;
    context.Update(data);
    return context.Final();
}

std::string MD5DigestToHex(const TMD5Digest& digest) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(32);
    for (std::uint8_t byte : digest) {
        text += kHex[byte >> 4];
        text += kHex[byte & 0x0F];
    }
    return text;
}

std::string MD5Hex(std::string_view data) {
    return MD5DigestToHex(MD5Digest(data));
}
