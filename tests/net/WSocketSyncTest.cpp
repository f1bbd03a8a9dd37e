// Synchronous waits: a flag set by a handler, the time limit, termination of the program and
// of the socket, and a socket that goes away while it is waited on.
#include "net/WSocket.h"

#include "tests/net/WSocketTestSupport.h"
#include "tests/support/ScriptedPeer.h"

#include "ui/TickCount.h"

#include <QCoreApplication>
#include <QTimer>

#include <stdexcept>

namespace {

using SyncWait = EventLoopTest;

TEST_F(SyncWait, AFlagSetByAHandlerEndsTheWaitAndRunAndWaitClearsItFirst) {
    ScriptedPeer peer(
        {ScriptedPeer::Pause(100), ScriptedPeer::Send("ready\r\n"), ScriptedPeer::ExpectClosed()});
    TWSocket socket;
    Target(socket, peer.PortText());
    socket.SetTimeLimit(5000);
    std::string received;
    bool flag = true; // stale: must not end the wait
    socket.OnDataAvailable = [&](TObject*, std::uint16_t) {
        received += socket.ReceiveText();
        flag = true;
    };
    EXPECT_EQ(socket.RunAndWait([&] { socket.Connect(); }, flag), 0);
    EXPECT_EQ(received, "ready\r\n");
}

TEST_F(SyncWait, ASilentPeerTimesOutAfterTheLimitWhileTheWaitSleeps) {
    ScriptedPeer peer({ScriptedPeer::ExpectClosed()});
    TWSocket socket;
    Target(socket, peer.PortText());
    socket.Connect();
    ASSERT_TRUE(PumpUntil([&] { return socket.State() == wsConnected; }));
    for (const std::int32_t limit : {300, 1000}) {
        socket.SetTimeLimit(limit);
        bool flag = false;
        const std::uint32_t start = GetTickCount();
        const double cpuBefore = ProcessCpuSeconds();
        EXPECT_EQ(socket.WaitForFlag(flag), WaitTimedOut);
        const double cpu = ProcessCpuSeconds() - cpuBefore;
        const std::uint32_t elapsed = TicksElapsed(start, GetTickCount());
        EXPECT_GE(elapsed, static_cast<std::uint32_t>(limit));
        // Under 2 % of a core over the wait.
        EXPECT_LT(cpu, 0.02 * elapsed / 1000.0) << cpu << " s of CPU in " << elapsed << " ms";
    }
}

TEST_F(SyncWait, TheFlagIsTestedBeforeTheLimitAndTermination) {
    TWSocket socket;
    socket.SetTimeLimit(1);
    bool set = true;
    bool unset = false;
    Application::Terminate();
    EXPECT_EQ(socket.WaitForFlag(set), 0);
    EXPECT_EQ(socket.WaitForFlag(unset), WaitTimedOut);
    Application::ResetTerminated();

    // A socket on its own thread remembers the quit request for good.
    socket.SetTimeLimit(0);
    socket.SetMultiThreaded(true);
    Application::Terminate();
    EXPECT_EQ(socket.WaitForFlag(unset), WaitTimedOut);
    Application::ResetTerminated();
    EXPECT_TRUE(socket.Terminated());
    EXPECT_EQ(socket.WaitForFlag(unset), WaitTimedOut); // no limit, yet it returns at once
    EXPECT_EQ(socket.WaitForFlag(set), 0);
}

TEST_F(SyncWait, RunAndWaitPassesOnTheProcedureFailureAndWaitsWithoutOne) {
    TWSocket socket;
    socket.SetTimeLimit(50);
    bool flag = true;
    EXPECT_THROW(socket.RunAndWait([] { throw std::runtime_error("start failed"); }, flag),
                 std::runtime_error);
    EXPECT_FALSE(flag);
    flag = true;
    EXPECT_EQ(socket.RunAndWait(nullptr, flag), WaitTimedOut);
}

TEST_F(SyncWait, ASocketFreedWhileItWaitsEndsTheWaitSafely) {
    ScriptedPeer peer({ScriptedPeer::Send("bye\r\n"), ScriptedPeer::ExpectClosed()});
    auto* socket = new TWSocket;
    Target(*socket, peer.PortText());
    socket->SetTimeLimit(5000);
    socket->OnDataAvailable = [socket](TObject*, std::uint16_t) { socket->PostFree(); };
    bool flag = false;
    std::uint32_t start = GetTickCount();
    EXPECT_EQ(socket->RunAndWait([socket] { socket->Connect(); }, flag), WaitTimedOut);
    EXPECT_LT(TicksElapsed(start, GetTickCount()), 2000u);

    // The same when the object that holds it goes away.
    struct THolder {
        TWSocket socket;
    };
    auto* holder = new THolder;
    holder->socket.SetTimeLimit(5000);
    QTimer::singleShot(30, [holder] { delete holder; });
    start = GetTickCount();
    EXPECT_EQ(holder->socket.WaitForFlag(flag), WaitTimedOut);
    EXPECT_LT(TicksElapsed(start, GetTickCount()), 2000u);
}

TEST_F(SyncWait, AQuitRequestedInsideAWaitAlsoEndsTheEnclosingLoop) {
    TWSocket socket;
    bool flag = false;
    int result = -1;
    QTimer::singleShot(0, [&] { result = socket.WaitForFlag(flag); });
    QTimer::singleShot(30, [] { Application::Terminate(); });
    QTimer safety; // ends a loop that missed the quit, with a code the test rejects
    safety.setSingleShot(true);
    QObject::connect(&safety, &QTimer::timeout, [] { QCoreApplication::exit(7); });
    safety.start(3000);
    EXPECT_EQ(QCoreApplication::exec(), 0);
    EXPECT_EQ(result, WaitTimedOut);
    Application::ResetTerminated();
}

} // namespace
