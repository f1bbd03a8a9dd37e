#include "net/MD5.h"

#include "tests/net/Pop3TestSupport.h"

#include <gtest/gtest.h>

namespace {

std::vector<P::Step> Login(std::vector<P::Step> rest) {
    std::vector<P::Step> script = {P::Send("+OK ready <17.42>\r\n"), P::ExpectLine("USER joe"),
                                   P::Send("+OK\r\n"), P::ExpectLine("PASS pw"),
                                   P::Send("+OK\r\n")};
    script.insert(script.end(), rest.begin(), rest.end());
    return script;
}

// A client logged in to a scripted peer; message, list and header events go to one log.
class Pop3Commands : public Pop3Test {
protected:
    void SetUp() override {
        Create("joe", "pw", false);
        auto line = [this](const char* name) {
            return [this, name](TObject*) { log.push_back(name + cli->LastResponse()); };
        };
        cli->OnMessageBegin = line("begin ");
        cli->OnMessageLine = line("line ");
        cli->OnMessageEnd = line("end ");
        cli->OnHeaderEnd = line("header-end ");
        cli->OnListBegin = line("list-begin ");
        cli->OnListLine = [this](TObject*) {
            log.push_back("list " + std::to_string(cli->MsgNum()) + " " +
                          std::to_string(cli->MsgSize()));
        };
        cli->OnListEnd = line("list-end ");
        cli->OnUidlBegin = line("uidl-begin ");
        cli->OnUidlLine = [this](TObject*) {
            log.push_back("uidl " + std::to_string(cli->MsgNum()) + " " + cli->MsgUidl());
        };
        cli->OnUidlEnd = line("uidl-end ");
    }
    // Connects and logs in with USER and PASS.
    void Start(const ScriptedPeer& peer) {
        cli->SetPort(peer.PortText());
        ASSERT_TRUE(Run([&] { cli->Open(); }));
        ASSERT_EQ(lastError, 0);
        log.clear();
    }
};

} // namespace

// One row per request: the line sent, the server's reply, the completion and what it set.
TEST_F(Pop3Commands, CommandLinesAndSingleLineReplies) {
    const auto counts = [this] {
        return std::to_string(cli->MsgCount()) + " " + std::to_string(cli->MsgSize());
    };
    const auto numSize = [this] {
        return std::to_string(cli->MsgNum()) + " " + std::to_string(cli->MsgSize());
    };
    const auto uidl = [this] { return cli->MsgUidl(); };
    const auto error = [this] { return cli->ErrorMessage(); };
    const auto response = [this] { return cli->LastResponse(); };
    const std::string max = std::to_string(kPop3NumberMax);
    const struct {
        std::function<void()> op;
        std::string line, reply, done;
        std::function<std::string()> seen;
        std::string expected;
    } rows[] = {
        {[&] { cli->Stat(); }, "STAT", "+OK 0 0", Done(pop3Stat, 0), counts, "0 0"},
        {[&] { cli->Stat(); }, "STAT", "+OK", Done(pop3Stat, 0), counts, "0 0"},
        // saturated, never wrapped to 1
        {[&] { cli->Stat(); }, "STAT", "+OK 4294967297 99999999999", Done(pop3Stat, 0), counts,
         max + " " + max},
        {[&] { cli->SetMsgNum(3), cli->List(); }, "LIST 3", "+OK 3 1200", Done(pop3List, 0),
         numSize, "3 1200"},
        {[&] { cli->Uidl(); }, "UIDL 3", "+OK 3 abc<>def", Done(pop3Uidl, 0), uidl, "abc<>def"},
        {[&] { cli->Uidl(); }, "UIDL 3", "+OK 3 abc def", Done(pop3Uidl, 0), uidl, "abc"},
        {[&] { cli->SetMsgNum(0), cli->Retr(); }, "RETR 0", "-ERR no", Done(pop3Retr, 500), error,
         "-ERR no"},
        {[&] { cli->SetMsgNum(-1), cli->Retr(); }, "RETR -1", "-ERR no", Done(pop3Retr, 500), error,
         "-ERR no"},
        {[&] { cli->SetMsgNum(5), cli->SetMsgLines(0), cli->Top(); }, "TOP 5 0", "-ERR no",
         Done(pop3Top, 500), error, "-ERR no"},
        {[&] { cli->Dele(); }, "DELE 5", "+OK gone", Done(pop3Dele, 0), response, "+OK gone"},
        {[&] { cli->Noop(); }, "NOOP", "+OK", Done(pop3Noop, 0), response, "+OK"},
        {[&] { cli->RSet(); }, "RSET", "+OK", Done(pop3RSet, 0), response, "+OK"},
        {[&] { cli->Last(); }, "LAST", "+OK 7", Done(pop3Last, 0), numSize, "7 0"},
        {[&] { cli->Last(); }, "LAST", "+OK 7 100", Done(pop3Last, 0), numSize, "7 100"},
    };
    std::vector<P::Step> script;
    for (const auto& row : rows) {
        script.push_back(P::ExpectLine(row.line));
        script.push_back(P::Send(row.reply + "\r\n"));
    }
    script.push_back(P::ExpectClosed());
    P peer(Login(script));
    Start(peer);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.line + " / " + row.reply);
        ASSERT_TRUE(Run(row.op));
        EXPECT_EQ(Last(), row.done);
        EXPECT_EQ(row.seen(), row.expected);
        EXPECT_EQ(log.back().rfind("done ", 0), 0u) << "no multi-line event on a status line";
        EXPECT_EQ(log.size(), 1u);
        log.clear();
    }
    EXPECT_EQ(cli->ProtocolState(), pop3Transaction);
    cli->Abort();
    Check(peer);
}

TEST_F(Pop3Commands, ApopAndRPop) {
    P peer({P::Send("+OK ready <17.42>\r\n"), P::ExpectLine("APOP joe " + MD5Hex("<17.42> pw ")),
            P::Send("+OK\r\n"), P::ExpectClosed(), P::Accept(), P::Send("+OK ready\r\n"),
            P::ExpectLine("RPOP pw"), P::Send("+OK\r\n"), P::ExpectClosed()});
    cli->SetPort(peer.PortText());
    cli->SetUserName("  joe\t");
    cli->SetPassWord(" pw "); // the digest takes the secret untrimmed
    ASSERT_TRUE(Run([&] { cli->Connect(); }));
    ASSERT_TRUE(Run([&] { cli->APop(); }));
    EXPECT_EQ(Last(), Done(pop3APop, 0));
    EXPECT_EQ(cli->ProtocolState(), pop3Transaction);
    EXPECT_EQ(Refusal([&] { cli->APop(); }), "-ERR APOP command invalid now");
    cli->Abort();

    ASSERT_TRUE(Run([&] { cli->Connect(); }));
    std::vector<std::string> shown;
    cli->OnDisplay = [&](TObject*, const std::string& m) { shown.push_back(m); };
    EXPECT_EQ(Refusal([&] { cli->APop(); }), "-ERR Server do not support APOP (no timestamp)");
    EXPECT_EQ(cli->ErrorMessage(), "-ERR Server do not support APOP (no timestamp)");
    EXPECT_EQ(shown, (Log{"-ERR Server do not support APOP (no timestamp)"}));
    ASSERT_TRUE(Run([&] { cli->RPop(); }));
    EXPECT_EQ(lastRq, pop3RPop);
    EXPECT_EQ(cli->ProtocolState(), pop3Transaction);
    cli->Abort();
    Check(peer);
}

// Each phase refuses the commands it does not allow, without sending anything.
TEST_F(Pop3Commands, RefusalsInEveryPhase) {
    P peer({P::Send("+OK ready\r\n"), P::ExpectLine("USER joe"), P::Send("+OK\r\n"),
            P::ExpectLine("PASS pw"), P::Send("+OK\r\n"), P::ExpectLine("NOOP"), P::Send("+OK\r\n"),
            P::ExpectClosed()});
    cli->SetPort(peer.PortText());
    ASSERT_TRUE(Run([&] { cli->Connect(); }));
    EXPECT_EQ(Refusal([&] { cli->Stat(); }), "-ERR STAT command invalid now");
    EXPECT_EQ(cli->ErrorMessage(), "-ERR STAT command invalid now");
    ASSERT_TRUE(Run([&] { cli->User(); })); // the refusal sent nothing
    EXPECT_EQ(lastError, 0);
    EXPECT_EQ(Refusal([&] { cli->User(); }), "-ERR USER command invalid now");
    EXPECT_EQ(cli->ProtocolState(), pop3WaitingPass);
    ASSERT_TRUE(Run([&] { cli->Pass(); }));

    // In the transaction phase.
    std::vector<std::string> shown;
    cli->OnDisplay = [&](TObject*, const std::string& m) { shown.push_back(m); };
    EXPECT_EQ(Refusal([&] { cli->User(); }), "-ERR USER command invalid now");
    EXPECT_EQ(Refusal([&] { cli->Pass(); }), "-ERR PASS command invalid now");
    EXPECT_EQ(Refusal([&] { cli->RPop(); }), "-ERR RPOP command invalid now");
    EXPECT_EQ(Refusal([&] { cli->APop(); }), "-ERR APOP command invalid now");
    cli->SetMsgLines(-1);
    EXPECT_EQ(Refusal([&] { cli->Top(); }), "Invalid MsgLines for TOP command");
    EXPECT_EQ(cli->ErrorMessage(), "-ERR APOP command invalid now"); // only raised
    EXPECT_EQ(shown.size(), 4u);
    EXPECT_EQ(cli->ProtocolState(), pop3Transaction);
    EXPECT_EQ(cli->State(), pop3Ready);
    ASSERT_TRUE(Run([&] { cli->Noop(); })); // nothing was sent by the refusals
    EXPECT_EQ(lastError, 0);

    cli->Abort();
    ASSERT_TRUE(PumpUntil([&] { return doneCount == 4; }));
    // Disconnected: the phase allows USER, the engine does not.
    EXPECT_EQ(Refusal([&] { cli->User(); }), "POP3 component not connected");
    EXPECT_EQ(Refusal([&] { cli->Noop(); }), "-ERR NOOP command invalid now");
    PumpFor(30);
    EXPECT_EQ(doneCount, 4);
    Check(peer);
}

// RETR as the application sees it, with the server's bytes arriving one per segment.
TEST_F(Pop3Commands, RetrUnstuffsCapturesHeaderAndEndsAtTheDot) {
    const std::string message = "+OK 120 octets\r\n"
                                "Return-Path: <r@x>\r\n"
                                "Subject:  Hello\r\n"
                                "\tfolded: not a field\r\n"
                                "From:a@b\r\n"
                                "no colon\r\n"
                                "Message-ID: <1@x>\r\n"
                                "\r\n"
                                "..hidden\r\n"
                                ". \r\n"
                                "..\r\n"
                                "To: body line\r\n"
                                ".\r\n";
    P peer(Login({P::ExpectLine("RETR 1"), P::SendSplit(message, 1), P::ExpectLine("TOP 1 2"),
                  P::SendSplit("+OK\r\nSubject: again\r\n.\r\n", 2), P::ExpectClosed()}));
    Start(peer);
    std::vector<std::string> responses;
    cli->OnResponse = [&](TObject*, const std::string& m) { responses.push_back(m); };
    cli->SetMsgNum(1);
    ASSERT_TRUE(Run([&] { cli->Retr(); }));
    EXPECT_EQ(lastRq, pop3Retr);
    EXPECT_EQ(log, (Log{"begin +OK 120 octets", "line Return-Path: <r@x>", "line Subject:  Hello",
                        "line \tfolded: not a field", "line From:a@b", "line no colon",
                        "line Message-ID: <1@x>", "header-end ", "line ", "line .hidden", "line . ",
                        "line .", "line To: body line", "end .", "done 0"}));
    EXPECT_EQ(responses.at(8), "..hidden"); // OnResponse sees the raw line
    EXPECT_EQ(cli->LastResponse(), "");
    EXPECT_EQ(cli->HdrSubject(), "  Hello");
    EXPECT_EQ(cli->HdrFrom(), "a@b");
    EXPECT_EQ(cli->HdrTo(), ""); // after the header
    EXPECT_EQ(cli->HdrMessageId(), " <1@x>");
    EXPECT_EQ(cli->HdrReturnPath(), " <r@x>");
    EXPECT_EQ(cli->HdrKeyword(), "message-id");
    EXPECT_FALSE(cli->HeaderPart());

    // The next transaction command starts a new header.
    log.clear();
    cli->SetMsgLines(2);
    ASSERT_TRUE(Run([&] { cli->Top(); }));
    EXPECT_EQ(lastRq, pop3Top);
    EXPECT_EQ(cli->HdrSubject(), " again");
    EXPECT_EQ(cli->HdrFrom(), "");
    EXPECT_TRUE(cli->HeaderPart());
    cli->Abort();
    Check(peer);
}

TEST_F(Pop3Commands, MultiLineListAndUidl) {
    P peer(Login(
        {P::ExpectLine("LIST"), P::SendSplit("+OK 2 messages\r\n1 120\r\n2 7\r\n.\r\n"),
         P::ExpectLine("UIDL"),
         P::SendSplit("+OK\r\n1 aaa\r\n2 " + std::string(5000, 'u') + "\r\n3 c\r\n.\r\n", 997),
         P::ExpectClosed()}));
    Start(peer);
    cli->SetMsgNum(0);
    ASSERT_TRUE(Run([&] { cli->List(); }));
    EXPECT_EQ(log,
              (Log{"list-begin +OK 2 messages", "list 1 120", "list 2 7", "list-end .", "done 0"}));
    log.clear();
    cli->SetMsgNum(-4);
    ASSERT_TRUE(Run([&] { cli->Uidl(); }));
    // A 5,000-character identifier is reported once, cut to what the buffer holds; its rest
    // is not taken for another entry.
    ASSERT_EQ(log.size(), 6u);
    EXPECT_EQ(log[1], "uidl 1 aaa");
    EXPECT_EQ(log[2], "uidl 2 " + std::string(4091, 'u'));
    EXPECT_EQ(log[3], "uidl 3 c");
    EXPECT_EQ(log[5], "done 0");
    cli->Abort();
    Check(peer);
}

// Lines around the 4,093-byte cut inside a message: every byte arrives in order and the "."
// after them still ends the reply, however the bytes are segmented.
TEST_F(Pop3Commands, LinesAroundTheBufferCutKeepTheMessage) {
    std::string body;
    for (std::size_t length : {4092u, 4093u, 4094u, 8186u})
        body += std::string(length, static_cast<char>('a' + length % 26)) + "\r\n";
    P peer(Login({P::ExpectLine("RETR 1"), P::Send("+OK\r\n" + body + ".\r\n"),
                  P::ExpectLine("RETR 2"), P::SendSplit("+OK\r\n" + body + ".\r\n", 4093),
                  P::ExpectClosed()}));
    Start(peer);
    std::string received;
    cli->OnMessageLine = [&](TObject*) { received += cli->LastResponse(); };
    std::string expected = body;
    std::erase(expected, '\r');
    std::erase(expected, '\n');
    for (int n : {1, 2}) {
        received.clear();
        cli->SetMsgNum(n);
        ASSERT_TRUE(Run([&] { cli->Retr(); })) << "message " << n << " never ended";
        EXPECT_EQ(lastError, 0);
        EXPECT_EQ(received, expected) << "message " << n;
    }
    cli->Abort();
    Check(peer);
}

// Hostile servers: the request completes or fails cleanly, with nothing read out of bounds.
TEST_F(Pop3Commands, HostileServers) {
    const std::string endless(3 * 1024 * 1024, 'x');
    static const char withNuls[] = "+OK\r\nSub\0ject: a\r\n\0\r\nb\0dy\r\n.\r\n";
    P peer(Login({P::ExpectLine("RETR 1"), P::Send("+OK\r\n" + endless + "\r\n.\r\n"),
                  P::ExpectLine("RETR 2"), P::Send(std::string(withNuls, sizeof withNuls - 1)),
                  P::ExpectLine("LIST"), P::Send("+OK\r\n1 99999999999\r\n4294967296 5\r\n.\r\n"),
                  P::ExpectLine("RETR 3"), P::Send("+OK\r\nline one\r\nline tw"), P::Pause(50),
                  P::Reset()}));
    Start(peer);
    std::size_t bytes = 0, pieces = 0;
    const TNotifyEvent logLine = cli->OnMessageLine;
    cli->OnMessageLine = [&](TObject*) {
        bytes += cli->LastResponse().size();
        ++pieces;
    };
    cli->SetMsgNum(1);
    ASSERT_TRUE(Run([&] { cli->Retr(); }, 20000));
    EXPECT_EQ(lastError, 0);
    EXPECT_EQ(bytes, endless.size());
    EXPECT_EQ(pieces, (endless.size() + 4092) / 4093);

    // NUL bytes end a line's text; the line is still consumed as a whole.
    cli->OnMessageLine = logLine;
    log.clear();
    cli->SetMsgNum(2);
    ASSERT_TRUE(Run([&] { cli->Retr(); }));
    EXPECT_EQ(log,
              (Log{"begin +OK", "line Sub", "header-end ", "line ", "line b", "end .", "done 0"}));

    log.clear();
    cli->SetMsgNum(0);
    ASSERT_TRUE(Run([&] { cli->List(); }));
    EXPECT_EQ(log, (Log{"list-begin +OK", "list 1 " + std::to_string(kPop3NumberMax),
                        "list " + std::to_string(kPop3NumberMax) + " 5", "list-end .", "done 0"}));

    // A reset in the middle of RETR: the request ends with 10004 and no end event.
    log.clear();
    cli->SetMsgNum(3);
    ASSERT_TRUE(Run([&] { cli->Retr(); }));
    EXPECT_EQ(lastError, 10004);
    EXPECT_EQ(log, (Log{"begin +OK", "line line one", "done 10004"}));
    EXPECT_FALSE(cli->Connected());
    EXPECT_EQ(cli->ProtocolState(), pop3Disconnected);
    Check(peer);
}
