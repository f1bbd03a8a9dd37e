// Message and part header parsing of TMimeDecode, and the scanners behind it.
#include "net/MimeDec.h"
#include "net/MimeDecScan.h"

#include "MimeDecRecorder.h"

#include <gtest/gtest.h>

using namespace MimeDecScan;

TEST(MimeDecHeader, FieldsOfASinglePartMessage) {
    TMimeDecode d;
    const Events events = DecodeEvents(d, "Return-Path: <a@b.c>\r\n"
                                          "From: \"Ann\" <ann@x.org>\r\n"
                                          "TO:   bob@y.org\r\n"
                                          "Subject: =?utf-8?q?Hi?= there\r\n"
                                          "Date: Mon, 5 Jan 2026 09:00:00 +0100\r\n"
                                          "MIME-Version: 1.0 (gen)\r\n"
                                          "Content-Type: Text/Plain; CharSet=\"UTF-8\"\r\n"
                                          "Content-Transfer-Encoding: 7BIT\r\n"
                                          "X-Other: ignored\r\n"
                                          "\r\n"
                                          "hi\r\n");
    EXPECT_EQ(d.MsgReturnPath(), "a@b.c");
    EXPECT_EQ(d.MsgFrom(), "\"Ann\" <ann@x.org>");
    EXPECT_EQ(d.MsgTo(), "bob@y.org");
    EXPECT_EQ(d.MsgSubject(), "=?utf-8?q?Hi?= there"); // stored as received
    EXPECT_EQ(d.MsgDate(), "Mon, 5 Jan 2026 09:00:00 +0100");
    EXPECT_EQ(d.MsgMimeVersion(), "1.0 (gen)");
    EXPECT_EQ(d.MsgContentType(), "text/plain");
    EXPECT_EQ(d.MsgCharset(), "UTF-8");
    EXPECT_EQ(d.MsgEncoding(), "7bit");
    EXPECT_EQ(d.MsgBoundary(), "");
    ASSERT_EQ(d.MsgHeaderLines().Count(), 9);
    EXPECT_EQ(d.MsgHeaderLines()[8], "X-Other: ignored");
    EXPECT_EQ(events,
              (Events{"HB", "HL Return-Path: <a@b.c>", "HL From: \"Ann\" <ann@x.org>",
                      "HL TO:   bob@y.org", "HL Subject: =?utf-8?q?Hi?= there",
                      "HL Date: Mon, 5 Jan 2026 09:00:00 +0100", "HL MIME-Version: 1.0 (gen)",
                      "HL Content-Type: Text/Plain; CharSet=\"UTF-8\"",
                      "HL Content-Transfer-Encoding: 7BIT", "HL X-Other: ignored", "HE", "PB",
                      "PL 2 hi", "PL 2 \\r\\n", "PE", "ME"}));
}

TEST(MimeDecHeader, ReturnPathBracketsAndRepeatedHeaders) {
    TMimeDecode d;
    DecodeEvents(d, "Return-Path: <>\r\nSubject: one\r\nSubject: two\r\n\r\n");
    EXPECT_EQ(d.MsgReturnPath(), "");
    EXPECT_EQ(d.MsgSubject(), "two");
    DecodeEvents(d, "Return-Path: <x@y>\r\n\r\n");
    EXPECT_EQ(d.MsgReturnPath(), "x@y");
    DecodeEvents(d, "Return-Path: x@y>\r\n\r\n");
    EXPECT_EQ(d.MsgReturnPath(), "x@y>");
    // A new decode clears what the previous message set.
    DecodeEvents(d, "From: z\r\n\r\n");
    EXPECT_EQ(d.MsgReturnPath(), "");
    EXPECT_EQ(d.MsgSubject(), "");
    EXPECT_EQ(d.MsgHeaderLines().Count(), 1);
}

// CR LF and the first blank of the next line each become one space.
TEST(MimeDecHeader, ContinuationLinesAreJoinedWithOneSpacePerByte) {
    TMimeDecode d;
    Events events = DecodeEvents(d, "Subject: a\r\n\tb\r\n  c\r\nTo: t\r\n\r\n");
    EXPECT_EQ(d.MsgSubject(), "a   b    c");
    EXPECT_EQ(events[1], "HL Subject: a   b    c");
    EXPECT_EQ(d.MsgHeaderLines()[0], "Subject: a   b    c");

    events = DecodeEvents(d, "Subject: a\n\tb\n\n");
    EXPECT_EQ(d.MsgSubject(), "a  b");

    // The joining stops at an empty line: the body's indented line stays separate.
    events = DecodeEvents(d, "Subject: s\r\n\r\n x\r\n");
    EXPECT_EQ(events,
              (Events{"HB", "HL Subject: s", "HE", "PB", "PL 2  x", "PL 2 \\r\\n", "PE", "ME"}));
    // A folded last line without a line ending.
    DecodeEvents(d, "Subject: a\r\n b");
    EXPECT_EQ(d.MsgSubject(), "a   b");
}

TEST(MimeDecHeader, ContentTypeParametersAndBoundary) {
    TMimeDecode d;
    DecodeEvents(d, "Content-Type: multipart/mixed; boundary=\"AbC\"; name=Doc.TXT\r\n\r\n");
    EXPECT_EQ(d.MsgContentType(), "multipart/mixed");
    EXPECT_EQ(d.MsgBoundary(), "--abc");
    EXPECT_EQ(d.MsgName(), "doc.txt"); // unquoted values are tokens, lowercased

    // A space between the field name and the colon: the line is not parsed.
    DecodeEvents(d, "Content-Type : multipart/mixed; boundary=x\r\n\r\n");
    EXPECT_EQ(d.MsgContentType(), "");
    EXPECT_EQ(d.MsgBoundary(), "");
    EXPECT_EQ(d.MsgHeaderLines().Count(), 1);

    // Spaces around "=" hide the parameter.
    DecodeEvents(d, "Content-Type: multipart/mixed; boundary = x\r\n\r\n");
    EXPECT_EQ(d.MsgContentType(), "multipart/mixed");
    EXPECT_EQ(d.MsgBoundary(), "");

    // A quoted value followed by " ;" ends the parameter list.
    DecodeEvents(d, "Content-Type: text/plain; name=\"A\" ; charset=x\r\n\r\n");
    EXPECT_EQ(d.MsgName(), "A");
    EXPECT_EQ(d.MsgCharset(), "");

    DecodeEvents(d, "Content-Disposition: Attachment; filename=\"R.pdf\"\r\n\r\n");
    EXPECT_EQ(d.MsgDisposition(), "attachment");
    EXPECT_EQ(d.MsgFileName(), "R.pdf");
}

TEST(MimeDecHeader, PartHeaderFields) {
    TMimeDecode d;
    const std::string head = "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n";
    auto part = [&](const std::string& headerLines) {
        DecodeEvents(d, head + headerLines + "\r\nx\r\n");
    };
    part("Content-Type: Image/PNG; name=\"Pic.png\"; charset=Latin1\r\n"
         "Content-Transfer-Encoding: BASE64\r\n"
         "Content-ID: <id@1>\r\n");
    EXPECT_EQ(d.PartContentType(), "image/png");
    EXPECT_EQ(d.PartName(), "Pic.png");
    EXPECT_EQ(d.PartCharset(), "latin1");
    EXPECT_EQ(d.PartEncoding(), "base64");
    EXPECT_EQ(d.PartContentId(), "id@1");

    // No colon needed after a part field name, and a space before the colon is accepted.
    part("Content-Type text/html\r\nContent-Disposition : inline\r\n");
    EXPECT_EQ(d.PartContentType(), "text/html");
    EXPECT_EQ(d.PartDisposition(), "inline");

    // The file name scanner takes the whole rest, or the quoted text; it stops the loop
    // after the first parameter with a value.
    part("Content-Disposition: attachment; size=10; filename=x\r\n");
    EXPECT_EQ(d.PartDisposition(), "attachment");
    EXPECT_EQ(d.PartFileName(), "");
    part("Content-Disposition: attachment; filename=x.txt; size=10\r\n");
    EXPECT_EQ(d.PartFileName(), "x.txt; size=10");
    part("Content-Disposition: attachment; filename=\"Q R.txt\"; size=10\r\n");
    EXPECT_EQ(d.PartFileName(), "Q R.txt");

    // Content-Description supplies a file name only when there is none yet.
    part("Content-Description: filename=\"D.doc\"\r\n");
    EXPECT_EQ(d.PartFileName(), "D.doc");
    part("Content-Disposition: attachment; filename=a\r\nContent-Description: filename=b\r\n");
    EXPECT_EQ(d.PartFileName(), "a");
}

TEST(MimeDecHeader, HeaderEndedByEndOfInput) {
    TMimeDecode d;
    EXPECT_EQ(DecodeEvents(d, "Subject: s\r\nTo: t"),
              (Events{"HB", "HL Subject: s", "HL To: t", "PE", "ME"}));
    // A boundary was declared but the header never ended: no part was begun.
    EXPECT_EQ(DecodeEvents(d, "Content-Type: multipart/mixed; boundary=q\r\n"),
              (Events{"HB", "HL Content-Type: multipart/mixed; boundary=q", "ME"}));
    EXPECT_EQ(DecodeEvents(d, ""), (Events{"PE", "ME"}));
}

TEST(MimeDecScanner, CommentsAndQuotedValues) {
    TScan s = ScanCommentToken("Text/(a; B=c)Plain; x", 0);
    EXPECT_EQ(s.Text, "text/a; b=cplain");
    EXPECT_EQ(s.Delim, ';');

    s = ScanCommentToken("(open ; never closed", 0);
    EXPECT_EQ(s.Text, "open ; never closed");
    EXPECT_EQ(s.Delim, kEndOfLine);

    s = ScanValue("\"Mixed Case;=\"; next", 0);
    EXPECT_EQ(s.Text, "Mixed Case;=");
    EXPECT_EQ(s.Delim, ';');
    s = ScanValue("\"unterminated", 0);
    EXPECT_EQ(s.Text, "unterminated");
    EXPECT_EQ(s.Delim, kEndOfLine);

    s = ScanQuotedOrRest(" Rest Of; Line ", 0);
    EXPECT_EQ(s.Text, "Rest Of; Line ");
    EXPECT_EQ(s.Delim, '=');
}
