// Takes a screenshot of the main window on each of its pages, of its banner and of the About
// box, from the X server's own picture of the screen, into the folder given as the first
// argument. Run under Xvfb by scripts/screenshots; the window is filled with sample content so
// each page shows its use. With the demo server's ports it also checks the demo mailbox, with
// the banner fetched from the demo web server. With "--scaled", run at 200 %, it takes the
// Mail page and the About box only.

#include "app/ApplicationObject.h"
#include "app/UnitAbout.h"
#include "app/UnitMain.h"
#include "app/UnitMessage.h"
#include "tools/DemoBanner.h"
#include "tools/FakeNotifications.h"

#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>

#include <cstdio>
#include <fstream>

namespace {

void Settle(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

std::unique_ptr<TMailMessage> Sample(const char* from, const char* subject, const char* date) {
    auto message = std::make_unique<TMailMessage>();
    message->From = from;
    message->Subject = subject;
    message->Date = date;
    return message;
}

bool Grab(QWidget& widget, const QString& file, QRect area = {}) {
    if (area.isNull()) area = widget.frameGeometry();
    QPixmap shot = widget.screen()->grabWindow(0, area.x(), area.y(), area.width(), area.height());
    if (!shot.save(file)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
        return false;
    }
    std::printf("%s\n", qPrintable(file));
    return true;
}

// The banner control's place on the screen, with a little of the window around it.
QRect BannerArea(const TfrmMain& window) {
    const QRect banner(window.Image->mapToGlobal(QPoint(0, 0)), window.Image->size());
    return banner.adjusted(-6, -6, 6, 6);
}

// What the notification service was asked to show, as text: a virtual X server has no
// notification service to take a picture of.
bool WriteNotifications(const TFakeNotifications& service, const QString& file) {
    QFile out(file);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        out.write(service.Log().toUtf8()) < 0) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
        return false;
    }
    std::printf("%s\n", qPrintable(file));
    return true;
}

// Checks the demo mailbox on the port and takes the list, the log, one open message and the
// notification of the new mail; the banner comes from the demo web server.
int DemoShots(const QString& folder, const QString& port, const QString& httpPort,
              const TPrivateBus& bus) {
    {
        const std::string banner = "http://127.0.0.1:" + httpPort.toStdString();
        std::ofstream(TfrmMain::SettingsFileName(), std::ios::app)
            << "[Banner]\nImageUrlA=" << banner << "/banner.gif\nImageUrlB=" << banner
            << "/banner.gif\n";
    }
    TFakeNotifications notifications(bus.Address());
    TfrmMessage messageWindow;
    frmMessage = &messageWindow;
    TfrmMain window;
    window.HostEdit->setText("127.0.0.1");
    window.PortEdit->setText(port);
    window.UserNameEdit->setText("demo");
    window.PassWordEdit->setText("demo");
    window.UidlCheckBox->setChecked(true);
    window.move(40, 40);
    window.btnDownload->click();
    QElapsedTimer waited;
    waited.start();
    while (!window.StatusText().startsWith("There're") && waited.elapsed() < 10000)
        Settle(50);
    if (!window.StatusText().startsWith("There're")) {
        std::fprintf(stderr, "the check of the demo mailbox did not end: %s\n",
                     qPrintable(window.StatusText()));
        return 1;
    }
    window.cpcMain->setCurrentIndex(0);
    Settle(400);
    if (!window.Banner->HasImage()) {
        std::fprintf(stderr, "the demo banner did not arrive:\n%s\n", qPrintable(window.LogText()));
        return 1;
    }
    while (notifications.Shown().empty() && waited.elapsed() < 15000)
        Settle(50);
    if (!WriteNotifications(notifications, folder + "/demo-4-notification.txt")) return 1;
    if (!Grab(window, folder + "/demo-1-mail.png")) return 1;
    if (!Grab(window, folder + "/demo-0-banner.png", BannerArea(window))) return 1;
    window.cpcMain->setCurrentIndex(window.cpcMain->count() - 1);
    Settle(250);
    if (!Grab(window, folder + "/demo-2-log.png")) return 1;
    window.cpcMain->setCurrentIndex(0);
    // The multipart sample shows the attachment marker.
    const int row = std::min(2, window.clvMain->RowCount() - 1);
    if (row < 0) return 1;
    window.clvMain->SelectRow(row);
    window.clvMainDblClick(nullptr);
    Settle(400);
    const bool ok = Grab(messageWindow, folder + "/demo-3-message.png");
    frmMessage = nullptr;
    return ok ? 0 : 1;
}

} // namespace

// At 200 % (QT_SCALE_FACTOR=2): the Mail page and the About box, whose icons must be drawn
// pixels rather than enlarged ones.
int ScaledShots(TfrmMain& window, const QString& folder) {
    window.cpcMain->setCurrentIndex(0);
    Settle(400);
    if (!Grab(window, folder + "/main-1-mail-200.png")) return 1;
    TfrmAbout about(&window);
    about.show();
    about.move(window.pos() + QPoint(60, 60));
    Settle(400);
    return Grab(about, folder + "/about-200.png") ? 0 : 1;
}

int main(int argc, char** argv) {
    // A bus of its own, set before anything of Qt reads the address, so the notification of
    // the demo check reaches the recording service and not the desktop.
    TPrivateBus bus;
    if (!bus.Start()) {
        std::fprintf(stderr, "no private message bus: %s\n", qPrintable(bus.Error()));
        return 1;
    }
    qputenv("DBUS_SESSION_BUS_ADDRESS", bus.Address().toUtf8());
    TApplication app(argc, argv);
    if (argc < 2 || argc > 4) {
        std::fprintf(stderr, "usage: postlark_screenshots FOLDER [DEMO-POP3-PORT DEMO-HTTP-PORT | "
                             "--scaled]\n");
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(folder);
    QTemporaryDir settings;
    TfrmMain::OverrideSettingsFile((settings.path() + "/postlark.ini").toStdString());

    TfrmMain window;
    window.HostEdit->setText("mail.example.org");
    window.PortEdit->setText("110");
    window.UserNameEdit->setText("robin");
    window.PassWordEdit->setText("secret");
    window.UidlCheckBox->setChecked(true);
    window.SmtpHostEdit->setText("smtp.example.org");
    window.FwdEdit->setText("robin@example.net");
    window.tbHours->setValue(1);
    window.tbMinutes->setValue(30);
    window.CheckBoxAuto->setChecked(true);
    window.SpeedButtonAddTimeClick();
    window.AppendMessage(Sample("Ada <ada@example.org>", "Minutes of the Tuesday meeting",
                                "Tue, 1 Dec 2026 09:12:03 +0100"));
    window.AppendMessage(Sample("Build robot <ci@example.org>", "Nightly build passed",
                                "Wed, 2 Dec 2026 02:00:41 +0000"));
    window.AppendMessage(Sample("Grace <grace@example.net>", "Re: lunch on Friday?",
                                "Wed, 2 Dec 2026 11:47:10 +0100"));
    for (const char* line :
         {"> USER robin", "< +OK", "> PASS secret", "< +OK Logged in.", "Request Done Rq=2 Error=0",
          "> STAT", "< +OK 3 4211", "Request Done Rq=5 Error=0", "> UIDL 1", "< +OK 1 000001a4"})
        window.AppendLog(QString::fromLatin1(line));
    window.SetStatusText("There're 3 messages");
    const std::string banner = DemoBannerGif();
    window.Banner->BannerDocEnd(QByteArray(banner.data(), static_cast<qsizetype>(banner.size())));
    window.ShowMainWindow(true);
    window.move(40, 40);
    Settle(400);
    const bool scaled = argc == 3 && QString::fromLocal8Bit(argv[2]) == "--scaled";
    if (scaled) {
        const int result = ScaledShots(window, folder);
        TfrmMain::OverrideSettingsFile({});
        return result;
    }

    const char* names[] = {"1-mail", "2-pop3", "3-smtp", "4-schedule", "5-log"};
    for (int page = 0; page < window.cpcMain->count(); ++page) {
        window.cpcMain->setCurrentIndex(page);
        Settle(250);
        const QRect frame = window.frameGeometry();
        QPixmap shot =
            window.screen()->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
        const QString file = folder + "/main-" + QString::fromLatin1(names[page]) + ".png";
        if (!shot.save(file)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
            return 1;
        }
        std::printf("%s\n", qPrintable(file));
    }
    if (!Grab(window, folder + "/main-0-banner.png", BannerArea(window))) return 1;

    TfrmAbout about(&window);
    about.show();
    about.move(window.pos() + QPoint(120, 110));
    Settle(400);
    if (!Grab(about, folder + "/about.png")) return 1;
    about.hide();

    window.hide();
    const int result = argc == 4 ? DemoShots(folder, QString::fromLocal8Bit(argv[2]),
                                             QString::fromLocal8Bit(argv[3]), bus)
                                 : 0;
    TfrmMain::OverrideSettingsFile({});
    return result;
}
