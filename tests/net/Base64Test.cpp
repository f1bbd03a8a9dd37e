#include "net/Base64.h"

#include <gtest/gtest.h>

#include <string>

// RFC 4648 section 10 test vectors (same alphabet and padding as RFC 2045).
TEST(Base64, EncodesTheRfcVectors) {
    EXPECT_EQ(Base64Encode(""), "");
    EXPECT_EQ(Base64Encode("f"), "Zg==");
    EXPECT_EQ(Base64Encode("fo"), "Zm8=");
    EXPECT_EQ(Base64Encode("foo"), "Zm9v");
    EXPECT_EQ(Base64Encode("foob"), "Zm9vYg==");
    EXPECT_EQ(Base64Encode("fooba"), "Zm9vYmE=");
    EXPECT_EQ(Base64Encode("foobar"), "Zm9vYmFy");
    EXPECT_EQ(Base64Encode(std::string("\xFB\xFF\x00", 3)), "+/8A");
    // AUTH PLAIN's NUL-separated credentials (RFC 4616 section 4 example).
    EXPECT_EQ(Base64Encode(std::string("\0tim\0tanstaaftanstaaf", 21)),
              "AHRpbQB0YW5zdGFhZnRhbnN0YWFm");
}

TEST(Base64, RoundTripsEveryLengthAndByte) {
    std::string data;
    for (int length = 0; length < 300; ++length) {
        const std::string encoded = Base64Encode(data);
        ASSERT_EQ(encoded.size(), Base64EncodedLength(data.size()));
        ASSERT_EQ(Base64Decode(encoded), data) << "length " << length;
        data += static_cast<char>(length * 37 + 11);
    }
}

TEST(Base64, DecodesLinesLeniently) {
    const std::pair<std::string, std::string> cases[] = {
        {"QUJD", "ABC"},
        {"QUI=", "AB"},
        {"QQ==", "A"},
        {"QQ==QQ==", "AA"}, // decoding goes on after padding
        // Only "=" in the third or fourth place shortens a group; elsewhere it counts as 0 bits.
        {"Q=JD", std::string("@\x02\x43", 3)},
        {"   QUJD QUJD", "ABC"},
        // A TAB is not an alphabet character: it maps to all-ones and is decoded with its group.
        {"QUJD\tQUJD", std::string("ABC\xFD\x05\x09", 6)},
        // A final group shorter than four characters decodes as if padded; a lone character
        // cannot hold a byte.
        {"QUJDQQ", "ABCA"},
        {"QUJDQUI", "ABCAB"},
        {"QUJDQ", "ABC"},
        {" ", ""},
    };
    for (const auto& [text, decoded] : cases)
        EXPECT_EQ(Base64Decode(text), decoded) << '"' << text << '"';
    // In place, as the decoder uses it.
    std::string line = "  SGVsbG8sIHdvcmxkIQ==";
    const size_t n = Base64DecodeLine(line.data(), line.size(), line.data());
    EXPECT_EQ(line.substr(0, n), "Hello, world!");
}
