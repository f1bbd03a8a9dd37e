#include "ui/Report.h"

#include "ui/QtText.h"

#include <QFont>
#include <QMarginsF>
#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPrintPreviewDialog>
#include <QPrinter>
#include <QPrinterInfo>
#include <QTextLayout>
#include <QTextOption>

#include <algorithm>
#include <vector>

namespace {

constexpr double kMarginMm = 20.0;
constexpr double kBandMinHeightMm = 5.56;
constexpr double kTextTopMm = 0.53;
constexpr double kMmPerInch = 25.4;

struct TBandLine {
    QString text;
    qreal height;
};

// Word-wraps one band's text to width; words longer than the width break anywhere.
std::vector<TBandLine> WrapBand(const QString& text, const QFont& font, QPaintDevice* device, qreal width) {
    std::vector<TBandLine> out;
    QTextLayout layout(text, font, device);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    for (;;) {
        QTextLine line = layout.createLine();
        if (!line.isValid())
            break;
        line.setLineWidth(width);
        out.push_back({text.mid(line.textStart(), line.textLength()), line.height()});
    }
    layout.endLayout();
    if (out.empty())
        out.push_back({QString(), QFontMetricsF(font, device).height()});
    return out;
}

void SetUpPage(QPrinter& printer) {
    printer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait,
                                      QMarginsF(kMarginMm, kMarginMm, kMarginMm, kMarginMm),
                                      QPageLayout::Millimeter));
    printer.setFullPage(false);
    printer.setCopyCount(1);
    printer.setDuplex(QPrinter::DuplexNone);
    printer.setPaperSource(QPrinter::Auto);
}

} // namespace

TReport::TReport(TComponent* owner) : TComponent(owner) {}

TReport::~TReport() { Destroying(); }

void TReport::SetFont(const std::string& family, int pointSize) {
    fontFamily_ = family;
    fontPointSize_ = pointSize;
}

bool TReport::HasUsablePrinter() { return !QPrinterInfo::defaultPrinter().isNull(); }

int TReport::Render(QPrinter& printer) {
    QPainter painter;
    if (!painter.begin(&printer))
        return 0;
    QFont font(ToQString(fontFamily_));
    font.setStyleHint(QFont::SansSerif);
    font.setPointSize(fontPointSize_);
    painter.setFont(font);
    painter.setPen(Qt::black);

    const qreal dpi = printer.resolution();
    const auto mm = [dpi](double value) { return value * dpi / kMmPerInch; };
    // The painter's origin is the top-left corner of the printable area inside the margins.
    const QRectF area = printer.pageLayout().paintRectPixels(printer.resolution());
    const qreal pageHeight = area.height();
    const qreal width = area.width();

    int pages = 1;
    qreal y = 0;
    for (const std::string& raw : lines_) {
        const std::vector<TBandLine> lines = WrapBand(ToQString(raw), font, &printer, width);
        qreal textHeight = 0;
        for (const TBandLine& line : lines)
            textHeight += line.height;
        const qreal bandHeight = std::max(mm(kBandMinHeightMm), mm(kTextTopMm) + textHeight);
        if (y > 0 && y + bandHeight > pageHeight) {
            printer.newPage();
            ++pages;
            y = 0;
        }
        qreal lineTop = y + mm(kTextTopMm);
        for (const TBandLine& line : lines) {
            if (lineTop + line.height > pageHeight && lineTop > 0) { // a band taller than a page
                printer.newPage();
                ++pages;
                lineTop = 0;
            }
            painter.drawText(QRectF(0, lineTop, width, line.height), Qt::AlignLeft | Qt::AlignTop, line.text);
            lineTop += line.height;
        }
        y = std::max(y + bandHeight, lineTop);
    }
    painter.end();
    return pages;
}

bool TReport::Print() {
    if (!HasUsablePrinter())
        return false;
    QPrinter printer(QPrinterInfo::defaultPrinter(), QPrinter::HighResolution);
    SetUpPage(printer);
    return Render(printer) > 0;
}

void TReport::Preview() {
    QPrinter printer(QPrinter::HighResolution);
    SetUpPage(printer);
    QPrintPreviewDialog dialog(&printer);
    QObject::connect(&dialog, &QPrintPreviewDialog::paintRequested, [this](QPrinter* target) { Render(*target); });
    dialog.exec();
}

int TReport::PrintToPdf(const std::string& path) {
    QPrinter printer(QPrinter::HighResolution);
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(ToQString(path));
    SetUpPage(printer);
    return Render(printer);
}
