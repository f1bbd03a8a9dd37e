// Draws the program's icons as PNG files, and the program's own mark also as SVG, into the
// folder given as the only argument. The results are committed beside this file; rerun it
// after changing a drawing. Every icon has a twice-as-large "@2x" copy for 200 % screens, and
// the mark comes in each size the desktop's icon theme asks for.

#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QSvgGenerator>

#include <cstdio>
#include <functional>

namespace {

const QColor kInk(40, 56, 84);
const QColor kBlue(52, 110, 190);
const QColor kPaper(250, 250, 244);
const QColor kGold(226, 170, 40);
const QColor kRed(196, 58, 48);
const QColor kGreen(56, 150, 72);

using Drawing = std::function<void(QPainter&, double)>;

bool Save(const QString& folder, const QString& name, int size, const Drawing& draw) {
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    draw(p, size / 16.0);
    p.end();
    return image.save(folder + "/" + name + ".png");
}

// The toolbar and tab icons are designed at 16 pixels.
bool SaveSmall(const QString& folder, const QString& name, const Drawing& draw) {
    return Save(folder, name, 16, draw) && Save(folder, name + "@2x", 32, draw);
}

bool SaveSvg(const QString& file, int size, const Drawing& draw) {
    QSvgGenerator svg;
    svg.setFileName(file);
    svg.setSize(QSize(size, size));
    svg.setViewBox(QRect(0, 0, size, size));
    svg.setTitle(QStringLiteral("Postlark"));
    QPainter p;
    if (!p.begin(&svg)) return false;
    p.setRenderHint(QPainter::Antialiasing);
    draw(p, size / 16.0);
    return p.end();
}

void Envelope(QPainter& p, double s, QColor body) {
    p.setPen(QPen(kInk, 1.0 * s));
    p.setBrush(body);
    p.drawRect(QRectF(1.5 * s, 3.5 * s, 13 * s, 9 * s));
    QPainterPath flap;
    flap.moveTo(1.5 * s, 3.5 * s);
    flap.lineTo(8 * s, 9 * s);
    flap.lineTo(14.5 * s, 3.5 * s);
    p.setBrush(Qt::NoBrush);
    p.drawPath(flap);
}

// The program's own mark: a small bird over an envelope.
void Lark(QPainter& p, double s) {
    p.setPen(QPen(kInk, 0.8 * s));
    p.setBrush(kBlue);
    p.drawRoundedRect(QRectF(0.5 * s, 0.5 * s, 15 * s, 15 * s), 3 * s, 3 * s);
    Envelope(p, s, kPaper);
    QPainterPath bird;
    bird.moveTo(4 * s, 7.5 * s);
    bird.quadTo(6 * s, 4.5 * s, 8 * s, 7 * s);
    bird.quadTo(10 * s, 4.5 * s, 12 * s, 7.5 * s);
    p.setPen(QPen(kGold, 1.4 * s, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    p.drawPath(bird);
}

void Gear(QPainter& p, double s, QColor color) {
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    for (int i = 0; i < 8; ++i) {
        p.save();
        p.translate(8 * s, 8 * s);
        p.rotate(i * 45.0);
        p.drawRect(QRectF(-1.3 * s, -7 * s, 2.6 * s, 3 * s));
        p.restore();
    }
    p.drawEllipse(QPointF(8 * s, 8 * s), 5 * s, 5 * s);
    p.setBrush(kPaper);
    p.drawEllipse(QPointF(8 * s, 8 * s), 2 * s, 2 * s);
}

void Clock(QPainter& p, double s) {
    p.setPen(QPen(kInk, 1.0 * s));
    p.setBrush(kPaper);
    p.drawEllipse(QPointF(8 * s, 8 * s), 6.5 * s, 6.5 * s);
    p.setPen(QPen(kBlue, 1.4 * s, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(8 * s, 8 * s), QPointF(8 * s, 3.5 * s));
    p.drawLine(QPointF(8 * s, 8 * s), QPointF(11 * s, 9.5 * s));
}

void Log(QPainter& p, double s) {
    p.setPen(QPen(kInk, 1.0 * s));
    p.setBrush(kPaper);
    p.drawRect(QRectF(2.5 * s, 1.5 * s, 11 * s, 13 * s));
    p.setPen(QPen(kBlue, 1.0 * s));
    for (int i = 0; i < 4; ++i)
        p.drawLine(QPointF(4.5 * s, (4.5 + 2.5 * i) * s),
                   QPointF((i % 2 ? 9.5 : 11.5) * s, (4.5 + 2.5 * i) * s));
}

void Arrow(QPainter& p, double s, QColor color) {
    QPainterPath a;
    a.moveTo(8 * s, 15 * s);
    a.lineTo(2.5 * s, 9 * s);
    a.lineTo(6 * s, 9 * s);
    a.lineTo(6 * s, 1.5 * s);
    a.lineTo(10 * s, 1.5 * s);
    a.lineTo(10 * s, 9 * s);
    a.lineTo(13.5 * s, 9 * s);
    a.closeSubpath();
    p.setPen(QPen(kInk, 0.8 * s));
    p.setBrush(color);
    p.drawPath(a);
}

} // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: postlark_make_icons FOLDER\n");
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    bool ok = true;
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256})
        ok &= Save(folder, QStringLiteral("postlark%1").arg(size), size, Lark);
    ok &= SaveSvg(folder + "/postlark.svg", 256, Lark);
    ok &= SaveSmall(folder, "mail", [](QPainter& p, double s) { Envelope(p, s, kPaper); });
    ok &= SaveSmall(folder, "pop3", [](QPainter& p, double s) { Gear(p, s, kBlue); });
    ok &= SaveSmall(folder, "smtp", [](QPainter& p, double s) { Gear(p, s, kGreen); });
    ok &= SaveSmall(folder, "schedule", Clock);
    ok &= SaveSmall(folder, "log", Log);
    ok &= SaveSmall(folder, "check", [](QPainter& p, double s) { Arrow(p, s, kGreen); });
    ok &= SaveSmall(folder, "hide", [](QPainter& p, double s) {
        p.setPen(QPen(kInk, 1.0 * s));
        p.setBrush(kPaper);
        p.drawRect(QRectF(1.5 * s, 2.5 * s, 13 * s, 10 * s));
        p.setBrush(kBlue);
        p.drawRect(QRectF(1.5 * s, 2.5 * s, 13 * s, 2.5 * s));
        p.setPen(QPen(kInk, 1.6 * s));
        p.drawLine(QPointF(4.5 * s, 10 * s), QPointF(11.5 * s, 10 * s));
    });
    ok &= SaveSmall(folder, "about", [](QPainter& p, double s) {
        p.setPen(QPen(kInk, 0.8 * s));
        p.setBrush(kBlue);
        p.drawEllipse(QPointF(8 * s, 8 * s), 7 * s, 7 * s);
        p.setPen(Qt::NoPen);
        p.setBrush(kPaper);
        p.drawEllipse(QPointF(8 * s, 4.5 * s), 1.2 * s, 1.2 * s);
        p.drawRect(QRectF(7 * s, 7 * s, 2 * s, 5.5 * s));
    });
    ok &= SaveSmall(folder, "clear", [](QPainter& p, double s) {
        Log(p, s);
        p.setPen(QPen(kRed, 1.8 * s, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(8 * s, 8 * s), QPointF(14 * s, 14 * s));
        p.drawLine(QPointF(14 * s, 8 * s), QPointF(8 * s, 14 * s));
    });
    ok &= SaveSmall(folder, "close", [](QPainter& p, double s) {
        p.setPen(QPen(kInk, 0.8 * s));
        p.setBrush(kRed);
        p.drawRoundedRect(QRectF(1.5 * s, 1.5 * s, 13 * s, 13 * s), 2.5 * s, 2.5 * s);
        p.setPen(QPen(kPaper, 2.0 * s, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(5 * s, 5 * s), QPointF(11 * s, 11 * s));
        p.drawLine(QPointF(11 * s, 5 * s), QPointF(5 * s, 11 * s));
    });
    ok &= SaveSmall(folder, "add", [](QPainter& p, double s) {
        p.setPen(QPen(kGreen, 2.2 * s, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(8 * s, 3 * s), QPointF(8 * s, 13 * s));
        p.drawLine(QPointF(3 * s, 8 * s), QPointF(13 * s, 8 * s));
    });
    ok &= SaveSmall(folder, "addtime", [](QPainter& p, double s) {
        Clock(p, s);
        p.setPen(QPen(kGreen, 2.0 * s, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(12.5 * s, 10 * s), QPointF(12.5 * s, 15 * s));
        p.drawLine(QPointF(10 * s, 12.5 * s), QPointF(15 * s, 12.5 * s));
    });
    ok &= SaveSmall(folder, "remove", [](QPainter& p, double s) {
        p.setPen(QPen(kRed, 2.2 * s, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(3 * s, 8 * s), QPointF(13 * s, 8 * s));
    });
    ok &= SaveSmall(folder, "removeall", [](QPainter& p, double s) {
        p.setPen(QPen(kRed, 2.0 * s, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(4 * s, 4 * s), QPointF(12 * s, 12 * s));
        p.drawLine(QPointF(12 * s, 4 * s), QPointF(4 * s, 12 * s));
    });
    return ok ? 0 : 1;
}
