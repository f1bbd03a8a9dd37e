#pragma once

// Shared by the HTTP client suites: a client on 127.0.0.1 whose events are logged, and a
// scripted peer that answers one request per connection.

#include "net/HttpProt.h"

#include "tests/support/EventLoopFixture.h"
#include "tests/support/ScriptedPeer.h"

#include <memory>
#include <string>
#include <vector>

using P = ScriptedPeer;

class HttpTest : public EventLoopTest {
protected:
    void SetUp() override {
        EventLoopTest::SetUp();
        cli = std::make_unique<THttpCli>();
        cli->SetTimeout(5);
        cli->SetRcvdStream(&body);
        cli->OnHeaderBegin = [this](TObject*) { log.push_back("HeaderBegin"); };
        cli->OnHeaderEnd = [this](TObject*) { log.push_back("HeaderEnd"); };
        cli->OnDocBegin = [this](TObject*) { log.push_back("DocBegin"); };
        cli->OnDocData = [this](TObject*, const char*, int) { ++docData; };
        cli->OnDocEnd = [this](TObject*) { log.push_back("DocEnd"); };
        cli->OnLocationChange = [this](TObject*) { log.push_back("Location " + cli->Location()); };
        cli->OnRequestDone = [this](TObject* sender, THttpRequest rq, std::uint16_t error) {
            EXPECT_EQ(sender, cli.get());
            log.push_back("Done " + std::to_string(rq) + " " + std::to_string(error));
            ++done;
        };
    }
    void TearDown() override { cli.reset(); }

    static std::string Url(const ScriptedPeer& peer, const std::string& path) {
        return "http://127.0.0.1:" + peer.PortText() + path;
    }
    // Starts an asynchronous GET and lets the loop run until it has reported its end.
    void RunAsync(THttpRequest rq = httpGET) {
        const int before = done;
        if (rq == httpGET) cli->GetASync();
        if (rq == httpHEAD) cli->HeadASync();
        if (rq == httpPOST) cli->PostASync();
        EXPECT_TRUE(PumpUntil([&] { return done > before; }, 10000));
    }
    // The request header the client sends for GET path to 127.0.0.1, default properties.
    static std::string DefaultRequest(const std::string& path) {
        return "GET " + path +
               " HTTP/1.0\r\n"
               "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n"
               "User-Agent: Mozilla/3.0 (compatible)\r\n"
               "Host: 127.0.0.1\r\n\r\n";
    }
    static void Check(ScriptedPeer& peer) {
        EXPECT_TRUE(PumpUntil([&] { return peer.Finished(); }, 10000));
        for (const std::string& f : peer.Failures())
            ADD_FAILURE() << f;
    }

    std::unique_ptr<THttpCli> cli;
    TMemoryStream body;
    std::vector<std::string> log;
    int docData = 0;
    int done = 0;
};
