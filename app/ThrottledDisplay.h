#pragma once

#include "ui/UpdateThrottle.h"

#include <QString>
#include <QStringList>

class QStatusBar;
class TLogView;

// The status text and the server log of the main window, repainted at most once per period.
// A check of a big mailbox changes both several times per message; drawing each change would
// cost more than receiving the message. Every text and line is kept at once and shown with the
// next repaint; the readers see everything, shown or not yet.
class TThrottledDisplay {
public:
    TThrottledDisplay(QStatusBar* status, TLogView* log, int periodMs = 50);

    QString StatusText() const { return statusText_; }
    void SetStatusText(const QString& text);

    void AppendLog(const QString& line);
    // Every line of the log, joined by LF.
    QString LogText();
    void ClearLog();

private:
    void ShowStatus();
    void ShowLog();

    QStatusBar* status_;
    TLogView* log_;
    QString statusText_;
    QStringList pendingLines_;
    TUpdateThrottle statusUpdate_;
    TUpdateThrottle logUpdate_;
};
