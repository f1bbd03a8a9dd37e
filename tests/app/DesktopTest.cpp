// How the program's windows meet the desktop: focus, captions, room for their texts.

#include "app/ApplicationObject.h"
#include "app/UnitAbout.h"
#include "app/UnitMain.h"
#include "app/UnitMessage.h"
#include "ui/ApplicationErrors.h"

#include "tests/support/EventLoopFixture.h"

#include <QAbstractButton>
#include <QApplication>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>

#include <memory>
#include <utility>
#include <vector>

namespace {

class Desktop : public WidgetTest {
protected:
    QTemporaryDir dir;
    std::unique_ptr<TfrmMain> form;

    void SetUp() override {
        WidgetTest::SetUp();
        TfrmMain::OverrideSettingsFile(dir.path().toStdString() + "/postlark.ini");
        SetEscapedExceptionHandler([](std::exception_ptr) { ADD_FAILURE() << "escaped"; });
        form = std::make_unique<TfrmMain>();
    }
    void TearDown() override {
        form.reset();
        TfrmMain::OverrideSettingsFile({});
        SetEscapedExceptionHandler(nullptr);
    }
};

TEST_F(Desktop, TheEndOfACheckShowsTheWindowButLeavesTheKeyboardWhereItWas) {
    QWidget typing; // the window the user is working in
    typing.show();
    typing.activateWindow();
    ASSERT_TRUE(PumpUntil([&] { return QApplication::activeWindow() == &typing; }));
    for (int check = 0; check < 2; ++check) { // from the tray, then already on screen
        form->Pop3ClientSessionClosed(nullptr, 0);
        PumpFor(50);
        EXPECT_TRUE(form->isVisible() && !form->isMinimized());
        EXPECT_EQ(QApplication::activeWindow(), &typing) << "check " << check;
    }
    // A click on the tray icon is the user's own wish for the window.
    form->ShowMainWindow(true);
    EXPECT_TRUE(PumpUntil([&] { return QApplication::activeWindow() == form.get(); }));
}

TEST_F(Desktop, TheMessageWindowIsCalledMessageAndNothingMore) {
    SetApplicationIdentity();
    TfrmMessage window;
    EXPECT_EQ(window.windowTitle(), "Message");
    // Qt appends an explicitly set display name to every title on X11 and Wayland; unset, the
    // display name follows the application name.
    QCoreApplication::setApplicationName("probe");
    EXPECT_EQ(QGuiApplication::applicationDisplayName(), "probe");
    QCoreApplication::setApplicationName("postlark");
}

TEST_F(Desktop, TheAboutBoxHasRoomForItsTexts) {
    TfrmAbout about;
    about.show();
    PumpFor(20);
    for (QWidget* part : std::initializer_list<QWidget*>{about.lblApp, about.lblCopyright,
                                                         about.cmdOK, about.imgIcon}) {
        EXPECT_LE(part->sizeHint().width(), part->width()) << part->metaObject()->className();
        EXPECT_TRUE(about.rect().contains(part->geometry()))
            << qPrintable(part->objectName()) << " " << part->geometry().right();
    }
    EXPECT_GE(about.width(), 251);
    EXPECT_GE(about.height(), 93);
    EXPECT_EQ(about.windowTitle(), "About Postlark 2.0.1");
}

// A 200 % screen asks each icon for twice its size; an icon without those pixels would be
// drawn enlarged and blurred.
TEST_F(Desktop, EveryIconHasPixelsForTwiceItsSize) {
    const QIcon program = ApplicationIcon();
    for (int size : {16, 24, 32, 64, 128})
        EXPECT_EQ(program.pixmap(QSize(size, size), 2.0).size(), QSize(2 * size, 2 * size)) << size;
    std::vector<std::pair<QString, QIcon>> icons;
    for (int i = 0; i < form->cpcMain->count(); ++i)
        icons.emplace_back(form->cpcMain->tabText(i), form->cpcMain->tabIcon(i));
    for (QAbstractButton* button : form->findChildren<QAbstractButton*>())
        if (!button->icon().isNull()) icons.emplace_back(button->text(), button->icon());
    EXPECT_GE(icons.size(), 14u);
    for (const auto& [name, icon] : icons)
        EXPECT_EQ(icon.pixmap(QSize(16, 16), 2.0).size(), QSize(32, 32)) << qPrintable(name);
}

} // namespace
