// Transfer decodings and the in-line uuencode filter of TMimeDecode: exact OnPartLine chunks.
#include "net/MimeDec.h"
#include "net/MimeDecScan.h"

#include "MimeDecRecorder.h"

#include <gtest/gtest.h>

using namespace std::string_literals;

namespace {

// Only the part events of a single-part message with the given encoding and body.
Events BodyEvents(TMimeDecode& d, const std::string& encoding, const std::string& body) {
    const std::string head = encoding.empty()
                                 ? std::string("Subject: s\r\n\r\n")
                                 : "Content-Transfer-Encoding: " + encoding + "\r\n\r\n";
    Events events = DecodeEvents(d, head + body);
    const auto he = std::find(events.begin(), events.end(), "HE");
    return Events(he + 1, events.end());
}

} // namespace

TEST(MimeDecEncoding, UnencodedLinesAreFollowedByCrLf) {
    TMimeDecode d;
    EXPECT_EQ(BodyEvents(d, "", "Hello\r\n\r\nx\0y\r\n"s),
              (Events{"PB", "PL 5 Hello", "PL 2 \\r\\n", "PL 0", "PL 2 \\r\\n", "PL 3 x\\x00y",
                      "PL 2 \\r\\n", "PE", "ME"}));
    // Unknown encodings pass through the same way.
    EXPECT_EQ(BodyEvents(d, "X-Unknown", "QUJD\r\n"),
              (Events{"PB", "PL 4 QUJD", "PL 2 \\r\\n", "PE", "ME"}));
}

TEST(MimeDecEncoding, QuotedPrintable) {
    TMimeDecode d;
    EXPECT_EQ(BodyEvents(d, "Quoted-Printable",
                         "caf=E9=\r\n"  // soft break: no CR LF
                         "a=3Db\r\n"    // escaped "="
                         "=\r\n"        // soft break alone
                         "\r\n"         // empty line
                         "lo=e9=Aa\r\n" // lower-case hex digits
                         "=G0=4\r\n"),  // h(ch) for a non-hex letter; one character at the end
              (Events{"PB", "PL 4 caf\\xE9", "PL 5 a=b\\r\\n", "PL 0", "PL 2 \\r\\n",
                      "PL 6 lo\\xE9\\xAA\\r\\n",
                      // G gives (0x47 AND 15) + 9 = 16, so 16 * 16 + 0 truncates to 0
                      "PL 4 \\x00\\x04\\r\\n", "PE", "ME"}));
}

TEST(MimeDecEncoding, Base64Groups) {
    TMimeDecode d;
    EXPECT_EQ(BodyEvents(d, "base64",
                         "QUJD\r\n"
                         "QUI=\r\n"
                         "QQ==\r\n"
                         "  QUJD QUJD\r\n" // leading spaces skipped; a space ends the line
                         "\r\n"
                         "QU*D\r\n"), // "*" maps to 255 and still contributes its bits
              (Events{"PB", "PL 3 ABC", "PL 2 AB", "PL 1 A", "PL 3 ABC", "PL 0", "PL 3 AO\\xC3",
                      "PE", "ME"}));
}

TEST(MimeDecEncoding, XUuencodePart) {
    TMimeDecode d;
    EXPECT_EQ(BodyEvents(d, "x-uuencode",
                         "#86)C\r\n" // outside begin/end: dropped
                         "begin 644 a b.bin\r\n"
                         "#86)C\r\n"
                         "\r\n"    // empty: nothing
                         "#86\r\n" // short: missing characters count as 0
                         "`\r\n"
                         "end\r\n"
                         "#86)C\r\n"),
              (Events{"PB", "PL 3 abc", "PL 3 a`\\x00", "PL 0", "PE", "ME"}));
    // The file name is cut at 255 characters; a scissors line is neither a begin nor data.
    const Events named = DecodeEvents(d, "\r\nbegin 644 " + std::string(300, 'n') + "\r\n");
    EXPECT_EQ(named[2], "IB " + std::string(255, 'n'));
    EXPECT_EQ(BodyEvents(d, "x-uuencode", "begin -- cut here --\r\n#86)C\r\n"),
              (Events{"PB", "PE", "ME"}));
}

TEST(MimeDecEncoding, UudecodeLineDecodesTheFullLengthCharacter) {
    char out[64];
    // "M" announces 45 bytes; a 61-character line carries them all.
    const std::string line = "M" + std::string(60, '!');
    ASSERT_EQ(MimeDecScan::UudecodeLine(line.data(), line.size(), out), 45u);
    // "!!!!" = 1,1,1,1 -> 0x04 0x10 0x41
    EXPECT_EQ(std::string(out, 3), "\x04\x10\x41");
    EXPECT_EQ(MimeDecScan::UudecodeLine("M", 1, out), 45u);
    EXPECT_EQ(std::string(out, 45), std::string(45, '\0'));
}

TEST(MimeDecInline, UuencodedFileInPlainText) {
    TMimeDecode d;
    EXPECT_EQ(BodyEvents(d, "",
                         "hello\r\n"
                         "  BEGIN 644 my file.txt  \r\n"
                         "#86)C\r\n"
                         "`\r\n"
                         "M\r\n"
                         "End\r\n"
                         "bye\r\n"),
              (Events{"PB", "PL 5 hello", "PL 2 \\r\\n", "IB my file.txt", "PL 2 \\r\\n",
                      "IL 3 abc", "PL 2 \\r\\n", "IL 0", "PL 2 \\r\\n",
                      "IL 0", // a single character decodes to nothing
                      "PL 2 \\r\\n", "IE my file.txt", "PL 2 \\r\\n", "PL 3 bye", "PL 2 \\r\\n",
                      "PE", "ME"}));
}

TEST(MimeDecInline, CutHereLinesAndTypedParts) {
    TMimeDecode d;
    // A begin line with "-- cut here" is swallowed but opens no block.
    EXPECT_EQ(BodyEvents(d, "", "begin 666 --- cut here ---\r\n#86)C\r\n"),
              (Events{"PB", "PL 2 \\r\\n", "PL 5 #86)C", "PL 2 \\r\\n", "PE", "ME"}));
    // Inside a block an "end -- cut here" line is data; so is everything else.
    EXPECT_EQ(BodyEvents(d, "", "begin 644 f\r\nend -- cut here\r\nend\r\n"),
              (Events{"PB", "IB f", "PL 2 \\r\\n", "IL 5 8@\\r4\\x00", "PL 2 \\r\\n", "IE f",
                      "PL 2 \\r\\n", "PE", "ME"}));

    // A part with a Content-Type is never filtered.
    const Events typed = DecodeEvents(d, "Content-Type: multipart/mixed; boundary=b\r\n\r\n"
                                         "--b\r\nContent-Type: text/plain\r\n\r\n"
                                         "begin 644 f\r\n--b--\r\n");
    EXPECT_NE(std::find(typed.begin(), typed.end(), "PL 11 begin 644 f"), typed.end());
}

TEST(MimeDecInline, BlockEndsAtPartBoundaryAndWithoutLineHandler) {
    TMimeDecode d;
    const Events events = DecodeEvents(d, "Content-Type: multipart/mixed; boundary=b\r\n\r\n"
                                          "--b\r\n\r\n"
                                          "begin 644 f\r\n"
                                          "#86)C\r\n"
                                          "--b\r\n\r\n"
                                          "#86)C\r\n");
    // The second part starts outside any block: its line is ordinary text.
    EXPECT_EQ(Events(events.end() - 5, events.end()),
              (Events{"PB", "PL 5 #86)C", "PL 2 \\r\\n", "PE", "ME"}));

    // Without OnInlineDecodeLine the block's lines are still kept from OnPartLine.
    TMimeRecorder recorder(d, false);
    Decode(d, "\r\nbegin 644 f\r\n#86)C\r\nend\r\n");
    EXPECT_EQ(recorder.Events(),
              (Events{"HE", "PB", "PL 2 \\r\\n", "PL 2 \\r\\n", "PL 2 \\r\\n", "PE", "ME"}));
}
