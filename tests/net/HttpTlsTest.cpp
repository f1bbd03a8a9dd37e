// https: the request goes only into a connection whose certificate was accepted, relocations
// move between http and https, and credentials never travel from https into clear text.
#include "net/TlsSession.h"

#include "tests/net/HttpTestSupport.h"
#include "tests/support/LoopbackPort.h"
#include "tests/support/TestCertificates.h"

namespace {

class HttpTls : public HttpTest {
protected:
    void SetUp() override {
        HttpTest::SetUp();
        ASSERT_TRUE(Certs().Ok());
        TlsSetExtraCaFile(Certs().CaFile());
    }
    void TearDown() override {
        HttpTest::TearDown();
        TlsSetExtraCaFile({});
    }
    static const TestCertificates& Certs() { return TestCertificates::Get(); }
    static std::string SecureUrl(const ScriptedPeer& peer, const std::string& path) {
        return "https://127.0.0.1:" + peer.PortText() + path;
    }
};

TEST_F(HttpTls, TheRequestGoesOnlyToAVerifiedServer) {
    const struct {
        const char* cert;
        bool pinned;
        const char* failure; // empty: the document arrives
    } cases[] = {
        {"good", false, ""},
        {"selfsigned", true, ""},
        {"wronghost", false, "not valid for 127.0.0.1"},
        {"expired", false, "has expired"},
        {"selfsigned", false, "self-signed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.cert) + (c.pinned ? " pinned" : ""));
        const bool ok = *c.failure == 0;
        std::vector<P::Step> script{P::StartTls(Certs().Prefix(c.cert))};
        if (ok) {
            script.push_back(P::ReadUntilLine(""));
            script.push_back(P::Send("HTTP/1.0 200 OK\r\nContent-Length: 6\r\n\r\nsecret"));
        }
        script.push_back(P::ExpectClosed());
        P peer(script);
        cli->SetTlsPin(c.pinned ? Certs().Fingerprint(c.cert) : std::string());
        cli->SetURL(SecureUrl(peer, "/doc"));
        body.Clear();
        RunAsync();
        EXPECT_TRUE(PumpUntil([&] { return peer.Finished(); }, 10000));
        if (ok) {
            Check(peer);
            EXPECT_EQ(cli->RequestDoneError(), 0);
            EXPECT_EQ(body.DataString(), "secret");
            EXPECT_EQ(peer.Received(), DefaultRequest("/doc"));
        } else {
            EXPECT_EQ(cli->RequestDoneError(), TlsFailed);
            EXPECT_NE(cli->ReasonPhrase().find(c.failure), std::string::npos)
                << cli->ReasonPhrase();
            EXPECT_EQ(peer.Received().find("GET"), std::string::npos);
        }
    }
}

TEST_F(HttpTls, RelocationsCrossBetweenHttpAndHttpsAndCredentialsStayEncrypted) {
    // http → https on the same host keeps the credentials; https → http drops them.
    P last({P::ReadUntilLine(""), P::Send("HTTP/1.0 200 OK\r\n\r\nplain again")});
    P secure({P::StartTls(Certs().Prefix("good")), P::ReadUntilLine(""),
              P::Send("HTTP/1.0 302 Found\r\nLocation: http://127.0.0.1:" + last.PortText() +
                      "/c\r\n\r\n")});
    P first({P::ReadUntilLine(""),
             P::Send("HTTP/1.0 301 Moved\r\nLocation: " + SecureUrl(secure, "/b") + "\r\n\r\n")});
    cli->SetURL("http://u:p@127.0.0.1:" + first.PortText() + "/a");
    RunAsync();
    Check(first);
    Check(secure);
    Check(last);
    EXPECT_EQ(cli->RequestDoneError(), 0);
    EXPECT_EQ(body.DataString(), "plain again");
    const std::string auth = "Authorization: Basic dTpw\r\n";
    EXPECT_NE(first.Received().find(auth), std::string::npos);
    EXPECT_NE(secure.Received().find("GET /b HTTP/1.0\r\n"), std::string::npos);
    EXPECT_NE(secure.Received().find(auth), std::string::npos);
    EXPECT_EQ(last.Received(), DefaultRequest("/c"));
}

TEST_F(HttpTls, HttpsThroughAnHttpProxyIsRefusedClearly) {
    cli->SetProxy("127.0.0.1:" + std::to_string(FreeLoopbackPort()));
    cli->SetURL("https://www.invalid/");
    try {
        cli->GetASync();
        ADD_FAILURE();
    } catch (const EHttpException& e) {
        EXPECT_EQ(e.ErrorCode(), httpErrBadUrl);
        EXPECT_EQ(e.Message(), kHttpNoHttpsThroughProxy);
    }
    EXPECT_EQ(cli->State(), httpReady);
    // A relocation to https behind the proxy ends the request the same way.
    P proxy({P::ReadUntilLine(""),
             P::Send("HTTP/1.0 302 Found\r\nLocation: https://www.invalid/\r\n\r\n"),
             P::ExpectClosed()});
    cli->SetProxy("127.0.0.1:" + proxy.PortText());
    cli->SetURL("http://www.invalid/");
    RunAsync();
    Check(proxy);
    EXPECT_EQ(cli->RequestDoneError(), httpErrBadRelocation);
    EXPECT_EQ(cli->ReasonPhrase(), kHttpNoHttpsThroughProxy);
}

} // namespace
