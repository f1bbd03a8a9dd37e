#include "app/UnitQRMail.h"

#include "app/UnitMessage.h"

namespace {

struct TRedirect {
    std::string folder;
    int count = 0;
};

TRedirect& Redirect() {
    static TRedirect redirect;
    return redirect;
}

} // namespace

TqrMail::TqrMail(TComponent* owner) : TReport(owner) {
    SetName("qrMail");
}

TStringList TqrMail::PrintLines(const TMailMessage& message) {
    TStringList lines;
    lines.Add("From: " + message.From);
    lines.Add("To: " + message.To);
    lines.Add("Subject: " + message.Subject);
    lines.Add(std::string());
    for (std::string_view line : message.Body)
        lines.Add(std::string(line));
    return lines;
}

void TqrMail::SetMailLines(const TMailMessage& message) {
    QRStringsBand() = PrintLines(message);
}

bool TqrMail::Print() {
    TRedirect& redirect = Redirect();
    if (redirect.folder.empty()) return TReport::Print();
    ++redirect.count;
    return PrintToPdf(redirect.folder + "/print-" + std::to_string(redirect.count) + ".pdf") > 0;
}

void TqrMail::RedirectPrinterToFolder(std::string folder) {
    Redirect() = TRedirect{std::move(folder), 0};
}
