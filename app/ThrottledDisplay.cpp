#include "app/ThrottledDisplay.h"

#include "ui/LogView.h"

#include <QStatusBar>

TThrottledDisplay::TThrottledDisplay(QStatusBar* status, TLogView* log, int periodMs)
    : status_(status), log_(log), statusUpdate_(periodMs, [this] { ShowStatus(); }),
      logUpdate_(periodMs, [this] { ShowLog(); }) {}

void TThrottledDisplay::SetStatusText(const QString& text) {
    statusText_ = text;
    statusUpdate_.Request();
}

void TThrottledDisplay::ShowStatus() {
    status_->showMessage(statusText_);
}

void TThrottledDisplay::AppendLog(const QString& line) {
    pendingLines_.append(line);
    logUpdate_.Request();
}

void TThrottledDisplay::ShowLog() {
    if (pendingLines_.isEmpty()) return;
    for (const QString& line : std::as_const(pendingLines_))
        log_->AppendLine(line);
    pendingLines_.clear();
    log_->ScrollToEnd();
}

QString TThrottledDisplay::LogText() {
    logUpdate_.Flush();
    return log_->Text();
}

void TThrottledDisplay::ClearLog() {
    logUpdate_.Cancel();
    pendingLines_.clear();
    log_->Clear();
}
