#include "app/BannerDownload.h"

#include "net/HttpProt.h"
#include "ui/QtText.h"

namespace {

class THttpBannerDownload : public TBannerDownload {
public:
    // The banner is worth a short wait at most; a silent server must not hold a download open.
    static constexpr int kTimeLimitSeconds = 30;

    THttpBannerDownload(const std::string& url, std::size_t maxBytes, TBannerDone done)
        : maxBytes_(static_cast<std::int64_t>(maxBytes)), done_(std::move(done)) {
        client_.SetURL(url);
        client_.SetRcvdStream(&body_);
        client_.SetTimeout(kTimeLimitSeconds);
        // An announced or received length over the cap ends the download at once.
        client_.OnHeaderEnd = [this](TObject*) {
            if (client_.ContentLength() > maxBytes_) TooLarge();
        };
        client_.OnDocData = [this](TObject*, const char*, int) {
            if (client_.RcvdCount() > maxBytes_) TooLarge();
        };
        client_.OnRequestDone = [this](TObject*, THttpRequest, std::uint16_t error) {
            RequestDone(error);
        };
        client_.GetASync();
    }

private:
    void TooLarge() {
        if (tooLarge_) return;
        tooLarge_ = true;
        client_.Abort();
    }

    void RequestDone(std::uint16_t error) {
        const int status = client_.StatusCode();
        QString problem;
        if (tooLarge_)
            problem = QStringLiteral("document larger than %1 bytes").arg(maxBytes_);
        else if (error != 0)
            problem = client_.ReasonPhrase().empty()
                          ? QStringLiteral("request failed (Error #%1)").arg(error)
                          : ToQString(client_.ReasonPhrase());
        else if (status == 0)
            problem = QStringLiteral("no HTTP status line in the reply");
        else if (status < 200 || status > 299)
            problem =
                QStringLiteral("HTTP %1 %2").arg(status).arg(ToQString(client_.ReasonPhrase()));
        if (!problem.isEmpty()) {
            done_(false, {}, problem);
            return;
        }
        done_(true, QByteArray(body_.Memory(), static_cast<qsizetype>(body_.Size())), {});
    }

    THttpCli client_;
    TMemoryStream body_;
    std::int64_t maxBytes_;
    TBannerDone done_;
    bool tooLarge_ = false;
};

} // namespace

TBannerFetcher HttpBannerFetcher() {
    return [](const std::string& url, std::size_t maxBytes, TBannerDone done) {
        return std::make_unique<THttpBannerDownload>(url, maxBytes, std::move(done));
    };
}
