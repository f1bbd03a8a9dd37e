// Line splitting, multipart structure and the event sequence of TMimeDecode.
#include "net/MimeDec.h"

#include "MimeDecRecorder.h"

#include <gtest/gtest.h>

TEST(MimeDecLines, LineEndingsAndTheLastLine) {
    TMimeDecode d;
    // CR LF and lone LF end lines; a lone CR stays in the line; the last line keeps its CR.
    EXPECT_EQ(DecodeEvents(d, "\r\na\rb\r\nc\nd\r"),
              (Events{"HE", "PB", "PL 3 a\\rb", "PL 2 \\r\\n", "PL 1 c", "PL 2 \\r\\n", "PL 2 d\\r",
                      "PL 2 \\r\\n", "PE", "ME"}));
    // An empty line at the very end is no line at all.
    EXPECT_EQ(DecodeEvents(d, "\r\n\r\n"), (Events{"HE", "PB", "PL 0", "PL 2 \\r\\n", "PE", "ME"}));
    EXPECT_EQ(DecodeEvents(d, "\n"), (Events{"HE", "PE", "ME"}));
}

// A header line that ends exactly where a read ends needs one more byte to know whether the
// next line continues it; the decoder asks for exactly that byte.
TEST(MimeDecLines, ContinuationLookAheadReadsOneByte) {
    class TRecordingStream : public TChunkStream {
    public:
        using TChunkStream::TChunkStream;
        int64_t Read(void* buffer, int64_t count) override {
            Requests.push_back(count);
            return TChunkStream::Read(buffer, count);
        }
        std::vector<int64_t> Requests;
    };
    TMimeDecode d;
    TMimeRecorder recorder(d);
    TRecordingStream stream("Subject: a\r\n b\r\n\r\n", 12);
    d.DecodeStream(stream);
    ASSERT_GE(stream.Requests.size(), 2u);
    EXPECT_EQ(stream.Requests[1], 1);
    EXPECT_EQ(d.MsgSubject(), "a   b");
}

TEST(MimeDecParts, MultipartWithPreambleBoundariesAndEpilogue) {
    TMimeDecode d;
    const Events events = DecodeEvents(d, "Content-Type: multipart/mixed; boundary=AbC\r\n"
                                          "\r\n"
                                          "pre\r\n"
                                          "\r\n"
                                          "--abc--\r\n"
                                          "--ABC\r\n"
                                          "Content-Type: text/plain\r\n"
                                          "\r\n"
                                          "one\r\n"
                                          "--abc\r\n"
                                          "\r\n"
                                          "two\r\n"
                                          "--abc \r\n"
                                          "--AbC--\r\n"
                                          "epi\r\n");
    EXPECT_EQ(events, (Events{"HB", "HL Content-Type: multipart/mixed; boundary=AbC", "HE",
                              // the preamble: raw lines, no line endings; a closing delimiter
                              // there is text
                              "PB", "PL 3 pre", "PL 0", "PL 7 --abc--",
                              // part 1
                              "PE", "PHB 1", "PHL Content-Type: text/plain", "PHE", "PB",
                              "PL 3 one", "PL 2 \\r\\n",
                              // part 2: empty header; trailing white space makes content
                              "PE", "PHB 2", "PHE", "PB", "PL 3 two", "PL 2 \\r\\n", "PL 6 --abc ",
                              "PL 2 \\r\\n",
                              // closing delimiter; the epilogue starts a third part header
                              "PE", "PHB 3", "PHL epi", "ME"}));
    EXPECT_TRUE(d.FinalBoundarySeen());
    EXPECT_EQ(d.PartNumber(), 3);
    EXPECT_EQ(d.MsgBoundary(), "--abc");
}

TEST(MimeDecParts, EpilogueWithDataEndsAsAPart) {
    TMimeDecode d;
    EXPECT_EQ(DecodeEvents(d, "Content-Type: multipart/mixed; boundary=b\r\n\r\n"
                              "--b\r\n\r\nx\r\n--b--\r\n\r\nepilogue\r\n"),
              (Events{"HB", "HL Content-Type: multipart/mixed; boundary=b", "HE", "PB", "PE",
                      "PHB 1", "PHE", "PB", "PL 1 x", "PL 2 \\r\\n", "PE", "PHB 2", "PHE", "PB",
                      "PL 8 epilogue", "PL 2 \\r\\n", "PE", "ME"}));
    EXPECT_EQ(d.PartNumber(), 2);
    // Without a closing delimiter the last part still ends at the end of input.
    const Events open = DecodeEvents(d, "Content-Type: multipart/mixed; boundary=b\r\n\r\n"
                                        "--b\r\n\r\nx");
    EXPECT_EQ(open.back(), "ME");
    EXPECT_EQ(open[open.size() - 2], "PE");
    EXPECT_FALSE(d.FinalBoundarySeen());
    // Ending in the preamble: the preamble's OnPartBegin is not matched by an OnPartEnd.
    EXPECT_EQ(DecodeEvents(d, "Content-Type: multipart/mixed; boundary=b\r\n\r\nno parts\r\n"),
              (Events{"HB", "HL Content-Type: multipart/mixed; boundary=b", "HE", "PB",
                      "PL 8 no parts", "ME"}));
}

TEST(MimeDecParts, NestedMultipartsAreFlattened) {
    TMimeDecode d;
    const Events events = DecodeEvents(d, "Content-Type: multipart/mixed; boundary=out\r\n\r\n"
                                          "--out\r\n"
                                          "Content-Type: multipart/alternative; boundary=IN\r\n"
                                          "\r\n"
                                          "--in\r\n"
                                          "Content-Type: text/plain\r\n\r\n"
                                          "p\r\n"
                                          "--In--\r\n"
                                          "\r\n"
                                          "--out--\r\n");
    EXPECT_EQ(events,
              (Events{"HB", "HL Content-Type: multipart/mixed; boundary=out", "HE", "PB", "PE",
                      "PHB 1", "PHL Content-Type: multipart/alternative; boundary=IN", "PHE",
                      // the nested boundary ends part 1, which never had a data line
                      "PE", "PHB 2", "PHL Content-Type: text/plain", "PHE", "PB", "PL 1 p",
                      "PL 2 \\r\\n", "PE", "PHB 3", "PHE", "PE", "ME"}));
    EXPECT_EQ(d.PartNumber(), 3);
    EXPECT_TRUE(d.FinalBoundarySeen()); // only the outer closing delimiter sets it
    EXPECT_EQ(d.PartContentType(), ""); // part fields describe the last part
}

TEST(MimeDecParts, IndentedFirstLineMeansNoPartHeader) {
    TMimeDecode d;
    EXPECT_EQ(DecodeEvents(d, "Content-Type: multipart/mixed; boundary=b\r\n\r\n"
                              "--b\r\n"
                              " indented\r\n"
                              "Content-Type: text/html\r\n"
                              "--b--\r\n"),
              (Events{"HB", "HL Content-Type: multipart/mixed; boundary=b", "HE", "PB", "PE",
                      "PHB 1", "PHE", "PB", "PL 9  indented", "PL 2 \\r\\n",
                      "PL 23 Content-Type: text/html", "PL 2 \\r\\n", "PE", "ME"}));
}

TEST(MimeDecParts, PartFieldsAreClearedAtEveryBoundary) {
    TMimeDecode d;
    std::vector<std::string> seen;
    TMimeRecorder recorder(d);
    d.OnPartLine = [&](TObject*, const char* data, int len) {
        seen.push_back(d.PartContentType() + "|" + d.PartDisposition() + "|" + d.PartFileName() +
                       "|" + std::string(data, static_cast<size_t>(len)));
    };
    Decode(d, "Content-Type: multipart/mixed; boundary=b\r\n\r\n"
              "--b\r\n"
              "Content-Type: application/pdf\r\n"
              "Content-Disposition: attachment; filename=\"r.pdf\"\r\n"
              "Content-Transfer-Encoding: base64\r\n"
              "\r\n"
              "QUJD\r\n"
              "--b\r\n"
              "\r\n"
              "QUJD\r\n"
              "--b--\r\n");
    EXPECT_EQ(seen, (std::vector<std::string>{"application/pdf|attachment|r.pdf|ABC", "|||QUJD",
                                              "|||\r\n"}));
}
