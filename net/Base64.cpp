#include "net/Base64.h"

#include <array>
#include <cstdint>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr uint8_t kPad = 64;
constexpr uint8_t kInvalid = 255;

constexpr std::array<uint8_t, 256> MakeDecodeTable() {
    std::array<uint8_t, 256> table{};
    for (auto& value : table)
        value = kInvalid;
    for (int i = 0; i < 64; ++i)
        table[static_cast<uint8_t>(kAlphabet[i])] = static_cast<uint8_t>(i);
    table['='] = kPad;
    return table;
}

constexpr std::array<uint8_t, 256> kDecode = MakeDecodeTable();

// kShifted[k][ch]: the 6-bit value of ch placed for position k of a group of four, or a bit
// above the 24 data bits when ch is "=" or not in the alphabet.
constexpr std::array<std::array<uint32_t, 256>, 4> MakeShiftedTables() {
    std::array<std::array<uint32_t, 256>, 4> tables{};
    for (int k = 0; k < 4; ++k)
        for (int ch = 0; ch < 256; ++ch) {
            const uint8_t v = kDecode[ch];
            tables[k][ch] = v < 64 ? uint32_t{v} << (18 - 6 * k) : 1u << 24;
        }
    return tables;
}

constexpr auto kShifted = MakeShiftedTables();

} // namespace

size_t Base64EncodeTo(const void* data, size_t count, char* out) noexcept {
    const auto* in = static_cast<const uint8_t*>(data);
    char* o = out;
    size_t i = 0;
    for (; i + 3 <= count; i += 3) {
        const uint32_t v = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8) | in[i + 2];
        *o++ = kAlphabet[(v >> 18) & 63];
        *o++ = kAlphabet[(v >> 12) & 63];
        *o++ = kAlphabet[(v >> 6) & 63];
        *o++ = kAlphabet[v & 63];
    }
    if (const size_t rest = count - i; rest > 0) {
        const uint32_t v = (uint32_t{in[i]} << 16) | (rest == 2 ? uint32_t{in[i + 1]} << 8 : 0);
        *o++ = kAlphabet[(v >> 18) & 63];
        *o++ = kAlphabet[(v >> 12) & 63];
        *o++ = rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        *o++ = '=';
    }
    return static_cast<size_t>(o - out);
}

std::string Base64Encode(std::string_view data) {
    std::string out(Base64EncodedLength(data.size()), '\0');
    out.resize(Base64EncodeTo(data.data(), data.size(), out.data()));
    return out;
}

size_t Base64DecodeLine(const char* data, size_t count, char* out) noexcept {
    const auto* in = reinterpret_cast<const uint8_t*>(data);
    size_t i = 0;
    while (i < count && in[i] == ' ')
        ++i;
    char* o = out;
    while (count - i >= 8) {
        // Two groups per step: every load comes before the stores, so the compiler need not
        // assume that writing in place changed the input.
        const uint32_t v1 = kShifted[0][in[i]] | kShifted[1][in[i + 1]] | kShifted[2][in[i + 2]] |
                            kShifted[3][in[i + 3]];
        const uint32_t v2 = kShifted[0][in[i + 4]] | kShifted[1][in[i + 5]] |
                            kShifted[2][in[i + 6]] | kShifted[3][in[i + 7]];
        if ((v1 | v2) >= (1u << 24)) break;
        o[0] = static_cast<char>(v1 >> 16);
        o[1] = static_cast<char>(v1 >> 8);
        o[2] = static_cast<char>(v1);
        o[3] = static_cast<char>(v2 >> 16);
        o[4] = static_cast<char>(v2 >> 8);
        o[5] = static_cast<char>(v2);
        o += 6;
        i += 8;
    }
    while (i < count) {
        if (count - i >= 4) {
            // Common case: four alphabet characters; all four are read before any byte is
            // written, which keeps decoding in place safe.
            const uint32_t v = kShifted[0][in[i]] | kShifted[1][in[i + 1]] |
                               kShifted[2][in[i + 2]] | kShifted[3][in[i + 3]];
            if (v < (1u << 24)) {
                o[0] = static_cast<char>(v >> 16);
                o[1] = static_cast<char>(v >> 8);
                o[2] = static_cast<char>(v);
                o += 3;
                i += 4;
                continue;
            }
        }
        if (in[i] == ' ') break;
        const size_t avail = count - i;
        if (avail == 1) break; // six bits cannot make a byte
        const uint8_t p = kDecode[in[i]];
        const uint8_t q = kDecode[in[i + 1]];
        const uint8_t r = avail > 2 ? kDecode[in[i + 2]] : kPad;
        const uint8_t s = avail > 3 ? kDecode[in[i + 3]] : kPad;
        i += avail > 4 ? 4 : avail;
        *o++ = static_cast<char>(((p & 63) << 2) | ((q & 48) >> 4));
        if (r == kPad) continue;
        *o++ = static_cast<char>(((q & 15) << 4) | ((r & 60) >> 2));
        if (s == kPad) continue;
        *o++ = static_cast<char>(((r & 3) << 6) | (s & 63));
    }
    return static_cast<size_t>(o - out);
}

std::string Base64Decode(std::string_view text) {
    std::string out(text.size() / 4 * 3 + 3, '\0');
    out.resize(Base64DecodeLine(text.data(), text.size(), out.data()));
    return out;
}
