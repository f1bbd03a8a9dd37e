// Following Location replies: the next request, what it keeps and what it drops, and the bound
// on a chain that never ends.
#include "tests/net/HttpTestSupport.h"

namespace {

using Steps = std::vector<P::Step>;

std::string Moved(const std::string& location) {
    return "HTTP/1.0 302 Found\r\nLocation: " + location + "\r\n\r\nbody of the move";
}

TEST_F(HttpTest, RelocationOpensANewRequestAndOnlyTheLastDocumentCounts) {
    P peer({P::ReadUntilLine(""), P::Send(Moved("c.html")), P::Accept(), P::ReadUntilLine(""),
            P::Send("HTTP/1.0 200 OK\r\n\r\nfinal")});
    cli->SetURL(Url(peer, "/a/b.html"));
    TMemoryStream post;
    post.WriteString("x");
    post.SetPosition(0);
    cli->SetSendStream(&post);
    RunAsync(httpPOST);
    Check(peer);
    const std::string received = peer.Received();
    EXPECT_NE(received.find("POST /a/b.html HTTP/1.0\r\n"), std::string::npos);
    // A POST answered with a Location is repeated as a GET.
    EXPECT_NE(received.find(DefaultRequest("/a/c.html")), std::string::npos);
    EXPECT_EQ(body.DataString(), "final");
    EXPECT_EQ(log, (std::vector<std::string>{"HeaderBegin", "HeaderEnd",
                                             "Location http://127.0.0.1//a/c.html", "HeaderBegin",
                                             "HeaderEnd", "DocBegin", "DocEnd", "Done 1 0"}));
}

TEST_F(HttpTest, TenRelocationsAreFollowedTheEleventhFails) {
    for (int hops : {10, 11}) {
        SCOPED_TRACE(hops);
        Steps script;
        for (int i = 0; i < hops; ++i) {
            if (i > 0) script.push_back(P::Accept());
            script.push_back(P::ReadUntilLine(""));
            script.push_back(P::Send(Moved("/hop" + std::to_string(i))));
        }
        script.push_back(P::Accept());
        script.push_back(P::ReadUntilLine(""));
        script.push_back(P::Send("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok"));
        P peer(script);
        cli->SetURL(Url(peer, "/"));
        RunAsync();
        if (hops == 10) {
            Check(peer);
            EXPECT_EQ(cli->RequestDoneError(), 0);
            EXPECT_EQ(peer.Connections(), 11);
        } else {
            EXPECT_EQ(cli->RequestDoneError(), httpErrTooManyRelocations);
            EXPECT_EQ(cli->ReasonPhrase(), "Too many relocations");
            EXPECT_EQ(peer.Connections(), 11);
        }
    }
}

TEST_F(HttpTest, CredentialsStayWithTheirHost) {
    // The second move names another host (localhost) on another peer.
    P other({P::ReadUntilLine(""), P::Send("HTTP/1.0 200 OK\r\n\r\n")});
    P first({P::ReadUntilLine(""), P::Send(Moved("/same")), P::Accept(), P::ReadUntilLine(""),
             P::Send(Moved("http://localhost:" + other.PortText() + "/there"))});
    cli->SetURL("http://u:p@127.0.0.1:" + first.PortText() + "/");
    RunAsync();
    Check(first);
    Check(other);
    EXPECT_EQ(cli->RequestDoneError(), 0);
    const std::string auth = "Authorization: Basic dTpw\r\n";
    const std::string sent = first.Received();
    EXPECT_NE(sent.find("GET /same HTTP/1.0\r\n"), std::string::npos);
    EXPECT_NE(sent.find(auth, sent.find("GET /same")), std::string::npos);
    EXPECT_EQ(other.Received().find("Authorization"), std::string::npos);
    EXPECT_NE(other.Received().find("Host: localhost\r\n"), std::string::npos);
}

TEST_F(HttpTest, ThroughAProxyWithAuthorizationAndRelocation) {
    P proxy({P::ReadUntilLine(""), P::Send(Moved("http://other.invalid:8080/b")), P::Accept(),
             P::ReadUntilLine(""), P::Send("HTTP/1.0 200 OK\r\n\r\nvia proxy")});
    cli->SetURL("http://www.invalid/a#top");
    cli->SetProxy("127.0.0.1:" + proxy.PortText());
    cli->SetProxyUsername("pu");
    cli->SetProxyPassword("pp");
    RunAsync();
    Check(proxy);
    EXPECT_EQ(cli->RequestDoneError(), 0);
    EXPECT_EQ(body.DataString(), "via proxy");
    const std::string sent = proxy.Received();
    EXPECT_EQ(sent.substr(0, sent.find("\r\n\r\n") + 4),
              "GET http://www.invalid/a HTTP/1.0\r\n"
              "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n"
              "User-Agent: Mozilla/3.0 (compatible)\r\n"
              "Host: www.invalid\r\n"
              "Proxy-Authorization: Basic cHU6cHA=\r\n\r\n");
    // The relocated request goes to the same proxy port, not to the port the Location names.
    EXPECT_NE(sent.find("GET http://other.invalid:8080/b HTTP/1.0\r\n"), std::string::npos);
    EXPECT_NE(sent.find("Host: other.invalid\r\n"), std::string::npos);
}

} // namespace
