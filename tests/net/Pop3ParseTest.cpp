#include "net/Pop3Parse.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

// Numbers beyond 32 bits saturate: wrapping would turn 4294967297 into 1 and 2147483648 into a
// negative count.
TEST(Pop3Parse, TwoNumberRule) {
    const int max = kPop3NumberMax;
    const struct {
        std::string text;
        int a, b;
    } cases[] = {
        {"+OK 2 320", 2, 320},
        {"3 1200", 3, 1200},
        {"+OK 2", 0, 0},
        {"+OK", 0, 0},
        {"+OK 0 0", 0, 0},
        {"+OK 2\t \r\n320", 2, 320},
        {"+OK 2 octets", 2, 0},
        {"+OK mailbox 7 99x", 7, 99},
        {"", 0, 0},
        {"+OK 2 ", 0, 0},
        {"+OK -5 -7", 5, 0},
        {"+OK 2147483647 2147483648", max, max},
        {"+OK 4294967297 12", max, 12},
        {"+OK " + std::string(5000, '9') + " 3", max, 3},
        {"+OK 000000000000000000042 1", 42, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 40));
        int a = -1, b = -1;
        Pop3TwoNumbers(c.text, a, b);
        EXPECT_EQ(a, c.a);
        EXPECT_EQ(b, c.b);
    }
}

TEST(Pop3Parse, NumberAndIdentifierRule) {
    struct Case {
        std::string text;
        int number;
        std::string id;
    } cases[] = {
        {"+OK 4 x9Kq2", 4, "x9Kq2"},
        {"+OK 3 abc<>def", 3, "abc<>def"},
        {"+OK 3 abc def", 3, "abc"},
        {"7 \x01id", 7, ""},   // a control character ends the identifier at once
        {"+OK 3\tabc", 3, ""}, // only spaces separate number and identifier
        {"+OK no number", 0, ""},
        {"+OK 12", 12, ""},
        {"+OK 1 " + std::string(5000, 'u'), 1, std::string(5000, 'u')},
        {"+OK 1 caf\xc3\xa9", 1, "caf"}, // bytes above 126 end it as well
        {"+OK 99999999999999999999 abc", kPop3NumberMax, "abc"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 40));
        int number = -1;
        std::string id = "stale";
        Pop3NumberAndId(c.text, number, id);
        EXPECT_EQ(number, c.number);
        EXPECT_EQ(id, c.id);
    }
}

TEST(Pop3Parse, GreetingTimeStampAndApopDigest) {
    EXPECT_EQ(Pop3TimeStamp("+OK POP3 ready <17.42>"), "<17.42>");
    EXPECT_EQ(Pop3TimeStamp("+OK <1896.697170952@dbc.mtview.ca.us> more <x>"),
              "<1896.697170952@dbc.mtview.ca.us>");
    EXPECT_EQ(Pop3TimeStamp("+OK POP3 ready"), "");
    EXPECT_EQ(Pop3TimeStamp("+OK <unterminated"), "");
    EXPECT_EQ(Pop3TimeStamp("+OK a>b <c>"), "<c>");
    EXPECT_EQ(Pop3TimeStamp("+OK <>"), "<>");

    EXPECT_EQ(Pop3ApopDigest("<1896.697170952@dbc.mtview.ca.us>", "tanstaaf"),
              "c4c9334bac560ecc979e58001b3e22fb");
}

TEST(Pop3Parse, TrimAndHeaderSplit) {
    EXPECT_EQ(TrimView(std::string("\0 \t user \x1f\x20", 11)), "user");
    EXPECT_EQ(LowerCase("Message-ID \xc4\xd6"), "message-id \xc4\xd6");

    std::string keyword, data;
    ASSERT_TRUE(Pop3SplitHeader(" Return-Path : <a@b>:x", keyword, data));
    EXPECT_EQ(keyword, "return-path");
    EXPECT_EQ(data, " <a@b>:x");
    EXPECT_FALSE(Pop3SplitHeader("no colon here", keyword, data));
    ASSERT_TRUE(Pop3SplitHeader("X:" + std::string(20000, 'd'), keyword, data));
    EXPECT_EQ(data.size(), kPop3HeaderDataMax);
}

namespace {

struct Piece {
    std::string text;
    bool continuation;
};

// Feeds stream into the buffer in chunks of at most chunk bytes, as a socket would, and
// collects every line piece.
std::vector<Piece> Feed(const std::string& stream, std::size_t chunk, TPop3ReceiveBuffer& rx) {
    std::vector<Piece> pieces;
    std::size_t pos = 0;
    std::string line;
    bool continuation = false;
    while (pos < stream.size()) {
        const std::size_t room = rx.Room();
        EXPECT_GT(room, 0u) << "buffer stuck at " << pos;
        if (room == 0) break;
        const std::size_t take = std::min({room, chunk, stream.size() - pos});
        std::memcpy(rx.Space(), stream.data() + pos, take);
        rx.Commit(take);
        pos += take;
        while (rx.NextLine(line, continuation))
            pieces.push_back({line, continuation});
    }
    return pieces;
}

// Joins continuation pieces back onto their line.
std::vector<std::string> Join(const std::vector<Piece>& pieces) {
    std::vector<std::string> lines;
    for (const Piece& p : pieces) {
        if (p.continuation && !lines.empty())
            lines.back() += p.text;
        else
            lines.push_back(p.text);
    }
    return lines;
}

} // namespace

// Lines around multiples of the 4093-byte cut, each followed by CR LF, then the "." terminator:
// whatever the fragmentation, no line gains a CR, loses a byte or turns into two, no empty line
// appears, and the terminator arrives as a line of its own.
TEST(Pop3ReceiveBuffer, LinesAroundTheCutSurviveAnyFragmentation) {
    std::vector<std::string> lines = {"first"};
    for (std::size_t length : {4091u, 4092u, 4093u, 4094u, 4095u, 8185u, 8186u, 8187u, 12279u})
        lines.push_back(std::string(length - 1, 'x') + static_cast<char>('a' + length % 26));
    lines.push_back("");
    lines.push_back("last");
    std::string stream;
    for (const std::string& line : lines)
        stream += line + "\r\n";
    stream += ".\r\n";
    std::vector<std::string> expected = lines;
    expected.push_back(".");

    for (std::size_t chunk : {1u, 2u, 3u, 7u, 1000u, 4092u, 4093u, 4094u, 65536u}) {
        TPop3ReceiveBuffer rx;
        const std::vector<Piece> pieces = Feed(stream, chunk, rx);
        EXPECT_EQ(Join(pieces), expected) << "chunk " << chunk;
        for (const Piece& p : pieces)
            EXPECT_LE(p.text.size(), TPop3ReceiveBuffer::kLineCut);
        ASSERT_FALSE(pieces.empty());
        EXPECT_EQ(pieces.back().text, ".");
        EXPECT_FALSE(pieces.back().continuation) << "chunk " << chunk;
        EXPECT_EQ(rx.Count(), 0u);
    }
}

TEST(Pop3ReceiveBuffer, CutShapes) {
    const struct {
        const char* why;
        std::string stream;
        std::size_t chunk;
        std::vector<Piece> pieces;
    } cases[] = {
        {"a line of exactly 4093 bytes is one piece; its CR LF adds no empty line",
         std::string(4093, 'a') + "\r\nnext\r\n",
         4096,
         {{std::string(4093, 'a'), false}, {"next", false}}},
        {"4092 bytes and CR fill the buffer: the cut keeps the CR for its LF",
         std::string(4092, 'b') + "\r\n.\r\n",
         4096,
         {{std::string(4092, 'b'), false}, {".", false}}},
        {"a line whose rest after the cut is \".\" is a continuation, not a terminator",
         std::string(4093, 'c') + ".\r\n",
         4096,
         {{std::string(4093, 'c'), false}, {".", true}}},
        {"a lone CR inside a line is data; only CR LF ends a line",
         "a\rb\r\r\n\n\r\n",
         1,
         {{"a\rb\r", false}, {"\n", false}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        TPop3ReceiveBuffer rx;
        const std::vector<Piece> pieces = Feed(c.stream, c.chunk, rx);
        ASSERT_EQ(pieces.size(), c.pieces.size());
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            EXPECT_EQ(pieces[i].text, c.pieces[i].text) << "piece " << i;
            EXPECT_EQ(pieces[i].continuation, c.pieces[i].continuation) << "piece " << i;
        }
    }
}
