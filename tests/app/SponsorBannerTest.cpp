#include "app/SponsorBanner.h"
#include "app/IniFiles.h"
#include "app/UnitMain.h"
#include "tools/DemoBanner.h"

#include "tests/app/MainWindowFixture.h"
#include "tests/app/SettingsFileHolder.h"

#include <QDesktopServices>
#include <QImageReader>
#include <QLabel>
#include <QMouseEvent>
#include <QMovie>
#include <QPushButton>
#include <QUrl>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

using P = ScriptedPeer;

namespace {

QByteArray Bytes(const std::string& text) {
    return QByteArray(text.data(), static_cast<qsizetype>(text.size()));
}

const QByteArray& Gif() {
    static const QByteArray gif = Bytes(DemoBannerGif());
    return gif;
}

} // namespace

// Takes the URLs the banner hands to the desktop, instead of a browser.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    UrlCatcher() {
        QDesktopServices::setUrlHandler("http", this, "Open");
        QDesktopServices::setUrlHandler("https", this, "Open");
    }
    ~UrlCatcher() override {
        QDesktopServices::unsetUrlHandler("http");
        QDesktopServices::unsetUrlHandler("https");
    }
    QStringList opened;
public slots:
    void Open(const QUrl& url) { opened << url.toString(); }
};

namespace {

// A download the test ends by hand.
struct FakeDownload : TBannerDownload {
    TBannerDone done;
    bool* freed;
    FakeDownload(TBannerDone d, bool* f) : done(std::move(d)), freed(f) {}
    ~FakeDownload() override { *freed = true; }
};

class Banner : public WidgetTest {
protected:
    std::unique_ptr<QLabel> control;
    QStringList log;
    std::unique_ptr<TSponsorBanner> banner;
    std::vector<std::string> requested;
    FakeDownload* running = nullptr;
    bool freed = false;

    void SetUp() override {
        WidgetTest::SetUp();
        control = std::make_unique<QLabel>();
        control->resize(468, 60);
        banner = std::make_unique<TSponsorBanner>(*control,
                                                  [this](const QString& line) { log << line; });
        banner->SetFetcher([this](const std::string& url, std::size_t maxBytes, TBannerDone done) {
            EXPECT_EQ(maxBytes, 2u * 1024 * 1024);
            requested.push_back(url);
            freed = false;
            auto download = std::make_unique<FakeDownload>(std::move(done), &freed);
            running = download.get();
            return download;
        });
        TIniFile ini("/nonexistent/postlark.ini");
        banner->ReadPairs(ini);
    }
    // Points pair B, the one a fixed draw does not choose, at a local host and chooses it.
    void UseLocalPair() {
        SettingsFileHolder file;
        file.WriteFile(
            "[Banner]\nImageUrlA=http://127.0.0.1:9/a.gif\nLinkUrlA=http://127.0.0.1:9/\n"
            "ImageUrlB=http://127.0.0.1:9/b.gif\nLinkUrlB=https://127.0.0.1:9/b\n");
        banner->ReadPairs(TIniFile(file.path));
        do
            banner->ChoosePair();
        while (banner->AdData().ImageUrl != "http://127.0.0.1:9/b.gif");
    }
    // Runs one download to its end with the given outcome.
    void Download(bool ok, const QByteArray& body, const QString& error = {}) {
        banner->FetchBanner();
        ASSERT_TRUE(banner->Fetching());
        running->done(ok, body, error);
        EXPECT_FALSE(banner->Fetching());
        EXPECT_TRUE(PumpUntil([&] { return freed; }));
    }
    void Click() {
        const QPointF at(20, 20);
        QMouseEvent release(QEvent::MouseButtonRelease, at, control->mapToGlobal(at),
                            Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
        QCoreApplication::sendEvent(control.get(), &release);
    }
};

TEST_F(Banner, PairAIsChosenOneTimeInThree) {
    const TAdData a{"a", "a"}, b{"b", "b"};
    int chosenA = 0;
    for (unsigned seed = 1; seed <= 3000; ++seed) {
        std::mt19937 random(seed);
        if (&TSponsorBanner::ChoosePair(random, a, b) == &a) ++chosenA;
    }
    EXPECT_NEAR(chosenA, 1000, 100);
}

TEST_F(Banner, BuiltInPairsContactNobody) {
    for (const TAdData& pair : {TSponsorBanner::BuiltInPairA(), TSponsorBanner::BuiltInPairB()}) {
        EXPECT_TRUE(QUrl(QString::fromStdString(pair.ImageUrl)).host().endsWith(".invalid"));
        EXPECT_TRUE(QUrl(QString::fromStdString(pair.LinkUrl)).host().endsWith(".invalid"));
    }
    banner->ChoosePair();
    banner->FetchBanner();
    EXPECT_TRUE(requested.empty());
    EXPECT_TRUE(log.isEmpty());
}

TEST_F(Banner, ClickOpensWebLinksOnlyAndBeforeAnyImage) {
    UrlCatcher browser;
    UseLocalPair();
    ASSERT_FALSE(banner->HasImage());
    Click();
    EXPECT_EQ(browser.opened, QStringList{"https://127.0.0.1:9/b"});

    const struct {
        const char* url;
        bool web;
    } links[] = {{"http://sponsor.example/", true}, {"HTTPS://sponsor.example/x?y=1", true},
                 {"file:///etc/passwd", false},     {"javascript:alert(1)", false},
                 {"ftp://sponsor.example/", false}, {"http://", false},
                 {"/usr/bin/xterm", false},         {"", false}};
    for (const auto& link : links) {
        EXPECT_EQ(TSponsorBanner::IsWebUrl(link.url), link.web) << link.url;
        EXPECT_EQ(TSponsorBanner::OpenLink(link.url), link.web) << link.url;
    }
    EXPECT_EQ(browser.opened.size(), 3);
}

TEST_F(Banner, GifIsShownAndAnimated) {
    UseLocalPair();
    Download(true, Gif());
    ASSERT_TRUE(banner->HasImage());
    EXPECT_EQ(control->movie(), banner->Movie());
    EXPECT_EQ(banner->Movie()->frameCount(), 10);
    EXPECT_EQ(banner->Movie()->state(), QMovie::Running);
    const int first = banner->Movie()->currentFrameNumber();
    EXPECT_TRUE(PumpUntil([&] { return banner->Movie()->currentFrameNumber() != first; }, 2000));
    EXPECT_TRUE(log.isEmpty()) << log.join('\n').toStdString();
    EXPECT_EQ(requested, std::vector<std::string>{"http://127.0.0.1:9/b.gif"});
}

TEST_F(Banner, DocumentThatIsNotAWholeGifKeepsTheOldImage) {
    UseLocalPair();
    Download(true, Gif());
    const QMovie* shown = banner->Movie();
    QByteArray hugeScreen = Gif();
    hugeScreen[6] = hugeScreen[7] = hugeScreen[8] = hugeScreen[9] = '\xFF';
    const QByteArray oversized =
        Gif().left(Gif().size() - 1) + QByteArray(2 * 1024 * 1024, '\0') + QByteArray(1, '\x3B');
    const struct {
        const char* name;
        QByteArray body;
    } documents[] = {
        {"captive portal", "<html><body>Please log in to the hotel network</body></html>"},
        {"empty", ""},
        {"cut in the middle", Gif().left(Gif().size() / 2)},
        {"trailer missing", Gif().left(Gif().size() - 1)},
        {"cut but ends with a trailer byte", Gif().left(Gif().size() / 2) + '\x3B'},
        {"screen of 65535 x 65535", hugeScreen},
        {"over 2 MiB", oversized},
        {"PNG", QByteArray("\x89PNG\r\n\x1A\n", 8) + QByteArray(100, 'x')},
    };
    for (const auto& document : documents) {
        log.clear();
        Download(true, document.body);
        EXPECT_EQ(banner->Movie(), shown) << document.name;
        EXPECT_EQ(control->movie(), shown) << document.name;
        EXPECT_EQ(log.size(), 1) << document.name;
    }
    EXPECT_GT(QImageReader::allocationLimit(), 0);
}

TEST_F(Banner, FailureIsOneLogLineAndTheNextFetchRuns) {
    UseLocalPair();
    Download(false, {}, "can't connect: Connection refused (Error #10061)");
    ASSERT_EQ(log.size(), 1);
    EXPECT_EQ(log[0], "Banner not loaded from http://127.0.0.1:9/b.gif: can't connect: "
                      "Connection refused (Error #10061)");
    EXPECT_FALSE(banner->HasImage());
    Download(true, Gif());
    EXPECT_TRUE(banner->HasImage());
    EXPECT_EQ(requested.size(), 2u);
}

TEST_F(Banner, OneFetchAtATime) {
    UseLocalPair();
    banner->FetchBanner();
    banner->FetchBanner(); // skipped: the first one still runs
    EXPECT_EQ(requested.size(), 1u);
    running->done(true, Gif(), {});
    EXPECT_TRUE(PumpUntil([&] { return freed; }));
    banner->FetchBanner();
    EXPECT_EQ(requested.size(), 2u);
    // A fetcher that cannot start leaves no fetch behind.
    running->done(false, {}, "x");
    log.clear();
    banner->SetFetcher(
        [](const std::string&, std::size_t, TBannerDone) -> std::unique_ptr<TBannerDownload> {
            throw std::runtime_error("no route");
        });
    banner->FetchBanner();
    EXPECT_FALSE(banner->Fetching());
    EXPECT_EQ(log, QStringList{"Banner not loaded from http://127.0.0.1:9/b.gif: no route"});
}

TEST(BannerLifetime, ARunningDownloadEndsWithItsBanner) {
    EnsureWidgetApplication();
    QLabel control;
    bool freed = false;
    {
        TSponsorBanner banner(control, [](const QString&) {});
        SettingsFileHolder file;
        file.WriteFile(
            "[Banner]\nImageUrlA=http://127.0.0.1:9/a.gif\nImageUrlB=http://127.0.0.1:9/a.gif\n");
        banner.ReadPairs(TIniFile(file.path));
        banner.ChoosePair();
        banner.SetFetcher([&freed](const std::string&, std::size_t, TBannerDone done) {
            return std::make_unique<FakeDownload>(std::move(done), &freed);
        });
        banner.FetchBanner();
        ASSERT_TRUE(banner.Fetching());
    }
    EXPECT_TRUE(freed);
}

// The window: settings, start and the end of a check.
class BannerWindow : public MainWindowCheckTest {
protected:
    std::vector<std::pair<bool, QString>> fetches; // Busy and the status text at each fetch

    void SetUp() override {
        WidgetTest::SetUp();
        settingsFile = dir.path().toStdString() + "/postlark.ini";
        TfrmMain::OverrideSettingsFile(settingsFile);
        SetEscapedExceptionHandler([](std::exception_ptr) { ADD_FAILURE() << "escaped"; });
    }
    std::string settingsFile;
};

TEST_F(BannerWindow, BannerSectionIsReadAndKeptOptionsUntouched) {
    const std::string banner =
        "[Banner]\nImageUrlA=http://127.0.0.1:9/a.gif\n"
        "LinkUrlA=http://127.0.0.1:9/a\nImageUrlB=http://127.0.0.1:9/b.gif\n";
    std::ofstream(settingsFile) << "[Options]\nPop3HostName=pop.example\n" << banner;
    CreateForm();
    EXPECT_EQ(form->Banner->PairA().ImageUrl, "http://127.0.0.1:9/a.gif");
    EXPECT_EQ(form->Banner->PairA().LinkUrl, "http://127.0.0.1:9/a");
    EXPECT_EQ(form->Banner->PairB().ImageUrl, "http://127.0.0.1:9/b.gif");
    EXPECT_EQ(form->Banner->PairB().LinkUrl, TSponsorBanner::BuiltInPairB().LinkUrl);
    form.reset(); // saves
    std::ifstream in(settingsFile);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find(banner), std::string::npos) << text;
    const std::vector<std::string> keys = TIniFile(settingsFile).ReadSection("Options");
    const std::vector<std::string> expected = {
        "Pop3HostName",    "Pop3PortNum",  "Pop3UserName",   "Pop3UserPass", "CheckAuto",
        "DeleteOnServer",  "TimeInterval", "SmtpHostName",   "SmtpPortName", "Forward",
        "DeleteForwarded", "ForwardTo",    "PrintOnReceive", "UseUIDL",      "ForwardAttachments"};
    EXPECT_EQ(keys, expected);
}

TEST_F(BannerWindow, FetchesAtStartAndAfterTheCheckIsOver) {
    std::ofstream(settingsFile) << "[Banner]\nImageUrlA=http://127.0.0.1:9/x.gif\n"
                                   "ImageUrlB=http://127.0.0.1:9/x.gif\n";
    // The window's own fetcher runs at start, before a test can replace it; its failure is one
    // line in the log at most.
    CreateForm();
    form->Banner->SetFetcher([this](const std::string&, std::size_t, TBannerDone) {
        fetches.emplace_back(form->Busy(), form->StatusText());
        return std::make_unique<TBannerDownload>();
    });
    Serve({P::Send("+OK ready\r\n"), P::ExpectLine("USER joe"), P::Send("+OK\r\n"),
           P::ExpectLine("PASS secret"), P::Send("+OK\r\n"), P::ExpectLine("STAT"),
           P::Send("+OK 0 0\r\n"), P::ExpectLine("QUIT"), P::Send("+OK bye\r\n"), P::Close()});
    PumpUntil([&] { return !form->Banner->Fetching(); }, 3000);
    form->btnDownload->click();
    ASSERT_TRUE(PumpUntil([&] { return !fetches.empty(); }, 8000));
    EXPECT_FALSE(fetches[0].first);
    EXPECT_EQ(fetches[0].second, "There're 0 messages");
    EXPECT_TRUE(form->btnDownload->isEnabled());
}

} // namespace

#include "SponsorBannerTest.moc"
