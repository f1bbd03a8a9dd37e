#pragma once

// Shared by the POP3 client suites: a client on 127.0.0.1 whose request completions are
// counted and logged, and helpers to run a request and to check a scripted peer.

#include "net/Pop3Prot.h"

#include "tests/support/EventLoopFixture.h"
#include "tests/support/ScriptedPeer.h"

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using P = ScriptedPeer;
using Log = std::vector<std::string>;

class Pop3Test : public EventLoopTest {
protected:
    // withRequest: completions are logged as "done <request> <error>" rather than "done <error>".
    void Create(const std::string& user, const std::string& password, bool withRequest) {
        EventLoopTest::SetUp();
        cli = std::make_unique<TPop3Cli>();
        cli->SetHost("127.0.0.1");
        cli->SetUserName(user);
        cli->SetPassWord(password);
        cli->OnRequestDone = [this, withRequest](TObject* sender, TPop3Request rq,
                                                 std::uint16_t e) {
            EXPECT_EQ(sender, cli.get());
            EXPECT_EQ(cli->State(), pop3Ready);
            log.push_back(withRequest ? Done(rq, e) : "done " + std::to_string(e));
            ++doneCount;
            lastRq = rq;
            lastError = e;
            if (afterDone) afterDone();
        };
    }
    void TearDown() override { cli.reset(); }

    static std::string Done(TPop3Request rq, int error) {
        return "done " + std::to_string(rq) + " " + std::to_string(error);
    }
    // The last completion, as Done() writes it.
    std::string Last() const { return Done(lastRq, lastError); }
    // Starts op and pumps until its OnRequestDone; false on time-out.
    bool Run(const std::function<void()>& op, int timeoutMs = 5000) {
        const int before = doneCount;
        op();
        return PumpUntil([&] { return doneCount > before; }, timeoutMs);
    }
    bool ConnectTo(const ScriptedPeer& peer) {
        cli->SetPort(peer.PortText());
        return Run([&] { cli->Connect(); });
    }
    bool Has(const std::string& entry) const {
        return std::find(log.begin(), log.end(), entry) != log.end();
    }
    // The text of the Pop3Exception op raises.
    static std::string Refusal(const std::function<void()>& op) {
        try {
            op();
        } catch (const Pop3Exception& e) {
            return e.what();
        }
        return "no exception";
    }
    static void Check(ScriptedPeer& peer) {
        EXPECT_TRUE(peer.WaitFinished());
        for (const std::string& f : peer.Failures())
            ADD_FAILURE() << f;
    }

    std::unique_ptr<TPop3Cli> cli;
    Log log;
    int doneCount = 0;
    TPop3Request lastRq = pop3Custom;
    std::uint16_t lastError = 0xFFFF;
    std::function<void()> afterDone;
};
