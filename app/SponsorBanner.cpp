#include "app/SponsorBanner.h"

#include "app/IniFiles.h"
#include "ui/QtText.h"

#include <QBuffer>
#include <QDesktopServices>
#include <QImageReader>
#include <QLabel>
#include <QMouseEvent>
#include <QMovie>
#include <QTimer>
#include <QUrl>

#include <chrono>

namespace {

const char* const kBannerSection = "Banner";

// RFC 2606 section 2: no name under ".invalid" ever resolves.
bool OnReservedInvalidHost(const std::string& url) {
    const QString host = QUrl(ToQString(url)).host().toLower();
    return host == QLatin1String("invalid") || host.endsWith(QLatin1String(".invalid"));
}

QString UrlForLog(const std::string& url) {
    // Only printable text goes to the log, and not much of it.
    QString text = ToQString(url.substr(0, 200));
    for (QChar& c : text)
        if (!c.isPrint()) c = QLatin1Char('?');
    return text;
}

// Walks the blocks of a GIF file (GIF89a sections 17 to 27) without decoding them: a transfer
// cut short ends inside a block, and sizes are checked before anything is allocated.
QString GifStructureProblem(const QByteArray& gif, int maxSide, int maxFrames) {
    const auto* d = reinterpret_cast<const unsigned char*>(gif.constData());
    const std::size_t n = static_cast<std::size_t>(gif.size());
    const QString incomplete = QStringLiteral("incomplete GIF image");
    const auto le16 = [d](std::size_t at) { return d[at] | d[at + 1] << 8; };
    const auto sizeOk = [maxSide](int w, int h) {
        return w > 0 && h > 0 && w <= maxSide && h <= maxSide;
    };
    // A colour table of 2^(size + 1) entries follows when its flag is set.
    const auto tableBytes = [](unsigned packed) -> std::size_t {
        return (packed & 0x80) ? 3u << ((packed & 7) + 1) : 0;
    };
    std::size_t pos = 13;
    if (n < pos) return incomplete;
    if (!sizeOk(le16(6), le16(8)))
        return QStringLiteral("image size %1 x %2 out of range").arg(le16(6)).arg(le16(8));
    pos += tableBytes(d[10]);
    const auto skipSubBlocks = [&]() {
        while (pos < n) {
            const std::size_t len = d[pos++];
            if (len == 0) return true;
            pos += len;
        }
        return false;
    };
    int frames = 0;
    while (pos < n) {
        switch (d[pos++]) {
        case 0x3B: // trailer
            return frames > 0 ? QString() : QStringLiteral("GIF file without an image");
        case 0x21: // extension: label, then data sub-blocks
            if (++pos > n || !skipSubBlocks()) return incomplete;
            break;
        case 0x2C: // image: descriptor, local colour table, code size, data sub-blocks
            if (pos + 10 > n) return incomplete;
            if (!sizeOk(le16(pos + 4), le16(pos + 6)))
                return QStringLiteral("frame size %1 x %2 out of range")
                    .arg(le16(pos + 4))
                    .arg(le16(pos + 6));
            if (++frames > maxFrames) return QStringLiteral("too many frames");
            pos += 9 + tableBytes(d[pos + 8]) + 1;
            if (pos > n || !skipSubBlocks()) return incomplete;
            break;
        default:
            return QStringLiteral("not a GIF block at byte %1").arg(pos - 1);
        }
    }
    return incomplete;
}

} // namespace

TSponsorBanner::TSponsorBanner(QLabel& control, std::function<void(const QString&)> log)
    : control_(control), log_(std::move(log)) {
    control_.installEventFilter(this);
}

TSponsorBanner::~TSponsorBanner() {
    control_.removeEventFilter(this);
    control_.setMovie(nullptr);
}

TAdData TSponsorBanner::BuiltInPairA() {
    return {"http://banner.sponsor-a.invalid/banner.gif", "http://www.sponsor-a.invalid/"};
}

TAdData TSponsorBanner::BuiltInPairB() {
    return {"http://banner.sponsor-b.invalid/banner.gif", "http://www.sponsor-b.invalid/"};
}

void TSponsorBanner::ReadPairs(const TIniFile& ini) {
    const auto read = [&ini](const char* key, const std::string& builtIn) {
        return ini.ReadString(kBannerSection, key, builtIn);
    };
    const TAdData a = BuiltInPairA(), b = BuiltInPairB();
    pairA_ = {read("ImageUrlA", a.ImageUrl), read("LinkUrlA", a.LinkUrl)};
    pairB_ = {read("ImageUrlB", b.ImageUrl), read("LinkUrlB", b.LinkUrl)};
}

void TSponsorBanner::ChoosePair() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    std::mt19937 random(static_cast<std::mt19937::result_type>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()));
    adData_ = ChoosePair(random, pairA_, pairB_);
}

const TAdData& TSponsorBanner::ChoosePair(std::mt19937& random, const TAdData& a,
                                          const TAdData& b) {
    std::uniform_int_distribution<int> draw(0, 2);
    return draw(random) == 2 ? a : b;
}

void TSponsorBanner::FetchBanner() {
    if (download_ || OnReservedInvalidHost(adData_.ImageUrl)) return;
    if (!fetcher_) {
        log_(QStringLiteral("Banner not loaded: no HTTP client"));
        return;
    }
    try {
        download_ = fetcher_(adData_.ImageUrl, kMaxImageBytes,
                             [this](bool ok, const QByteArray& body, const QString& error) {
                                 Done(ok, body, error);
                             });
    } catch (const std::exception& e) {
        download_.reset();
        log_(QStringLiteral("Banner not loaded from ") + UrlForLog(adData_.ImageUrl) +
             QStringLiteral(": ") + ToQString(e.what()));
    }
}

void TSponsorBanner::Done(bool ok, const QByteArray& body, const QString& error) {
    // The download reports from inside its own handlers: it is freed once they have returned.
    retired_ = std::move(download_);
    QTimer::singleShot(0, this, [this] { retired_.reset(); });
    const QString problem = ok ? BannerDocEnd(body) : error;
    if (!problem.isEmpty())
        log_(QStringLiteral("Banner not loaded from ") + UrlForLog(adData_.ImageUrl) +
             QStringLiteral(": ") + problem);
}

QString TSponsorBanner::ImageProblem(const QByteArray& document) {
    if (document.isEmpty()) return QStringLiteral("empty document");
    if (static_cast<std::size_t>(document.size()) > kMaxImageBytes)
        return QStringLiteral("document larger than %1 bytes").arg(kMaxImageBytes);
    if (!document.startsWith("GIF87a") && !document.startsWith("GIF89a"))
        return QStringLiteral("not a GIF image");
    if (QString problem = GifStructureProblem(document, kMaxSide, kMaxFrames); !problem.isEmpty())
        return problem;
    QByteArray copy = document;
    QBuffer buffer(&copy);
    buffer.open(QIODevice::ReadOnly);
    // Qt's allocation limit stays in force: a header that claims a huge screen fails here.
    QImageReader reader(&buffer, "gif");
    for (int frame = 0; frame < kMaxFrames && reader.canRead(); ++frame)
        if (reader.read().isNull())
            return QStringLiteral("GIF image does not decode: ") + reader.errorString();
    return {};
}

QString TSponsorBanner::BannerDocEnd(const QByteArray& document) {
    if (QString problem = ImageProblem(document); !problem.isEmpty()) return problem;
    auto bytes = std::make_unique<QBuffer>();
    bytes->setData(document);
    bytes->open(QIODevice::ReadOnly);
    auto movie = std::make_unique<QMovie>(bytes.get(), QByteArray("gif"));
    if (!movie->isValid()) return QStringLiteral("GIF image does not play");
    control_.setMovie(movie.get());
    movie->start();
    // The old image goes only once the control has let go of it.
    movie_ = std::move(movie);
    shownBytes_ = std::move(bytes);
    return {};
}

bool TSponsorBanner::IsWebUrl(const std::string& url) {
    const QUrl parsed(ToQString(url), QUrl::StrictMode);
    const QString scheme = parsed.scheme().toLower();
    return parsed.isValid() &&
           (scheme == QLatin1String("http") || scheme == QLatin1String("https")) &&
           !parsed.host().isEmpty();
}

bool TSponsorBanner::OpenLink(const std::string& url) {
    // Only web pages: a settings file must not make a click run a local program or file.
    if (!IsWebUrl(url)) return false;
    QDesktopServices::openUrl(QUrl(ToQString(url), QUrl::StrictMode));
    return true;
}

void TSponsorBanner::ImageClick() {
    if (!OpenLink(adData_.LinkUrl))
        log_(QStringLiteral("Banner link not opened, not a web page: ") +
             UrlForLog(adData_.LinkUrl));
}

bool TSponsorBanner::eventFilter(QObject* watched, QEvent* event) {
    if (watched == &control_ && event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton &&
        control_.rect().contains(static_cast<QMouseEvent*>(event)->position().toPoint())) {
        ImageClick();
        return true;
    }
    return QObject::eventFilter(watched, event);
}
