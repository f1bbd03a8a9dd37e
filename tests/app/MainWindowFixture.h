#pragma once

#include "app/UnitMain.h"
#include "ui/ApplicationErrors.h"

#include "tests/support/EventLoopFixture.h"
#include "tests/support/ScriptedPeer.h"

#include <QLineEdit>
#include <QTemporaryDir>

#include <memory>
#include <vector>

// A main window with its settings file in a private folder, logging in as joe/secret to a
// scripted POP3 server on 127.0.0.1. Any exception escaping a handler fails the test.
class MainWindowCheckTest : public WidgetTest {
protected:
    QTemporaryDir dir;
    std::unique_ptr<TfrmMain> form;
    std::unique_ptr<ScriptedPeer> peer;

    void SetUp() override {
        WidgetTest::SetUp();
        TfrmMain::OverrideSettingsFile(dir.path().toStdString() + "/postlark.ini");
        SetEscapedExceptionHandler([](std::exception_ptr) { ADD_FAILURE() << "escaped"; });
        CreateForm();
    }
    void TearDown() override {
        form.reset();
        peer.reset();
        TfrmMain::OverrideSettingsFile({});
        SetEscapedExceptionHandler(nullptr);
    }
    void CreateForm() {
        form = std::make_unique<TfrmMain>();
        form->HostEdit->setText("127.0.0.1");
        form->UserNameEdit->setText("joe");
        form->PassWordEdit->setText("secret");
    }
    // Starts the scripted server and points the window's port field at it.
    void Serve(std::vector<ScriptedPeer::Step> script) {
        peer = std::make_unique<ScriptedPeer>(std::move(script));
        form->PortEdit->setText(QString::fromStdString(peer->PortText()));
    }
};
