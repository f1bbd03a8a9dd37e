#include "app/ApplicationObject.h"
#include "app/UnitAbout.h"
#include "app/UnitMain.h"
#include "app/UnitMessage.h"

#include <memory>

int main(int argc, char** argv) {
    TApplication app(argc, argv);
    EndOnTerminationSignals();
    // The main window starts hidden, as a tray icon; its creation handler hides it.
    auto mainWindow = std::make_unique<TfrmMain>();
    auto messageWindow = std::make_unique<TfrmMessage>();
    frmMessage = messageWindow.get();
    auto aboutBox = std::make_unique<TfrmAbout>(mainWindow.get());
    frmAbout = aboutBox.get();
    const int result = app.exec();
    // The About box is a child of the main window, which would free it a second time; it
    // goes first. Then the main window, whose destruction handler saves the settings.
    frmAbout = nullptr;
    aboutBox.reset();
    mainWindow.reset();
    frmMessage = nullptr;
    messageWindow.reset();
    return result;
}
