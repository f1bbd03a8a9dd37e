#include "tests/support/EventLoopFixture.h"

#include "ui/EventLoop.h"

#include <QApplication>
#include <QCoreApplication>
#include <QTimer>

#include <chrono>
#include <ctime>

void EnsureApplication() {
    if (QCoreApplication::instance()) return;
    static int argc = 1;
    static char name[] = "postlark-tests";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    Application::ResetTerminated();
}

void EnsureWidgetApplication() {
    if (QCoreApplication::instance()) {
        ASSERT_NE(qobject_cast<QApplication*>(QCoreApplication::instance()), nullptr)
            << "a plain QCoreApplication was created before the widget application";
        return;
    }
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    static int argc = 1;
    static char name[] = "postlark-tests";
    static char* argv[] = {name, nullptr};
    // Never destroyed: at exit Qt's own globals (the input device registry) may already be gone
    // when a static application object's destructor reaches them.
    static QApplication* app = new QApplication(argc, argv);
    (void)app;
    Application::ResetTerminated();
}

bool PumpUntil(const std::function<bool()>& predicate, int timeoutMs) {
    EnsureApplication();
    // A ticking timer wakes the blocking wait so the deadline and predicate are re-checked.
    QTimer tick;
    tick.start(2);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= deadline) return predicate();
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}

void PumpFor(int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    PumpUntil([&] { return std::chrono::steady_clock::now() >= until; }, ms + 1000);
}

double ProcessCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}
