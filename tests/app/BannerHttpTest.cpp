// The banner fetched over HTTP by the program's own client: from the demo server's web port,
// and from scripted servers that answer with what a banner must not be.
#include "app/BannerDownload.h"
#include "app/IniFiles.h"
#include "app/SponsorBanner.h"

#include "tests/app/SettingsFileHolder.h"
#include "tests/support/EventLoopFixture.h"
#include "tests/support/LoopbackPort.h"
#include "tests/support/ScriptedPeer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QMovie>
#include <QProcess>

#include <gtest/gtest.h>

using P = ScriptedPeer;

namespace {

class BannerHttp : public WidgetTest {
protected:
    std::unique_ptr<QLabel> control;
    QStringList log;
    std::unique_ptr<TSponsorBanner> banner;

    void SetUp() override {
        WidgetTest::SetUp();
        control = std::make_unique<QLabel>();
        banner = std::make_unique<TSponsorBanner>(*control,
                                                  [this](const QString& line) { log << line; });
        banner->SetFetcher(HttpBannerFetcher());
    }
    // Fetches the URL as the banner image and waits for the end of the download.
    void Fetch(const std::string& url) {
        SettingsFileHolder file;
        file.WriteFile("[Banner]\nImageUrlA=" + url + "\nImageUrlB=" + url + "\n");
        banner->ReadPairs(TIniFile(file.path));
        banner->ChoosePair();
        banner->FetchBanner();
        ASSERT_TRUE(banner->Fetching());
        ASSERT_TRUE(PumpUntil([&] { return !banner->Fetching(); }, 10000));
    }
};

TEST_F(BannerHttp, DemoServerBannerPlays) {
    const QString serverPath =
        QCoreApplication::applicationDirPath() + "/../tools/postlark-demo-server";
    if (!QFile::exists(serverPath)) GTEST_SKIP() << "the demo server is built with this test";
    const int port = FreeLoopbackPort();
    QProcess server;
    server.setProcessChannelMode(QProcess::MergedChannels);
    server.start(serverPath,
                 {"--pop3-port", QString::number(FreeLoopbackPort()), "--smtp-port",
                  QString::number(FreeLoopbackPort()), "--http-port", QString::number(port)});
    ASSERT_TRUE(PumpUntil([&] { return server.readAll().contains("demo web server"); }, 5000));
    const std::string base = "http://127.0.0.1:" + std::to_string(port);

    Fetch(base + "/banner.gif");
    ASSERT_TRUE(banner->HasImage()) << log.join('\n').toStdString();
    EXPECT_EQ(banner->Movie()->frameCount(), 10);
    EXPECT_TRUE(log.isEmpty()) << log.join('\n').toStdString();
    const QMovie* shown = banner->Movie();

    // The sponsor's page is no image, and a missing file is no image either: the banner stays.
    Fetch(base + "/sponsor.html");
    Fetch(base + "/missing.gif");
    EXPECT_EQ(banner->Movie(), shown);
    EXPECT_EQ(log, QStringList({QString::fromStdString("Banner not loaded from " + base +
                                                       "/sponsor.html: not a GIF image"),
                                QString::fromStdString("Banner not loaded from " + base +
                                                       "/missing.gif: HTTP 404 Not Found")}));
    server.kill();
    server.waitForFinished(5000);
}

TEST_F(BannerHttp, OversizedBodyEndsTheDownload) {
    const std::string header = "HTTP/1.0 200 OK\r\nContent-Type: image/gif\r\n";
    const struct {
        const char* name;
        std::string reply;
    } replies[] = {
        {"announced", header + "Content-Length: 3000000\r\n\r\nGIF89a"},
        {"unannounced", header + "\r\nGIF89a" + std::string(2 * 1024 * 1024 + 10, 'x')},
    };
    for (const auto& reply : replies) {
        log.clear();
        P peer({P::ReadUntilLine(""), P::Send(reply.reply), P::ExpectClosed()});
        QElapsedTimer took;
        took.start();
        Fetch("http://127.0.0.1:" + peer.PortText() + "/banner.gif");
        EXPECT_LT(took.elapsed(), 4000) << reply.name;
        ASSERT_EQ(log.size(), 1) << reply.name;
        EXPECT_TRUE(log[0].endsWith(": document larger than 2097152 bytes"))
            << log[0].toStdString();
        EXPECT_FALSE(banner->HasImage());
    }
}

} // namespace
