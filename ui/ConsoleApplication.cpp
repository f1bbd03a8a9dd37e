#include "ui/ConsoleApplication.h"

#include "ui/EventLoop.h"

#include <QCoreApplication>

TConsoleApplication::TConsoleApplication(int& argc, char** argv)
    : app_(std::make_unique<QCoreApplication>(argc, argv)) {
    Application::ResetTerminated();
}

TConsoleApplication::~TConsoleApplication() = default;

int TConsoleApplication::Run() {
    if (Application::Terminated()) return 0;
    return QCoreApplication::exec();
}
