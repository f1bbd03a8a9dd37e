#pragma once

#include "ui/Report.h"

#include <string>

class TMailMessage;

// The print report of one message: one band per line, the header lines first, then the
// decoded text. Created for each printout and destroyed right after.
class TqrMail : public TReport {
public:
    explicit TqrMail(TComponent* owner = nullptr);

    // The list the band repeats over, one line per band.
    TStringList& QRStringsBand() noexcept { return Lines(); }
    // "From: ", "To: ", "Subject: " with the message's values, an empty line, then its body.
    static TStringList PrintLines(const TMailMessage& message);
    // Empties the band's list and fills it with the message's print lines.
    void SetMailLines(const TMailMessage& message);

    // Prints on the default printer without a dialog; without a usable printer nothing is
    // printed and false comes back.
    bool Print();

    // Sends every later printout to a new PDF file in the folder instead of the printer
    // (print-1.pdf, print-2.pdf, ...); an empty name restores the printer. For tests and tools
    // on machines without a printer.
    static void RedirectPrinterToFolder(std::string folder);
};
