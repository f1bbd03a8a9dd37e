// Hostile and failing input for TMimeDecode: huge lines, deep nesting, NUL bytes, streams and
// handlers that raise. Run under ASan+UBSan as well; sizes are the same in both builds.
#include "net/MimeDec.h"

#include "MimeDecRecorder.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string kMultipart = "Subject: hostile\r\n"
                               " folded\r\n"
                               "Content-Type: multipart/mixed; boundary=\"B\"\r\n"
                               "\r\n"
                               "preamble\r\n"
                               "--b\r\n"
                               "Content-Type: text/plain\r\n"
                               "Content-Transfer-Encoding: quoted-printable\r\n"
                               "\r\n"
                               "caf=E9=\r\n"
                               "x\rz\r\n"
                               "--b\r\n"
                               "Content-Transfer-Encoding: base64\r\n"
                               "\r\n"
                               "QUJD\n"
                               "--b\r\n"
                               "\r\n"
                               "begin 644 f\r\n"
                               "#86)C\r\n"
                               "end\r\n"
                               "--b--\r\n"
                               "epilogue";

std::string Repeat(const std::string& piece, size_t times) {
    std::string out;
    out.reserve(piece.size() * times);
    for (size_t i = 0; i < times; ++i)
        out += piece;
    return out;
}

} // namespace

// Lines and CR LF pairs cut at every position by the stream must not change any event.
// Whatever byte the stream fails at, the error reaches the caller, the events so far are
// exactly those of a complete decode up to that point, and the component decodes the next
// message normally.
TEST(MimeDecHostile, EveryReadSizeAndEveryFailurePoint) {
    TMimeDecode d;
    const Events whole = DecodeEvents(d, kMultipart);
    ASSERT_EQ(whole.back(), "ME");
    for (size_t chunk = 2; chunk <= 48; ++chunk) {
        TMimeRecorder recorder(d);
        TChunkStream stream(kMultipart, chunk);
        d.DecodeStream(stream);
        ASSERT_EQ(recorder.Events(), whole) << "reads of " << chunk << " bytes";
    }
    for (size_t failAt = 0; failAt < kMultipart.size(); ++failAt) {
        {
            TMimeRecorder recorder(d);
            TChunkStream stream(kMultipart, 3, failAt);
            EXPECT_THROW(d.DecodeStream(stream), EStreamError) << failAt;
            const Events& got = recorder.Events();
            ASSERT_LE(got.size(), whole.size());
            ASSERT_TRUE(std::equal(got.begin(), got.end(), whole.begin())) << failAt;
        }
        TMimeRecorder recorder(d);
        TChunkStream stream(kMultipart, 64);
        d.DecodeStream(stream);
        ASSERT_EQ(recorder.Events(), whole) << "after failure at " << failAt;
    }
}

TEST(MimeDecHostile, FiftyMegabyteLineWithoutLineFeed) {
    const size_t size = 50u << 20;
    std::string message = "Subject: big\r\n\r\n";
    message.append(size, 'x');
    message[16] = 'A';
    message.back() = 'Z';
    TMemoryStream stream;
    stream.WriteString(message);
    message = std::string();
    stream.SetPosition(0);

    TMimeDecode d;
    std::vector<int> counts;
    bool intact = false;
    d.OnPartLine = [&](TObject*, const char* data, int len) {
        counts.push_back(len);
        if (static_cast<size_t>(len) == size)
            intact = data[0] == 'A' && data[size - 2] == 'x' && data[size - 1] == 'Z' &&
                     data[size] == '\0';
    };
    d.DecodeStream(stream);
    EXPECT_EQ(counts, (std::vector<int>{static_cast<int>(size), 2}));
    EXPECT_TRUE(intact);
}

TEST(MimeDecHostile, OneMegabyteFoldedHeader) {
    const size_t folds = 1u << 18; // 4 bytes each
    const std::string message =
        "Subject: a" + Repeat("\r\n b", folds) + "\r\nTo: t\r\n\r\nbody\r\n";
    TMimeDecode d;
    int headerLines = 0;
    size_t longest = 0;
    d.OnHeaderLine = [&](TObject*) {
        ++headerLines;
        longest = std::max(longest, d.CurrentLine().size());
    };
    TChunkStream stream(message, 4096);
    d.DecodeStream(stream);
    EXPECT_EQ(headerLines, 2);
    EXPECT_EQ(d.MsgSubject(), "a" + Repeat("   b", folds));
    EXPECT_EQ(longest, 10 + 4 * folds);
    EXPECT_EQ(d.MsgTo(), "t");
}

TEST(MimeDecHostile, TenThousandNestedBoundaries) {
    const int depth = 10000;
    std::string message = "Content-Type: multipart/mixed; boundary=top\r\n\r\n--top\r\n";
    for (int i = 0; i < depth; ++i)
        message += "Content-Type: multipart/mixed; boundary=n" + std::to_string(i) + "\r\n\r\n--n" +
                   std::to_string(i) + "\r\n";
    // Near misses are content; the outermost nested closing delimiter ends the part.
    message += "\r\n" + Repeat("--n-1\r\n--n10000\r\n", 10000) + "--N0--\r\n";

    TMimeDecode d;
    int lines = 0, partEnds = 0;
    d.OnPartLine = [&](TObject*, const char*, int len) { lines += len > 2; };
    d.OnPartEnd = [&](TObject*) { ++partEnds; };
    Decode(d, message);
    EXPECT_EQ(d.PartNumber(), depth + 1);
    EXPECT_EQ(lines, 20000);
    EXPECT_EQ(partEnds, depth + 2);
    EXPECT_FALSE(d.FinalBoundarySeen());
}

TEST(MimeDecHostile, NulBytesAreOrdinaryBytes) {
    using namespace std::string_literals;
    TMimeDecode d;
    const Events events = DecodeEvents(d, "Sub\0ject: x\r\nSubject: a\0b\r\n"
                                          "Content-Transfer-Encoding: base64\r\n\r\n"
                                          "AAEA\0QUJD\r\n"
                                          "\0\r\n"s);
    EXPECT_EQ(d.MsgSubject(), "a\0b"s);
    EXPECT_EQ(d.MsgHeaderLines().Count(), 3);
    EXPECT_EQ(Events(events.end() - 5, events.end()),
              (Events{"PB",
                      // "\0QUJ" maps NUL to all-ones bits; "D" alone is dropped
                      "PL 6 \\x00\\x01\\x00\\xFD\\x05\\x09", "PL 0", "PE", "ME"}));
}

TEST(MimeDecHostile, HandlerExceptionsAndReentryReachTheCaller) {
    TMimeDecode d;
    d.OnPartLine = [](TObject*, const char*, int) { throw EStreamError("host failed"); };
    TChunkStream first("Subject: s\r\n\r\nbody\r\n", 100);
    EXPECT_THROW(d.DecodeStream(first), EStreamError);
    EXPECT_EQ(d.MsgSubject(), "s"); // fields keep what they held

    // A second decode started from a handler would free the buffers the first one uses.
    TChunkStream inner("x\r\n\r\n", 100);
    d.OnPartLine = nullptr;
    d.OnHeaderBegin = [&](TObject*) { d.DecodeStream(inner); };
    TChunkStream outer("Subject: t\r\n\r\n", 100);
    EXPECT_THROW(d.DecodeStream(outer), Exception);

    d.OnHeaderBegin = nullptr;
    TMimeRecorder recorder(d);
    TChunkStream again("Subject: u\r\n\r\nok", 100);
    d.DecodeStream(again);
    EXPECT_EQ(recorder.Events(),
              (Events{"HB", "HL Subject: u", "HE", "PB", "PL 2 ok", "PL 2 \\r\\n", "PE", "ME"}));
}
