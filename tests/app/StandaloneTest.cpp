// The program copied alone into an empty folder: it starts there, finds its settings beside
// itself rather than in the working directory, checks the demo mailbox on schedule, runs once
// per settings file, and writes its settings back there when ended.

#include "app/IniFiles.h"
#include "app/Journal.h"
#include "app/Settings.h"

#include "tests/support/EventLoopFixture.h"
#include "tests/support/LoopbackPort.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

class Standalone : public WidgetTest {
protected:
    QProcess server;
    QProcess program;
    void TearDown() override {
        for (QProcess* p : {&program, &server})
            if (p->state() != QProcess::NotRunning) {
                p->kill();
                p->waitForFinished(5000);
            }
    }
};

TEST_F(Standalone, CopiedAloneItChecksAndKeepsItsSettingsBesideItself) {
    const QString build = QCoreApplication::applicationDirPath() + "/..";
    const QString built = build + "/app/postlark";
    const QString serverPath = build + "/tools/postlark-demo-server";
    if (!QFile::exists(built) || !QFile::exists(serverPath))
        GTEST_SKIP() << "the program and the demo server are built with this test";

    QTemporaryDir folder, elsewhere;
    const QString exe = folder.path() + "/postlark";
    ASSERT_TRUE(QFile::copy(built, exe));

    const int port = FreeLoopbackPort();
    const int smtpPort = FreeLoopbackPort();
    server.setProcessChannelMode(QProcess::MergedChannels);
    server.start(serverPath,
                 {"--pop3-port", QString::number(port), "--smtp-port", QString::number(smtpPort)});
    ASSERT_TRUE(server.waitForReadyRead(5000));
    QString serverLog = QString::fromUtf8(server.readAll());
    ASSERT_TRUE(serverLog.contains("demo mail server")) << serverLog.toStdString();

    // A check is due a few seconds after the start: a one-time journal entry.
    const std::string ini = (folder.path() + "/postlark.ini").toStdString();
    {
        TIniFile file(ini);
        TOptions options;
        options.Pop3HostName = "127.0.0.1";
        options.Pop3PortNum = std::to_string(port);
        options.Pop3UserName = "demo";
        options.Pop3UserPass = "demo";
        options.CheckAuto = true;
        options.SmtpHostName = "127.0.0.1";
        options.SmtpPortName = std::to_string(smtpPort);
        options.Forward = true;
        options.ForwardTo = "demo@postlark.example";
        WriteOptions(file, options, 1, 0);
        const QDateTime due = QDateTime::currentDateTime().addSecs(3);
        WriteJournal(file, {FormatDateTimeEntry(due, TJournalFormats::System()).toStdString()});
        file.UpdateFile();
    }

    program.setWorkingDirectory(elsewhere.path());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    program.setProcessEnvironment(env);
    program.start(exe, {});
    ASSERT_TRUE(program.waitForStarted(5000));

    ASSERT_TRUE(PumpUntil(
        [&] {
            serverLog += QString::fromUtf8(server.readAll());
            return serverLog.contains("session of demo ended");
        },
        20000))
        << serverLog.toStdString();
    EXPECT_TRUE(serverLog.contains("session of demo ended: 4 messages retrieved, 0 deleted"))
        << serverLog.toStdString();
    // The new messages went on to the sink, from their return path to the forward address.
    EXPECT_TRUE(serverLog.contains("demo SMTP sink: accepted a message"))
        << serverLog.toStdString();
    EXPECT_TRUE(serverLog.contains("<demo@postlark.example>")) << serverLog.toStdString();
    EXPECT_TRUE(QFile::exists(folder.path() + "/postlark.forwarded"));

    // A second start for the same settings file hands over to this copy and ends at once.
    QProcess second;
    second.setWorkingDirectory(elsewhere.path());
    second.setProcessEnvironment(env);
    second.start(exe, {});
    ASSERT_TRUE(second.waitForFinished(10000));
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_EQ(program.state(), QProcess::Running);

    program.terminate(); // as a session logout would
    ASSERT_TRUE(program.waitForFinished(10000));
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    // Written back beside the executable: the used one-time entry is gone, the rest stays.
    const TIniFile written(ini);
    EXPECT_FALSE(written.SectionExists(kJournalSection));
    EXPECT_EQ(ReadOptions(written).Pop3PortNum, std::to_string(port));
    EXPECT_EQ(ReadOptions(written).Pop3UserPass, "demo");
    EXPECT_FALSE(QFile::exists(elsewhere.path() + "/postlark.ini"));
    EXPECT_FALSE(QFile::exists(folder.path() + "/postlark.ini.lock"));
}

} // namespace
