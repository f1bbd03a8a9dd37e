// Connecting, closing, the state machine, property rules and background exceptions.
#include "net/WSocket.h"

#include "tests/net/WSocketTestSupport.h"
#include "ui/ApplicationErrors.h"

#include <gmock/gmock.h>

#include <netinet/tcp.h>

#include <cerrno>

#include <stdexcept>

using ::testing::ElementsAre;

namespace {

class WSocketConnect : public SocketTest {
protected:
    // Connects client to server and accepts the connection.
    void ConnectClient(TWSocket& client) {
        Target(client, server.PortText());
        client.Connect();
        ASSERT_TRUE(PumpUntil([&] { return client.State() == wsConnected; }));
        ASSERT_GE(server.Accept(), 0);
    }
};

TEST_F(WSocketConnect, RefusedConnectionReportsTheErrorThenClosesItself) {
    log.Attach(socket);
    Target(socket, UnusedPort());
    socket.Connect();
    EXPECT_THAT(log.lines, ElementsAre("state closed>opened", "state opened>connecting"));
    ASSERT_TRUE(PumpUntil([&] { return log.Has("closed 0"); }));
    PumpFor(30);
    EXPECT_THAT(log.lines, ElementsAre("state closed>opened", "state opened>connecting",
                                       "state connecting>connected", "connected 10061",
                                       "state connected>closed", "closed 0"));
    EXPECT_EQ(socket.State(), wsClosed);
    EXPECT_EQ(winsock::OpenHandleCount(), 0);
}

TEST_F(WSocketConnect, ConnectsReportsPeerAndClosesGracefullyOnce) {
    log.Attach(socket);
    ASSERT_TRUE(ConnectSocket());
    EXPECT_TRUE(log.Has("connected 0"));
    EXPECT_EQ(socket.PeerAddr(), "127.0.0.1");
    EXPECT_EQ(socket.PeerPort(), server.PortText());
    EXPECT_NE(socket.GetBoundPort(), "error");
    // The write readiness of the fresh connection arrives as OnDataSent.
    ASSERT_TRUE(PumpUntil([&] { return log.Has("sent 0"); }));

    socket.Close();
    EXPECT_EQ(log.lines.back(), "closed 0");
    EXPECT_EQ(socket.State(), wsClosed);
    EXPECT_EQ(socket.PeerAddr(), "error");
    EXPECT_EQ(socket.PeerPort(), "error");
    socket.Close();
    PumpFor(30);
    EXPECT_EQ(log.Count("closed 0"), 1);
}

TEST_F(WSocketConnect, ConnectPreconditionsAreReported) {
    ASSERT_TRUE(ConnectSocket());
    EXPECT_EQ(SocketError([&] { socket.Connect(); }), "Connect: Socket already in use");
    socket.Close();
    // A close resets the per-connection settings: Addr and Port keep their text, unassigned.
    EXPECT_EQ(socket.Port(), server.PortText());
    EXPECT_EQ(socket.Proto(), "tcp");
    EXPECT_EQ(socket.LocalAddr(), "0.0.0.0");
    EXPECT_EQ(socket.LocalPort(), "0");
    EXPECT_EQ(socket.LingerOnOff(), wsLingerOn);
    EXPECT_EQ(SocketError([&] { socket.Connect(); }), "Connect: No Port Specified");
    socket.SetPort(server.PortText());
    EXPECT_EQ(SocketError([&] { socket.Connect(); }), "Connect: No IP Address Specified");
    socket.SetAddr("127.0.0.1");
    socket.SetPort("nosuchservice");
    EXPECT_EQ(SocketError([&] { socket.Connect(); }),
              "connect: WSocketResolvePort: Cannot convert port 'nosuchservice', Error #11004");
    EXPECT_EQ(socket.State(), wsClosed);
    EXPECT_EQ(winsock::OpenHandleCount(), 0);
}

TEST_F(WSocketConnect, SettersAllowChangesOnlyWhileClosed) {
    socket.SetAddr("  127.0.0.1 ");
    EXPECT_EQ(socket.Addr(), "127.0.0.1");
    socket.SetPort(server.PortText());
    socket.SetLocalAddr("");
    EXPECT_EQ(socket.LocalAddr(), "0.0.0.0");
    socket.Connect();
    ASSERT_TRUE(PumpUntil([&] { return socket.State() == wsConnected; }));

    socket.SetPort(server.PortText()); // the same text: nothing happens, in any state
    socket.SetAddr("127.0.0.1");
    socket.SetProto("tcp");
    const std::pair<std::function<void()>, const char*> refused[] = {
        {[&] { socket.SetPort("25"); }, "Cannot change Port if not closed"},
        {[&] { socket.SetAddr("10.0.0.1"); }, "Cannot change Addr if not closed"},
        {[&] { socket.SetProto("udp"); }, "Cannot change Proto if not closed"},
        {[&] { socket.SetLocalAddr("0.0.0.0"); }, "Cannot change LocalAddr if not closed"},
        {[&] { socket.SetLocalPort("0"); }, "Cannot change LocalPort if not closed"},
        {[&] { socket.SetSendFlags(static_cast<TSocketSendFlags>(7)); }, "Invalid SendFlags"},
    };
    for (const auto& [call, message] : refused)
        EXPECT_EQ(SocketError(call), message);
    EXPECT_EQ(socket.Port(), server.PortText());

    // With OnError assigned the handler runs instead and the setter just returns.
    int errors = 0;
    socket.OnError = [&](TObject* sender) {
        EXPECT_EQ(sender, &socket);
        ++errors;
    };
    socket.SetPort("25");
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(socket.Port(), server.PortText());
}

TEST_F(WSocketConnect, ClosingInsideOnSessionClosedFiresNoSecondEvent) {
    log.Attach(socket);
    socket.OnSessionClosed = [&](TObject*, std::uint16_t error) {
        log.lines.push_back("closed " + std::to_string(error));
        socket.Close();
    };
    ASSERT_TRUE(ConnectSocket());
    ASSERT_GE(server.Accept(), 0);
    server.CloseOrderly();
    ASSERT_TRUE(PumpUntil([&] { return socket.State() == wsClosed; }));
    PumpFor(30);
    EXPECT_EQ(log.Count("closed 0"), 1);
    EXPECT_EQ(winsock::OpenHandleCount(), 0);
}

TEST_F(WSocketConnect, ReconnectingFromOnSessionClosedKeepsTheNewConnection) {
    int sessions = 0;
    socket.OnSessionClosed = [&](TObject*, std::uint16_t) {
        if (++sessions == 1) socket.Connect(); // Addr and Port are still assigned inside the event
    };
    ASSERT_TRUE(ConnectSocket());
    socket.Close();
    EXPECT_EQ(socket.State(), wsConnecting);
    ASSERT_TRUE(PumpUntil([&] { return socket.State() == wsConnected; }));
    EXPECT_EQ(winsock::OpenHandleCount(), 1);
    socket.Close();
    EXPECT_EQ(winsock::OpenHandleCount(), 0);
}

// Whether the first session ends by the peer or by our own Close, a connection opened from
// its OnSessionClosed survives the rest of that close, and its own close is reported once.
TEST_F(WSocketConnect, ASessionOpenedFromOnSessionClosedHasItsCloseReported) {
    for (const bool peerCloses : {true, false}) {
        SCOPED_TRACE(peerCloses ? "peer closes" : "own close");
        TWSocket client;
        std::vector<std::uint16_t> closes;
        client.OnSessionClosed = [&](TObject*, std::uint16_t error) {
            closes.push_back(error);
            if (closes.size() > 1) return;
            client.Close(); // the peer's close is still being handled: nothing reported
            Target(client, server.PortText());
            client.Connect();
        };
        ConnectClient(client);
        if (peerCloses)
            server.CloseOrderly();
        else
            client.Close();
        ASSERT_TRUE(PumpUntil([&] { return !closes.empty() && client.State() == wsConnected; }));
        ASSERT_GE(server.Accept(), 0);
        EXPECT_EQ(closes.size(), 1u);
        server.CloseOrderly();
        ASSERT_TRUE(PumpUntil([&] { return closes.size() == 2; }));
        PumpFor(30);
        EXPECT_THAT(closes, ElementsAre(0, 0));
        EXPECT_EQ(client.State(), wsClosed);
        EXPECT_EQ(winsock::OpenHandleCount(), 0);
    }
}

// A handler noticing the broken connection again (a peer-name query, a send) must not report
// the close a second time.
TEST_F(WSocketConnect, ABrokenConnectionIsReportedClosedOnce) {
    for (const bool query : {true, false}) {
        SCOPED_TRACE(query ? "peer name queried" : "send fails");
        TWSocket client;
        std::vector<std::uint16_t> closes;
        client.OnSessionClosed = [&](TObject*, std::uint16_t error) {
            closes.push_back(error);
            if (query) {
                (void)client.PeerAddr(); // the reset connection has no peer any more
            } else {
                winsock::FailOperationAfter(1, ECONNRESET);
                client.SendText("late");
            }
        };
        ConnectClient(client);
        if (query)
            server.Reset();
        else
            server.CloseOrderly();
        ASSERT_TRUE(PumpUntil([&] { return client.State() == wsClosed; }));
        winsock::FailOperationAfter(0, 0);
        PumpFor(30);
        EXPECT_EQ(closes.size(), 1u);
        EXPECT_EQ(winsock::OpenHandleCount(), 0);
    }
}

// Every system call of Connect after the descriptor exists failing in turn: the socket ends
// closed without a descriptor, and the next Connect works.
TEST_F(WSocketConnect, AConnectFailingHalfWayLeavesTheSocketClosed) {
    int failAt = 2; // the first call creates the descriptor
    for (;; ++failAt) {
        ASSERT_LT(failAt, 50);
        TWSocket client;
        Target(client, server.PortText());
        winsock::FailOperationAfter(failAt, ENOBUFS);
        const std::string raised = SocketError([&] { client.Connect(); });
        const bool fired = !winsock::InjectedFailurePending();
        winsock::FailOperationAfter(0, 0);
        if (raised == "no exception") {
            // The connect itself, or nothing: either way the outcome comes as FD_CONNECT.
            ASSERT_TRUE(PumpUntil([&] { return client.State() != wsConnecting; }));
            if (!fired) break;
            EXPECT_EQ(client.State(), wsClosed) << failAt;
            continue;
        }
        SCOPED_TRACE(raised);
        EXPECT_EQ(client.State(), wsClosed) << failAt;
        EXPECT_EQ(winsock::OpenHandleCount(), 0) << failAt;
        ConnectClient(client);
        server.CloseOrderly();
    }
    EXPECT_GE(failAt, 6) << "options, registration and connect each make a system call";
}

TEST_F(WSocketConnect, ExceptionInOnSessionConnectedGoesToOnBgExceptionAndAborts) {
    for (bool allowClose : {true, false}) {
        TWSocket client;
        std::string seen;
        client.OnSessionConnected = [](TObject*, std::uint16_t) { throw ESocketException("boom"); };
        client.OnBgException = [&](TObject*, Exception& e, bool& canClose) {
            seen = std::string(e.ClassName()) + ":" + e.Message();
            canClose = allowClose;
        };
        Target(client, server.PortText());
        client.Connect();
        ASSERT_TRUE(PumpUntil([&] { return !seen.empty(); }));
        EXPECT_EQ(seen, "ESocketException:boom");
        EXPECT_EQ(client.State(), allowClose ? wsClosed : wsConnected);
        client.Abort();
    }
}

TEST_F(WSocketConnect, ForeignExceptionsGoToTheApplicationHandlerNotOnBgException) {
    std::string escaped;
    bool background = false;
    SetEscapedExceptionHandler([&](std::exception_ptr error) {
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            escaped = e.what();
        }
    });
    socket.OnSessionConnected = [](TObject*, std::uint16_t) {
        throw std::runtime_error("not ours");
    };
    socket.OnBgException = [&](TObject*, Exception&, bool&) { background = true; };
    Target(socket, server.PortText());
    socket.Connect();
    ASSERT_TRUE(PumpUntil([&] { return !escaped.empty(); }));
    SetEscapedExceptionHandler(nullptr);
    EXPECT_EQ(escaped, "not ours");
    EXPECT_FALSE(background);
    EXPECT_EQ(socket.State(), wsConnected);
}

TEST_F(WSocketConnect, TestHookRaisesIntoTheBackgroundHandler) {
    log.Attach(socket);
    ASSERT_TRUE(ConnectSocket());
    PostMessage(socket.Handle(), WM_USER + 6, 0, 0);
    // Without OnBgException the default is to abort the connection.
    ASSERT_TRUE(PumpUntil([&] { return socket.State() == wsClosed; }));
    EXPECT_EQ(log.lines.back(), "closed 0");
}

TEST_F(WSocketConnect, PostFreeAndPostCloseFromInsideHandlers) {
    const int before = WSocketObjectCount();
    auto* client = new TWSocket;
    EXPECT_EQ(WSocketObjectCount(), before + 1);
    bool closed = false;
    client->OnSessionConnected = [&](TObject* sender, std::uint16_t) {
        static_cast<TWSocket*>(sender)->PostClose();
        EXPECT_EQ(static_cast<TWSocket*>(sender)->State(), wsConnected);
    };
    client->OnSessionClosed = [&](TObject* sender, std::uint16_t) {
        closed = true;
        static_cast<TWSocket*>(sender)->PostFree();
    };
    Target(*client, server.PortText());
    client->Connect();
    ASSERT_TRUE(PumpUntil([&] { return closed && WSocketObjectCount() == before; }));
    EXPECT_EQ(winsock::OpenHandleCount(), 0);
}

TEST_F(WSocketConnect, DestroyingAConnectedSocketFiresNothing) {
    {
        TWSocket other;
        Target(other, server.PortText());
        other.Connect();
        ASSERT_TRUE(PumpUntil([&] { return other.State() == wsConnected; }));
        log.Attach(other);
    }
    PumpFor(30);
    EXPECT_THAT(log.lines, ElementsAre("state connected>closed"));
    EXPECT_EQ(winsock::OpenHandleCount(), 0);
}

TEST_F(WSocketConnect, DatagramConnectIsConnectedAtOnce) {
    log.Attach(socket);
    socket.SetAddr("127.0.0.1");
    socket.SetPort(UnusedPort());
    socket.SetProto("udp");
    socket.Connect();
    EXPECT_THAT(log.lines,
                ElementsAre("state closed>opened", "state opened>connected", "connected 0"));
    EXPECT_NE(socket.LocalPort(), "0"); // bound to the port the system chose
    socket.Close();
    EXPECT_EQ(socket.Proto(), "tcp");
}

TEST_F(WSocketConnect, ConnectAppliesTheStreamOptionsAndBindsTheLocalEnd) {
    auto option = [](TSocket handle, int level, int name) {
        int value = 0;
        socklen_t length = sizeof value;
        ::getsockopt(winsock::NativeHandle(handle), level, name, &value, &length);
        return value;
    };
    socket.SetComponentOptions({wsoTcpNoDelay});
    Target(socket, server.PortText());
    socket.SetLocalAddr("127.0.0.1");
    socket.Connect();
    const TSocket handle = socket.HSocket();
    EXPECT_NE(option(handle, SOL_SOCKET, SO_KEEPALIVE), 0);
    EXPECT_NE(option(handle, SOL_SOCKET, SO_REUSEADDR), 0);
    EXPECT_NE(option(handle, IPPROTO_TCP, TCP_NODELAY), 0);
    linger value{};
    socklen_t length = sizeof value;
    ::getsockopt(winsock::NativeHandle(handle), SOL_SOCKET, SO_LINGER, &value, &length);
    EXPECT_EQ(value.l_onoff, 1); // on with 0 seconds: the default
    EXPECT_EQ(value.l_linger, 0);
    EXPECT_NE(socket.LocalPort(), "0"); // the port actually bound
    ASSERT_TRUE(PumpUntil([&] { return socket.State() == wsConnected; }));
    EXPECT_EQ(socket.GetBoundPort(), socket.LocalPort());
    EXPECT_EQ(socket.GetBoundAddr(), "127.0.0.1");
    socket.Close();

    socket.SetComponentOptions({});
    Target(socket, server.PortText());
    socket.SetLingerOnOff(wsLingerNoSet);
    socket.Connect();
    EXPECT_EQ(option(socket.HSocket(), IPPROTO_TCP, TCP_NODELAY), 0);
    ::getsockopt(winsock::NativeHandle(socket.HSocket()), SOL_SOCKET, SO_LINGER, &value, &length);
    EXPECT_EQ(value.l_onoff, 0);
    socket.Abort();
}

TEST_F(WSocketConnect, PumpEventsNotesAQuitRequestWhenMultiThreaded) {
    socket.PumpEvents();
    EXPECT_FALSE(socket.Terminated());
    Application::Terminate();
    socket.PumpEvents();
    EXPECT_FALSE(socket.Terminated()); // the application-wide pump leaves the socket alone
    socket.SetMultiThreaded(true);
    socket.PumpEvents();
    EXPECT_TRUE(socket.Terminated());
    Application::ResetTerminated();
}

} // namespace
