// The entry that starts the program at login, in a private XDG_CONFIG_HOME.

#include "app/Autostart.h"
#include "app/UnitMain.h"
#include "ui/ApplicationErrors.h"

#include "tests/app/SettingsFileHolder.h"
#include "tests/support/EventLoopFixture.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QProcess>
#include <QStandardPaths>

#include <filesystem>
#include <fstream>
#include <memory>

namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class Autostart : public WidgetTest, protected SettingsFileHolder {
protected:
    QByteArray oldConfig = qgetenv("XDG_CONFIG_HOME");
    QByteArray oldHome = qgetenv("HOME");
    std::string config = dir.path().toStdString() + "/config";

    void SetUp() override {
        WidgetTest::SetUp();
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(config));
        TfrmMain::OverrideSettingsFile(path);
        SetEscapedExceptionHandler([](std::exception_ptr) { ADD_FAILURE() << "escaped"; });
    }
    void TearDown() override {
        qputenv("XDG_CONFIG_HOME", oldConfig);
        qputenv("HOME", oldHome);
        TfrmMain::OverrideSettingsFile({});
        SetEscapedExceptionHandler(nullptr);
    }
};

TEST_F(Autostart, EntryIsWrittenWhereXdgSaysRemovedAndValid) {
    const std::string entry = config + "/autostart/postlark.desktop";
    EXPECT_EQ(TAutostart::EntryPath(), entry);
    TAutostart::Apply(true, "/opt/post lark/postlark");
    EXPECT_EQ(ReadAll(entry), TAutostart::EntryText("/opt/post lark/postlark"));
    EXPECT_NE(ReadAll(entry).find("\nExec=\"/opt/post lark/postlark\"\n"), std::string::npos);
    if (!QStandardPaths::findExecutable("desktop-file-validate").isEmpty()) {
        QProcess validate;
        validate.start("desktop-file-validate", {QString::fromStdString(entry)});
        ASSERT_TRUE(validate.waitForFinished(10000));
        EXPECT_EQ(validate.exitCode(), 0) << validate.readAllStandardOutput().toStdString();
    }
    TAutostart::Apply(true, "/usr/bin/postlark"); // the program moved
    EXPECT_NE(ReadAll(entry).find("\nExec=/usr/bin/postlark\n"), std::string::npos);
    TAutostart::Apply(false, "");
    EXPECT_FALSE(TAutostart::Exists());
    EXPECT_NO_THROW(TAutostart::Apply(false, ""));

    // Not absolute: ignored for the default below HOME.
    qputenv("XDG_CONFIG_HOME", "relative/config");
    qputenv("HOME", dir.path().toUtf8());
    EXPECT_EQ(TAutostart::EntryPath(),
              dir.path().toStdString() + "/.config/autostart/postlark.desktop");

    // A file where the folder should be: the failure says where.
    std::ofstream(config + "-file") << "x";
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(config + "-file"));
    EXPECT_THROW(TAutostart::Apply(true, "/usr/bin/postlark"), std::runtime_error);
}

TEST(AutostartExec, ReservedCharactersAreQuotedAndEscaped) {
    const struct {
        const char* path;
        const char* exec;
    } cases[] = {
        {"/usr/bin/postlark", "/usr/bin/postlark"},
        {"/home/a b/postlark", "\"/home/a b/postlark\""},
        {"/opt/100%/postlark", "/opt/100%%/postlark"},
        // Inside quotes ", `, $ and \ take a backslash; the string escapes double each one.
        {"/opt/a$b\"c\\d/p", "\"/opt/a\\\\$b\\\\\"c\\\\\\\\d/p\""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TAutostart::ExecArgument(c.path), c.exec) << c.path;
}

TEST_F(Autostart, TheCheckBoxWritesAndRemovesTheEntryAndTheSettingsKeepIt) {
    auto form = std::make_unique<TfrmMain>();
    EXPECT_FALSE(form->AutostartCheckBox->isChecked());
    form->AutostartCheckBox->click();
    ASSERT_TRUE(TAutostart::Exists());
    EXPECT_EQ(ReadAll(TAutostart::EntryPath()),
              TAutostart::EntryText(QCoreApplication::applicationFilePath().toStdString()));
    form.reset();
    EXPECT_NE(FileText().find("\nAutostart=1\n"), std::string::npos);

    // Removed behind the program's back: the next start writes it again.
    std::filesystem::remove(TAutostart::EntryPath());
    form = std::make_unique<TfrmMain>();
    EXPECT_TRUE(form->AutostartCheckBox->isChecked());
    EXPECT_TRUE(TAutostart::Exists());
    form->AutostartCheckBox->click();
    EXPECT_FALSE(TAutostart::Exists());
}

} // namespace
