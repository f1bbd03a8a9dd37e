#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <cstddef>
#include <functional>
#include <memory>
#include <random>
#include <string>

class QBuffer;
class QLabel;
class QMovie;
class TIniFile;

// One sponsor: the banner image and the page a click on it opens.
struct TAdData {
    std::string ImageUrl;
    std::string LinkUrl;
};

// One running download of a banner image. Freeing it cancels the download; its completion is
// then never reported.
class TBannerDownload {
public:
    virtual ~TBannerDownload() = default;
};

// The end of a download: the body when ok, else why it failed. Reported once, from the event
// loop, never from inside the call that started the download.
using TBannerDone = std::function<void(bool ok, const QByteArray& body, const QString& error)>;
// Starts the download of url; a body longer than maxBytes fails it.
using TBannerFetcher = std::function<std::unique_ptr<TBannerDownload>(
    const std::string& url, std::size_t maxBytes, TBannerDone done)>;

// The sponsor banner at the top of the main window: the pair chosen for the run, the animated
// image in the window's banner control, its download and the click that opens the sponsor's
// page. Downloads run in the background; the window never waits for one.
class TSponsorBanner : public QObject {
public:
    // A banner is a small image; anything larger is not one, and is not held in memory.
    static constexpr std::size_t kMaxImageBytes = 2 * 1024 * 1024;
    // Decoding every frame of a hostile document must stay cheap.
    static constexpr int kMaxFrames = 1000;
    static constexpr int kMaxSide = 2048;

    // log receives one line for each failure, for the server log.
    TSponsorBanner(QLabel& control, std::function<void(const QString&)> log);
    ~TSponsorBanner() override;
    TSponsorBanner(const TSponsorBanner&) = delete;
    TSponsorBanner& operator=(const TSponsorBanner&) = delete;

    // The pairs built into the program: hosts under the reserved ".invalid" domain, so a stock
    // build contacts nobody; the settings file may name real ones.
    static TAdData BuiltInPairA();
    static TAdData BuiltInPairB();
    // The optional "Banner" section: each key overrides the built-in value it names.
    void ReadPairs(const TIniFile& ini);
    const TAdData& PairA() const noexcept { return pairA_; }
    const TAdData& PairB() const noexcept { return pairB_; }

    // Chooses the run's pair from a generator seeded from the clock: pair A one time in three.
    void ChoosePair();
    // The choice itself, for one draw of the generator.
    static const TAdData& ChoosePair(std::mt19937& random, const TAdData& a, const TAdData& b);
    const TAdData& AdData() const noexcept { return adData_; }

    // Starts downloading the pair's image. Skipped while a download runs, and for an image on
    // a host that cannot exist.
    void FetchBanner();
    bool Fetching() const noexcept { return download_ != nullptr; }
    // Shows a downloaded document. A document that is not a whole GIF image leaves the image
    // shown as it was; the reason is returned, empty when the new image is shown.
    QString BannerDocEnd(const QByteArray& document);
    // Why a document cannot be shown, or empty when it is a GIF image that decodes whole.
    static QString ImageProblem(const QByteArray& document);
    bool HasImage() const noexcept { return movie_ != nullptr; }
    const QMovie* Movie() const noexcept { return movie_.get(); }

    // The banner was clicked: the pair's page opens, whether an image has arrived or not.
    void ImageClick();
    // Hands an http or https URL to the desktop's browser; other schemes are refused (false).
    static bool OpenLink(const std::string& url);
    static bool IsWebUrl(const std::string& url);

    // Replaces the download (tests, and the program's HTTP client).
    void SetFetcher(TBannerFetcher fetcher) { fetcher_ = std::move(fetcher); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Done(bool ok, const QByteArray& body, const QString& error);

    QLabel& control_;
    std::function<void(const QString&)> log_;
    TAdData pairA_ = BuiltInPairA();
    TAdData pairB_ = BuiltInPairB();
    TAdData adData_ = pairB_;
    TBannerFetcher fetcher_;
    // The image shown and the bytes it plays from; the movie reads them as it animates.
    std::unique_ptr<QBuffer> shownBytes_;
    std::unique_ptr<QMovie> movie_;
    // The running download; a finished one waits in retired_ until its own call has returned.
    std::unique_ptr<TBannerDownload> download_;
    std::unique_ptr<TBannerDownload> retired_;
};
