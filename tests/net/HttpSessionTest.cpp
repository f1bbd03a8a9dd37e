// The HTTP client against a scripted peer: exact request bytes, the events of a response, the
// end of a body, and the synchronous forms.
#include "tests/net/HttpTestSupport.h"

#include "ui/EventLoop.h"

#include <algorithm>

namespace {

using Steps = std::vector<P::Step>;

const std::string kReply = "HTTP/1.0 200 OK\r\nContent-Type: image/gif\r\n\r\n";

TEST_F(HttpTest, GetSendsTheRequestAndCollectsChunksUntilTheClose) {
    for (int split : {0, 1, 7}) {
        SCOPED_TRACE(split);
        log.clear();
        docData = 0;
        body.Clear();
        Steps script{P::ReadUntilLine("")};
        if (split == 0) {
            script.push_back(P::Send(kReply + "GIF"));
            script.push_back(P::Pause(30));
            script.push_back(P::Send("89a"));
            script.push_back(P::Pause(30));
            script.push_back(P::Send("!"));
        } else {
            script.push_back(P::SendSplit(kReply + "GIF89a!", split));
        }
        P peer(script);
        cli->SetURL(Url(peer, "/dir/pic.gif"));
        RunAsync();
        Check(peer);
        EXPECT_EQ(peer.Received(), DefaultRequest("/dir/pic.gif"));
        EXPECT_EQ(body.DataString(), "GIF89a!");
        EXPECT_EQ(cli->RcvdCount(), 7);
        EXPECT_EQ(cli->StatusCode(), 200);
        EXPECT_EQ(cli->ReasonPhrase(), "OK");
        EXPECT_EQ(cli->ContentType(), "image/gif");
        EXPECT_EQ(cli->DocName(), "pic.gif");
        EXPECT_EQ(cli->RcvdHeader().Count(), 2);
        EXPECT_EQ(cli->State(), httpReady);
        EXPECT_EQ(log, (std::vector<std::string>{"HeaderBegin", "HeaderEnd", "DocBegin", "DocEnd",
                                                 "Done 1 0"}));
        if (split == 0) {
            EXPECT_EQ(docData, 3);
        }
    }
}

TEST_F(HttpTest, UserInformationAndPortOfTheUrl) {
    P peer({P::ReadUntilLine(""), P::Send("HTTP/1.0 204 No Content\n\n")});
    cli->SetURL("http://user:pw@127.0.0.1:" + peer.PortText() + "/x#fragment");
    RunAsync();
    Check(peer);
    EXPECT_EQ(peer.Received(),
              "GET /x HTTP/1.0\r\n"
              "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n"
              "User-Agent: Mozilla/3.0 (compatible)\r\n"
              "Host: 127.0.0.1\r\n"
              "Authorization: Basic dXNlcjpwdw==\r\n\r\n");
    EXPECT_EQ(cli->StatusCode(), 204);
    EXPECT_EQ(log, (std::vector<std::string>{"HeaderBegin", "HeaderEnd", "Done 1 0"}));
}

TEST_F(HttpTest, EveryOptionalHeaderLineInItsPlace) {
    P peer({P::ReadUntilLine(""), P::Send("HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n")});
    cli->SetURL(Url(peer, "/"));
    cli->SetSender("me@example.org");
    cli->SetReference("http://ref/");
    cli->SetAcceptLanguage("en");
    cli->SetNoCache(true);
    cli->SetModifiedSince(35065.5); // 1 January 1996, noon
    cli->SetCookie("a=b");
    cli->SetContentRangeBegin("10");
    cli->OnCommand = [](TObject*, std::string& s) {
        if (s.starts_with("Referer")) s.clear();
    };
    RunAsync();
    Check(peer);
    EXPECT_EQ(peer.Received(),
              "GET / HTTP/1.0\r\n"
              "From: me@example.org\r\n"
              "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n"
              "\r\n" // emptied by OnCommand
              "Accept-Language: en\r\n"
              "User-Agent: Mozilla/3.0 (compatible)\r\n"
              "Host: 127.0.0.1\r\n"
              "Pragma: no-cache\r\n"
              "If-Modified-Since: Mon, 01 Jan 1996 12:00:00 GMT\r\n"
              "Cookie: a=b\r\n"
              "Range: bytes=10-\r\n\r\n");
    EXPECT_EQ(cli->ContentRangeBegin(), "");
}

TEST_F(HttpTest, PostSendsTheStreamAfterTheHeader) {
    P peer({P::ReadUntilLine(""), P::ReadBytes(5), P::Send("HTTP/1.0 200 OK\r\n\r\nok")});
    TMemoryStream post;
    post.WriteString("a=1&b");
    post.SetPosition(0);
    cli->SetSendStream(&post);
    cli->SetURL(Url(peer, "/form"));
    int sendEvents = 0;
    cli->OnSendBegin = [&](TObject*) { ++sendEvents; };
    cli->OnSendEnd = [&](TObject*) { ++sendEvents; };
    RunAsync(httpPOST);
    Check(peer);
    EXPECT_EQ(peer.Received(),
              "POST /form HTTP/1.0\r\n"
              "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n"
              "Content-Type: application/x-www-form-urlencoded\r\n"
              "User-Agent: Mozilla/3.0 (compatible)\r\n"
              "Host: 127.0.0.1\r\n"
              "Content-Length: 5\r\n\r\na=1&b");
    EXPECT_EQ(cli->SentCount(), 5);
    EXPECT_EQ(sendEvents, 2);
    EXPECT_EQ(body.DataString(), "ok");
}

// A kept-open connection: the document ends at its announced length, bytes after it are not
// the document's, and nothing waits for the server to close.
TEST_F(HttpTest, BodyEndsAtContentLengthOnAKeptOpenConnection) {
    P peer({P::ReadUntilLine(""),
            P::Send("HTTP/1.1 200 OK\r\nContent-Length: 5\r\nConnection: keep-alive\r\n\r\n12"),
            P::Pause(30), P::Send("345EXTRA"), P::ExpectClosed()});
    cli->SetURL(Url(peer, "/k"));
    RunAsync();
    Check(peer);
    EXPECT_EQ(body.DataString(), "12345");
    EXPECT_EQ(log.back(), "Done 1 0");
    EXPECT_EQ(log[log.size() - 2], "DocEnd");
}

TEST_F(HttpTest, NoBodyForLengthZeroHeadAndNotModified) {
    const struct {
        THttpRequest rq;
        const char* reply;
    } cases[] = {
        {httpGET, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"},
        {httpHEAD, "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n"},
        {httpGET, "HTTP/1.1 304 Not Modified\r\nContent-Length: 10\r\n\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply);
        log.clear();
        P peer({P::ReadUntilLine(""), P::Send(c.reply), P::ExpectClosed()});
        cli->SetURL(Url(peer, "/"));
        RunAsync(c.rq);
        Check(peer);
        EXPECT_EQ(log, (std::vector<std::string>{"HeaderBegin", "HeaderEnd",
                                                 "Done " + std::to_string(c.rq) + " 0"}));
    }
}

TEST_F(HttpTest, BareHtmlDocumentKeepsItsBytes) {
    P peer({P::ReadUntilLine(""), P::Send("<html>\r\n<p>x</p>\r\n")});
    cli->SetURL(Url(peer, "/page"));
    RunAsync();
    Check(peer);
    EXPECT_EQ(body.DataString(), "<html>\r\n<p>x</p>\r\n");
    EXPECT_EQ(cli->ContentType(), "text/html");
    EXPECT_EQ(cli->StatusCode(), 0);
}

TEST_F(HttpTest, HtmlDocumentNames) {
    P peer({P::ReadUntilLine(""), P::Send("HTTP/1.0 200 OK\r\nContent-Type: Text/HTML\r\n\r\nx")});
    cli->SetURL(Url(peer, "/dir/page.exe?x=1"));
    RunAsync();
    Check(peer);
    EXPECT_EQ(cli->DocName(), "page.htm");
}

TEST_F(HttpTest, SyncGetReturnsTheDocumentAndRaisesOnFailure) {
    {
        P peer({P::ReadUntilLine(""), P::Send(kReply + "image")});
        cli->SetURL(Url(peer, "/a.gif"));
        cli->Get();
        EXPECT_EQ(body.DataString(), "image");
        Check(peer);
    }
    const struct {
        const char* reply;
        std::uint16_t code;
        const char* message;
        bool docEnd;
    } cases[] = {
        {"HTTP/1.0 404 Not Found\r\n\r\ngone", 404, "Not Found", true},
        {"HTTP/1.2 200 OK\r\n\r\n", httpErrBadResponse, "No HTTP status line received", false},
        {"", 10004, "Connection closed without a response", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply);
        log.clear();
        P peer({P::ReadUntilLine(""), P::Send(c.reply)});
        cli->SetURL(Url(peer, "/"));
        try {
            cli->Get();
            ADD_FAILURE() << "no exception";
        } catch (const EHttpException& e) {
            EXPECT_EQ(e.ErrorCode(), c.code);
            EXPECT_EQ(e.Message(), c.message);
        }
        EXPECT_EQ(std::find(log.begin(), log.end(), "DocEnd") != log.end(), c.docEnd);
        Check(peer);
    }
}

TEST_F(HttpTest, RequestsThatCannotStart) {
    P peer({P::ReadUntilLine(""), P::Pause(200)});
    cli->SetURL(Url(peer, "/"));
    bool busy = false;
    cli->OnStateChange = [&](TObject*) {
        if (cli->State() != httpWaitingHeader) return;
        try {
            cli->GetASync();
        } catch (const EHttpException& e) {
            busy = e.ErrorCode() == httpErrBusy && e.Message() == "HTTP component is busy";
        }
    };
    RunAsync();
    EXPECT_TRUE(busy);
    cli->OnStateChange = nullptr;

    const struct {
        const char* url;
        std::uint16_t code;
    } cases[] = {{"ftp://127.0.0.1/", httpErrBadUrl},
                 {"http://127.0.0.1/a b", httpErrBadUrl},
                 {"http://127.0.0.1/\r\nX: y", httpErrBadUrl}};
    for (const auto& c : cases) {
        cli->SetURL(c.url);
        try {
            cli->GetASync();
            ADD_FAILURE() << c.url;
        } catch (const EHttpException& e) {
            EXPECT_EQ(e.ErrorCode(), c.code) << c.url;
        }
        EXPECT_EQ(cli->State(), httpReady);
    }
    try {
        cli->PostASync();
        ADD_FAILURE();
    } catch (const EHttpException& e) {
        EXPECT_EQ(e.Message(), "HTTP component has nothing to post");
    }
}

} // namespace
