#include "ui/ConsoleApplication.h"

#include "ui/EventLoop.h"

#include <QCoreApplication>

namespace {

QCoreApplication* CreateApplication(int& argc, char** argv) {
    // Qt's default dispatcher on Linux runs through GLib's main loop, which costs an extra
    // wake-up write and poll for every posted message; a program without windows gains
    // nothing from it. An explicit setting by the user still wins.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    return new QCoreApplication(argc, argv);
}

} // namespace

TConsoleApplication::TConsoleApplication(int& argc, char** argv)
    : app_(CreateApplication(argc, argv)) {
    Application::ResetTerminated();
}

TConsoleApplication::~TConsoleApplication() = default;

int TConsoleApplication::Run() {
    if (Application::Terminated())
        return 0;
    return QCoreApplication::exec();
}
