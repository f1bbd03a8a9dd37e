#include "app/ApplicationObject.h"

#include "ui/ApplicationErrors.h"
#include "ui/Exceptions.h"
#include "ui/QtText.h"

#include <QMessageBox>
#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

// Q_INIT_RESOURCE must stand outside any namespace; the resources live in a static library,
// whose registration the linker would otherwise drop.
static void InitResourcesOnce() {
    Q_INIT_RESOURCE(resources);
}

void InitResources() {
    static bool done = false;
    if (!done) {
        InitResourcesOnce();
        done = true;
    }
}

QString ApplicationTitle() {
    return QStringLiteral("Postlark 2.0.1");
}

QIcon ApplicationIcon() {
    InitResources();
    // Every size the icon theme knows, so a 200 % screen, a large tray and the window
    // switcher each get drawn pixels rather than a blurred enlargement.
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256})
        icon.addFile(QStringLiteral(":/icons/postlark%1.png").arg(size), QSize(size, size));
    return icon;
}

void SetApplicationIdentity() {
    InitResources();
    // No display name: on X11 and Wayland Qt appends it to every window title that does not
    // already end with it, so the message window would read "Message — Postlark 2.0.1".
    // Each window sets its whole caption itself.
    QCoreApplication::setApplicationName(QStringLiteral("postlark"));
    // Ties the windows to the installed desktop entry (its icon and name on Wayland).
    QGuiApplication::setDesktopFileName(QStringLiteral("org.example.postlark"));
    QGuiApplication::setWindowIcon(ApplicationIcon());
}

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
    SetApplicationIdentity();
    // Closing the main window ends the program; the hidden message window and About box do not
    // keep it alive, and hiding the main window to the tray must not end it.
    setQuitOnLastWindowClosed(false);
    SetEscapedExceptionHandler(&TApplication::ShowException);
}

TApplication::~TApplication() {
    SetEscapedExceptionHandler(nullptr);
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        HandleEscapedException(std::current_exception());
        return false;
    }
}

void TApplication::ShowException(std::exception_ptr error) {
    QString text;
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        text = ToQString(e.what());
    } catch (...) {
        text = QStringLiteral("Unknown error");
    }
    QMessageBox box(QMessageBox::Critical, ApplicationTitle(), text, QMessageBox::Ok);
    box.exec();
}

namespace {

int signalPipe[2] = {-1, -1};

// Only async-signal-safe calls here: the event loop does the rest.
void OnTerminationSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(signalPipe[1], &byte, 1);
}

} // namespace

void EndOnTerminationSignals() {
    if (signalPipe[0] >= 0) return;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0) return;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, qApp);
    QObject::connect(notifier, &QSocketNotifier::activated, [] {
        char byte = 0;
        [[maybe_unused]] const ssize_t ignored = ::read(signalPipe[0], &byte, 1);
        // exit(), not quit(): Qt 6's quit() first sends close events to the windows, and the
        // main window's close asks for a confirmation nobody is there to give.
        QCoreApplication::exit(0);
    });
    struct sigaction action = {};
    action.sa_handler = OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(sig, &action, nullptr);
}
