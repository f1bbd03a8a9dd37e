// The HTTP client against real servers on loopback: nginx for documents, redirects, kept-open
// connections and https, Python's http.server, and tinyproxy with Basic authorization and
// tunnels.

#include "app/BannerDownload.h"
#include "net/HttpProt.h"
#include "net/TlsSession.h"

#include "tests/integration/DanteServer.h"
#include "tests/integration/HttpServers.h"
#include "tests/support/EventLoopFixture.h"
#include "tests/support/LoopbackPort.h"
#include "tests/support/TestCertificates.h"

#include "tools/DemoBanner.h"
#include "ui/TickCount.h"

#include <QLabel>
#include <QMovie>

#include <gtest/gtest.h>

#include <fstream>

namespace fs = std::filesystem;

namespace {

// A document of 300 000 bytes that no shifted copy matches.
std::string Document() {
    std::string text;
    for (int i = 0; text.size() < 300000; ++i)
        text += std::to_string(i) + (i % 7 == 0 ? "\r\n" : " ");
    return text.substr(0, 300000);
}

void WriteDocuments(const fs::path& www) {
    std::ofstream(www / "doc.txt", std::ios::binary) << Document();
    fs::create_directories(www / "dir");
    std::ofstream(www / "dir" / "page.html") << "<html>page</html>";
}

Nginx* nginx = nullptr;
std::string nginxSkip;

class HttpServers : public EventLoopTest {
public:
    static void SetUpTestSuite() {
        nginx = new Nginx;
        if (nginx->Start(nginxSkip)) {
            WriteDocuments(nginx->Dir() / "www");
            return;
        }
        delete nginx;
        nginx = nullptr;
    }
    static void TearDownTestSuite() {
        delete nginx;
        nginx = nullptr;
    }

protected:
    void SetUp() override {
        EventLoopTest::SetUp();
        if (!nginx) GTEST_SKIP() << nginxSkip;
        cli.SetRcvdStream(&body);
        cli.SetTimeout(20);
        cli.OnLocationChange = [this](TObject*) { ++relocations; };
    }
    std::string NginxUrl(const std::string& path) const {
        return "http://127.0.0.1:" + nginx->PortText() + path;
    }
    // Runs Get; the error code of what it raised, 0 when it returned.
    int GetCode(const std::string& url) {
        body.Clear();
        cli.SetURL(url);
        try {
            cli.Get();
            return 0;
        } catch (const EHttpException& e) {
            return e.ErrorCode();
        }
    }

    THttpCli cli;
    TMemoryStream body;
    int relocations = 0;
};

TEST_F(HttpServers, NginxDocumentsAndRedirects) {
    EXPECT_EQ(GetCode(NginxUrl("/doc.txt")), 0);
    EXPECT_EQ(body.DataString(), Document());
    EXPECT_EQ(cli.ContentLength(), 300000);
    EXPECT_EQ(cli.DocName(), "doc.txt");

    EXPECT_EQ(GetCode(NginxUrl("/moved")), 0);
    EXPECT_EQ(body.DataString(), Document());
    EXPECT_EQ(relocations, 1);

    EXPECT_EQ(GetCode(NginxUrl("/chain1")), 0);
    EXPECT_EQ(body.DataString(), Document());
    EXPECT_EQ(relocations, 4);
    EXPECT_EQ(cli.StatusCode(), 200);

    EXPECT_EQ(GetCode(NginxUrl("/loop")), httpErrTooManyRelocations);
    EXPECT_EQ(GetCode(NginxUrl("/missing")), 404);
    EXPECT_EQ(cli.ReasonPhrase(), "Not Found");
}

// nginx keeps an HTTP/1.0 connection open when the client asks; the document still ends at its
// announced length, long before the server's idle limit.
TEST_F(HttpServers, NginxKeptOpenConnectionEndsAtContentLength) {
    cli.OnBeforeHeaderSend = [](TObject*, const std::string&, TStringList& headers) {
        headers.Add("Connection: keep-alive");
    };
    cli.SetTimeout(10);
    const std::uint32_t start = GetTickCount();
    EXPECT_EQ(GetCode(NginxUrl("/doc.txt")), 0);
    EXPECT_LT(TicksElapsed(start, GetTickCount()), 5000u);
    EXPECT_EQ(body.DataString(), Document());
    // HEAD on a kept-open connection: the announced length has no body behind it.
    cli.SetURL(NginxUrl("/doc.txt"));
    cli.Head();
    EXPECT_EQ(cli.ContentLength(), 300000);
    EXPECT_EQ(cli.RcvdCount(), 0);
}

// https: the document, relocations from http to https and back, a kept-open connection that
// ends at the announced length, the certificates refused, and a self-signed server trusted
// only through its pin.
TEST_F(HttpServers, NginxOverHttps) {
    if (nginx->TlsPort() == 0) GTEST_SKIP() << "no test certificates";
    const TestCertificates& certs = TestCertificates::Get();
    TlsSetExtraCaFile(certs.CaFile());
    const std::string secure = "https://127.0.0.1:" + std::to_string(nginx->TlsPort());
    EXPECT_EQ(GetCode(secure + "/doc.txt"), 0);
    EXPECT_EQ(body.DataString(), Document());
    EXPECT_EQ(GetCode(NginxUrl("/secure")), 0);
    EXPECT_EQ(body.DataString(), Document());
    EXPECT_EQ(GetCode(secure + "/plain"), 0);
    EXPECT_EQ(body.DataString(), Document());
    EXPECT_EQ(relocations, 2);

    cli.OnBeforeHeaderSend = [](TObject*, const std::string&, TStringList& headers) {
        headers.Add("Connection: keep-alive");
    };
    const std::uint32_t start = GetTickCount();
    EXPECT_EQ(GetCode(secure + "/doc.txt"), 0);
    EXPECT_LT(TicksElapsed(start, GetTickCount()), 5000u);
    EXPECT_EQ(body.DataString(), Document());

    for (const TCertificateCase& c : kCertificateCases) {
        SCOPED_TRACE(c.cert + std::string(c.pin ? " pinned" : ""));
        cli.SetTlsPin(c.pin ? certs.Fingerprint(c.cert) : std::string());
        const int code =
            GetCode("https://127.0.0.1:" + std::to_string(nginx->TlsPort(c.cert)) + "/doc.txt");
        if (*c.error == 0) {
            EXPECT_EQ(code, 0);
            EXPECT_EQ(body.DataString(), Document());
        } else {
            EXPECT_EQ(code, TlsFailed);
            EXPECT_NE(cli.ReasonPhrase().find(c.error), std::string::npos) << cli.ReasonPhrase();
            EXPECT_EQ(body.Size(), 0);
        }
    }
    TlsSetExtraCaFile({});
}

// The banner's own download over https: the image arrives whole and plays, and a server that
// cannot be trusted fails the download with the reason the banner logs.
TEST_F(HttpServers, BannerDownloadOverHttps) {
    if (nginx->TlsPort() == 0) GTEST_SKIP() << "no test certificates";
    std::ofstream(nginx->Dir() / "www" / "banner.gif", std::ios::binary) << DemoBannerGif();
    TlsSetExtraCaFile(TestCertificates::Get().CaFile());
    QByteArray image;
    QString error;
    const auto download = [&](std::uint16_t port) {
        bool ended = false;
        bool ok = false;
        const auto running = HttpBannerFetcher()(
            "https://127.0.0.1:" + std::to_string(port) + "/banner.gif",
            TSponsorBanner::kMaxImageBytes, [&](bool good, const QByteArray& b, const QString& e) {
                ended = true;
                ok = good;
                image = b;
                error = e;
            });
        EXPECT_TRUE(PumpUntil([&] { return ended; }, 10000));
        return ok;
    };
    ASSERT_TRUE(download(nginx->TlsPort())) << error.toStdString();
    QLabel control;
    TSponsorBanner banner(control, [](const QString&) {});
    EXPECT_EQ(banner.BannerDocEnd(image), QString());
    EXPECT_EQ(banner.Movie()->frameCount(), 10);
    EXPECT_FALSE(download(nginx->TlsPort("selfsigned")));
    EXPECT_TRUE(error.contains("self-signed")) << error.toStdString();
    TlsSetExtraCaFile({});
}

TEST_F(HttpServers, PythonHttpServer) {
    PythonHttp python;
    std::string why;
    if (!python.Start(why)) GTEST_SKIP() << why;
    WriteDocuments(python.Dir() / "www");
    const std::string base = "http://127.0.0.1:" + python.PortText();
    EXPECT_EQ(GetCode(base + "/doc.txt"), 0);
    EXPECT_EQ(body.DataString(), Document());
    // A folder named without its slash is moved to the name with it.
    EXPECT_EQ(GetCode(base + "/dir"), 0);
    EXPECT_EQ(relocations, 1);
    EXPECT_NE(body.DataString().find("page.html"), std::string::npos);
    EXPECT_EQ(cli.DocName(), "document.htm");
    EXPECT_EQ(GetCode(base + "/nothing"), 404);
}

TEST_F(HttpServers, TinyproxyWithBasicAuthorization) {
    Tinyproxy proxy;
    std::string why;
    if (!proxy.Start("postlark", "s3cret", why)) GTEST_SKIP() << why;
    cli.SetProxy("127.0.0.1");
    cli.SetProxyPort(proxy.PortText());
    EXPECT_EQ(GetCode(NginxUrl("/doc.txt")), 407);
    // tinyproxy answers a wrong password with 401.
    cli.SetProxyUsername("postlark");
    cli.SetProxyPassword("wrong");
    EXPECT_EQ(GetCode(NginxUrl("/doc.txt")), 401);
    cli.SetProxyPassword("s3cret");
    EXPECT_EQ(GetCode(NginxUrl("/doc.txt")), 0);
    EXPECT_EQ(body.DataString(), Document());
    // A relocation keeps going through the proxy.
    EXPECT_EQ(GetCode(NginxUrl("/moved")), 0);
    EXPECT_EQ(body.DataString(), Document());
    // https goes through a tunnel the proxy opens, relocations to and from it included.
    if (nginx->TlsPort() != 0) {
        TlsSetExtraCaFile(TestCertificates::Get().CaFile());
        const std::string secure = "https://127.0.0.1:" + std::to_string(nginx->TlsPort());
        EXPECT_EQ(GetCode(secure + "/doc.txt"), 0) << cli.ReasonPhrase();
        EXPECT_EQ(body.DataString(), Document());
        EXPECT_EQ(GetCode(NginxUrl("/secure")), 0) << cli.ReasonPhrase();
        EXPECT_EQ(GetCode(secure + "/plain"), 0) << cli.ReasonPhrase();
        EXPECT_EQ(body.DataString(), Document());
        cli.SetProxyPassword("wrong");
        EXPECT_EQ(GetCode(secure + "/doc.txt"), 401);
        TlsSetExtraCaFile({});
    }
}

} // namespace

namespace {

// End to end: HTTP through SOCKS through a private Dante to nginx, a relocation included (the
// socket forgets its proxy at every close, so the second connection shows the client sets it
// again).
TEST_F(HttpServers, ThroughSocksByDante) {
    Dante dante;
    std::string why;
    if (!dante.Start(why, "none")) GTEST_SKIP() << why;
    cli.SetSocksServer("127.0.0.1");
    cli.SetSocksPort(dante.PortText());
    int socksConnects = 0;
    cli.OnSocksConnected = [&](TObject*, std::uint16_t error) {
        EXPECT_EQ(error, 0);
        ++socksConnects;
    };
    for (const char* level : {"5", "4"}) {
        SCOPED_TRACE(level);
        cli.SetSocksLevel(level);
        EXPECT_EQ(GetCode(NginxUrl("/doc.txt")), 0);
        EXPECT_EQ(body.DataString(), Document());
        EXPECT_EQ(GetCode(NginxUrl("/moved")), 0);
        EXPECT_EQ(body.DataString(), Document());
    }
    EXPECT_EQ(socksConnects, 6);
    // https rides on the proxied connection: the certificate is checked against the target.
    if (nginx->TlsPort() != 0) {
        TlsSetExtraCaFile(TestCertificates::Get().CaFile());
        EXPECT_EQ(GetCode("https://127.0.0.1:" + std::to_string(nginx->TlsPort()) + "/doc.txt"), 0);
        EXPECT_EQ(body.DataString(), Document());
        EXPECT_EQ(socksConnects, 7);
        TlsSetExtraCaFile({});
    }
    // A destination nobody listens on: the proxy's refusal ends the request.
    EXPECT_NE(GetCode("http://127.0.0.1:" + std::to_string(FreeLoopbackPort()) + "/"), 0);
    EXPECT_NE(cli.RequestDoneError(), 0);
}

} // namespace
