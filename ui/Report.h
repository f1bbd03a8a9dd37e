#pragma once

#include "ui/Component.h"
#include "ui/StringList.h"

#include <memory>
#include <string>

class QPrinter;

// The report engine: lays out an ordered list of text lines on A4 portrait pages with 20 mm
// margins, one band per line. A band is at least 5.56 mm high; its text starts 0.53 mm below
// the band's top, is word-wrapped to the width between the margins and makes the band grow.
// A band that does not fit on the rest of a page moves to the next page; a band taller than
// a page continues on the next page line by line. An empty report still prints one page.
class TReport : public TComponent {
public:
    explicit TReport(TComponent* owner = nullptr);
    ~TReport() override;

    TStringList& Lines() noexcept { return lines_; }
    const TStringList& Lines() const noexcept { return lines_; }

    // Font family and point size of the text (Tahoma 10 by default; the closest installed
    // sans-serif font stands in when Tahoma is missing).
    void SetFont(const std::string& family, int pointSize);

    // Prints straight to the default printer without a dialog. Returns false, printing
    // nothing, when there is no usable printer.
    bool Print();
    // Shows the preview window; returns when it has been closed.
    void Preview();
    // Writes the pages to a PDF file; returns the page count.
    int PrintToPdf(const std::string& path);

    static bool HasUsablePrinter();

private:
    int Render(QPrinter& printer);

    TStringList lines_;
    std::string fontFamily_ = "Tahoma";
    int fontPointSize_ = 10;
};
