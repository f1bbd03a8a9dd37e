#include "app/SettingsLocation.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdlib>

namespace {

struct Case {
    const char* what;
    const char* program;
    bool besideExists;
    bool writable;
    const char* xdg;
    const char* home;
    const char* expected;
};

TEST(SettingsLocation, BesideWinsOtherwiseInstalledProgramsUseTheConfigFolder) {
    const Case cases[] = {
        {"portable copy", "/opt/p/postlark", false, true, "", "/home/r", "/opt/p/postlark.ini"},
        {"file beside an installed program", "/usr/bin/postlark", true, false, "/x", "/home/r",
         "/usr/bin/postlark.ini"},
        {"installed, root may write /usr/bin", "/usr/bin/postlark", false, true, "", "/home/r",
         "/home/r/.config/postlark/postlark.ini"},
        {"read-only folder", "/opt/p/postlark", false, false, "", "/home/r/",
         "/home/r/.config/postlark/postlark.ini"},
        {"XDG_CONFIG_HOME set", "/usr/local/bin/postlark", false, true, "/cfg", "/home/r",
         "/cfg/postlark/postlark.ini"},
        {"relative XDG_CONFIG_HOME is ignored", "/usr/bin/postlark", false, false, "cfg", "/home/r",
         "/home/r/.config/postlark/postlark.ini"},
        {"no usable home at all", "/usr/bin/postlark", false, false, "", "",
         "/usr/bin/postlark.ini"},
        {"a folder merely ending in bin", "/opt/cabin/postlark", false, true, "", "/home/r",
         "/opt/cabin/postlark.ini"},
    };
    for (const Case& c : cases) {
        TSettingsSurroundings s;
        s.ExecutablePath = c.program;
        s.BesideFileExists = c.besideExists;
        s.ProgramFolderWritable = c.writable;
        s.XdgConfigHome = c.xdg;
        s.Home = c.home;
        EXPECT_EQ(ChooseSettingsFile(s), c.expected) << c.what;
    }
}

// The real probe: an installed layout gets its configuration folder made, and a file put
// beside the program takes over from it.
TEST(SettingsLocation, LocatesOnTheRealFileSystemAndMakesTheConfigFolder) {
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    ASSERT_TRUE(QDir(root.path()).mkpath("prefix/bin"));
    const std::string program = root.path().toStdString() + "/prefix/bin/postlark";
    const std::string config = root.path().toStdString() + "/config";
    const char* saved = std::getenv("XDG_CONFIG_HOME");
    const std::string savedValue = saved ? saved : "";
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);

    EXPECT_EQ(LocateSettingsFile(program), config + "/postlark/postlark.ini");
    const QFileInfo folder(QString::fromStdString(config + "/postlark"));
    EXPECT_TRUE(folder.isDir());
    EXPECT_EQ(folder.permissions() & (QFile::ReadGroup | QFile::ReadOther), 0);

    QFile beside(root.path() + "/prefix/bin/postlark.ini");
    ASSERT_TRUE(beside.open(QIODevice::WriteOnly));
    beside.close();
    EXPECT_EQ(LocateSettingsFile(program), program + ".ini");

    const std::string portable = root.path().toStdString() + "/postlark";
    EXPECT_EQ(LocateSettingsFile(portable), portable + ".ini");

    if (saved)
        setenv("XDG_CONFIG_HOME", savedValue.c_str(), 1);
    else
        unsetenv("XDG_CONFIG_HOME");
}

} // namespace
