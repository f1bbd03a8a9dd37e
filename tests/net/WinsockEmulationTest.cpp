// The readiness notifications in isolation: each kind is posted once per occasion and
// re-armed only by the call that consumes it, as the socket component relies on.
#include "net/WinsockEmulation.h"

#include "tests/net/WSocketTestSupport.h"

#include <gmock/gmock.h>

#include <sys/ioctl.h>

#include <map>
#include <thread>

using ::testing::ElementsAre;

namespace {

constexpr std::uint32_t kMsg = WM_USER + 1;

class WinsockEmulation : public EventLoopTest {
protected:
    void SetUp() override {
        EventLoopTest::SetUp();
        window = AllocateHWnd([this](TMessage& m) {
            if (static_cast<TSocket>(m.WParam) == handle)
                events.push_back(Name(LoWord(m.LParam)) + " " + std::to_string(HiWord(m.LParam)));
        });
    }
    void TearDown() override {
        if (handle != INVALID_SOCKET) winsock::closesocket(handle);
        DeallocateHWnd(window);
    }
    static std::string Name(std::uint16_t event) {
        const std::map<std::uint16_t, std::string> names = {{FD_READ, "read"},
                                                            {FD_WRITE, "write"},
                                                            {FD_ACCEPT, "accept"},
                                                            {FD_CONNECT, "connect"},
                                                            {FD_CLOSE, "close"}};
        const auto it = names.find(event);
        return it != names.end() ? it->second : "event" + std::to_string(event);
    }
    // A registered, connected client socket on server.
    void ConnectTo(TRawListener& server) {
        handle = winsock::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        ASSERT_NE(handle, INVALID_SOCKET);
        ASSERT_EQ(winsock::WSAAsyncSelect(handle, window, kMsg, 0x3B), 0);
        const int rc = winsock::connect(handle, Loopback(server.Port()));
        EXPECT_TRUE(rc == 0 || winsock::WSAGetLastError() == WSAEWOULDBLOCK);
        ASSERT_TRUE(PumpUntil([&] { return events.size() >= 2; }));
        ASSERT_GE(server.Accept(), 0);
    }

    HWND window = 0;
    TSocket handle = INVALID_SOCKET;
    std::vector<std::string> events;
};

TEST_F(WinsockEmulation, ConnectThenOneWriteAndNothingContinuous) {
    TRawListener server;
    ConnectTo(server);
    PumpFor(50);
    EXPECT_THAT(events, ElementsAre("connect 0", "write 0"));
}

TEST_F(WinsockEmulation, ReadIsReArmedOnlyByRecvAndCloseComesOnceAfterTheData) {
    TRawListener server;
    ConnectTo(server);
    events.clear();
    server.SendAll("0123456789");
    ASSERT_TRUE(PumpUntil([&] { return !events.empty(); }));
    PumpFor(30);
    EXPECT_THAT(events, ElementsAre("read 0")); // data still pending, but no second message

    char buffer[4];
    EXPECT_EQ(winsock::recv(handle, buffer, sizeof buffer, 0), 4);
    ASSERT_TRUE(PumpUntil([&] { return events.size() == 2; }));
    EXPECT_EQ(events[1], "read 0"); // the rest is still there

    server.CloseOrderly();
    char rest[16];
    EXPECT_EQ(winsock::recv(handle, rest, sizeof rest, 0), 6);
    ASSERT_TRUE(PumpUntil([&] { return events.size() == 3; }));
    EXPECT_EQ(events[2], "close 0");
    EXPECT_EQ(winsock::recv(handle, rest, sizeof rest, 0), 0);
    PumpFor(30);
    EXPECT_EQ(events.size(), 3u);
}

// Input is taken from the kernel ahead of small receives; what is held must still count as
// pending and be announced once per receive that leaves some behind, never lost or doubled.
TEST_F(WinsockEmulation, SmallReceivesOfHeldInputCountAsPendingAndAreAnnouncedOnce) {
    TRawListener server;
    ConnectTo(server);
    events.clear();
    std::string sent;
    for (int i = 0; i < 1000; ++i)
        sent += static_cast<char>('a' + i % 26);
    server.SendAll(sent);
    ASSERT_TRUE(PumpUntil([&] { return !events.empty(); }));
    PumpFor(20); // all 1000 bytes are in the kernel by now

    std::string got(10, '\0');
    ASSERT_EQ(winsock::recv(handle, got.data(), 10, 0), 10);
    unsigned long pending = 0;
    ASSERT_EQ(winsock::ioctlsocket_fionread(handle, &pending), 0);
    EXPECT_EQ(pending, 990u);
    char peeked = 0;
    EXPECT_EQ(winsock::recv(handle, &peeked, 1, MSG_PEEK), 1);
    EXPECT_EQ(peeked, sent[10]);
    for (int i = 0; i < 3; ++i) { // receives in a row before the loop runs
        char piece[10];
        ASSERT_EQ(winsock::recv(handle, piece, sizeof piece, 0), 10);
        got.append(piece, 10);
    }
    ASSERT_TRUE(PumpUntil([&] { return events.size() == 2; }));
    PumpFor(20);
    EXPECT_THAT(events, ElementsAre("read 0", "read 0"));

    std::string rest(2000, '\0');
    const int n = winsock::recv(handle, rest.data(), static_cast<int>(rest.size()), 0);
    ASSERT_EQ(n, 960);
    got.append(rest.data(), static_cast<size_t>(n));
    EXPECT_EQ(got, sent);
    server.CloseOrderly();
    ASSERT_TRUE(PumpUntil([&] { return events.size() == 3; }));
    EXPECT_EQ(events[2], "close 0");
}

// A reader of large blocks reads straight from the kernel: a notification only looks at the
// input. The count stays truthful, and a receive that found the kernel empty still has what
// comes later announced, then the close after it.
TEST_F(WinsockEmulation, LargeReceivesReadStraightFromTheKernelAndMissNothing) {
    TRawListener server;
    ConnectTo(server);
    events.clear();
    std::string buffer(70000, '\0');
    const int size = static_cast<int>(buffer.size());
    server.SendAll(std::string(100, 'a'));
    ASSERT_TRUE(PumpUntil([&] { return events.size() == 1; }));
    ASSERT_EQ(winsock::recv(handle, buffer.data(), size, 0), 100);

    server.SendAll(std::string(300, 'b'));
    ASSERT_TRUE(PumpUntil([&] { return events.size() == 2; }));
    int inKernel = 0;
    ASSERT_EQ(::ioctl(winsock::NativeHandle(handle), FIONREAD, &inKernel), 0);
    EXPECT_EQ(inKernel, 300); // the notification took nothing
    ASSERT_EQ(winsock::recv(handle, buffer.data(), size, 0), 300);
    EXPECT_EQ(buffer.substr(0, 300), std::string(300, 'b'));

    server.SendAll(std::string(50, 'c'));
    ASSERT_TRUE(PumpUntil([&] { return events.size() == 3; }));
    unsigned long pending = 0;
    ASSERT_EQ(winsock::ioctlsocket_fionread(handle, &pending), 0);
    EXPECT_EQ(pending, 50u);
    server.CloseOrderly();
    ASSERT_EQ(winsock::recv(handle, buffer.data(), size, 0), 50);
    ASSERT_TRUE(PumpUntil([&] { return events.size() == 4; }));
    EXPECT_THAT(events, ElementsAre("read 0", "read 0", "read 0", "close 0"));
    EXPECT_EQ(winsock::recv(handle, buffer.data(), size, 0), 0);
}

TEST_F(WinsockEmulation, ResetIsReportedAsCloseWithTheError) {
    TRawListener server;
    ConnectTo(server);
    events.clear();
    server.Reset();
    ASSERT_TRUE(PumpUntil([&] { return !events.empty(); }));
    PumpFor(30);
    EXPECT_THAT(events, ElementsAre("close 10054"));
}

TEST_F(WinsockEmulation, WriteComesBackOnlyAfterASendThatCouldNotComplete) {
    TRawListener server;
    ConnectTo(server);
    events.clear();
    EXPECT_EQ(winsock::send(handle, "abc", 3, 0), 3);
    PumpFor(30);
    EXPECT_TRUE(events.empty());

    const std::string block(1 << 20, 'w');
    int sent = 0;
    while (sent >= 0)
        sent = winsock::send(handle, block.data(), static_cast<int>(block.size()), 0);
    EXPECT_EQ(winsock::WSAGetLastError(), WSAEWOULDBLOCK);
    PumpFor(30);
    EXPECT_TRUE(events.empty()); // nobody reads yet
    std::thread reader([&] { server.Read(64u << 20); });
    ASSERT_TRUE(PumpUntil([&] { return !events.empty(); }));
    winsock::closesocket(handle);
    handle = INVALID_SOCKET;
    reader.join();
    EXPECT_THAT(events, ElementsAre("write 0"));
}

TEST_F(WinsockEmulation, RefusedConnectArrivesAsConnectWithTheError) {
    handle = winsock::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_EQ(winsock::WSAAsyncSelect(handle, window, kMsg, 0x3B), 0);
    const auto port = static_cast<std::uint16_t>(std::stoi(UnusedPort()));
    EXPECT_EQ(winsock::connect(handle, Loopback(port)), SOCKET_ERROR);
    EXPECT_EQ(winsock::WSAGetLastError(), WSAEWOULDBLOCK);
    ASSERT_TRUE(PumpUntil([&] { return !events.empty(); }));
    PumpFor(30);
    EXPECT_THAT(events, ElementsAre("connect 10061"));
}

TEST_F(WinsockEmulation, AcceptIsReportedWhileAConnectionWaits) {
    handle = winsock::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr = Loopback();
    ASSERT_EQ(winsock::bind(handle, addr), 0);
    ASSERT_EQ(winsock::getsockname(handle, &addr), 0);
    ASSERT_EQ(winsock::listen(handle, 5), 0);
    ASSERT_EQ(winsock::WSAAsyncSelect(handle, window, kMsg, 0x2B), 0);
    const int client = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_TRUE(PumpUntil([&] { return !events.empty(); }));
    PumpFor(30);
    EXPECT_THAT(events, ElementsAre("accept 0"));
    sockaddr_in peer{};
    const TSocket accepted = winsock::accept(handle, &peer);
    ASSERT_NE(accepted, INVALID_SOCKET);
    EXPECT_EQ(peer.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    EXPECT_NE(accepted, handle);
    winsock::closesocket(accepted);
    ::close(client);
    PumpFor(30);
    EXPECT_EQ(events.size(), 1u);
}

TEST_F(WinsockEmulation, HandlesAreNeverReusedAndUnknownHandlesFail) {
    const TSocket first = winsock::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    winsock::closesocket(first);
    const TSocket second = winsock::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    EXPECT_NE(first, second);
    char byte;
    EXPECT_EQ(winsock::recv(first, &byte, 1, 0), SOCKET_ERROR);
    EXPECT_EQ(winsock::WSAGetLastError(), WSAENOTSOCK);
    EXPECT_EQ(winsock::closesocket(first), SOCKET_ERROR);
    winsock::closesocket(second);
    EXPECT_EQ(winsock::WSACancelAsyncRequest(123456), SOCKET_ERROR);
    EXPECT_EQ(winsock::WSAGetLastError(), WSAEINVAL);
}

} // namespace
