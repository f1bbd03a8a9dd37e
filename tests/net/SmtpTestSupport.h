#pragma once

// Shared by the SMTP client suites: a blocking client on 127.0.0.1 whose completions are
// logged, and the header it composes without its Date line (which the clock decides).

#include "net/SmtpProt.h"

#include "tests/support/EventLoopFixture.h"
#include "tests/support/ScriptedPeer.h"

#include <string>
#include <vector>

using P = ScriptedPeer;

class SmtpTest : public EventLoopTest {
protected:
    void SetUp() override {
        EventLoopTest::SetUp();
        cli = std::make_unique<TSyncSmtpCli>();
        cli->SetHost("127.0.0.1");
        cli->SetSignOn("client.test");
        cli->SetTimeout(5);
        cli->OnRequestDone = [this](TObject* sender, TSmtpRequest rq, std::uint16_t e) {
            EXPECT_EQ(sender, cli.get());
            done.push_back(Done(rq, e));
        };
        cli->OnProcessHeader = [](TObject*, TStringList& lines) {
            for (int i = lines.Count() - 1; i >= 0; --i)
                if (lines[i].rfind("Date: ", 0) == 0) lines.Delete(i);
        };
    }
    void TearDown() override { cli.reset(); }

    static std::string Done(TSmtpRequest rq, int error) {
        return std::to_string(rq) + " " + std::to_string(error);
    }
    void UsePeer(const ScriptedPeer& peer) { cli->SetPort(peer.PortText()); }
    // The completions that have arrived, after the event loop had a chance to deliver them.
    std::vector<std::string> Completions() {
        PumpFor(20);
        return done;
    }
    // Lets the loop run until the peer's script has ended (its close waits for ours).
    static void Check(ScriptedPeer& peer) {
        EXPECT_TRUE(PumpUntil([&] { return peer.Finished(); }, 10000));
        for (const std::string& f : peer.Failures())
            ADD_FAILURE() << f;
    }
    static TStringList Lines(std::initializer_list<const char*> lines) {
        TStringList list;
        for (const char* line : lines)
            list.Add(line);
        return list;
    }

public:
    // The header lines the client sends for HdrFrom a@b, HdrTo c@d and HdrSubject s.
    static std::vector<P::Step> ExpectHeader() {
        return {P::ExpectLine("From: a@b"),
                P::ExpectLine("To: c@d"),
                P::ExpectLine("Subject: s"),
                P::ExpectLine("Sender: a@b"),
                P::ExpectLine("Mime-Version: 1.0"),
                P::ExpectLine("Content-Type: text/plain; charset=\"iso-8859-1\""),
                P::ExpectLine("X-Mailer: Quillon SMTP Component V2.28"),
                P::ExpectLine("")};
    }

protected:
    void MessageTo(const char* recipient) {
        cli->SetFromName("a@b");
        cli->SetRcptName(Lines({recipient}));
        cli->SetHdrFrom("a@b");
        cli->SetHdrTo("c@d");
        cli->SetHdrSubject("s");
    }

    std::unique_ptr<TSyncSmtpCli> cli;
    std::vector<std::string> done;
};

// Joins step lists, for scripts built from pieces.
inline std::vector<P::Step> operator+(std::vector<P::Step> a, const std::vector<P::Step>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
