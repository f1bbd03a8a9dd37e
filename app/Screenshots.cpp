// Takes a screenshot of the main window on each of its pages, from the X server's own picture
// of the screen, into the folder given as the only argument. Run under Xvfb by
// scripts/screenshots; the window is filled with sample content so each page shows its use.

#include "app/ApplicationObject.h"
#include "app/UnitMain.h"

#include <QCheckBox>
#include <QDir>
#include <QLineEdit>
#include <QListWidget>
#include <QScreen>
#include <QSlider>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>

#include <cstdio>

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

} // namespace

int main(int argc, char** argv) {
    TApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: postlark_screenshots FOLDER\n");
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
    window.ShowMainWindow(true);
    window.move(40, 40);
    Settle(400);

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
    TfrmMain::OverrideSettingsFile({});
    window.hide();
    return 0;
}
