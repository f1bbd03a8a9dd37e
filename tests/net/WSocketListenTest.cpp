// Listening and accepting, adopting handles, datagrams, and holding events with Pause.
#include "net/WSocket.h"

#include "tests/net/WSocketTestSupport.h"

#include <gmock/gmock.h>

#include <memory>

using ::testing::ElementsAre;

namespace {

// A plain blocking client of the socket under test.
class TRawClient {
public:
    TRawClient(int type, std::uint16_t port) : fd_(::socket(AF_INET, type | SOCK_CLOEXEC, 0)) {
        sockaddr_in addr = Loopback(port);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~TRawClient() { ::close(fd_); }
    TRawClient(const TRawClient&) = delete;
    TRawClient& operator=(const TRawClient&) = delete;

    bool Connected() const { return connected_; }
    std::string LocalPort() const {
        sockaddr_in addr{};
        socklen_t length = sizeof addr;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &length);
        return std::to_string(ntohs(addr.sin_port));
    }
    void Send(const std::string& bytes) const {
        ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    std::string Read() const {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 1000) != 1) return {};
        char buffer[256];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
    }

private:
    int fd_;
    bool connected_ = false;
};

// Starts socket listening on 127.0.0.1 with a port the system picks; returns that port.
std::uint16_t ListenOnLoopback(TCustomWSocket& socket, const std::string& proto = "tcp",
                               const std::string& port = "0") {
    socket.SetAddr("127.0.0.1");
    socket.SetPort(port);
    socket.SetProto(proto);
    socket.Listen();
    const std::string bound = socket.GetBoundPort();
    return bound == "error" ? 0 : static_cast<std::uint16_t>(std::stoi(bound));
}

// Reads everything OnDataAvailable offers into received, logging "data" and the close.
void CollectInput(TCustomWSocket& socket, std::string& received, TEventLog& log) {
    socket.OnDataAvailable = [&socket, &received, &log](TObject*, std::uint16_t) {
        char buffer[256];
        const int n = socket.Receive(buffer, sizeof buffer);
        if (n > 0) {
            received.append(buffer, static_cast<size_t>(n));
            log.lines.push_back("data " + std::string(buffer, static_cast<size_t>(n)));
        }
    };
}

class WSocketListen : public EventLoopTest {
protected:
    void TearDown() override {
        adopted.clear();
        listener.Close();
        EXPECT_EQ(winsock::OpenHandleCount(), 0);
    }

    TEventLog log;
    TWSocket listener;
    std::vector<std::unique_ptr<TWSocket>> adopted;
};

TEST_F(WSocketListen, AcceptsTwoQueuedConnectionsOneNotificationEach) {
    log.Attach(listener);
    int available = 0;
    listener.OnSessionAvailable = [&](TObject*, std::uint16_t error) {
        EXPECT_EQ(error, 0);
        ++available;
    };
    const std::uint16_t port = ListenOnLoopback(listener);
    ASSERT_NE(port, 0);
    EXPECT_THAT(log.lines, ElementsAre("state closed>bound", "state bound>listening"));
    EXPECT_EQ(listener.State(), wsListening);

    TRawClient first(SOCK_STREAM, port), second(SOCK_STREAM, port);
    ASSERT_TRUE(first.Connected() && second.Connected());
    ASSERT_TRUE(PumpUntil([&] { return available == 1; }));
    PumpFor(50);
    EXPECT_EQ(available, 1); // the next one is signalled only after an Accept

    for (int expected : {1, 2}) {
        ASSERT_TRUE(PumpUntil([&] { return available == expected; }));
        const TSocket handle = listener.Accept();
        ASSERT_NE(handle, INVALID_SOCKET);
        adopted.push_back(std::make_unique<TWSocket>());
        adopted.back()->Dup(handle);
        EXPECT_EQ(adopted.back()->State(), wsConnected);
    }
    PumpFor(50);
    EXPECT_EQ(available, 2);

    // Each adopted socket talks to its own peer, in both directions.
    EXPECT_EQ(adopted[0]->PeerPort(), first.LocalPort());
    EXPECT_EQ(adopted[1]->PeerPort(), second.LocalPort());
    std::string in0, in1;
    CollectInput(*adopted[0], in0, log);
    CollectInput(*adopted[1], in1, log);
    first.Send("one");
    second.Send("two");
    ASSERT_TRUE(PumpUntil([&] { return in0 == "one" && in1 == "two"; }));
    EXPECT_EQ(adopted[1]->SendText("back"), 4);
    EXPECT_EQ(second.Read(), "back");
}

TEST_F(WSocketListen, MisuseIsReportedWithTheFunctionName) {
    TWSocket plain;
    EXPECT_EQ(SocketError([&] { plain.Accept(); }),
              "Error 10022 in function not a listening socket\r\nInvalid argument");
    plain.SetAddr("127.0.0.1");
    EXPECT_EQ(SocketError([&] { plain.Listen(); }),
              "Error 10022 in function listen: port not assigned\r\nInvalid argument");
    plain.SetPort("0");
    plain.SetProto("");
    EXPECT_EQ(SocketError([&] { plain.Listen(); }),
              "Error 10022 in function listen: protocol not assigned\r\nInvalid argument");
    plain.SetProto("tcp");
    plain.SetAddr(std::string(300, 'a')); // refused before any lookup
    EXPECT_THAT(SocketError([&] { plain.Listen(); }), ::testing::StartsWith("listen: "));
    EXPECT_EQ(plain.State(), wsClosed);

    ListenOnLoopback(listener);
    EXPECT_EQ(SocketError([&] { listener.Listen(); }), "Listen: Socket already in use");
    EXPECT_EQ(listener.State(), wsListening);
}

TEST_F(WSocketListen, AcceptWithNothingPendingReportsWouldBlockAndStaysArmed) {
    int errors = 0, available = 0;
    const std::uint16_t port = ListenOnLoopback(listener);
    EXPECT_EQ(SocketError([&] { listener.Accept(); }),
              "Error 10035 in function Accept\r\nOperation would block");
    listener.OnError = [&](TObject*) { ++errors; };
    listener.OnSessionAvailable = [&](TObject*, std::uint16_t) { ++available; };
    EXPECT_EQ(listener.Accept(), INVALID_SOCKET);
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(listener.LastError(), WSAEWOULDBLOCK);
    EXPECT_EQ(listener.State(), wsListening);

    TRawClient client(SOCK_STREAM, port);
    ASSERT_TRUE(PumpUntil([&] { return available == 1; }));
    const TSocket handle = listener.Accept();
    EXPECT_NE(handle, INVALID_SOCKET);
    EXPECT_EQ(winsock::closesocket(handle), 0); // not adopted: the caller's to close
}

TEST_F(WSocketListen, FailedBindLeavesNoHandle) {
    TRawListener occupant;
    const int handlesBefore = winsock::OpenHandleCount();
    listener.SetAddr("127.0.0.1");
    listener.SetPort(occupant.PortText());
    EXPECT_EQ(SocketError([&] { listener.Listen(); }),
              "Error 10048 in function Bind\r\nAddress already in use");
    EXPECT_EQ(listener.HSocket(), INVALID_SOCKET);
    EXPECT_EQ(winsock::OpenHandleCount(), handlesBefore);

    int errors = 0;
    listener.OnError = [&](TObject*) { ++errors; };
    listener.Listen();
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(listener.LastError(), WSAEADDRINUSE);
    EXPECT_EQ(listener.State(), wsClosed);
    EXPECT_EQ(winsock::OpenHandleCount(), handlesBefore);

    // Nothing is left in use: the next Listen gets a socket of its own.
    listener.SetPort("0");
    listener.Listen();
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(listener.State(), wsListening);
}

TEST_F(WSocketListen, DupOfAnInvalidHandleStopsAfterReporting) {
    TWSocket socket;
    log.Attach(socket);
    for (TSocket handle : {INVALID_SOCKET, TSocket{0}, TSocket{999999}})
        EXPECT_EQ(SocketError([&] { socket.Dup(handle); }),
                  "Error 10022 in function Dup\r\nInvalid argument");
    int errors = 0;
    socket.OnError = [&](TObject*) { ++errors; };
    socket.Dup(INVALID_SOCKET);
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(socket.LastError(), WSAEINVAL);
    EXPECT_EQ(socket.State(), wsClosed);
    EXPECT_TRUE(log.lines.empty()); // never "connected" to nothing
}

TEST_F(WSocketListen, DupReplacesTheCurrentConnection) {
    const std::uint16_t port = ListenOnLoopback(listener);
    listener.OnError = [](TObject*) {}; // Accept before the connection is there
    TRawClient first(SOCK_STREAM, port), second(SOCK_STREAM, port);
    const auto accept = [&] {
        TSocket handle = INVALID_SOCKET;
        EXPECT_TRUE(PumpUntil([&] { return (handle = listener.Accept()) != INVALID_SOCKET; }));
        return handle;
    };
    TWSocket socket;
    socket.Dup(accept());
    EXPECT_EQ(socket.PeerPort(), first.LocalPort());
    log.Attach(socket);
    std::string received;
    CollectInput(socket, received, log);
    socket.Dup(accept());
    EXPECT_THAT(log.lines, ElementsAre("state connected>closed", "state closed>connected"));
    EXPECT_EQ(socket.PeerPort(), second.LocalPort());
    EXPECT_EQ(first.Read(), ""); // the replaced connection was closed
    second.Send("hi");
    ASSERT_TRUE(PumpUntil([&] { return received == "hi"; }));
    EXPECT_EQ(winsock::OpenHandleCount(), 2);
}

TEST_F(WSocketListen, ReuseAddrTakesOverAPortWithClosedConnectionsStillTimingOut) {
    // The closed connections keep the choice of the listener they came from: both runs ask.
    listener.SetReuseAddr(true);
    const std::uint16_t port = ListenOnLoopback(listener);
    {
        TRawClient client(SOCK_STREAM, port);
        TSocket handle = INVALID_SOCKET;
        listener.OnError = [](TObject*) {};
        ASSERT_TRUE(PumpUntil([&] { return (handle = listener.Accept()) != INVALID_SOCKET; }));
        TWSocket served;
        served.SetLingerOnOff(wsLingerOff);
        served.Dup(handle);
        served.Close(); // the server closes first, so its end waits out the timeout
        EXPECT_EQ(client.Read(), "");
    }
    listener.Close();
    for (const bool reuse : {false, true}) {
        SCOPED_TRACE(reuse);
        listener.SetReuseAddr(reuse);
        ListenOnLoopback(listener, "tcp", std::to_string(port));
        EXPECT_EQ(listener.State(), reuse ? wsListening : wsClosed);
        if (!reuse) {
            EXPECT_EQ(listener.LastError(), WSAEADDRINUSE);
        }
    }
}

// ---- Datagrams ----

TEST_F(WSocketListen, DatagramToItselfAndTheTooLongDatagram) {
    log.Attach(listener);
    std::vector<int> sendData;
    listener.OnSendData = [&](TObject*, std::int32_t sent) { sendData.push_back(sent); };
    const std::uint16_t port = ListenOnLoopback(listener, "udp");
    ASSERT_NE(port, 0);
    EXPECT_THAT(log.lines, ElementsAre("state closed>bound", "state bound>listening",
                                       "state listening>connected", "connected 0"));

    int readable = 0;
    listener.OnDataAvailable = [&](TObject*, std::uint16_t) { ++readable; };
    EXPECT_EQ(listener.SendTo(Loopback(port), "hello", 5), 5);
    EXPECT_THAT(sendData, ElementsAre(5));
    ASSERT_TRUE(PumpUntil([&] { return readable > 0; }));
    char buffer[16] = {};
    sockaddr_in from{};
    EXPECT_EQ(listener.ReceiveFrom(buffer, sizeof buffer, from), 5);
    EXPECT_EQ(std::string(buffer, 5), "hello");
    EXPECT_EQ(ntohs(from.sin_port), port);
    EXPECT_EQ(from.sin_addr.s_addr, htonl(INADDR_LOOPBACK));

    // Too long for the buffer: an error with the first part, never a silent cut; the rest of
    // that datagram is gone and the next one is intact.
    const std::string big(100, 'b');
    EXPECT_EQ(listener.SendTo(Loopback(port), big.data(), 100), 100);
    EXPECT_EQ(listener.SendTo(Loopback(port), "next", 4), 4);
    ASSERT_TRUE(PumpUntil([&] { return listener.RcvdCount() > 0; }));
    EXPECT_EQ(listener.ReceiveFrom(buffer, 10, from), -1);
    EXPECT_EQ(listener.LastError(), WSAEMSGSIZE);
    EXPECT_EQ(std::string(buffer, 10), big.substr(0, 10));
    EXPECT_EQ(listener.ReceiveFrom(buffer, sizeof buffer, from), 4);
    EXPECT_EQ(std::string(buffer, 4), "next");

    // The same rule for Receive.
    EXPECT_EQ(listener.SendTo(Loopback(port), big.data(), 100), 100);
    ASSERT_TRUE(PumpUntil([&] { return listener.RcvdCount() > 0; }));
    EXPECT_EQ(listener.Receive(buffer, 10), -1);
    EXPECT_EQ(listener.LastError(), WSAEMSGSIZE);
}

TEST_F(WSocketListen, DatagramPortSharingNeedsReuseAddr) {
    const std::uint16_t port = ListenOnLoopback(listener, "udp");
    for (const bool reuse : {false, true}) {
        SCOPED_TRACE(reuse);
        TWSocket other;
        other.SetReuseAddr(reuse);
        listener.Close();
        listener.SetReuseAddr(reuse);
        ListenOnLoopback(listener, "udp", std::to_string(port));
        int errors = 0;
        other.OnError = [&](TObject*) { ++errors; };
        ListenOnLoopback(other, "udp", std::to_string(port));
        EXPECT_EQ(errors, reuse ? 0 : 1);
        EXPECT_EQ(other.State(), reuse ? wsConnected : wsClosed);
        if (!reuse) {
            EXPECT_EQ(other.LastError(), WSAEADDRINUSE);
        }
    }
}

// The multicast options go through this platform's option numbers. A join is not exercised:
// it would announce the group on the network interface, off the loopback.
TEST_F(WSocketListen, MulticastOptionsUseThePlatformNumbers) {
    TRawListener unused;
    TWSocket sender;
    sender.SetMultiCast(true);
    sender.SetMultiCastIpTTL(7);
    sender.SetAddr("127.0.0.1");
    sender.SetPort(unused.PortText());
    sender.SetProto("udp");
    sender.Connect();
    int ttl = 0;
    socklen_t length = sizeof ttl;
    ASSERT_EQ(::getsockopt(winsock::NativeHandle(sender.HSocket()), IPPROTO_IP, IP_MULTICAST_TTL,
                           &ttl, &length),
              0);
    EXPECT_EQ(ttl, 7);

    // The membership option checks that the group is a multicast address; an unrelated option
    // number would take the request without a word.
    listener.SetMultiCast(true);
    listener.SetMultiCastAddrStr("127.0.0.1");
    EXPECT_EQ(SocketError([&] { ListenOnLoopback(listener, "udp"); }),
              "Error 10022 in function setsockopt(IP MULTICAST)\r\nInvalid argument");
    EXPECT_EQ(listener.HSocket(), INVALID_SOCKET);
}

// ---- Pause and Resume ----

class WSocketPause : public SocketTest {
protected:
    void Open() {
        log.Attach(socket);
        ASSERT_TRUE(ConnectSocket());
        ASSERT_TRUE(PumpUntil([&] { return log.Has("sent 0"); }));
        ASSERT_GE(server.Accept(), 0);
        log.lines.clear();
    }
    // Resumes and waits for the close; the log then tells the order of data and close.
    void ResumeUntilClosed() {
        socket.Resume();
        ASSERT_TRUE(PumpUntil([&] { return log.Has("closed 0"); }));
        EXPECT_EQ(socket.State(), wsClosed);
    }
};

TEST_F(WSocketPause, PeerSendsAndClosesWhilePausedResumeDeliversDataThenClose) {
    Open();
    std::string received;
    CollectInput(socket, received, log);
    socket.Pause();
    server.SendAll("hello");
    server.CloseOrderly();
    PumpFor(100);
    EXPECT_TRUE(log.lines.empty());
    EXPECT_EQ(socket.State(), wsConnected);
    ResumeUntilClosed();
    // Resuming also reports once that sending is possible, as a fresh registration does.
    EXPECT_THAT(log.lines,
                ElementsAre("sent 0", "data hello", "closed 0", "state connected>closed"));
}

TEST_F(WSocketPause, PauseInsideTheHandlerKeepsTheRestOfTheInput) {
    Open();
    bool paused = false;
    socket.OnDataAvailable = [&](TObject*, std::uint16_t) {
        char buffer[5];
        const int n = socket.Receive(buffer, sizeof buffer);
        if (n > 0) log.lines.push_back("data " + std::string(buffer, static_cast<size_t>(n)));
        if (!paused) socket.Pause();
        paused = true;
    };
    server.SendAll("hello world");
    ASSERT_TRUE(PumpUntil([&] { return paused; }));
    // The peer stays open: nothing new arrives from the network to announce the rest.
    PumpFor(100);
    EXPECT_THAT(log.lines, ElementsAre("data hello"));
    socket.Resume();
    ASSERT_TRUE(PumpUntil([&] { return log.lines.size() == 4; }));
    EXPECT_THAT(log.lines, ElementsAre("data hello", "data  worl", "data d", "sent 0"));
}

TEST_F(WSocketPause, CloseSeenWhilePausingIsReplayedOnResume) {
    Open();
    // The handler pauses when it meets the end of the input, inside the close notification.
    socket.OnDataAvailable = [&](TObject*, std::uint16_t) {
        char buffer[64];
        const int n = socket.Receive(buffer, sizeof buffer);
        if (n > 0) log.lines.push_back("data " + std::string(buffer, static_cast<size_t>(n)));
        if (n == 0) socket.Pause();
    };
    server.SendAll("bye");
    server.CloseOrderly();
    ASSERT_TRUE(PumpUntil([&] { return log.Has("data bye"); }));
    PumpFor(100);
    EXPECT_THAT(log.lines, ElementsAre("data bye"));
    EXPECT_EQ(socket.State(), wsConnected);
    socket.OnDataAvailable = nullptr;
    ResumeUntilClosed();
    EXPECT_THAT(log.lines, ElementsAre("data bye", "closed 0", "state connected>closed"));
}

TEST_F(WSocketPause, PausedListenerSignalsTheWaitingConnectionOnResume) {
    int available = 0;
    TWSocket listener;
    listener.OnSessionAvailable = [&](TObject*, std::uint16_t) { ++available; };
    const std::uint16_t port = ListenOnLoopback(listener);
    listener.Pause();
    TRawClient client(SOCK_STREAM, port);
    PumpFor(100);
    EXPECT_EQ(available, 0);
    listener.Resume();
    ASSERT_TRUE(PumpUntil([&] { return available == 1; }));
    EXPECT_EQ(winsock::closesocket(listener.Accept()), 0);
}

} // namespace
