#include "net/Pop3Prot.h"
#include "net/WSocketLibrary.h"
#include "net/WinsockEmulation.h"

#include "tests/support/EventLoopFixture.h"
#include "tests/support/ScriptedPeer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <map>
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
