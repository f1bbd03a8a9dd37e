#include "tools/DemoBanner.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <unordered_map>
#include <vector>

namespace {

constexpr int kWidth = 468;
constexpr int kHeight = 60;
constexpr int kFrames = 10;
constexpr int kDelayCs = 12; // hundredths of a second per frame

// Palette indices; the table has 16 entries, the rest black.
enum : std::uint8_t { cBlue, cInk, cPaper, cGold, cRed, cGreen, cSky };
constexpr std::uint8_t kPalette[][3] = {{52, 110, 190}, {40, 56, 84},  {250, 250, 244},
                                        {226, 170, 40}, {196, 58, 48}, {56, 150, 72},
                                        {92, 150, 220}};
constexpr int kMinCodeSize = 4;

using TFrame = std::vector<std::uint8_t>;

void Fill(TFrame& f, int x, int y, int w, int h, std::uint8_t c) {
    for (int row = y; row < y + h; ++row)
        for (int col = x; col < x + w; ++col)
            if (row >= 0 && row < kHeight && col >= 0 && col < kWidth)
                f[static_cast<std::size_t>(row * kWidth + col)] = c;
}

// 5 × 7 capitals, one row per byte, the high bit of five on the left.
struct TGlyph {
    char letter;
    std::uint8_t rows[7];
};
constexpr TGlyph kGlyphs[] = {
    {'P', {0x1E, 0x11, 0x11, 0x1E, 0x10, 0x10, 0x10}},
    {'O', {0x0E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}},
    {'S', {0x0F, 0x10, 0x10, 0x0E, 0x01, 0x01, 0x1E}},
    {'T', {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04}},
    {'L', {0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1F}},
    {'A', {0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}},
    {'R', {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11}},
    {'K', {0x11, 0x12, 0x14, 0x18, 0x14, 0x12, 0x11}},
    {'D', {0x1E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x1E}},
    {'E', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F}},
    {'M', {0x11, 0x1B, 0x15, 0x15, 0x11, 0x11, 0x11}},
};

void Text(TFrame& f, const char* text, int x, int y, int scale, std::uint8_t c) {
    for (; *text; ++text, x += 6 * scale)
        for (const TGlyph& g : kGlyphs)
            if (g.letter == *text)
                for (int row = 0; row < 7; ++row)
                    for (int col = 0; col < 5; ++col)
                        if (g.rows[row] & (0x10 >> col))
                            Fill(f, x + col * scale, y + row * scale, scale, scale, c);
}

void Envelope(TFrame& f, int x, int y) {
    constexpr int w = 44, h = 28;
    Fill(f, x, y, w, h, cPaper);
    for (int i = 0; i < w / 2; ++i) { // the flap's two edges meet in the middle
        Fill(f, x + i, y + i * h / w, 2, 2, cInk);
        Fill(f, x + w - 2 - i, y + i * h / w, 2, 2, cInk);
    }
    Fill(f, x, y, w, 1, cInk);
    Fill(f, x, y + h - 1, w, 1, cInk);
    Fill(f, x, y, 1, h, cInk);
    Fill(f, x + w - 1, y, 1, h, cInk);
    Fill(f, x + w - 12, y + 4, 8, 9, cRed); // the stamp
}

TFrame Draw(int frame) {
    TFrame f(static_cast<std::size_t>(kWidth * kHeight), cBlue);
    Fill(f, 0, 0, kWidth, 6, cSky);
    Fill(f, 0, kHeight - 6, kWidth, 6, cInk);
    // The envelope flies along the left part, bobbing a little.
    const int ex = 6 + frame * 9, ey = 14 + (frame % 2 == 0 ? 0 : 3);
    Fill(f, 0, ey + 12, ex, 2, cSky); // its trail
    Envelope(f, ex, ey);
    Text(f, "POSTLARK DEMO", 150, 13, 4, cPaper);
    // A gold bar grows under the words and turns green when it is full.
    const int bar = (frame + 1) * 306 / kFrames;
    Fill(f, 150, 47, bar, 3, frame + 1 == kFrames ? cGreen : cGold);
    return f;
}

// LZW as GIF uses it (GIF89a appendix F): variable code width from kMinCodeSize + 1 up to 12
// bits, codes packed from the least significant bit, the table cleared when it is full.
class TLzwWriter {
public:
    std::vector<std::uint8_t> Encode(const TFrame& pixels) {
        const std::uint32_t clear = 1u << kMinCodeSize;
        Reset();
        Emit(clear);
        std::uint32_t current = pixels[0];
        for (std::size_t i = 1; i < pixels.size(); ++i) {
            const std::uint32_t key = current << 8 | pixels[i];
            if (const auto found = table_.find(key); found != table_.end()) {
                current = found->second;
                continue;
            }
            Emit(current);
            table_[key] = ++maxCode_;
            if (maxCode_ >= (1u << width_)) ++width_;
            if (maxCode_ == 4095) {
                Emit(clear);
                Reset();
            }
            current = pixels[i];
        }
        Emit(current);
        Emit(clear);
        width_ = kMinCodeSize + 1;
        Emit(clear + 1); // end of information
        if (bitCount_ > 0) out_.push_back(static_cast<std::uint8_t>(bits_));
        return std::move(out_);
    }

private:
    void Reset() {
        table_.clear();
        width_ = kMinCodeSize + 1;
        maxCode_ = (1u << kMinCodeSize) + 1;
    }
    void Emit(std::uint32_t code) {
        bits_ |= code << bitCount_;
        bitCount_ += width_;
        while (bitCount_ >= 8) {
            out_.push_back(static_cast<std::uint8_t>(bits_));
            bits_ >>= 8;
            bitCount_ -= 8;
        }
    }

    std::unordered_map<std::uint32_t, std::uint32_t> table_;
    std::vector<std::uint8_t> out_;
    std::uint32_t bits_ = 0;
    std::uint32_t bitCount_ = 0;
    std::uint32_t width_ = 0;
    std::uint32_t maxCode_ = 0;
};

void Put16(std::string& out, int value) {
    out += static_cast<char>(value & 0xFF);
    out += static_cast<char>(value >> 8 & 0xFF);
}

} // namespace

std::string DemoBannerGif() {
    std::string gif = "GIF89a";
    Put16(gif, kWidth);
    Put16(gif, kHeight);
    gif += static_cast<char>(0xF0 | (kMinCodeSize - 1)); // global table of 16 entries
    gif += '\0';                                         // background colour
    gif += '\0';                                         // square pixels
    for (int i = 0; i < 16; ++i)
        for (int c = 0; c < 3; ++c)
            gif +=
                static_cast<char>(i < static_cast<int>(std::size(kPalette)) ? kPalette[i][c] : 0);
    // Loop for ever.
    gif += std::string("\x21\xFF\x0BNETSCAPE2.0\x03\x01\x00\x00\x00", 19);
    for (int frame = 0; frame < kFrames; ++frame) {
        gif += std::string("\x21\xF9\x04\x04", 4); // graphic control: keep the frame
        Put16(gif, kDelayCs);
        gif += std::string("\x00\x00", 2);
        gif += '\x2C';
        Put16(gif, 0);
        Put16(gif, 0);
        Put16(gif, kWidth);
        Put16(gif, kHeight);
        gif += '\0';
        gif += static_cast<char>(kMinCodeSize);
        const std::vector<std::uint8_t> data = TLzwWriter().Encode(Draw(frame));
        for (std::size_t at = 0; at < data.size(); at += 255) {
            const std::size_t n = std::min<std::size_t>(255, data.size() - at);
            gif += static_cast<char>(n);
            gif.append(reinterpret_cast<const char*>(data.data() + at), n);
        }
        gif += '\0';
    }
    gif += '\x3B';
    return gif;
}

std::string DemoSponsorPage() {
    return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Postlark demo "
           "sponsor</title></head>\n<body style=\"font-family: sans-serif; background: #346ebe; "
           "color: #fafaf4; padding: 2em\">\n<h1>Postlark demo sponsor</h1>\n<p>You clicked the "
           "banner. This page comes from the demo server on your own computer; nothing left "
           "it.</p>\n</body></html>\n";
}
