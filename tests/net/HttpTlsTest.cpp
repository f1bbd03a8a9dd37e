// https: the request goes only into a connection whose certificate was accepted, relocations
// move between http and https, credentials never travel from https into clear text, and an HTTP
// proxy carries https through a tunnel.
#include "net/TlsSession.h"

#include "tests/net/HttpTestSupport.h"
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
    for (const TCertificateCase& c : kCertificateCases) {
        SCOPED_TRACE(std::string(c.cert) + (c.pin ? " pinned" : ""));
        const bool ok = *c.error == 0;
        std::vector<P::Step> script{P::StartTls(Certs().Prefix(c.cert))};
        if (ok) {
            script.push_back(P::ReadUntilLine(""));
            script.push_back(P::Send("HTTP/1.0 200 OK\r\nContent-Length: 6\r\n\r\nsecret"));
        }
        script.push_back(P::ExpectClosed());
        P peer(script);
        cli->SetTlsPin(c.pin ? Certs().Fingerprint(c.cert) : std::string());
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
            EXPECT_NE(cli->ReasonPhrase().find(c.error), std::string::npos)
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

TEST_F(HttpTls, BehindAnHttpProxyHttpsGoesThroughATunnel) {
    P proxy({P::ExpectLine("CONNECT localhost:8443 HTTP/1.1"), P::ExpectLine("Host: localhost:8443"),
             P::ExpectLine("Proxy-Authorization: Basic cHU6cHA="), P::ExpectLine(""),
             P::Send("HTTP/1.1 200 Connection established\r\nVia: proxy\r\n\r\n"),
             P::StartTls(Certs().Prefix("good")), P::ReadUntilLine(""),
             P::Send("HTTP/1.0 200 OK\r\nContent-Length: 6\r\n\r\nsecret"), P::ExpectClosed()});
    cli->SetProxy("127.0.0.1:" + proxy.PortText());
    cli->SetProxyUsername("pu");
    cli->SetProxyPassword("pp");
    cli->SetURL("https://localhost:8443/doc?x#top");
    RunAsync();
    Check(proxy);
    EXPECT_EQ(cli->RequestDoneError(), 0) << cli->ReasonPhrase();
    EXPECT_EQ(body.DataString(), "secret");
    // The server inside the tunnel gets the path alone and never the proxy's credentials.
    const std::string sent = proxy.Received();
    const std::string request = sent.substr(sent.find("\r\n\r\n") + 4);
    EXPECT_EQ(request.substr(0, request.find("\r\n")), "GET /doc?x HTTP/1.0");
    EXPECT_EQ(request.find("Proxy-Authorization"), std::string::npos);

    // A proxy that refuses the tunnel ends the request with its answer; nothing else is sent.
    P refusing({P::ReadUntilLine(""), P::Send("HTTP/1.1 403 Forbidden\r\n\r\n"),
                P::ExpectClosed()});
    cli->SetProxy("127.0.0.1:" + refusing.PortText());
    RunAsync();
    Check(refusing);
    EXPECT_EQ(cli->RequestDoneError(), 0);
    EXPECT_EQ(cli->StatusCode(), 403);
    EXPECT_EQ(refusing.Received().find("GET"), std::string::npos);
}

} // namespace
