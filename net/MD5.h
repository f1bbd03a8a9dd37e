#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// MD5 message digest (RFC 1321). Used by APOP (RFC 1939 section 7) and, inside HMAC (RFC 2104),
// by CRAM-MD5. Not for anything that needs collision resistance.

using TMD5Digest = std::array<std::uint8_t, 16>;

// Incremental digest: Update any number of times, then Final once.
class TMD5Context {
public:
    TMD5Context() noexcept;
    void Update(const void* data, std::size_t size) noexcept;
    void Update(std::string_view data) noexcept { Update(data.data(), data.size()); }
    TMD5Digest Final() noexcept;

private:
    void Transform(const std::uint8_t* block) noexcept;

    std::array<std::uint32_t, 4> state_;
    std::uint64_t bitCount_ = 0;
    std::array<std::uint8_t, 64> buffer_{};
};

// Digest of a byte string.
TMD5Digest MD5Digest(std::string_view data) noexcept;

// Lower-case hexadecimal text of a digest, two digits per byte in digest order.
std::string MD5DigestToHex(const TMD5Digest& digest);

// MD5DigestToHex(MD5Digest(data)).
std::string MD5Hex(std::string_view data);
