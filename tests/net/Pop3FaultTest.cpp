#include "net/Pop3Prot.h"
#include "net/WSocketLibrary.h"
#include "net/WinsockEmulation.h"

#include "tests/net/Pop3TestSupport.h"
#include "tests/support/EventLoopFixture.h"
#include "tests/support/ScriptedPeer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using P = ScriptedPeer;

// How one session went: its completions as "request error", in order, what a request start
// raised, whether it ended, and how many completions came after its end.
struct TOutcome {
    std::vector<std::string> completions;
    std::string raised;
    bool ended = false;
    bool failureFired = false;
    std::size_t completionsAfterEnd = 0;
};

// Connect, USER, PASS, STAT, RETR 1 and QUIT, each started from the previous completion as
// the application does, with the failAt-th socket operation failing with error.
TOutcome RunSession(int failAt, int error) {
    P peer({P::Send("+OK ready\r\n"), P::ExpectLine("USER joe"), P::Send("+OK\r\n"),
            P::ExpectLine("PASS secret"), P::Send("+OK\r\n"), P::ExpectLine("STAT"),
            P::Send("+OK 1 40\r\n"), P::ExpectLine("RETR 1"),
            P::Send("+OK\r\nSubject: x\r\n\r\n..body\r\n.\r\n"), P::ExpectLine("QUIT"),
            P::Send("+OK bye\r\n"), P::Close()},
           2000);
    TOutcome outcome;
    {
        TPop3Cli cli;
        cli.SetHost("127.0.0.1");
        cli.SetPort(peer.PortText());
        cli.SetUserName("joe");
        cli.SetPassWord("secret");
        const std::map<TPop3Request, std::function<void()>> next = {
            {pop3Connect, [&] { cli.User(); }},
            {pop3User, [&] { cli.Pass(); }},
            {pop3Pass, [&] { cli.Stat(); }},
            {pop3Stat, [&] { cli.SetMsgNum(1), cli.Retr(); }},
            {pop3Retr, [&] { cli.Quit(); }}};
        cli.OnRequestDone = [&](TObject*, TPop3Request rq, std::uint16_t e) {
            outcome.completions.push_back(std::to_string(rq) + " " + std::to_string(e));
            const auto step = next.find(rq);
            if (e != 0 || step == next.end()) {
                outcome.ended = true;
                return;
            }
            try {
                step->second();
            } catch (const Exception& raised) {
                outcome.raised = raised.what();
                outcome.ended = true;
            }
        };
        winsock::FailOperationAfter(failAt, error);
        try {
            cli.Connect();
        } catch (const Exception& raised) {
            outcome.raised = raised.what();
            outcome.ended = true;
        }
        PumpUntil([&] { return outcome.ended; }, 5000);
        outcome.failureFired = !winsock::InjectedFailurePending();
        winsock::FailOperationAfter(0, 0);
        // Whatever is still on its way (the close of a failed socket) must not complete
        // anything a second time.
        const std::size_t atEnd = outcome.completions.size();
        PumpFor(20);
        outcome.completionsAfterEnd = outcome.completions.size() - atEnd;
    }
    PumpFor(5);
    return outcome;
}

std::string Describe(int failAt, int error, const TOutcome& outcome) {
    std::string text =
        "operation " + std::to_string(failAt) + " failing with " + std::to_string(error) + ":";
    for (const std::string& c : outcome.completions)
        text += " [" + c + "]";
    if (!outcome.raised.empty()) text += " raised \"" + outcome.raised + "\"";
    return text;
}

// A connection reset and a shortage of buffers, injected into each system call of a whole
// session in turn: the session always ends, through one error completion, a refused next
// request, or (when the failed call only tuned the socket) a normal QUIT, and leaves nothing
// open behind.
TEST(Pop3Faults, EverySocketOperationOfASessionFailingInTurnEndsItCleanly) {
    EnsureApplication();
    for (const int error : {ECONNRESET, ENOBUFS}) {
        int failAt = 1;
        for (;; ++failAt) {
            ASSERT_LT(failAt, 1000) << "the session never got past the injected failures";
            const TOutcome outcome = RunSession(failAt, error);
            const std::string what = Describe(failAt, error, outcome);
            EXPECT_TRUE(outcome.ended) << what;
            EXPECT_EQ(outcome.completionsAfterEnd, 0u) << what;
            EXPECT_EQ(winsock::OpenHandleCount(), 0) << what;
            EXPECT_EQ(WSocketObjectCount(), 0) << what;
            if (!outcome.failureFired) {
                // Past the end of the session: it ran without a failure.
                EXPECT_EQ(outcome.completions.back(), std::to_string(pop3Quit) + " 0") << what;
                break;
            }
        }
        EXPECT_GT(failAt, 20) << "fewer system calls than a whole session makes";
    }
}

} // namespace

// Faults on the client's side of a session: each ends its request, with the client ready for
// the next one.
namespace {

class Pop3ClientFaults : public Pop3Test {
protected:
    void SetUp() override {
        Create("joe", "secret", true);
        cli->OnSessionClosed = [this](TObject*, std::uint16_t e) {
            log.push_back("closed " + std::to_string(e));
            if (onClosed) onClosed();
        };
    }
    // Logs in to peer; its script must begin with Greeting().
    void LogIn(const ScriptedPeer& peer) {
        ASSERT_TRUE(ConnectTo(peer));
        ASSERT_TRUE(Run([&] { cli->User(); }));
        ASSERT_TRUE(Run([&] { cli->Pass(); }));
        ASSERT_EQ(Last(), Done(pop3Pass, 0));
    }
    static std::vector<P::Step> Greeting() {
        return {P::Send("+OK ready\r\n"), P::ExpectLine("USER joe"), P::Send("+OK\r\n"),
                P::ExpectLine("PASS secret"), P::Send("+OK\r\n")};
    }
    std::function<void()> onClosed;
};

TEST_F(Pop3ClientFaults, AnEmptyHostEndsTheConnectRequest) {
    P peer({P::Send("+OK ready\r\n"), P::ExpectClosed()});
    cli->SetHost("");
    ASSERT_TRUE(Run([&] { cli->Connect(); }));
    EXPECT_EQ(Last(), Done(pop3Connect, 500));
    EXPECT_EQ(cli->ErrorMessage(), "-ERR ESocketException: DNS lookup: invalid host name.");
    cli->SetHost("127.0.0.1");
    ASSERT_TRUE(ConnectTo(peer));
    EXPECT_EQ(Last(), Done(pop3Connect, 0));
    cli->Abort();
    Check(peer);
}

TEST_F(Pop3ClientFaults, ASendErrorThatKeepsTheConnectionEndsTheRequest) {
    P peer({P::Send("+OK ready\r\n"), P::ExpectClosed()});
    ASSERT_TRUE(ConnectTo(peer));
    winsock::FailOperationAfter(1, ENOBUFS);
    ASSERT_TRUE(Run([&] { cli->User(); }));
    winsock::FailOperationAfter(0, 0);
    EXPECT_EQ(Last(), Done(pop3User, 10055));
    EXPECT_TRUE(cli->Connected());
    cli->Abort();
    Check(peer);
}

// Whatever an intake handler raises ends the retrieval with 500 once the reply is over; the
// rest of the reply is read, so the next command gets its own reply.
TEST_F(Pop3ClientFaults, AFailingMessageHandlerEndsTheRetrieval) {
    const auto raise = [](bool own) {
        if (own) throw Exception("intake failed");
        throw std::runtime_error("intake failed");
    };
    for (TNotifyEvent TPop3Cli::*event :
         {&TPop3Cli::OnMessageBegin, &TPop3Cli::OnMessageLine, &TPop3Cli::OnMessageEnd}) {
        for (const bool own : {true, false}) {
            std::vector<P::Step> script = Greeting();
            script.insert(script.end(),
                          {P::ExpectLine("RETR 1"),
                           P::Send("+OK\r\nSubject: x\r\n\r\nline 1\r\nline 2\r\n.\r\n"),
                           P::ExpectLine("NOOP"), P::Send("+OK\r\n"), P::ExpectClosed()});
            P peer(script);
            int lines = 0;
            cli->OnMessageLine = [&](TObject*) { ++lines; };
            (*cli).*event = [&](TObject*) { ++lines, raise(own); };
            LogIn(peer);
            cli->SetMsgNum(1);
            ASSERT_TRUE(Run([&] { cli->Retr(); }));
            EXPECT_EQ(Last(), Done(pop3Retr, 500));
            EXPECT_EQ(cli->ErrorMessage(),
                      own ? "-ERR Exception: intake failed" : "-ERR intake failed");
            // No handler runs after the failure; the message has four lines.
            EXPECT_EQ(lines, event == &TPop3Cli::OnMessageEnd ? 5 : 1);
            ASSERT_TRUE(Run([&] { cli->Noop(); }));
            EXPECT_EQ(Last(), Done(pop3Noop, 0));
            cli->Abort();
            Check(peer);
            cli->OnMessageBegin = cli->OnMessageLine = cli->OnMessageEnd = nullptr;
        }
    }
}

// The owner may drop the client from any handler the socket's own notifications lead to; the
// socket goes once its code has returned.
TEST_F(Pop3ClientFaults, DestroyingTheClientFromItsHandlersIsSafe) {
    // The handlers hold only a pointer to the dropping code, which lives here: nothing of the
    // handler itself is touched once it has destroyed the client (and with it the handler).
    using TDrop = const std::function<void()>*;
    const std::vector<std::pair<const char*, std::function<void(TPop3Cli&, TDrop)>>> cases = {
        {"message line",
         [](TPop3Cli& c, TDrop drop) { c.OnMessageLine = [drop](TObject*) { (*drop)(); }; }},
        {"message end",
         [](TPop3Cli& c, TDrop drop) { c.OnMessageEnd = [drop](TObject*) { (*drop)(); }; }},
        {"response",
         [](TPop3Cli& c, TDrop drop) {
             c.OnResponse = [drop](TObject*, const std::string& line) {
                 if (line == "+OK 1 40") (*drop)();
             };
         }},
        {"session closed",
         [](TPop3Cli& c, TDrop drop) {
             c.OnSessionClosed = [drop](TObject*, std::uint16_t) { (*drop)(); };
         }},
    };
    for (const auto& [name, bind] : cases) {
        SCOPED_TRACE(name);
        std::vector<P::Step> script = Greeting();
        script.insert(script.end(),
                      {P::ExpectLine("RETR 1"),
                       P::Send("+OK 1 40\r\nSubject: x\r\n\r\nbody\r\n.\r\n"), P::Close()});
        P peer(script);
        LogIn(peer);
        bool dropped = false;
        const std::function<void()> drop = [&] {
            cli.reset();
            dropped = true;
        };
        bind(*cli, &drop);
        cli->SetMsgNum(1);
        cli->Retr();
        ASSERT_TRUE(PumpUntil([&] { return dropped; }));
        PumpFor(30);
        EXPECT_EQ(WSocketObjectCount(), 0);
        EXPECT_EQ(winsock::OpenHandleCount(), 0);
        peer.WaitFinished();
        Create("joe", "secret", true);
    }
}

// A new session opened from OnSessionClosed is not the one that closed: its Connect completes
// with the greeting, not with the close of the session before it.
TEST_F(Pop3ClientFaults, ConnectFromOnSessionClosedStartsANewSession) {
    P peer({P::Send("+OK one\r\n"), P::Pause(50), P::Close(), P::Accept(), P::Send("+OK two\r\n"),
            P::Pause(50), P::Close()});
    onClosed = [&] {
        if (log.size() < 3) cli->Connect();
    };
    ASSERT_TRUE(ConnectTo(peer));
    ASSERT_TRUE(PumpUntil([&] { return log.size() == 4; }))
        << ::testing::PrintToString(log) << cli->ErrorMessage();
    PumpFor(30);
    EXPECT_EQ(log, (Log{Done(pop3Connect, 0), "closed 0", Done(pop3Connect, 0), "closed 0"}));
    EXPECT_EQ(cli->LastResponse(), "+OK two");
    Check(peer);
}

} // namespace
