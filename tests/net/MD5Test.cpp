#include "net/MD5.h"

#include <gtest/gtest.h>

#include <string>

// The test suite of RFC 1321 appendix A.5.
TEST(MD5, Rfc1321TestSuite) {
    EXPECT_EQ(MD5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(MD5Hex("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(MD5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(MD5Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(MD5Hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(MD5Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(MD5Hex("1234567890123456789012345678901234567890"
                     "1234567890123456789012345678901234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

// Feeding the same bytes in pieces that straddle the 64-byte block and the 56-byte padding
// boundary must give the one-shot digest; lengths 55..57 and 63..65 exercise both paddings.
TEST(MD5, IncrementalMatchesOneShotAtBlockBoundaries) {
    for (std::size_t length : {55u, 56u, 57u, 63u, 64u, 65u, 119u, 120u, 1000u}) {
        std::string data;
        for (std::size_t i = 0; i < length; ++i)
            data += static_cast<char>(i * 7 + 3);
        const TMD5Digest whole = MD5Digest(data);
        for (std::size_t split = 0; split <= length; split += 13) {
            TMD5Context context;
            context.Update(std::string_view(data).substr(0, split));
            context.Update(std::string_view(data).substr(split));
            EXPECT_EQ(context.Final(), whole) << "length " << length << " split " << split;
        }
    }
    // Bytes with the high bit set and NUL bytes are digested as they are (coreutils md5sum).
    EXPECT_EQ(MD5Hex(std::string("\xff\x80\x00", 3)), "1c3de5a5ff8863c6c9731b06d1702e10");
}
