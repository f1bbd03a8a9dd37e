#pragma once

#include <QApplication>
#include <QIcon>
#include <QString>

#include <exception>

// The application object: title, icon and the event loop, and the default handler that shows
// an exception escaping an event handler in a message box and lets the program go on. Qt must
// never see an exception, so notify() catches whatever a handler lets through.
class TApplication : public QApplication {
public:
    TApplication(int& argc, char** argv);
    ~TApplication() override;

    bool notify(QObject* receiver, QEvent* event) override;

    // Shows the text of an escaped exception in a message box. Replaceable so tests can look
    // at what would have been shown without a modal box.
    static void ShowException(std::exception_ptr error);
};

// The application title: the main window's caption and the tray icon's tool tip.
QString ApplicationTitle();
// The program's own icon, also in the tray and in the About box.
QIcon ApplicationIcon();
// The program's name and icon, set on the running application object.
void SetApplicationIdentity();
// Loads the compiled-in icons; safe to call more than once.
void InitResources();

// Ends the event loop on SIGTERM, SIGINT and SIGHUP, as a confirmed close would, so the
// program still frees its list and writes its settings when the session or a terminal ends it.
void EndOnTerminationSignals();
