#include "app/UnitMain.h"

#include "app/ApplicationObject.h"
#include "app/BannerDownload.h"
#include "app/Settings.h"
#include "app/SettingsLocation.h"
#include "app/UnitAbout.h"
#include "ui/ApplicationErrors.h"
#include "ui/EventLoop.h"
#include "ui/LogView.h"
#include "ui/QtText.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QStatusBar>
#include <QTimeEdit>
#include <QToolButton>

TfrmMain* frmMain = nullptr;

namespace {

std::string& SettingsFileOverride() {
    static std::string fileName;
    return fileName;
}

std::function<QDateTime()>& ClockOverride() {
    static std::function<QDateTime()> clock;
    return clock;
}

std::function<bool()>& ConfirmOverride() {
    static std::function<bool()> confirm;
    return confirm;
}

} // namespace

TTimer::TTimer() {
    QObject::connect(&timer_, &QTimer::timeout, [this] { Tick(); });
}

void TTimer::SetInterval(std::uint32_t value) {
    if (value == interval_) return;
    interval_ = value;
    Update();
}

void TTimer::SetEnabled(bool value) {
    if (value == enabled_) return;
    enabled_ = value;
    Update();
}

void TTimer::Update() {
    timer_.stop();
    if (enabled_ && interval_ > 0)
        timer_.start(static_cast<int>(std::min<std::uint32_t>(interval_, INT32_MAX)));
}

void TTimer::Tick() {
    if (OnTimer) OnTimer(nullptr);
}

TfrmMain::TfrmMain(QWidget* parent) : QWidget(parent), formats_(TJournalFormats::System()) {
    TimerJournal.SetEnabled(false);
    CreateControls();
    CreatePop3Client();
    CreateMimeDecode();
    CreateSyncSmtpCli();
    CoolTrayIcon = std::make_unique<TCoolTrayIcon>(this);
    Banner =
        std::make_unique<TSponsorBanner>(*Image, [this](const QString& line) { AppendLog(line); });
    Banner->SetFetcher(HttpBannerFetcher());
    Notifier = std::make_unique<TNewMailNotifier>(*CoolTrayIcon);
    BindHandlers();
    frmMain = this;
    FormCreate();
}

TfrmMain::~TfrmMain() {
    if (!formDestroyed_) {
        try {
            FormDestroy();
        } catch (...) {
            // The program still ends; the user is told why the settings were not saved.
            HandleEscapedException(std::current_exception());
        }
    }
    Notifier.reset();
    CoolTrayIcon.reset();
    Banner.reset();
    currentMessage_.reset();
    clvMain->SetMailList(nullptr);
    MimeDecode.reset();
    Pop3Client.reset();
    if (frmMain == this) frmMain = nullptr;
}

void TfrmMain::BindHandlers() {
    connect(btnDownload, &QPushButton::clicked, this, [this] { btnDownloadClick(); });
    connect(btnHide, &QPushButton::clicked, this, [this] { btnHideClick(); });
    connect(btnAbout, &QPushButton::clicked, this, [this] { btnAboutClick(); });
    connect(btnClear, &QPushButton::clicked, this, [this] { btnClearClick(); });
    connect(btnClose, &QPushButton::clicked, this, [this] { btnCloseClick(); });
    clvMain->OnDblClick = [this](TObject* sender) { clvMainDblClick(sender); };
    clvMain->OnKeyDown = [this](TObject* sender, int& key, TShiftState shift) {
        clvMainKeyDown(sender, key, shift);
    };
    connect(tbHours, &QSlider::valueChanged, this, [this] { tbHoursChange(); });
    connect(tbMinutes, &QSlider::valueChanged, this, [this] { tbMinutesChange(); });
    connect(CheckBoxAuto, &QCheckBox::toggled, this, [this] { CheckBoxAutoClick(); });
    connect(cbDeleteOnServer, &QCheckBox::toggled, this, [this] { CheckBoxAutoClick(); });
    connect(DatePicker, &QDateEdit::dateChanged, this, [this] { DatePickerChange(); });
    connect(TimePicker, &QTimeEdit::timeChanged, this, [this] { TimePickerChange(); });
    connect(SpeedButtonAddDate, &QToolButton::clicked, this, [this] { SpeedButtonAddDateClick(); });
    connect(SpeedButtonAddTime, &QToolButton::clicked, this, [this] { SpeedButtonAddTimeClick(); });
    connect(SpeedButtonRemove, &QToolButton::clicked, this, [this] { SpeedButtonRemoveClick(); });
    connect(SpeedButtonRemoveAll, &QToolButton::clicked, this,
            [this] { SpeedButtonRemoveAllClick(); });
    TimerCheck.OnTimer = [this](TObject*) { TimerCheckTimer(); };
    TimerJournal.OnTimer = [this](TObject*) { TimerJournalTimer(); };
    CoolTrayIcon->OnMouseUp = [this](TObject* sender, TMouseButton button, TShiftState shift, int x,
                                     int y) { CoolTrayIconMouseUp(sender, button, shift, x, y); };
    Notifier->OnClicked = [this] { ShowMainWindow(true); };
    connect(NotifyCheckBox, &QCheckBox::toggled, this,
            [this](bool on) { Notifier->SetEnabled(on); });
    connect(AutostartCheckBox, &QCheckBox::clicked, this, [this] { AutostartCheckBoxClick(); });
}

void TfrmMain::FormCreate() {
    setWindowTitle(ApplicationTitle());
    step_ = 0;
    mailList_->Clear();
    LoadSettings();
    UpdateCheckTimer();
    UpdateJournalTimer();
    ShowMainWindow(false);
    {
        // Set from the program: no change events, so "Add Date/Time" starts enabled.
        const QSignalBlocker blockTime(TimePicker);
        const QSignalBlocker blockDate(DatePicker);
        const QDateTime now = Now();
        TimePicker->setTime(now.time());
        DatePicker->setDate(now.date());
    }
    ccbDays->setCurrentIndex(0);
    // The download runs in the background: a slow or silent banner server must not hold up
    // the start, and a failure is a line in the server log.
    Banner->ChoosePair();
    FetchBanner();
}

void TfrmMain::FetchBanner() {
    Banner->FetchBanner();
}

void TfrmMain::ImageClick(TObject*) {
    Banner->ImageClick();
}

void TfrmMain::FormDestroy() {
    formDestroyed_ = true;
    if (frmMessage)
        for (const auto& message : mailList_->Messages())
            frmMessage->MessageRemoved(message.get());
    mailList_->Clear();
    SaveSettings();
}

bool TfrmMain::FormCloseQuery() {
    if (ConfirmOverride()) return ConfirmOverride()();
    QMessageBox box(QMessageBox::Question, QStringLiteral("Confirm"),
                    QStringLiteral("This will close the application.  Exit now?"),
                    QMessageBox::NoButton, this);
    QPushButton* yes = box.addButton(QStringLiteral("&Yes"), QMessageBox::YesRole);
    box.addButton(QStringLiteral("&No"), QMessageBox::NoRole);
    box.exec();
    return box.clickedButton() == yes;
}

void TfrmMain::closeEvent(QCloseEvent* event) {
    if (!FormCloseQuery()) {
        event->ignore();
        return;
    }
    event->accept();
    Application::Terminate();
}

std::string TfrmMain::SettingsFileName() {
    if (!SettingsFileOverride().empty()) return SettingsFileOverride();
    // Decided once: a file saved beside the program during the run must not move the settings
    // between loading and saving.
    static const std::string located =
        LocateSettingsFile(FromQString(QCoreApplication::applicationFilePath()));
    return located;
}

void TfrmMain::OverrideSettingsFile(std::string fileName) {
    SettingsFileOverride() = std::move(fileName);
}

void TfrmMain::SetClockForTests(std::function<QDateTime()> now) {
    ClockOverride() = std::move(now);
}

QDateTime TfrmMain::Now() {
    return ClockOverride() ? ClockOverride()() : QDateTime::currentDateTime();
}

void TfrmMain::SetConfirmForTests(std::function<bool()> confirm) {
    ConfirmOverride() = std::move(confirm);
}

void TfrmMain::btnHideClick() {
    ShowMainWindow(false);
}

void TfrmMain::btnAboutClick() {
    if (frmAbout) frmAbout->exec();
}

void TfrmMain::btnClearClick() {
    display_->ClearLog();
}

void TfrmMain::btnCloseClick() {
    close();
}

void TfrmMain::EnableButtons(bool flag) {
    for (QPushButton* button : {btnDownload, btnHide, btnAbout, btnClear, btnClose})
        button->setEnabled(flag);
}

QString TfrmMain::StatusText() const {
    return display_->StatusText();
}

void TfrmMain::SetStatusText(const QString& text) {
    display_->SetStatusText(text);
}

void TfrmMain::AppendLog(const QString& line) {
    display_->AppendLog(line);
}

QString TfrmMain::LogText() const {
    return display_->LogText();
}

void TfrmMain::Pop3ClientDisplay(TObject*, const std::string& msg) {
    AppendLog(ToQString(msg));
}

// Without a notification area the hidden window could not be brought back, so it is minimised
// instead and stays reachable from the desktop's window list.
void TfrmMain::ShowMainWindow(bool show, bool takeFocus) {
    if (show) {
        setAttribute(Qt::WA_ShowWithoutActivating, !takeFocus);
        if (isMinimized())
            showNormal();
        else
            this->show();
        raise();
        if (takeFocus) activateWindow();
        CoolTrayIcon->SetActive(false);
        return;
    }
    if (TCoolTrayIcon::NotificationAreaAvailable())
        hide();
    else
        showMinimized();
    CoolTrayIcon->SetIcon(ApplicationIcon());
    CoolTrayIcon->SetToolTip(FromQString(ApplicationTitle()));
    CoolTrayIcon->SetActive(true);
}

void TfrmMain::CoolTrayIconMouseUp(TObject*, TMouseButton, TShiftState, int, int) {
    ShowMainWindow(true);
}
