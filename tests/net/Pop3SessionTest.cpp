#include "tests/net/Pop3TestSupport.h"

#include <gtest/gtest.h>

#include <map>

namespace {

// Events of the session go to the one log, in order.
class Pop3Session : public Pop3Test {
protected:
    void SetUp() override {
        Create(" joe ", " secret ", true);
        cli->OnDisplay = [this](TObject*, const std::string& msg) {
            log.push_back("display " + msg);
        };
        auto logAs = [this](const char* name) {
            return [this, name](TObject*, std::uint16_t e) {
                log.push_back(name + std::to_string(e));
            };
        };
        cli->OnSessionConnected = logAs("connected ");
        cli->OnSessionClosed = logAs("closed ");
    }
};

} // namespace

TEST_F(Pop3Session, GreetingTimeStampAndStateWalk) {
    P peer({P::Send("+OK POP3 ready <17.42>\r\n"), P::ExpectLine("QUIT"), P::Send("+OK bye\r\n"),
            P::Close(), P::Accept(), P::Send("+OK <no stamp\r\n"), P::ExpectClosed()});
    std::vector<TPop3State> states;
    cli->OnStateChange = [&](TObject*) { states.push_back(cli->State()); };
    ASSERT_TRUE(ConnectTo(peer));
    EXPECT_EQ(Last(), Done(pop3Connect, 0));
    EXPECT_EQ(cli->TimeStamp(), "<17.42>");
    EXPECT_EQ(cli->LastResponse(), "+OK POP3 ready <17.42>");
    EXPECT_EQ(cli->ProtocolState(), pop3WaitingUser);
    EXPECT_TRUE(cli->Connected());
    EXPECT_EQ(states, (std::vector<TPop3State>{pop3DnsLookup, pop3Connecting, pop3WaitingBanner,
                                               pop3Connected, pop3Ready}));
    ASSERT_TRUE(Run([&] { cli->Quit(); }));
    EXPECT_EQ(cli->ProtocolState(), pop3Disconnected);

    // A later greeting without a complete "<...>" clears the stamp of the earlier session.
    ASSERT_TRUE(ConnectTo(peer));
    EXPECT_EQ(cli->TimeStamp(), "");
    cli->Abort();
    Check(peer);
}

TEST_F(Pop3Session, RefusedGreetingOnConnectAndInsideOpen) {
    P peer({P::Send("-ERR busy\r\n"), P::ExpectClosed(), P::Accept(), P::Send("-ERR busy\r\n"),
            P::ExpectClosed()});
    ASSERT_TRUE(ConnectTo(peer));
    EXPECT_EQ(Last(), Done(pop3Connect, 10004));
    EXPECT_TRUE(Has("closed 0"));
    EXPECT_FALSE(Has("connected 0"));
    EXPECT_EQ(cli->ErrorMessage(), "-ERR busy");
    EXPECT_EQ(cli->ProtocolState(), pop3Disconnected);

    log.clear();
    ASSERT_TRUE(Run([&] { cli->Open(); }));
    EXPECT_EQ(log, (Log{"display < -ERR busy", "closed 0", Done(pop3Open, 500)}));
    EXPECT_EQ(cli->ErrorMessage(), "-ERR busy");
    PumpFor(50);
    EXPECT_EQ(doneCount, 2); // exactly one completion per request
    Check(peer);
}

TEST_F(Pop3Session, OpenChainsConnectUserPassIntoOneCompletion) {
    P peer({P::Send("+OK hi\r\n"), P::ExpectLine("USER joe"), P::Send("+OK\r\n"),
            P::ExpectLine("PASS secret"), P::Send("+OK 2 messages\r\n"), P::ExpectClosed()});
    cli->SetPort(peer.PortText());
    ASSERT_TRUE(Run([&] { cli->Open(); }));
    EXPECT_EQ(log, (Log{"display < +OK hi", "connected 0", "display > USER joe", "display < +OK",
                        "display > PASS secret", "display < +OK 2 messages", Done(pop3Open, 0)}));
    EXPECT_EQ(cli->ProtocolState(), pop3Transaction);
    EXPECT_EQ(Refusal([&] { cli->Open(); }), "pop3 component already connected");
    cli->Abort();
    Check(peer);
}

// A refused step ends the chain with its code; a session dropped between steps ends it with
// 10004 instead of raising from inside the socket's handler; an abort ends it with 426.
TEST_F(Pop3Session, OpenEndsOnRefusalDroppedSessionOrAbort) {
    P peer({P::Send("+OK hi\r\n"), P::ExpectLine("USER joe"), P::Send("-ERR who?\r\n"),
            P::ExpectClosed(), P::Accept(), P::Send("+OK hi\r\n"), P::ExpectLine("USER joe"),
            P::Close(), P::Accept(), P::Send("+OK hi\r\n"), P::ExpectLine("USER joe"),
            P::ExpectClosed()});
    cli->SetPort(peer.PortText());
    ASSERT_TRUE(Run([&] { cli->Open(); }));
    EXPECT_EQ(Last(), Done(pop3Open, 500));
    EXPECT_EQ(cli->ErrorMessage(), "-ERR who?");
    EXPECT_FALSE(Has("display > PASS secret"));
    cli->Abort();

    ASSERT_TRUE(Run([&] { cli->Open(); }));
    EXPECT_EQ(Last(), Done(pop3Open, 10004));
    EXPECT_EQ(cli->State(), pop3Ready);
    PumpFor(50);
    EXPECT_EQ(doneCount, 2);

    const std::size_t sent = peer.Received().size();
    cli->Open();
    ASSERT_TRUE(PumpUntil([&] { return peer.Received().size() == sent + 10; }));
    EXPECT_TRUE(peer.Received().ends_with("USER joe\r\n"));
    cli->Abort();
    ASSERT_TRUE(PumpUntil([&] { return doneCount == 3; }));
    EXPECT_EQ(Last(), Done(pop3Open, 426));
    EXPECT_EQ(cli->ErrorMessage(), "426 Operation aborted.");
    EXPECT_EQ(cli->State(), pop3Ready);
    Check(peer);
}

TEST_F(Pop3Session, QuitCompletesAfterReplyAndCloseInEitherOrder) {
    P peer({P::Send("+OK\r\n"), P::ExpectLine("QUIT"), P::Send("+OK bye\r\n"), P::Pause(100),
            P::Close(), P::Accept(), P::Send("+OK\r\n"), P::ExpectLine("QUIT"), P::Close(),
            P::Accept(), P::Send("+OK\r\n"), P::ExpectLine("QUIT"), P::Send("+OK bye\r\n"),
            P::Pause(400), P::Close()});
    // Reply first, close later.
    ASSERT_TRUE(ConnectTo(peer));
    log.clear();
    ASSERT_TRUE(Run([&] { cli->Quit(); }));
    EXPECT_EQ(log, (Log{"display > QUIT", "display < +OK bye", "closed 0", Done(pop3Quit, 0)}));
    EXPECT_EQ(cli->ProtocolState(), pop3Disconnected);

    // The server closes without a reply: nothing more can arrive, the QUIT is complete.
    ASSERT_TRUE(ConnectTo(peer));
    log.clear();
    ASSERT_TRUE(Run([&] { cli->Quit(); }));
    EXPECT_EQ(log, (Log{"display > QUIT", "closed 0", Done(pop3Quit, 0)}));

    // Answered but not yet closed: the request stays open.
    ASSERT_TRUE(ConnectTo(peer));
    const int before = doneCount;
    cli->Quit();
    PumpFor(200);
    EXPECT_EQ(doneCount, before);
    EXPECT_EQ(cli->State(), pop3WaitingResponse);
    EXPECT_THROW(cli->Noop(), Pop3Exception);
    ASSERT_TRUE(PumpUntil([&] { return doneCount > before; }));
    EXPECT_EQ(lastError, 0);

    // Not connected: completes at once with 0, sends nothing.
    ASSERT_TRUE(Run([&] { cli->Quit(); }));
    EXPECT_EQ(Last(), Done(pop3Quit, 0));
    Check(peer);
}

TEST_F(Pop3Session, StatusLinesAndReentrancy) {
    P peer({P::Send("+OK\r\n"), P::ExpectLine("USER joe"), P::Send("+\r\n"),
            P::ExpectLine("PASS secret"), P::Send("\r\n"), P::ExpectLine("PASS secret"),
            P::Send("+OK\r\n"), P::ExpectLine("NOOP"), P::Send("+OK\r\n"), P::ExpectClosed()});
    ASSERT_TRUE(ConnectTo(peer));
    ASSERT_TRUE(Run([&] { cli->User(); }));
    EXPECT_EQ(lastError, 0); // a lone "+" is positive
    ASSERT_TRUE(Run([&] { cli->Pass(); }));
    EXPECT_EQ(lastError, 500); // an empty line is not
    EXPECT_EQ(cli->ProtocolState(), pop3WaitingPass);
    ASSERT_TRUE(Run([&] { cli->Pass(); }));
    EXPECT_EQ(cli->ProtocolState(), pop3Transaction);

    // Connect while connected raises and sends nothing.
    EXPECT_THROW(cli->Connect(), Pop3Exception);
    EXPECT_TRUE(cli->Connected());

    // A command started from OnDisplay while a command is being sent is refused.
    std::string refused;
    cli->OnDisplay = [&](TObject*, const std::string& msg) {
        if (msg == "> NOOP") refused = Refusal([&] { cli->Stat(); });
    };
    ASSERT_TRUE(Run([&] { cli->Noop(); }));
    EXPECT_EQ(refused, "POP3 component not ready");
    EXPECT_EQ(lastError, 0);
    cli->Abort();
    Check(peer);
}

// The application's chain: each request started from the previous OnRequestDone.
TEST_F(Pop3Session, NextRequestStartsInsideOnRequestDone) {
    P peer({P::SendSplit("+OK ready\r\n"), P::ExpectLine("USER joe"), P::SendSplit("+OK\r\n"),
            P::ExpectLine("PASS secret"), P::SendSplit("+OK\r\n"), P::ExpectLine("STAT"),
            P::SendSplit("+OK 1 120\r\n"), P::ExpectLine("RETR 1"),
            P::SendSplit("+OK\r\nSubject: x\r\n\r\n..body\r\n.\r\n"), P::ExpectLine("QUIT"),
            P::SendSplit("+OK\r\n"), P::Close()});
    std::vector<std::string> lines;
    cli->OnMessageLine = [&](TObject*) { lines.push_back(cli->LastResponse()); };
    bool finished = false;
    const std::map<TPop3Request, std::function<void()>> next = {
        {pop3Connect, [&] { cli->User(); }},
        {pop3User, [&] { cli->Pass(); }},
        {pop3Pass, [&] { cli->Stat(); }},
        {pop3Stat, [&] { cli->SetMsgNum(cli->MsgCount()), cli->Retr(); }},
        {pop3Retr, [&] { cli->Quit(); }}};
    afterDone = [&] {
        const auto step = next.find(lastRq);
        if (lastError == 0 && step != next.end()) return step->second();
        finished = true;
    };
    cli->SetPort(peer.PortText());
    cli->Connect();
    ASSERT_TRUE(PumpUntil([&] { return finished; }));
    EXPECT_EQ(Last(), Done(pop3Quit, 0));
    EXPECT_EQ(lines, (Log{"Subject: x", "", ".body"}));
    EXPECT_EQ(cli->MsgSize(), 120);
    Check(peer);
}

TEST_F(Pop3Session, ConnectFailuresAndAbort) {
    // Nothing listens on a port just released by a peer.
    std::string port;
    {
        P closed({});
        port = closed.PortText();
    }
    cli->SetPort(port);
    ASSERT_TRUE(Run([&] { cli->Connect(); }));
    EXPECT_EQ(Last(), Done(pop3Connect, 10061));
    EXPECT_EQ(cli->LastResponse(), "-ERR " + SocketErrorText(10061) + " (Winsock error #10061)");
    EXPECT_EQ(cli->ErrorMessage(), cli->LastResponse());
    EXPECT_FALSE(cli->Connected());
    PumpFor(50);
    EXPECT_EQ(doneCount, 1);

    // A port the socket layer cannot resolve fails inside the socket's Connect.
    cli->SetPort("no-such-service-name");
    ASSERT_TRUE(Run([&] { cli->Connect(); }));
    EXPECT_EQ(lastError, 500);
    EXPECT_EQ(cli->LastResponse().rfind("-ERR ESocketException: ", 0), 0u) << cli->LastResponse();

    // Abort during a request completes it with 10004.
    P peer({P::Send("+OK\r\n"), P::ExpectLine("USER joe"), P::ExpectClosed()});
    ASSERT_TRUE(ConnectTo(peer));
    const int before = doneCount;
    cli->User();
    ASSERT_TRUE(PumpUntil([&] { return peer.Received() == "USER joe\r\n"; }));
    cli->Abort();
    ASSERT_TRUE(PumpUntil([&] { return doneCount > before; }));
    EXPECT_EQ(Last(), Done(pop3User, 10004));
    EXPECT_EQ(cli->ProtocolState(), pop3Disconnected);
    Check(peer);
}
