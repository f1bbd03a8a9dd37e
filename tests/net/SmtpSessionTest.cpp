#include "tests/net/SmtpTestSupport.h"

#include "ui/TickCount.h"

#include <cstdio>
#include <fstream>

namespace {

using SmtpSession = SmtpTest;

// The forward of one message, as the program runs it, with the server's replies whole or with
// every byte in a segment of its own.
std::vector<P::Step> ForwardScript(bool split) {
    auto reply = [split](const char* text) {
        return split ? P::SendSplit(text, 1) : P::Send(text);
    };
    return std::vector<P::Step>{reply("220-mx.test greets\r\n220 ready\r\n"),
                                P::ExpectLine("HELO client.test"),
                                reply("250 mx.test\r\n"),
                                P::ExpectLine("MAIL FROM:<a@b>"),
                                reply("250 ok\r\n"),
                                P::ExpectLine("RCPT TO:<c@d>"),
                                reply("250 ok\r\n"),
                                P::ExpectLine("DATA"),
                                reply("354 go ahead\r\n")} +
           SmtpTest::ExpectHeader() +
           std::vector<P::Step>{
               P::ExpectLine("first"), P::ExpectLine(".."), P::ExpectLine("..dotted"),
               // The smuggling attempt stays text of this one message.
               P::ExpectLine("x"), P::ExpectLine(".."), P::ExpectLine("MAIL FROM:<a@b>"),
               P::ExpectLine(""), P::ExpectLine("."), reply("250 queued\r\n"),
               P::ExpectLine("QUIT"), reply("221 bye\r\n"), P::Close()};
}

TEST_F(SmtpSession, GoldenForwardWithRepliesWholeAndSplitAtEveryByte) {
    for (bool split : {false, true}) {
        SCOPED_TRACE(split ? "split" : "whole");
        done.clear();
        ScriptedPeer peer(ForwardScript(split));
        UsePeer(peer);
        MessageTo("c@d");
        cli->SetMailMessage(Lines({"first", ".", ".dotted", "x\r\n.\r\nMAIL FROM:<a@b>", ""}));
        bool connected = false;
        cli->OnSessionConnected = [&](TObject*, std::uint16_t) { connected = true; };
        EXPECT_TRUE(cli->ConnectSync());
        EXPECT_TRUE(connected);
        EXPECT_TRUE(cli->HeloSync());
        EXPECT_TRUE(cli->MailSync());
        EXPECT_TRUE(cli->QuitSync());
        Check(peer);
        EXPECT_EQ(Completions(), (std::vector<std::string>{Done(smtpConnect, 0), Done(smtpHelo, 0),
                                                           Done(smtpMail, 0), Done(smtpQuit, 0)}));
        // One transaction: the peer saw one MAIL FROM command line.
        const std::string wire = peer.Received();
        EXPECT_EQ(wire.find("\r\nMAIL FROM:<a@b>\r\nRCPT"),
                  wire.rfind("MAIL FROM:<a@b>\r\nRCPT") - 2);
        cli->OnSessionConnected = nullptr;
    }
}

TEST_F(SmtpSession, OpenGreetsAndAuthenticatesWithEveryMechanism) {
    struct Case {
        TSmtpAuthType type;
        std::vector<P::Step> exchange;
    } cases[] = {
        {smtpAuthPlain,
         {P::ExpectLine("AUTH PLAIN AHRpbQB0YW5zdGFhZnRhbnN0YWFm"), P::Send("235 ok\r\n")}},
        {smtpAuthLogin,
         {P::ExpectLine("AUTH LOGIN"), P::Send("334 VXNlcm5hbWU6\r\n"), P::ExpectLine("dGlt"),
          P::Send("334 UGFzc3dvcmQ6\r\n"), P::ExpectLine("dGFuc3RhYWZ0YW5zdGFhZg=="),
          P::Send("235 ok\r\n")}},
        {smtpAuthCramMD5,
         {P::ExpectLine("AUTH CRAM-MD5"),
          P::Send("334 PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+\r\n"),
          P::ExpectLine("dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw"),
          P::Send("235 ok\r\n")}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        done.clear();
        ScriptedPeer peer(
            std::vector<P::Step>{P::Send("220 ready\r\n"), P::ExpectLine("EHLO client.test"),
                                 P::Send("250-mx.test\r\n250 AUTH PLAIN LOGIN CRAM-MD5\r\n")} +
            c.exchange + std::vector<P::Step>{P::Close()});
        UsePeer(peer);
        cli->SetAuthType(c.type);
        cli->SetUsername("tim");
        cli->SetPassword("tanstaaftanstaaf");
        cli->SetFromName("a@b");
        EXPECT_TRUE(cli->OpenSync());
        EXPECT_TRUE(SmtpHasAuthMechanism(cli->EhloLines(), "CRAM-MD5"));
        Check(peer);
        EXPECT_EQ(Completions(), std::vector<std::string>{Done(smtpOpen, 0)});
        PumpUntil([&] { return !cli->Connected(); });
    }
}

TEST_F(SmtpSession, OpenEndsWithTheCodeOfTheStepThatFailed) {
    struct Case {
        const char* name;
        TSmtpAuthType auth;
        std::vector<P::Step> script;
        int result;
        const char* errorMessage;
    } cases[] = {
        {"multi-line refusal of the greeting",
         smtpAuthNone,
         {P::Send("554-no\r\n554 go away\r\n"), P::ExpectClosed()},
         554,
         "554 go away"},
        {"EHLO refused: HELO and no AUTH",
         smtpAuthPlain,
         {P::Send("220 ready\r\n"), P::ExpectLine("EHLO client.test"), P::Send("502 what\r\n"),
          P::ExpectLine("HELO client.test"), P::Send("250 ok\r\n"), P::Close()},
         0,
         "502 what"},
        {"HELO refused",
         smtpAuthNone,
         {P::Send("220 ready\r\n"), P::ExpectLine("HELO client.test"), P::Send("550 no\r\n"),
          P::Close()},
         550,
         "550 no"},
        {"greeting without a code",
         smtpAuthNone,
         {P::Send("hello there\r\n"), P::ExpectClosed()},
         500,
         "500 Malformed reply: hello there"},
        {"AUTH refused",
         smtpAuthLogin,
         {P::Send("220 ready\r\n"), P::ExpectLine("EHLO client.test"), P::Send("250 mx\r\n"),
          P::ExpectLine("AUTH LOGIN"), P::Send("504 not here\r\n"), P::Close()},
         504,
         "504 not here"},
        {"malformed CRAM-MD5 challenge",
         smtpAuthCramMD5,
         {P::Send("220 ready\r\n"), P::ExpectLine("EHLO client.test"), P::Send("250 mx\r\n"),
          P::ExpectLine("AUTH CRAM-MD5"), P::Send("334\r\n"), P::Close()},
         500,
         "500 Malformed MD5 Challege: 334"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        done.clear();
        ScriptedPeer peer(c.script);
        UsePeer(peer);
        cli->SetAuthType(c.auth);
        EXPECT_EQ(cli->OpenSync(), c.result == 0);
        Check(peer);
        EXPECT_EQ(Completions(), std::vector<std::string>{Done(smtpOpen, c.result)});
        EXPECT_EQ(cli->ErrorMessage(), c.errorMessage);
        PumpUntil([&] { return !cli->Connected(); });
        cli->Abort();
    }
}

// A session up to the point where MAIL FROM has been sent.
std::vector<P::Step> UpToMailFrom() {
    return {P::Send("220 ready\r\n"), P::ExpectLine("MAIL FROM:<a@b>")};
}

TEST_F(SmtpSession, ReplyFaultsFailTheRequestAndNeverReadAsSuccess) {
    struct Case {
        const char* name;
        std::vector<P::Step> rest;
        int reported; // what OnRequestDone reports for the Mail chain
        bool dropped; // the client dropped the connection
    } cases[] = {
        {"no code", {P::Send("OK\r\n"), P::ExpectClosed()}, 500, true},
        {"code out of range", {P::Send("600 strange\r\n"), P::ExpectClosed()}, 500, true},
        {"code changes inside a reply",
         {P::Send("250-a\r\n550 b\r\n"), P::ExpectClosed()},
         500,
         true},
        {"line longer than the buffer",
         {P::Send("250-" + std::string(5000, 'x') + "\r\n250 ok\r\n"), P::ExpectClosed()},
         500,
         true},
        {"close during MAIL FROM", {P::Close()}, 10004, false},
        {"close after DATA was taken",
         {P::Send("250 ok\r\n"), P::ExpectLine("RCPT TO:<c@d>"), P::Send("250 ok\r\n"),
          P::ExpectLine("DATA"), P::Send("354 go\r\n"), P::ReadBytes(10), P::Close()},
         10004,
         false},
        {"refused recipient",
         {P::Send("250 ok\r\n"), P::ExpectLine("RCPT TO:<c@d>"), P::Send("550 unknown\r\n"),
          P::Close()},
         550,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        done.clear();
        ScriptedPeer peer(UpToMailFrom() + c.rest);
        UsePeer(peer);
        MessageTo("c@d");
        ASSERT_TRUE(cli->ConnectSync());
        const std::uint32_t start = GetTickCount();
        EXPECT_FALSE(cli->MailSync());
        EXPECT_LT(TicksElapsed(start, GetTickCount()), 3000u);
        Check(peer);
        EXPECT_EQ(Completions(),
                  (std::vector<std::string>{Done(smtpConnect, 0), Done(smtpMail, c.reported)}));
        if (c.dropped) {
            EXPECT_FALSE(cli->Connected());
        }
        PumpUntil([&] { return !cli->Connected(); });
    }
}

TEST_F(SmtpSession, ArgumentsWithLineBreaksAreRefusedBeforeAnythingIsSent) {
    ScriptedPeer peer(
        {P::Send("220 ready\r\n"), P::ExpectLine("QUIT"), P::Send("221 bye\r\n"), P::Close()});
    UsePeer(peer);
    ASSERT_TRUE(cli->ConnectSync());
    MessageTo("c@d");
    cli->SetFromName("a@b>\r\nRCPT TO:<evil@x");
    EXPECT_FALSE(cli->MailSync());
    cli->SetFromName("a@b");
    cli->SetRcptName(Lines({"c@d", "e@f\nDATA"}));
    EXPECT_THROW(cli->RcptTo(), SmtpException);
    cli->SetSignOn(std::string("host\0x", 6));
    EXPECT_THROW(cli->Helo(), SmtpException);
    cli->SetHdrTo("c@d\rRSET");
    EXPECT_FALSE(cli->VrfySync());
    // Nothing of a refused request lingers: QUIT runs as the next request.
    EXPECT_TRUE(cli->QuitSync());
    Check(peer);
    EXPECT_EQ(Completions(), (std::vector<std::string>{Done(smtpConnect, 0), Done(smtpQuit, 0)}));
}

TEST_F(SmtpSession, AStepThatCannotStartEndsItsChainAndLeavesNothingBehind) {
    ScriptedPeer peer({P::Send("220 ready\r\n"), P::ExpectLine("MAIL FROM:<a@b>"),
                       P::Send("250 ok\r\n"), P::ExpectLine("QUIT"), P::Send("221 bye\r\n"),
                       P::Close()});
    UsePeer(peer);
    EXPECT_FALSE(cli->MailSync()); // not connected: raises inside, nothing pending afterwards
    ASSERT_TRUE(cli->ConnectSync());
    MessageTo("c@d");
    cli->SetRcptName(TStringList());
    EXPECT_FALSE(cli->MailSync());
    EXPECT_EQ(cli->ErrorMessage(), "500 RcptName list is empty");
    EXPECT_TRUE(cli->QuitSync());
    Check(peer);
    EXPECT_EQ(Completions(), (std::vector<std::string>{Done(smtpConnect, 0), Done(smtpMail, 500),
                                                       Done(smtpQuit, 0)}));
}

// With PIPELINING the transaction's commands go out together, before any reply; replies
// still owed when the transaction fails early are passed over, not taken for later commands.
TEST_F(SmtpSession, PipelinedTransactionsSendOneGroupAndKeepRepliesInStep) {
    std::vector<P::Step> group = {P::ExpectLine("MAIL FROM:<a@b>"), P::ExpectLine("RCPT TO:<c@d>"),
                                  P::ExpectLine("RCPT TO:<e@f>"), P::ExpectLine("DATA")};
    ScriptedPeer peer(
        std::vector<P::Step>{P::Send("220 ready\r\n"), P::ExpectLine("EHLO client.test"),
                             P::Send("250-mx\r\n250 PIPELINING\r\n")} +
        group +
        std::vector<P::Step>{P::SendSplit("250 ok\r\n550 no\r\n250 ok\r\n354 go\r\n", 3),
                             P::ReadUntilLine("."), P::Send("250 queued\r\n")} +
        group +
        std::vector<P::Step>{P::Send("550 sender refused\r\n503 no\r\n503 no\r\n554 no\r\n"),
                             P::ExpectLine("RSET"), P::Send("250 reset\r\n")} +
        group +
        std::vector<P::Step>{P::Send("550 sender refused\r\n250 ok\r\n250 ok\r\n354 go\r\n"),
                             P::ExpectClosed()});
    UsePeer(peer);
    ASSERT_TRUE(cli->ConnectSync());
    ASSERT_TRUE(cli->EhloSync());
    MessageTo("c@d");
    cli->SetRcptName(Lines({"c@d", "e@f"}));
    cli->SetMailMessage(Lines({"text"}));
    EXPECT_TRUE(cli->MailSync());
    EXPECT_FALSE(cli->MailSync());
    EXPECT_EQ(cli->ErrorMessage(), "550 sender refused");
    EXPECT_TRUE(cli->RsetSync()) << cli->LastResponse();
    // A server that takes DATA after refusing the sender would read our next command as
    // message text: the connection goes.
    EXPECT_FALSE(cli->MailSync());
    Check(peer);
    EXPECT_FALSE(cli->Connected());
    EXPECT_EQ(Completions(), (std::vector<std::string>{Done(smtpConnect, 0), Done(smtpEhlo, 0),
                                                       Done(smtpMail, 0), Done(smtpMail, 550),
                                                       Done(smtpRset, 0), Done(smtpMail, 550)}));
}

TEST_F(SmtpSession, RecipientsAreAllTriedAndTheLastOneDecides) {
    ScriptedPeer peer({P::Send("220 ready\r\n"), P::ExpectLine("RCPT TO:<x@y>"),
                       P::Send("550 no such user\r\n"), P::ExpectLine("RCPT TO:Robin <c@d>"),
                       P::Send("251 will forward\r\n"), P::Close()});
    UsePeer(peer);
    ASSERT_TRUE(cli->ConnectSync());
    cli->SetRcptName(Lines({"x@y", " Robin <c@d> "}));
    EXPECT_TRUE(cli->RcptToSync());
    EXPECT_EQ(cli->ErrorMessage(), "550 no such user");
    Check(peer);
}

TEST_F(SmtpSession, TimeOutsAbortTheConnectionAndLeaveTheClientReady) {
    cli->SetTimeout(1);
    ScriptedPeer silent({P::Pause(3000)});
    UsePeer(silent);
    const std::uint32_t start = GetTickCount();
    EXPECT_FALSE(cli->ConnectSync());
    EXPECT_GE(TicksElapsed(start, GetTickCount()), 1000u);
    EXPECT_LT(TicksElapsed(start, GetTickCount()), 2500u);
    EXPECT_EQ(cli->ErrorMessage(), "426 Timeout");
    EXPECT_EQ(cli->StatusCode(), 426);
    EXPECT_EQ(cli->State(), smtpReady);
    EXPECT_FALSE(cli->Connected());

    // QUIT answered but the connection kept open.
    ScriptedPeer lingering(
        {P::Send("220 ready\r\n"), P::ExpectLine("QUIT"), P::Send("221 bye\r\n"), P::Pause(3000)});
    UsePeer(lingering);
    ASSERT_TRUE(cli->ConnectSync());
    done.clear();
    EXPECT_FALSE(cli->QuitSync());
    EXPECT_EQ(cli->ErrorMessage(), "426 Timeout");
    EXPECT_FALSE(cli->Connected());
    // The abort's close completes the QUIT; without a connection the next QUIT completes at
    // once, its completion coming from the loop.
    EXPECT_TRUE(cli->QuitSync());
    EXPECT_EQ(Completions(), (std::vector<std::string>{Done(smtpQuit, 0), Done(smtpQuit, 0)}));
}

TEST_F(SmtpSession, ConnectFailuresNameTheSocketError) {
    cli->SetPort("1"); // nothing listens on the first port on loopback
    EXPECT_FALSE(cli->ConnectSync());
    EXPECT_EQ(cli->LastResponse().rfind("500 ", 0), 0u) << cli->LastResponse();
    EXPECT_NE(cli->LastResponse().find("Winsock error #10061"), std::string::npos);
    EXPECT_EQ(Completions(), std::vector<std::string>{Done(smtpConnect, 10061)});
    EXPECT_FALSE(cli->MailSync());
}

// Writes count bytes 0, 1, 2, ... to a file in the temporary folder.
std::string WriteFile(const char* name, int count) {
    const std::string path = ::testing::TempDir() + name;
    std::ofstream out(path, std::ios::binary);
    for (int i = 0; i < count; ++i)
        out.put(static_cast<char>(i));
    return path;
}

TEST_F(SmtpSession, AttachmentsGoInABase64PartAndAnUnreadableOneFailsTheMessage) {
    const std::string path = WriteFile("smtp46.bin", 46);
    const std::string empty = WriteFile("smtp0.bin", 0);
    ScriptedPeer peer({P::Send("220 ready\r\n"), P::ExpectLine("DATA"), P::Send("354 go\r\n"),
                       P::ReadUntilLine("."), P::Send("250 ok\r\n"), P::ExpectLine("DATA"),
                       P::Send("354 go\r\n"), P::ExpectClosed()});
    UsePeer(peer);
    MessageTo("c@d");
    cli->SetMailMessage(Lines({"text", std::string(2000, 'L').c_str()}));
    cli->SetEmailFiles(Lines({path.c_str(), "  ", empty.c_str()}));
    EXPECT_EQ(cli->EmailFiles().Count(), 2);
    cli->OnAttachContentType = [](TObject*, int n, std::string& name, std::string& type) {
        if (n == 0) name = "renamed.bin", type = "application/x-test";
    };
    std::string boundary;
    cli->OnHeaderLine = [&](TObject*, char* line, int) {
        const std::string text = line;
        if (text.rfind("Content-Type: multipart/mixed;", 0) == 0)
            boundary = text.substr(text.find('"') + 1, text.rfind('"') - text.find('"') - 1);
    };
    ASSERT_TRUE(cli->ConnectSync());
    EXPECT_TRUE(cli->DataSync()) << cli->LastResponse();
    ASSERT_FALSE(boundary.empty());
    const std::string b = "--" + boundary;
    const std::string expected =
        "Content-Type: multipart/mixed;\r\n\tboundary=\"" + boundary +
        "\"\r\n"
        "X-Mailer: Quillon SMTP Component V2.28\r\n\r\n"
        "This is a multipart MIME message.\r\n\r\n" +
        b +
        "\r\n"
        "Content-Type: text/plain; charset=\"iso-8859-1\"\r\nContent-Transfer-Encoding: "
        "7bit\r\n\r\n"
        "text\r\n" +
        std::string(2000, 'L') +
        "\r\n" // long lines go whole
        "\r\n" +
        b +
        "\r\nContent-Type: application/x-test;\r\n\tname=\"renamed.bin\"\r\n"
        "Content-Transfer-Encoding: base64\r\nContent-Disposition: attachment;\r\n"
        "\tfilename=\"smtp46.bin\"\r\n\r\n"
        "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKiss\r\nLQ==\r\n"
        "\r\n" +
        b +
        "\r\nContent-Type: application/octet-stream;\r\n\tname=\"smtp0.bin\"\r\n"
        "Content-Transfer-Encoding: base64\r\nContent-Disposition: attachment;\r\n"
        "\tfilename=\"smtp0.bin\"\r\n\r\n"
        "\r\n" // the empty file
        "\r\n" +
        b + "--\r\n.\r\n";
    const std::string wire = peer.Received();
    EXPECT_NE(wire.find(expected), std::string::npos) << wire;

    // A file gone by the time it is sent: the request fails and "." is never sent.
    std::remove(path.c_str());
    EXPECT_FALSE(cli->DataSync());
    EXPECT_EQ(cli->StatusCode(), 500);
    EXPECT_NE(cli->ErrorMessage().find("smtp46.bin"), std::string::npos) << cli->ErrorMessage();
    Check(peer);
    const std::string second = peer.Received().substr(wire.size());
    EXPECT_EQ(second.find("\r\n.\r\n"), std::string::npos) << second;
    EXPECT_THROW(cli->SetEmailFiles(Lines({path.c_str()})), SmtpException);
}

} // namespace
