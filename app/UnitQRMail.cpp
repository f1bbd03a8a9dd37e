#include "app/UnitQRMail.h"

#include "app/MessageText.h"
#include "app/UnitMessage.h"
#include "ui/QtText.h"

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
    // The engine reads UTF-8, so every line goes to it as decoded text.
    lines.Add("From: " + FromQString(HeaderText(message.From)));
    lines.Add("To: " + FromQString(HeaderText(message.To)));
    lines.Add("Subject: " + FromQString(HeaderText(message.Subject)));
    lines.Add(std::string());
    for (const QString& line : BodyText(message.Body, message.CharSet))
        lines.Add(FromQString(line));
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
