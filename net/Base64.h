#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Base64 with the RFC 2045 alphabet (section 6.8) and "=" padding.
//
// Decoding is lenient, as mail readers must be: each character maps to its 6-bit value, "=" to
// a pad marker that ends the group early, anything else to all-ones bits. It never rejects input.

// Number of characters Base64EncodeTo writes for count input bytes (padding included).
constexpr size_t Base64EncodedLength(size_t count) noexcept {
    return (count + 2) / 3 * 4;
}

// Encodes count bytes into out, which must hold Base64EncodedLength(count) characters.
// Returns the number of characters written. No line breaks are inserted.
size_t Base64EncodeTo(const void* data, size_t count, char* out) noexcept;
std::string Base64Encode(std::string_view data);

// Decodes one line: leading spaces are skipped, then groups of four characters are decoded
// until a group would start at the end or at a space. A group yields 1 byte when its third
// character is "=", 2 when its fourth is, else 3. A short final group is read as if padded
// with "=" (2 characters give 1 byte, 3 give 2, a lone character gives none), so nothing
// beyond count is read. out may equal data (decoding in place); it needs count * 3 / 4 + 2
// bytes at most. Returns the number of bytes written.
size_t Base64DecodeLine(const char* data, size_t count, char* out) noexcept;
std::string Base64Decode(std::string_view text);
