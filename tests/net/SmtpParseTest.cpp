#include "net/SmtpParse.h"

#include "net/Base64.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(SmtpReplyLine, CodesSeparatorsAndMalformedLines) {
    struct Case {
        const char* line;
        TSmtpLineKind kind;
        int code;
    } cases[] = {
        {"250 OK", TSmtpLineKind::Final, 250},
        {"250", TSmtpLineKind::Final, 250},
        {"250-PIPELINING", TSmtpLineKind::Continuation, 250},
        {"599 last", TSmtpLineKind::Final, 599},
        {"200 first", TSmtpLineKind::Final, 200},
        // No code, or a code that is no reply: never a success, never code 0.
        {"", TSmtpLineKind::Malformed, 0},
        {"OK", TSmtpLineKind::Malformed, 0},
        {"25 short", TSmtpLineKind::Malformed, 0},
        {"2500 four digits", TSmtpLineKind::Malformed, 0},
        {"199 too low", TSmtpLineKind::Malformed, 0},
        {"600 too high", TSmtpLineKind::Malformed, 0},
        {"099 leading zero", TSmtpLineKind::Malformed, 0},
        {" 250 leading space", TSmtpLineKind::Malformed, 0},
        {"+250 signed", TSmtpLineKind::Malformed, 0},
        {"250_underscore", TSmtpLineKind::Malformed, 0},
    };
    for (const Case& c : cases) {
        const TSmtpReplyLine parsed = SmtpParseReplyLine(c.line);
        EXPECT_EQ(parsed.Kind, c.kind) << c.line;
        EXPECT_EQ(parsed.Code, c.code) << c.line;
    }
}

TEST(SmtpReplyAssembly, MultiLineRepliesEndAtTheirFinalLineWithOneCode) {
    TSmtpReplyAssembler reply;
    EXPECT_FALSE(reply.Add("250-mail.example.org greets you"));
    EXPECT_FALSE(reply.Add("250-AUTH PLAIN CRAM-MD5"));
    EXPECT_TRUE(reply.Add("250 8BITMIME"));
    EXPECT_FALSE(reply.Malformed());
    EXPECT_EQ(reply.Code(), 250);
    ASSERT_EQ(reply.Lines().Count(), 3);
    EXPECT_EQ(reply.Lines()[1], "AUTH PLAIN CRAM-MD5");
    EXPECT_TRUE(SmtpHasExtension(reply.Lines(), "8BITMIME"));
    EXPECT_FALSE(SmtpHasExtension(reply.Lines(), "MAIL.EXAMPLE.ORG")); // the first line is the name
    EXPECT_TRUE(SmtpHasAuthMechanism(reply.Lines(), "CRAM-MD5"));
    EXPECT_FALSE(SmtpHasAuthMechanism(reply.Lines(), "LOGIN"));

    // The next line starts a new reply; a change of code or a line without one ends it as
    // malformed.
    EXPECT_FALSE(reply.Add("250-first"));
    EXPECT_EQ(reply.Lines().Count(), 1);
    EXPECT_TRUE(reply.Add("550 other code"));
    EXPECT_TRUE(reply.Malformed());
    EXPECT_TRUE(reply.Add("no code at all"));
    EXPECT_TRUE(reply.Malformed());
    EXPECT_EQ(reply.Code(), 0);

    // An endless reply keeps a bounded number of lines.
    reply.Clear();
    for (int i = 0; i < 1000; ++i)
        EXPECT_FALSE(reply.Add("250-x"));
    EXPECT_EQ(reply.Lines().Count(), TSmtpReplyAssembler::kMaxLines);
}

// Feeds bytes in reads of the given size; returns the lines, "overflow" for an overflow.
std::vector<std::string> Cut(const std::string& bytes, std::size_t readSize) {
    TSmtpReceiveBuffer buffer;
    std::vector<std::string> lines;
    std::string line;
    for (std::size_t offset = 0; offset < bytes.size();) {
        const std::size_t count = std::min({readSize, buffer.Room(), bytes.size() - offset});
        std::memcpy(buffer.Space(), bytes.data() + offset, count);
        buffer.Commit(count);
        offset += count;
        for (;;) {
            const auto next = buffer.NextLine(line);
            if (next == TSmtpReceiveBuffer::kNone) break;
            if (next == TSmtpReceiveBuffer::kOverflow) {
                lines.push_back("overflow");
                return lines;
            }
            lines.push_back(line);
        }
    }
    return lines;
}

TEST(SmtpReceiveBuffer, LinesComeOutWholeWhereverTheReadsSplitThem) {
    const std::string bytes = "220-a\r\n220 b\rc\nd\r\n\r\n250 e";
    const std::vector<std::string> expected{"220-a", "220 b\rc\nd", ""};
    for (std::size_t size = 1; size <= bytes.size(); ++size)
        EXPECT_EQ(Cut(bytes, size), expected) << "reads of " << size;
}

TEST(SmtpReceiveBuffer, ALineThatCannotFitIsAnOverflowNotALine) {
    const std::string fits = std::string(TSmtpReceiveBuffer::kSize - 2, 'a') + "\r\n";
    EXPECT_EQ(Cut(fits, 1000), std::vector<std::string>{fits.substr(0, fits.size() - 2)});
    const std::string tooLong = "250 ok\r\n" + std::string(TSmtpReceiveBuffer::kSize, 'a') + "\r\n";
    EXPECT_EQ(Cut(tooLong, 1000), (std::vector<std::string>{"250 ok", "overflow"}));
    const std::string crAtTheEdge = std::string(TSmtpReceiveBuffer::kSize - 1, 'a') + "\r\n";
    EXPECT_EQ(Cut(crAtTheEdge, 7), std::vector<std::string>{"overflow"});
}

TEST(SmtpCommandText, PathsAndArguments) {
    EXPECT_EQ(SmtpPath("a@b"), "<a@b>");
    EXPECT_EQ(SmtpPath("  a@b \t"), "<a@b>");
    EXPECT_EQ(SmtpPath(" Robin <a@b> "), "Robin <a@b>");
    EXPECT_EQ(SmtpPath(""), "<>");
    EXPECT_EQ(SmtpReturnPathAddress(" <a@b>"), "a@b");
    EXPECT_EQ(SmtpReturnPathAddress("<>"), "");
    EXPECT_EQ(SmtpReturnPathAddress(" a@b "), "a@b");
    EXPECT_EQ(SmtpReturnPathAddress("Robin <a@b> (comment)"), "a@b");
    EXPECT_TRUE(SmtpSafeArgument("HELO host.example"));
    EXPECT_FALSE(SmtpSafeArgument("a@b>\r\nRCPT TO:<c@d"));
    EXPECT_FALSE(SmtpSafeArgument("a\rb"));
    EXPECT_FALSE(SmtpSafeArgument("a\nb"));
    EXPECT_FALSE(SmtpSafeArgument(std::string("a\0b", 3)));
}

TEST(SmtpMessageText, EveryBreakEndsALineAndEveryPieceIsStuffed) {
    struct Case {
        std::string line;
        bool header;
        std::string wire;
    } cases[] = {
        {"plain", false, "plain\r\n"},
        {"", false, "\r\n"},
        {".", false, "..\r\n"},
        {".leading dot", false, "..leading dot\r\n"},
        {"x\r\n.\r\nMAIL FROM:<a@b>", false, "x\r\n..\r\nMAIL FROM:<a@b>\r\n"},
        {"x\r.\rQUIT", false, "x\r\n..\r\nQUIT\r\n"},
        {"x\n.\nQUIT", false, "x\r\n..\r\nQUIT\r\n"},
        {"x\n\r.", false, "x\r\n\r\n..\r\n"},
        {"tail\r\n", false, "tail\r\n\r\n"},
        {"bytes \x01\x7f\xff kept", false, "bytes \x01\x7f\xff kept\r\n"},
        // Header values can neither add a field nor end the header.
        {"Subject: a\r\nBcc: c@d", true, "Subject: a\r\n Bcc: c@d\r\n"},
        {"Subject: a\r\n\r\nbody", true, "Subject: a\r\n \r\n body\r\n"},
        {"Subject: a\n.\n", true, "Subject: a\r\n .\r\n \r\n"},
        {"Content-Type: multipart/mixed;\r\n\tboundary=\"b\"", true,
         "Content-Type: multipart/mixed;\r\n\tboundary=\"b\"\r\n"},
    };
    for (const Case& c : cases) {
        std::string out;
        SmtpAppendTextLine(out, c.line, c.header);
        EXPECT_EQ(out, c.wire) << c.line;
    }
}

TEST(SmtpAuthentication, PlainTokenAndCramMD5Answer) {
    EXPECT_EQ(Base64Decode(SmtpAuthPlainToken("tim", "tim", "tanstaaf")),
              std::string("tim\0tim\0tanstaaf", 16));
    // RFC 2104 test vector 2 and the example exchange of RFC 2195.
    EXPECT_EQ(HmacMD5Hex("Jefe", "what do ya want for nothing?"),
              "750c783e6ab0b503eaa86e310a5db738");
    EXPECT_EQ(
        SmtpCramMD5Answer("tim", "tanstaaftanstaaf", "<1896.697170952@postoffice.reston.mci.net>"),
        "tim b913a602c7eda7a495b4e6e7334d3890");
    // A key longer than the block is hashed first (RFC 2104 test vector 6).
    EXPECT_EQ(HmacMD5Hex(std::string(80, '\xaa'),
                         "Test Using Larger Than Block-Size Key - Hash Key First"),
              "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd");
}

TEST(SmtpDate, EnglishNamesAndSignedOffsets) {
    std::tm t{};
    t.tm_year = 126;
    t.tm_mon = 11;
    t.tm_mday = 8;
    t.tm_wday = 2;
    t.tm_hour = 9;
    t.tm_min = 5;
    t.tm_sec = 7;
    EXPECT_EQ(SmtpDateText(t, 3600), "Tue, 8 Dec 2026 09:05:07 +0100");
    EXPECT_EQ(SmtpDateText(t, -(4 * 3600 + 30 * 60)), "Tue, 8 Dec 2026 09:05:07 -0430");
    EXPECT_EQ(SmtpDateText(t, 0), "Tue, 8 Dec 2026 09:05:07 +0000");
}

} // namespace
