#include "app/ApplicationObject.h"
#include "app/SingleInstance.h"
#include "app/UnitAbout.h"
#include "app/UnitMain.h"
#include "app/UnitMessage.h"

#include <QFile>

#include <cstdio>
#include <memory>

int main(int argc, char** argv) {
    TApplication app(argc, argv);
    // A second start for the same settings file brings the running copy forward and ends.
    TSingleInstance instance(QFile::decodeName(TfrmMain::SettingsFileName().c_str()));
    if (!instance.Claim()) {
        if (instance.CallFirstCopy()) return 0;
        std::fprintf(stderr, "postlark: another copy holds %s.lock but does not answer\n",
                     TfrmMain::SettingsFileName().c_str());
        return 1;
    }
    EndOnTerminationSignals();
    // The main window starts hidden, as a tray icon; its creation handler hides it.
    auto mainWindow = std::make_unique<TfrmMain>();
    instance.OnShowRequest = [window = mainWindow.get()] { window->ShowMainWindow(true); };
    auto messageWindow = std::make_unique<TfrmMessage>();
    frmMessage = messageWindow.get();
    auto aboutBox = std::make_unique<TfrmAbout>(mainWindow.get());
    frmAbout = aboutBox.get();
    const int result = app.exec();
    instance.OnShowRequest = nullptr;
    // The About box is a child of the main window, which would free it a second time; it
    // goes first. Then the main window, whose destruction handler saves the settings.
    frmAbout = nullptr;
    aboutBox.reset();
    mainWindow.reset();
    frmMessage = nullptr;
    messageWindow.reset();
    return result;
}
