// Hostile and silent servers: every request ends, with the failure in RequestDoneError.
#include "tests/net/HttpTestSupport.h"

#include "ui/EventLoop.h"
#include "ui/TickCount.h"

namespace {

using Steps = std::vector<P::Step>;

std::string ManyLines(int count, std::size_t length) {
    std::string text = "HTTP/1.0 200 OK\r\n";
    for (int i = 0; i < count; ++i)
        text += "X-" + std::to_string(i) + ": " + std::string(length, 'v') + "\r\n";
    return text + "\r\n";
}

TEST_F(HttpTest, HostileRepliesEndTheRequestWithAnError) {
    const struct {
        std::string reply;
        bool close; // false: the peer stays silent after its bytes
        std::uint16_t error;
        const char* reason;
    } cases[] = {
        {std::string(9000, 'a'), false, httpErrLineTooLong, "HTTP line too long"},
        {ManyLines(100, 10), false, httpErrHeaderTooLarge, "HTTP response header too large"},
        {ManyLines(40, 2000), false, httpErrHeaderTooLarge, "HTTP response header too large"},
        {"HTTP/1.0 200 OK\r\nX: y\r\n", true, 10004,
         "Connection closed inside the response header"},
        {"HTTP/1.1 2x0 OK\r\n", false, httpErrBadResponse, "Invalid HTTP status line"},
        {"HTTP/1.1 20\r\n", false, httpErrBadResponse, "Invalid HTTP status line"},
        {"HTTP/1.0 200 OK\r\nContent-Length: 12abc\r\n", false, httpErrBadResponse,
         "Invalid Content-Length"},
        {"HTTP/1.0 200 OK\r\nContent-Length: -1\r\n", false, httpErrBadResponse,
         "Invalid Content-Length"},
        {"HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\nshort", true, 10004,
         "Connection closed before the end of the document"},
        {"HTTP/1.0 302 Found\r\nLocation: ftp://127.0.0.1/x\r\n", false, httpErrBadRelocation,
         "Relocation to another scheme is not supported"},
        {"HTTP/1.0 302 Found\r\nLocation: /a b\r\n", false, httpErrBadRelocation,
         "Invalid relocation target"},
        {std::string("HTTP/1.0 302 Found\r\nLocation: /a\0b\r\n", 37), false, httpErrBadRelocation,
         "Invalid relocation target"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        Steps script{P::ReadUntilLine(""), P::Send(c.reply)};
        if (!c.close) script.push_back(P::ExpectClosed());
        P peer(script);
        cli->SetURL(Url(peer, "/"));
        RunAsync();
        Check(peer);
        EXPECT_EQ(cli->RequestDoneError(), c.error);
        EXPECT_EQ(cli->ReasonPhrase(), c.reason);
        EXPECT_EQ(cli->State(), httpReady);
        EXPECT_FALSE(cli->Connected());
    }
}

TEST_F(HttpTest, ConnectionRefusedAndUnknownHost) {
    cli->SetURL("http://127.0.0.1:1/");
    RunAsync();
    EXPECT_EQ(cli->RequestDoneError(), 10061);
    EXPECT_EQ(cli->StatusCode(), 404);
    cli->SetURL("http://no-such-host.invalid/");
    RunAsync();
    EXPECT_NE(cli->RequestDoneError(), 0);
    EXPECT_EQ(cli->StatusCode(), 404);
}

TEST_F(HttpTest, SilentServerRunsIntoTheTimeLimit) {
    P peer({P::ReadUntilLine(""), P::Send("HTTP/1.0 200 OK\r\n"), P::ExpectClosed(), P::Accept(),
            P::ReadUntilLine(""), P::ExpectClosed()});
    cli->SetTimeout(1);
    cli->SetURL(Url(peer, "/"));
    const std::uint32_t start = GetTickCount();
    RunAsync();
    EXPECT_EQ(cli->RequestDoneError(), httpErrGivenUp);
    EXPECT_EQ(cli->ReasonPhrase(), "Request timed out");
    EXPECT_EQ(log, (std::vector<std::string>{"HeaderBegin", "HeaderEnd", "Done 1 426"}));
    // The synchronous form sleeps through the same limit and raises.
    const double cpu = ProcessCpuSeconds();
    try {
        cli->Get();
        ADD_FAILURE();
    } catch (const EHttpException& e) {
        EXPECT_EQ(e.ErrorCode(), httpErrGivenUp);
    }
    EXPECT_LT(ProcessCpuSeconds() - cpu, 0.5);
    const std::uint32_t spent = TicksElapsed(start, GetTickCount());
    EXPECT_GE(spent, 1900u);
    EXPECT_LT(spent, 4000u);
    Check(peer);
}

TEST_F(HttpTest, QuitAndAbortEndTheRequest) {
    P peer({P::ExpectClosed(), P::Accept(), P::ExpectClosed()});
    cli->SetURL(Url(peer, "/"));
    cli->OnStateChange = [&](TObject*) {
        if (cli->State() == httpWaitingHeader) Application::Terminate();
    };
    try {
        cli->Get();
        ADD_FAILURE();
    } catch (const EHttpException& e) {
        EXPECT_EQ(e.Message(), "Program is quitting");
    }
    Application::ResetTerminated();
    cli->OnStateChange = [&](TObject*) {
        if (cli->State() == httpWaitingHeader) cli->Abort();
    };
    cli->GetASync();
    EXPECT_TRUE(PumpUntil([&] { return done == 2; }));
    EXPECT_EQ(cli->State(), httpReady);
    EXPECT_EQ(log.back(), "Done 1 426");
    EXPECT_EQ(cli->ReasonPhrase(), "Request aborted");
    Check(peer);
}

} // namespace

namespace {

std::string Bytes(std::initializer_list<int> values) {
    std::string text;
    for (int v : values)
        text.push_back(static_cast<char>(v));
    return text;
}

// A scripted SOCKS 5 proxy that takes the connect request for 127.0.0.1:80 (sent as a name)
// and answers with the given reply code.
std::vector<P::Step> Socks5(int reply) {
    return {P::ReadBytes(3), P::Send(Bytes({5, 0})), P::ReadBytes(16),
            P::Send(Bytes({5, reply, 0, 1, 127, 0, 0, 1, 0, 80}))};
}

TEST_F(HttpTest, ThroughSocks5AndASocksFailure) {
    std::vector<P::Step> script = Socks5(0);
    script.push_back(P::ReadUntilLine(""));
    script.push_back(P::Send("HTTP/1.0 200 OK\r\n\r\nvia socks"));
    {
        P proxy(script);
        cli->SetURL("http://127.0.0.1/doc");
        cli->SetSocksServer("127.0.0.1");
        cli->SetSocksPort(proxy.PortText());
        RunAsync();
        Check(proxy);
        EXPECT_EQ(cli->RequestDoneError(), 0);
        EXPECT_EQ(body.DataString(), "via socks");
        EXPECT_EQ(proxy.Received().substr(0, 19),
                  Bytes({5, 1, 0, 5, 1, 0, 3, 9}) + "127.0.0.1" + Bytes({0, 80}));
    }
    P refused(Socks5(5));
    cli->SetSocksPort(refused.PortText());
    std::string socksMessage;
    cli->OnSocksError = [&](TObject*, std::int32_t, const std::string& msg) { socksMessage = msg; };
    RunAsync();
    Check(refused);
    EXPECT_GE(cli->RequestDoneError(), 20001);
    EXPECT_FALSE(socksMessage.empty());
    EXPECT_EQ(cli->ReasonPhrase().substr(0, socksMessage.size()), socksMessage);
    EXPECT_THROW(cli->SetSocksLevel("6"), ESocketException);
}

} // namespace
