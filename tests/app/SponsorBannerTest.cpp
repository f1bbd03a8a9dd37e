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

TEST_F(Banner, PairAIsChosenOneTimeInThreeAndBuiltInPairsContactNobody) {
    const TAdData a{"a", "a"}, b{"b", "b"};
    int chosenA = 0;
    for (unsigned seed = 1; seed <= 3000; ++seed) {
        std::mt19937 random(seed);
        if (&TSponsorBanner::ChoosePair(random, a, b) == &a) ++chosenA;
    }
    EXPECT_NEAR(chosenA, 1000, 100);
    banner->ChoosePair();
    banner->FetchBanner(); // a host under .invalid: nothing to fetch, nothing to report
    EXPECT_TRUE(requested.empty() && log.isEmpty());
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

TEST_F(Banner, GifIsAnimatedAndADocumentThatIsNotAWholeGifKeepsIt) {
    UseLocalPair();
    Download(true, Gif());
    ASSERT_TRUE(banner->HasImage());
    const QMovie* shown = banner->Movie();
    EXPECT_EQ(control->movie(), shown);
    EXPECT_EQ(shown->frameCount(), 10);
    const int first = shown->currentFrameNumber();
    EXPECT_TRUE(PumpUntil([&] { return shown->currentFrameNumber() != first; }, 2000));
    EXPECT_TRUE(log.isEmpty()) << log.join('\n').toStdString();

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

TEST_F(Banner, OneFetchAtATimeAndAFailureIsOneLogLine) {
    UseLocalPair();
    banner->FetchBanner();
    banner->FetchBanner(); // skipped: the first one still runs
    EXPECT_EQ(requested.size(), 1u);
    running->done(false, {}, "can't connect: Connection refused (Error #10061)");
    EXPECT_EQ(log, QStringList{"Banner not loaded from http://127.0.0.1:9/b.gif: can't connect: "
                               "Connection refused (Error #10061)"});
    EXPECT_TRUE(PumpUntil([&] { return freed; }));
    Download(true, Gif());
    EXPECT_TRUE(banner->HasImage());
    EXPECT_EQ(requested.size(), 2u);
    // A download that cannot start leaves none behind; freeing the banner ends a running one.
    log.clear();
    banner->SetFetcher(
        [](const std::string&, std::size_t, TBannerDone) -> std::unique_ptr<TBannerDownload> {
            throw std::runtime_error("no route");
        });
    banner->FetchBanner();
    EXPECT_FALSE(banner->Fetching());
    EXPECT_EQ(log, QStringList{"Banner not loaded from http://127.0.0.1:9/b.gif: no route"});
    banner->SetFetcher([this](const std::string&, std::size_t, TBannerDone done) {
        freed = false;
        return std::make_unique<FakeDownload>(std::move(done), &freed);
    });
    banner->FetchBanner();
    banner.reset();
    EXPECT_TRUE(freed);
}

// The window reads the section, keeps it when saving, and fetches once the check is over.
TEST_F(MainWindowCheckTest, BannerSectionAndFetchAfterTheCheck) {
    const std::string file = dir.path().toStdString() + "/postlark.ini";
    const std::string section =
        "[Banner]\nImageUrlA=http://127.0.0.1:9/a.gif\n"
        "LinkUrlA=http://127.0.0.1:9/a\nImageUrlB=http://127.0.0.1:9/a.gif\n";
    form.reset();
    std::ofstream(file) << "[Options]\nPop3HostName=pop.example\n" << section;
    CreateForm();
    EXPECT_EQ(form->Banner->PairA().LinkUrl, "http://127.0.0.1:9/a");
    EXPECT_EQ(form->Banner->PairB().ImageUrl, "http://127.0.0.1:9/a.gif");
    EXPECT_EQ(form->Banner->PairB().LinkUrl, TSponsorBanner::BuiltInPairB().LinkUrl);

    std::vector<std::pair<bool, QString>> fetches; // Busy and the status text at each fetch
    ASSERT_TRUE(PumpUntil([&] { return !form->Banner->Fetching(); })); // the one of the start
    form->Banner->SetFetcher([&](const std::string&, std::size_t, TBannerDone) {
        fetches.emplace_back(form->Busy(), form->StatusText());
        return std::make_unique<TBannerDownload>();
    });
    Serve({P::Send("+OK ready\r\n"), P::ExpectLine("USER joe"), P::Send("+OK\r\n"),
           P::ExpectLine("PASS secret"), P::Send("+OK\r\n"), P::ExpectLine("STAT"),
           P::Send("+OK 0 0\r\n"), P::ExpectLine("QUIT"), P::Send("+OK bye\r\n"), P::Close()});
    form->btnDownload->click();
    ASSERT_TRUE(PumpUntil([&] { return !fetches.empty(); }, 8000));
    EXPECT_EQ(fetches[0], std::make_pair(false, QString("There're 0 messages")));

    form.reset(); // saves
    std::ifstream in(file);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find(section), std::string::npos) << text;
    // The banner stays in its own section: the options begin with the old keys, in their order.
    const std::vector<std::string> options = TIniFile(file).ReadSection("Options");
    const std::vector<std::string> oldKeys{
        "Pop3HostName",    "Pop3PortNum",  "Pop3UserName",   "Pop3UserPass", "CheckAuto",
        "DeleteOnServer",  "TimeInterval", "SmtpHostName",   "SmtpPortName", "Forward",
        "DeleteForwarded", "ForwardTo",    "PrintOnReceive", "UseUIDL",      "ForwardAttachments"};
    ASSERT_GE(options.size(), oldKeys.size());
    EXPECT_EQ(std::vector<std::string>(options.begin(), options.begin() + oldKeys.size()), oldKeys);
    for (const std::string& key : options)
        EXPECT_EQ(key.find("Url"), std::string::npos) << key;
}

} // namespace

#include "SponsorBannerTest.moc"
