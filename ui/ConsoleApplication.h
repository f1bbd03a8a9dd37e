#pragma once

#include <memory>

class QCoreApplication;

// The application object of a program without windows (benchmark drivers, tools): the event
// loop services need one to exist. Create it first in main() and keep it for the whole run.
class TConsoleApplication {
public:
    TConsoleApplication(int& argc, char** argv);
    ~TConsoleApplication();
    TConsoleApplication(const TConsoleApplication&) = delete;
    TConsoleApplication& operator=(const TConsoleApplication&) = delete;

    // Runs the event loop, waiting for events, until Application::Terminate(); returns the
    // loop's exit code.
    int Run();

private:
    std::unique_ptr<QCoreApplication> app_;
};
