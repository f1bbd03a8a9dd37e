#include "app/Settings.h"
#include "app/IniFiles.h"

#include "tests/app/SettingsFileHolder.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#include <fstream>
#include <sstream>

#include <csignal>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class SettingsFile : public ::testing::Test, protected SettingsFileHolder {};

TEST_F(SettingsFile, MissingFileGivesTheFirstStartDefaults) {
    const TOptions o = ReadOptions(TIniFile(path));
    EXPECT_EQ(o.Pop3HostName, "");
    EXPECT_EQ(o.Pop3PortNum, "");
    EXPECT_EQ(o.Pop3UserPass, "");
    EXPECT_EQ(o.SmtpPortName, "smtp");
    EXPECT_FALSE(o.CheckAuto || o.DeleteOnServer || o.Forward || o.DeleteForwarded ||
                 o.PrintOnReceive || o.UseUIDL);
    EXPECT_EQ(o.IntervalHours, 0);
    EXPECT_EQ(o.IntervalMinutes, 1);
    EXPECT_TRUE(ReadJournal(TIniFile(path)).empty());
}

TEST_F(SettingsFile, IntervalIsStoredInMinutesAndSplitOnReading) {
    TIniFile ini(path);
    WriteOptions(ini, TOptions{}, 1, 30);
    ini.UpdateFile();
    EXPECT_NE(FileText().find("TimeInterval=90\n"), std::string::npos);
    TOptions o = ReadOptions(TIniFile(path));
    EXPECT_EQ(o.IntervalHours, 1);
    EXPECT_EQ(o.IntervalMinutes, 30);

    WriteFile("[Options]\nTimeInterval=1500\n");
    o = ReadOptions(TIniFile(path));
    EXPECT_EQ(o.IntervalHours, 25); // the hours bar clamps this to 23
    EXPECT_EQ(o.IntervalMinutes, 0);

    WriteFile("[options]\n  timeinterval = 0x5A \n");
    o = ReadOptions(TIniFile(path));
    EXPECT_EQ(o.IntervalHours, 1);
    EXPECT_EQ(o.IntervalMinutes, 30);

    WriteFile("[Options]\nTimeInterval=ninety\n");
    o = ReadOptions(TIniFile(path));
    EXPECT_EQ(o.IntervalHours, 0);
    EXPECT_EQ(o.IntervalMinutes, 1);
}

TEST(IniIntegers, DecimalHexAndRejects) {
    int v = 0;
    EXPECT_TRUE(TryStrToInt("-17", v) && v == -17);
    EXPECT_TRUE(TryStrToInt("0X1f", v) && v == 31);
    EXPECT_TRUE(TryStrToInt("0xFFFFFFFF", v) && v == -1);
    EXPECT_TRUE(TryStrToInt("-2147483648", v) && v == INT32_MIN);
    for (const char* bad : {"", "-", "0x", "12a", "2147483648", "0x123456789", "+5", " 5"})
        EXPECT_FALSE(TryStrToInt(bad, v)) << bad;
}

TEST_F(SettingsFile, BooleansAreOneAndZeroAndAnyOtherIntegerIsTrue) {
    TOptions o;
    o.UseUIDL = true;
    TIniFile ini(path);
    WriteOptions(ini, o, 0, 1);
    ini.UpdateFile();
    EXPECT_NE(FileText().find("UseUIDL=1\n"), std::string::npos);
    EXPECT_NE(FileText().find("Forward=0\n"), std::string::npos);
    WriteFile("[Options]\nForward=-3\nUseUIDL=yes\nCheckAuto=0x0\n");
    o = ReadOptions(TIniFile(path));
    EXPECT_TRUE(o.Forward);
    EXPECT_FALSE(o.UseUIDL);
    EXPECT_FALSE(o.CheckAuto);
}

TEST_F(SettingsFile, PasswordIsScrambledAndComesBack) {
    for (const std::string password : {"s3cret pass", "", "äöü€", " edge "}) {
        TOptions o;
        o.Pop3UserPass = password;
        TIniFile ini(path);
        WriteOptions(ini, o, 0, 1);
        ini.UpdateFile();
        if (!password.empty())
            EXPECT_EQ(FileText().find(password), std::string::npos) << "stored in clear";
        else
            EXPECT_NE(FileText().find("Pop3UserPass=\n"), std::string::npos);
        EXPECT_EQ(ReadOptions(TIniFile(path)).Pop3UserPass, password);
    }
    EXPECT_EQ(ScrambleText(ScrambleText("abc")), "abc");
    // No printable ASCII character turns into a blank, a line break or a zero byte.
    for (int c = 0x20; c < 0x7F; ++c) {
        const unsigned char s =
            static_cast<unsigned char>(ScrambleText(std::string(1, char(c)))[0]);
        EXPECT_GE(s, 0x80) << c;
    }
}

TEST_F(SettingsFile, JournalKeysAreRenumberedAndAnEmptyJournalRemovesTheSection) {
    WriteFile("[Journal]\n7=old\n[Options]\nPop3HostName=h\n");
    TIniFile ini(path);
    WriteJournal(ini, {"a", "b", "c"});
    ini.UpdateFile();
    EXPECT_EQ(TIniFile(path).ReadSection("Journal"), (std::vector<std::string>{"0", "1", "2"}));
    EXPECT_EQ(ReadJournal(TIniFile(path)), (std::vector<std::string>{"a", "b", "c"}));
    WriteJournal(ini, {});
    ini.UpdateFile();
    EXPECT_FALSE(TIniFile(path).SectionExists("Journal"));
    EXPECT_EQ(FileText().find("Journal"), std::string::npos);
    EXPECT_EQ(TIniFile(path).ReadString("Options", "Pop3HostName", ""), "h");
}

TEST_F(SettingsFile, LongValuesReadBackCutAndLineBreaksCannotInjectKeys) {
    TIniFile ini(path);
    ini.WriteString("Options", "ForwardTo", std::string(3000, 'x'));
    ini.UpdateFile();
    EXPECT_EQ(TIniFile(path).ReadString("Options", "ForwardTo", ""), std::string(2047, 'x'));

    ini.WriteString("Options", "Pop3HostName", "host\r\n[Evil]\nPop3PortNum=1");
    ini.UpdateFile();
    const TIniFile back(path);
    EXPECT_EQ(back.ReadString("Options", "Pop3HostName", ""), "host");
    EXPECT_FALSE(back.SectionExists("Evil"));
    EXPECT_EQ(back.ReadString("Options", "Pop3PortNum", "none"), "none");
}

TEST_F(SettingsFile, BlanksAndQuotesSurviveARoundTrip) {
    TIniFile ini(path);
    for (const std::string value : {" lead", "trail ", "\"quoted\"", "'single'", "a=b;c"}) {
        ini.WriteString("Options", "ForwardTo", value);
        ini.UpdateFile();
        EXPECT_EQ(TIniFile(path).ReadString("Options", "ForwardTo", ""), value);
    }
}

TEST_F(SettingsFile, HandWrittenFileKeepsItsOtherLines) {
    WriteFile("; my settings\r\n[Options]\r\nPop3HostName = mail.example.org \r\nCustom=keep\r\n");
    TIniFile ini(path);
    EXPECT_EQ(ini.ReadString("OPTIONS", "pop3hostname", ""), "mail.example.org");
    ini.WriteString("Options", "Pop3PortNum", "110");
    ini.UpdateFile();
    const std::string text = FileText();
    EXPECT_NE(text.find("; my settings"), std::string::npos);
    EXPECT_NE(text.find("Custom=keep"), std::string::npos);
    EXPECT_EQ(TIniFile(path).ReadString("Options", "Pop3PortNum", ""), "110");
}

TEST_F(SettingsFile, UnwritablePlaceRaisesAndLeavesNothingBehind) {
    // Root ignores a folder's permissions, so the read-only place is then one the kernel refuses.
    std::string place = dir.path().toStdString() + "/locked";
    if (geteuid() == 0) {
        place = "/proc/self";
    } else {
        ASSERT_EQ(mkdir(place.c_str(), 0555), 0);
    }
    const std::string file = place + "/postlark.ini";
    TIniFile ini(file);
    WriteOptions(ini, TOptions{}, 0, 1);
    try {
        ini.UpdateFile();
        FAIL() << "no error";
    } catch (const EIniFileException& e) {
        EXPECT_EQ(e.Message(), "Unable to write to " + file);
    }
    EXPECT_EQ(TIniFile(file).ReadString("Options", "Pop3HostName", "missing"), "missing");

    // A settings file marked read-only stays untouched, whoever runs the program.
    WriteFile("[Options]\nPop3HostName=old\n");
    chmod(path.c_str(), 0444);
    TIniFile readOnly(path);
    readOnly.WriteString("Options", "Pop3HostName", "new");
    EXPECT_THROW(readOnly.UpdateFile(), EIniFileException);
    EXPECT_EQ(TIniFile(path).ReadString("Options", "Pop3HostName", ""), "old");
}

TEST_F(SettingsFile, NothingReachesTheDiskBeforeTheFileIsUpdated) {
    WriteFile("[Options]\nPop3HostName=old\n");
    TIniFile ini(path);
    WriteOptions(ini, TOptions{}, 0, 1);
    WriteJournal(ini, {"a", "b"});
    EXPECT_EQ(FileText(), "[Options]\nPop3HostName=old\n");
    ini.UpdateFile();
    EXPECT_EQ(ReadJournal(TIniFile(path)), (std::vector<std::string>{"a", "b"}));
}

mode_t Mode(const std::string& file) {
    struct stat info {};
    return ::lstat(file.c_str(), &info) == 0 ? info.st_mode : 0;
}

TEST_F(SettingsFile, SavingKeepsPermissionsAndLinksAndANewFileIsTheOwnersOnly) {
    TIniFile fresh(path);
    fresh.WriteString("Options", "Pop3UserPass", ScrambleText("secret"));
    fresh.UpdateFile();
    EXPECT_EQ(Mode(path) & 07777, 0600u);

    chmod(path.c_str(), 0640);
    TIniFile(path).UpdateFile();
    EXPECT_EQ(Mode(path) & 07777, 0640u);

    // The settings file is a link into another folder: the link stays, its target is written.
    QTemporaryDir elsewhere;
    const std::string target = elsewhere.path().toStdString() + "/real.ini";
    ASSERT_EQ(::rename(path.c_str(), target.c_str()), 0);
    ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
    TIniFile linked(path);
    linked.WriteString("Options", "Pop3HostName", "through the link");
    linked.UpdateFile();
    EXPECT_TRUE(S_ISLNK(Mode(path)));
    EXPECT_EQ(Mode(target) & 07777, 0640u);
    EXPECT_EQ(TIniFile(target).ReadString("Options", "Pop3HostName", ""), "through the link");
}

TEST_F(SettingsFile, AWriteThatFailsHalfwayLeavesTheOldFileWhole) {
    const std::string old = "[Options]\nPop3HostName=old\n";
    WriteFile(old);
    TIniFile ini(path);
    std::vector<std::string> entries(2000, std::string(40, 'j'));
    WriteJournal(ini, entries);
    // A file size limit makes the write fail part way through, as a full disk would.
    struct rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = saved;
    limit.rlim_cur = 16384;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    EXPECT_THROW(ini.UpdateFile(), EIniFileException);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(FileText(), old);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{"postlark.ini"});
}

TEST(SettingsFileName, BesideTheExecutableWithIniExtension) {
    EXPECT_EQ(SettingsFileFor("/opt/postlark/postlark"), "/opt/postlark/postlark.ini");
    EXPECT_EQ(SettingsFileFor("/opt/p.d/postlark.bin"), "/opt/p.d/postlark.ini");
    EXPECT_EQ(SettingsFileFor("/opt/p.d/postlark"), "/opt/p.d/postlark.ini");
}

} // namespace
