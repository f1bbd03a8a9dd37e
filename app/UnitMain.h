#pragma once

#include "app/CheckWatchdog.h"
#include "app/CoolTools.h"
#include "app/Journal.h"
#include "app/MailForwarder.h"
#include "app/MailListModel.h"
#include "app/NewMailNotifier.h"
#include "app/Settings.h"
#include "app/SponsorBanner.h"
#include "app/ThrottledDisplay.h"
#include "app/UnitMessage.h"
#include "net/MimeDec.h"
#include "ui/Component.h"
#include "ui/Streams.h"

#include <QTimer>
#include <QWidget>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class QCheckBox;
class QComboBox;
class QDateEdit;
class QFrame;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QSlider;
class QStatusBar;
class QTabWidget;
class QTimeEdit;
class QToolButton;
class TLogView;
class TPop3Cli;

// Frees the POP3 client where its type is complete (the check session's unit).
struct TPop3ClientDeleter {
    void operator()(TPop3Cli* client) const;
};

// A timer with the platform timer's rules: it runs while enabled with a period above 0, and
// only a change of the period or of the enabled state restarts its count.
class TTimer {
public:
    TTimer();
    std::uint32_t Interval() const noexcept { return interval_; }
    void SetInterval(std::uint32_t value);
    bool Enabled() const noexcept { return enabled_; }
    void SetEnabled(bool value);
    bool Running() const { return timer_.isActive(); }
    std::function<void(TObject*)> OnTimer;
    // Fires the tick now, as the platform would when the period has run out.
    void Tick();

private:
    void Update();
    QTimer timer_;
    std::uint32_t interval_ = 1000;
    bool enabled_ = true;
};

// The main window: the mail list, the POP3 and SMTP configuration, the schedule, the server
// log, the button row and the status bar; it drives the check session.
class TfrmMain : public QWidget, public TComponent {
public:
    explicit TfrmMain(QWidget* parent = nullptr);
    ~TfrmMain() override;

    // Creation handler: runs once, from the constructor.
    void FormCreate();
    // Destruction handler: frees the mail list, then saves the settings.
    void FormDestroy();
    // Asks "Confirm"; true when the window may close.
    bool FormCloseQuery();

    // Where the settings are read from and written to: beside the executable, or in the
    // user's configuration folder for an installed program (SettingsLocation.h).
    // Tests and tools point it elsewhere before the window is created.
    static std::string SettingsFileName();
    static void OverrideSettingsFile(std::string fileName);
    // The clock the schedule reads; replaceable by tests.
    static void SetClockForTests(std::function<QDateTime()> now);
    static QDateTime Now();
    // Answer of the close confirmation; tests replace the modal dialog.
    static void SetConfirmForTests(std::function<bool()> confirm);

    // Check session.
    void btnDownloadClick();
    // Starts the request of the current step; false when the client refused to start it.
    bool DoStep();
    void NextMessage();
    // Moves on to the next message, or to QUIT after the last one.
    void NextMessageOrFinish();
    void Pop3ClientRequestDone(TObject* sender, int rqType, std::uint16_t error);
    void Pop3ClientSessionConnected(TObject* sender, std::uint16_t error);
    void Pop3ClientSessionClosed(TObject* sender, std::uint16_t error);
    void Pop3ClientDisplay(TObject* sender, const std::string& msg);

    // Buttons.
    void btnHideClick();
    void btnAboutClick();
    void btnClearClick();
    void btnCloseClick();
    void EnableButtons(bool flag);

    // Message intake, bound to the POP3 client's message events and the decoder's part events.
    void Pop3ClientMessageBegin(TObject* sender);
    void Pop3ClientMessageLine(TObject* sender);
    void Pop3ClientMessageEnd(TObject* sender);
    void MimeDecodePartBegin(TObject* sender);
    void MimeDecodePartLine(TObject* sender, const char* data, int dataLen);
    void MimeDecodePartEnd(TObject* sender);
    // The message being received, or none between messages.
    const TMailMessage* CurrentMessage() const noexcept { return currentMessage_.get(); }
    static constexpr const char* AttachmentMarker =
        "*** THERE WAS AN ATTACHMENT IN THIS MESSAGE. SKIPPED. ***";

    // Forwarding: which new messages go on to the forward address, and the hand-over to
    // Forwarding. Tests may install a forwarder of their own with SetForwarder.
    static bool ShouldForward(bool forwardOn, bool hasAttachment, bool withAttachments) noexcept;
    void ForwardMessage(TMailMessage& message);
    static void SetForwarder(std::function<void(TMailMessage&)> forwarder);
    void SyncSmtpCliRequestDone(TObject* sender, TSmtpRequest rqType, std::uint16_t errorCode);

    // Message window.
    void clvMainDblClick(TObject* sender);
    // Prints a message on the default printer (print on receive).
    void PrintMessage(const TMailMessage& message);

    // Mail list.
    bool IsMessageHere(const std::string& key) const;
    bool IsInMessageList(const TMailMessage* message) const;
    // Appends the message to the list and its row to the list view; the list owns it after.
    void AppendMessage(std::unique_ptr<TMailMessage> message);
    void clvMainKeyDown(TObject* sender, int& key, TShiftState shift);
    const std::vector<std::unique_ptr<TMailMessage>>& Messages() const {
        return mailList_->Messages();
    }

    // Scheduling.
    void UpdateCheckTimer();
    void UpdateJournalTimer();
    void tbHoursChange();
    void tbMinutesChange();
    void CheckBoxAutoClick();
    void TimerCheckTimer();
    void TimerJournalTimer();
    void DatePickerChange();
    void TimePickerChange();
    void SpeedButtonAddDateClick();
    void SpeedButtonAddTimeClick();
    void SpeedButtonRemoveClick();
    void SpeedButtonRemoveAllClick();
    QStringList JournalEntries() const;
    // Appends an entry to the journal list, read once for the timer's ticks.
    void AddJournalEntry(const TJournalEntry& entry);

    // Sponsor banner: a fresh download of the chosen pair's image, and the click on it.
    void FetchBanner();
    void ImageClick(TObject* sender);

    // Tray icon. takeFocus false shows the window behind the user's current one, without the
    // keyboard focus (a check that ends while the user types elsewhere).
    void ShowMainWindow(bool show, bool takeFocus = true);
    void CoolTrayIconMouseUp(TObject* sender, TMouseButton button, TShiftState shift, int x, int y);

    // Desktop: the entry that starts the program at login, written or removed at a click.
    void AutostartCheckBoxClick();

    // Settings.
    void LoadSettings();
    void SaveSettings();
    // The password for PASS: the exact bytes read from the settings file while the field still
    // shows them, so a stored password that is not UTF-8 is sent as it was stored.
    std::string Pop3Password() const;
    // The security modes the configuration pages show.
    TSecurityMode Pop3Security() const;
    TSecurityMode SmtpSecurity() const;
    // Certificate fingerprints to trust, as the settings file holds them.
    const std::string& SmtpTlsFingerprint() const noexcept {
        return loadedOptions_.SmtpTlsFingerprint;
    }

    bool Busy() const noexcept { return busy_; }
    int Step() const noexcept { return step_; }
    QString StatusText() const;
    void SetStatusText(const QString& text);
    void AppendLog(const QString& line);
    QString LogText() const;

    // Controls, by their names.
    QLabel* Image = nullptr;
    QTabWidget* cpcMain = nullptr;
    QWidget* ctsMails = nullptr;
    QWidget* ctsConfig = nullptr;
    QWidget* ctsSmtpConf = nullptr;
    QWidget* ctsShedule = nullptr;
    QWidget* ctsDisplayMemo = nullptr;
    TMailListView* clvMain = nullptr;
    QLineEdit* HostEdit = nullptr;
    QLineEdit* PortEdit = nullptr;
    QLineEdit* UserNameEdit = nullptr;
    QLineEdit* PassWordEdit = nullptr;
    QCheckBox* cbDeleteOnServer = nullptr;
    QCheckBox* PrintCheckBox = nullptr;
    QCheckBox* UidlCheckBox = nullptr;
    QCheckBox* NotifyCheckBox = nullptr;
    QCheckBox* AutostartCheckBox = nullptr;
    QLineEdit* SmtpHostEdit = nullptr;
    QLineEdit* SmtpPortEdit = nullptr;
    QComboBox* Pop3SecurityBox = nullptr;
    QComboBox* SmtpSecurityBox = nullptr;
    QLineEdit* FwdEdit = nullptr;
    QCheckBox* FwdCheckBox = nullptr;
    QCheckBox* FwdDelCheckBox = nullptr;
    QCheckBox* ForwardAttachCheckBox = nullptr;
    QFrame* BevelJournal = nullptr;
    QDateEdit* DatePicker = nullptr;
    QTimeEdit* TimePicker = nullptr;
    QComboBox* ccbDays = nullptr;
    QToolButton* SpeedButtonAddDate = nullptr;
    QToolButton* SpeedButtonAddTime = nullptr;
    QToolButton* SpeedButtonRemove = nullptr;
    QToolButton* SpeedButtonRemoveAll = nullptr;
    QListWidget* ListBoxJournal = nullptr;
    QLabel* LabelHours = nullptr;
    QLabel* LabelMinutes = nullptr;
    QSlider* tbHours = nullptr;
    QSlider* tbMinutes = nullptr;
    QCheckBox* CheckBoxAuto = nullptr;
    TLogView* DisplayMemo = nullptr;
    QWidget* ButtonPanel = nullptr;
    QPushButton* btnDownload = nullptr;
    QPushButton* btnHide = nullptr;
    QPushButton* btnAbout = nullptr;
    QPushButton* btnClear = nullptr;
    QPushButton* btnClose = nullptr;
    QStatusBar* InfoBar = nullptr;

    // Non-visual parts.
    std::unique_ptr<TPop3Cli, TPop3ClientDeleter> Pop3Client;
    std::unique_ptr<TMimeDecode> MimeDecode;
    std::unique_ptr<TSyncSmtpCli> SyncSmtpCli;
    std::unique_ptr<TMailForwarder> Forwarding; // uses SyncSmtpCli, so it goes first
    std::unique_ptr<TCoolTrayIcon> CoolTrayIcon;
    // Tells the desktop about the new mail of a check; uses CoolTrayIcon, so it goes after.
    std::unique_ptr<TNewMailNotifier> Notifier;
    TTimer TimerCheck;
    TTimer TimerJournal;
    // Ends a check that has stopped moving.
    TCheckWatchdog Watchdog;
    std::unique_ptr<TSponsorBanner> Banner;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void CreateControls();
    void CreateConfigPages();
    void CreateSchedulePage();
    void BindHandlers();
    void CreatePop3Client();
    void CreateMimeDecode();
    void CreateSyncSmtpCli();
    bool RunRequest(const char* name, const std::function<void()>& request);
    // The chain has stopped: once the session is closed the check is over; until then the
    // server has a short while to close it.
    void ChainStopped();
    // The watchdog's verdict: the check is aborted.
    void CheckExpired(const std::string& reason);
    void UpdateAddDateButton();
    TJournalEntry JournalEntryAt(int row) const;

    std::uint8_t step_ = 0;
    // The identifier UIDL gave for the message about to be retrieved; empty without UIDL.
    std::string retrUidl_;
    std::unique_ptr<TMailMessage> currentMessage_;
    bool attachmentNoted_ = false;
    // Lines of text parts (text/plain or no Content-Type) are assembled here and cut at 254
    // bytes, so the buffer of 256 never fills.
    char partLineBuf_[256] = {};
    int partLinePos_ = 0;
    // Room reused from message to message: the lines of each message grow in it and then move
    // to storage of their exact size, and the decoder reads every message from the one stream.
    TLineList spareRaw_;
    TLineList spareBody_;
    TMemoryStream decodeStream_;
    std::unique_ptr<TMailListModel> mailList_;
    std::unique_ptr<TThrottledDisplay> display_;
    bool busy_ = false;
    bool formDestroyed_ = false;
    TJournalFormats formats_;
    // The options as read at start: a text field that still shows its stored value is written
    // back with the stored bytes, which need not be UTF-8.
    TOptions loadedOptions_;
    // Journal entries of the file that do not read; they are written back as they stood.
    std::vector<std::string> unreadableJournal_;
};

// The main window of the program.
extern TfrmMain* frmMain;
