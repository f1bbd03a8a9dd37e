#include "app/UnitMain.h"

#include "app/ApplicationObject.h"
#include "ui/LogView.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QFrame>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProxyStyle>
#include <QPushButton>
#include <QSlider>
#include <QStatusBar>
#include <QStyledItemDelegate>
#include <QTabBar>
#include <QTabWidget>
#include <QTimeEdit>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

// Each icon is drawn at 16 pixels and again at 32 for 200 % screens; Qt reads the "@2x" in
// the name as that file's pixel ratio.
QIcon Icon(const char* name) {
    const QString base = QStringLiteral(":/icons/") + QLatin1String(name);
    QIcon icon(base + QStringLiteral(".png"));
    icon.addFile(base + QStringLiteral("@2x.png"));
    return icon;
}

QLabel* Label(QWidget* parent, const char* caption, int left, int top, QWidget* buddy = nullptr) {
    auto* label = new QLabel(QString::fromLatin1(caption), parent);
    label->move(left, top);
    label->adjustSize();
    if (buddy) label->setBuddy(buddy);
    return label;
}

QLineEdit* Edit(QWidget* parent, int left, int top) {
    auto* edit = new QLineEdit(parent);
    edit->setGeometry(left, top, 121, 21);
    return edit;
}

QComboBox* SecurityBox(QWidget* parent, int left, int top) {
    auto* box = new QComboBox(parent);
    box->setGeometry(left, top, 121, 21);
    for (const TSecurityMode mode : {secNone, secTls, secStartTls})
        box->addItem(QString::fromLatin1(SecurityModeText(mode)));
    Label(parent, "Securit&y", left, top - 16, box);
    return box;
}

QCheckBox* CheckBox(QWidget* parent, const char* caption, int left, int top) {
    auto* box = new QCheckBox(QString::fromLatin1(caption), parent);
    box->move(left, top);
    box->adjustSize();
    return box;
}

QToolButton* SpeedButton(QWidget* parent, const char* icon, const char* hint, int top) {
    auto* button = new QToolButton(parent);
    button->setGeometry(152, top, 23, 22);
    button->setIcon(Icon(icon));
    button->setToolTip(QString::fromLatin1(hint));
    button->setAutoRaise(true);
    return button;
}

QSlider* TrackBar(QWidget* parent, int top, int maximum) {
    auto* bar = new QSlider(Qt::Horizontal, parent);
    bar->setGeometry(336, top, 137, 25);
    bar->setRange(0, maximum);
    // Ticks only at both ends: the bars are set by hand, not read off a scale.
    bar->setTickPosition(QSlider::TicksBelow);
    bar->setTickInterval(maximum);
    bar->setPageStep(1);
    return bar;
}

// Rows of the journal list are 13 pixels high, so its 108-pixel box holds whole rows.
class TJournalRowDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        size.setHeight(13);
        return size;
    }
};

// The five captions fit the window's width only with the narrow tab padding of the window's
// original look; the default styles pad tabs more widely.
class TCompactTabStyle : public QProxyStyle {
public:
    int pixelMetric(PixelMetric metric, const QStyleOption* option,
                    const QWidget* widget) const override {
        if (metric == PM_TabBarTabHSpace) return 10;
        return QProxyStyle::pixelMetric(metric, option, widget);
    }
};

} // namespace

void TfrmMain::CreateControls() {
    InitResources();
    setObjectName(QStringLiteral("frmMain"));
    // Tahoma is rarely installed off Windows; the metric-compatible sans fonts keep the
    // captions within the fixed layout where the default sans font would be too wide.
    QFont font;
    font.setFamilies({QStringLiteral("Tahoma"), QStringLiteral("Liberation Sans"),
                      QStringLiteral("Arial"), QStringLiteral("DejaVu Sans")});
    font.setPixelSize(11);
    setFont(font);
    // A tool window: caption, system menu and minimise box, fixed size.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(489, 316);
    setWindowIcon(ApplicationIcon());

    Image = new QLabel(this);
    Image->setObjectName(QStringLiteral("Image"));
    Image->setGeometry(11, 10, 468, 60);
    Image->setCursor(Qt::PointingHandCursor);
    Image->setAutoFillBackground(true);
    Image->setFrameShape(QFrame::StyledPanel);
    Image->setAlignment(Qt::AlignCenter);

    cpcMain = new QTabWidget(this);
    cpcMain->setGeometry(0, 85, 489, 173);
    cpcMain->setIconSize(QSize(16, 16));
    cpcMain->setUsesScrollButtons(false);
    // The five captions must fit the 489-pixel width as they do with the narrow tabs of the
    // window's original design; the default tab padding is wider.
    auto* compact = new TCompactTabStyle;
    compact->setParent(cpcMain);
    cpcMain->tabBar()->setStyle(compact);

    ctsMails = new QWidget;
    clvMain = new TMailListView(ctsMails);
    clvMain->setGeometry(0, 0, 483, 146);
    mailList_ = std::make_unique<TMailListModel>();
    clvMain->SetMailList(mailList_.get());
    clvMain->setColumnWidth(0, 150);
    clvMain->setColumnWidth(1, 200);
    clvMain->setColumnWidth(2, 100);
    clvMain->header()->setStretchLastSection(true);
    clvMain->header()->setSectionsMovable(false);
    cpcMain->addTab(ctsMails, Icon("mail"), QStringLiteral("&Mail"));

    CreateConfigPages();
    CreateSchedulePage();

    ctsDisplayMemo = new QWidget;
    // A long check writes many thousands of lines, which a text document would hold at several
    // times their size.
    DisplayMemo = new TLogView(ctsDisplayMemo);
    DisplayMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    DisplayMemo->setGeometry(0, 0, 483, 146);
    cpcMain->addTab(ctsDisplayMemo, Icon("log"), QStringLiteral("&Server Log"));
    // The list and the log fill their page whatever size the style gives the page.
    for (auto [page, child] : {std::pair<QWidget*, QWidget*>{ctsMails, clvMain},
                               std::pair<QWidget*, QWidget*>{ctsDisplayMemo, DisplayMemo}}) {
        auto* layout = new QVBoxLayout(page);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(child);
    }

    ButtonPanel = new QWidget(this);
    ButtonPanel->setGeometry(0, 258, 489, 39);
    struct ButtonInfo {
        QPushButton** button;
        const char* caption;
        const char* icon;
        int left;
    };
    const ButtonInfo buttons[] = {{&btnDownload, "Ch&eck", "check", 8},
                                  {&btnHide, "&Hide", "hide", 88},
                                  {&btnAbout, "&About", "about", 168},
                                  {&btnClear, "C&lear Log", "clear", 248},
                                  {&btnClose, "&Close", "close", 328}};
    for (const ButtonInfo& info : buttons) {
        *info.button =
            new QPushButton(Icon(info.icon), QString::fromLatin1(info.caption), ButtonPanel);
        (*info.button)->setGeometry(info.left, 8, 75, 25);
        (*info.button)->setIconSize(QSize(16, 16));
    }

    InfoBar = new QStatusBar(this);
    InfoBar->setGeometry(0, 297, 489, 19);
    InfoBar->setSizeGripEnabled(false);
    display_ = std::make_unique<TThrottledDisplay>(InfoBar, DisplayMemo);

    cpcMain->setCurrentIndex(0);
    cpcMain->setFocus();
}

void TfrmMain::CreateConfigPages() {
    ctsConfig = new QWidget;
    HostEdit = Edit(ctsConfig, 25, 34);
    PortEdit = Edit(ctsConfig, 24, 72);
    UserNameEdit = Edit(ctsConfig, 184, 32);
    PassWordEdit = Edit(ctsConfig, 184, 72);
    PassWordEdit->setEchoMode(QLineEdit::Password);
    Pop3SecurityBox = SecurityBox(ctsConfig, 24, 112);
    Label(ctsConfig, "&Host", 24, 16, HostEdit);
    Label(ctsConfig, "&Port", 24, 56, PortEdit);
    Label(ctsConfig, "&User Name", 184, 16, UserNameEdit);
    Label(ctsConfig, "&Password", 184, 56, PassWordEdit);
    cbDeleteOnServer = CheckBox(ctsConfig, "&Delete On Server", 320, 32);
    PrintCheckBox = CheckBox(ctsConfig, "&Print on receive", 320, 52);
    UidlCheckBox = CheckBox(ctsConfig, "&Use UIDL command", 320, 71);
    NotifyCheckBox = CheckBox(ctsConfig, "Notify of &new mail", 320, 90);
    NotifyCheckBox->setChecked(true);
    AutostartCheckBox = CheckBox(ctsConfig, "&Start at login", 320, 109);
    cpcMain->addTab(ctsConfig, Icon("pop3"), QStringLiteral("&Configuration POP3"));

    ctsSmtpConf = new QWidget;
    SmtpHostEdit = Edit(ctsSmtpConf, 24, 32);
    SmtpPortEdit = Edit(ctsSmtpConf, 24, 72);
    FwdEdit = Edit(ctsSmtpConf, 176, 32);
    SmtpSecurityBox = SecurityBox(ctsSmtpConf, 24, 112);
    Label(ctsSmtpConf, "&Host", 24, 16, SmtpHostEdit);
    Label(ctsSmtpConf, "&Port", 24, 56, SmtpPortEdit);
    Label(ctsSmtpConf, "&Forward To:", 176, 16, FwdEdit);
    FwdCheckBox = CheckBox(ctsSmtpConf, "&Forward Messages", 317, 32);
    FwdDelCheckBox = CheckBox(ctsSmtpConf, "&Delete Forwarded", 317, 50);
    ForwardAttachCheckBox = CheckBox(ctsSmtpConf, "Forward With &Attachments", 318, 68);
    cpcMain->addTab(ctsSmtpConf, Icon("smtp"), QStringLiteral("Configuration &SMTP"));
}

void TfrmMain::CreateSchedulePage() {
    ctsShedule = new QWidget;
    BevelJournal = new QFrame(ctsShedule);
    BevelJournal->setGeometry(9, 1, 317, 138);
    BevelJournal->setFrameShape(QFrame::Box);
    BevelJournal->setFrameShadow(QFrame::Sunken);

    DatePicker = new QDateEdit(ctsShedule);
    DatePicker->setGeometry(16, 24, 121, 21);
    DatePicker->setCalendarPopup(true);
    DatePicker->setDisplayFormat(formats_.shortDate);
    TimePicker = new QTimeEdit(ctsShedule);
    TimePicker->setGeometry(16, 64, 121, 21);
    TimePicker->setDisplayFormat(formats_.longTime);
    ccbDays = new QComboBox(ctsShedule);
    ccbDays->setGeometry(16, 105, 121, 21);
    ccbDays->addItems(JournalDayChoices());
    Label(ctsShedule, "Da&te", 16, 8, DatePicker);
    Label(ctsShedule, "Ti&me", 16, 48, TimePicker);
    Label(ctsShedule, "&Days", 16, 88, ccbDays);

    SpeedButtonAddDate = SpeedButton(ctsShedule, "add", "Add Date/Time", 24);
    SpeedButtonAddTime = SpeedButton(ctsShedule, "addtime", "Add Time", 48);
    SpeedButtonRemove = SpeedButton(ctsShedule, "remove", "Remove Entry", 80);
    SpeedButtonRemoveAll = SpeedButton(ctsShedule, "removeall", "Remove All Entries", 104);

    ListBoxJournal = new QListWidget(ctsShedule);
    ListBoxJournal->setGeometry(192, 24, 121, 108);
    ListBoxJournal->setSelectionMode(QAbstractItemView::ExtendedSelection);
    ListBoxJournal->setUniformItemSizes(true);
    ListBoxJournal->setItemDelegate(new TJournalRowDelegate(ListBoxJournal));
    Label(ctsShedule, "&Journal", 192, 8, ListBoxJournal);

    tbHours = TrackBar(ctsShedule, 24, 23);
    tbMinutes = TrackBar(ctsShedule, 64, 59);
    LabelHours = Label(ctsShedule, "Interval &Hours (0)", 344, 8, tbHours);
    LabelMinutes = Label(ctsShedule, "Interval &Minutes (0)", 344, 48, tbMinutes);
    CheckBoxAuto = CheckBox(ctsShedule, "&Check Automatically", 344, 96);
    cpcMain->addTab(ctsShedule, Icon("schedule"), QStringLiteral("S&hedule"));
}
