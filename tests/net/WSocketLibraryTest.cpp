// Address, port and protocol resolution, the send-queue block and the live-object count.
#include "net/WSocketLibrary.h"
#include "net/WSockBuf.h"
#include "net/WSocket.h"

#include "tests/net/WSocketTestSupport.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(IsDottedIP, AcceptsFourGroupsUpTo255WithSurroundingSpaces) {
    const std::pair<const char*, bool> cases[] = {
        {"1.2.3.4", true},    {" 1.2.3.4 ", true},  {"255.255.255.255", true},
        {"0.0.0.0", true},    {"1.2.3", false},     {".1.2.3", false},
        {"1.2.3.256", false}, {"1..2.3", false},    {"1.2.3.4x", false},
        {"1.2.3.4.5", false}, {"1.2.3.", false},    {"256.1.2.3", false},
        {"", false},          {"1.2.3.4 x", false}, {"99999999999999999999.1.2.3", false},
        {"1.2.3.0004", true},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(IsDottedIP(text), expected) << '"' << text << '"';
}

TEST(WSocketResolvePort, NumbersNamesAndFailures) {
    EXPECT_EQ(WSocketResolvePort("110abc", "tcp"), 110);
    EXPECT_EQ(WSocketResolvePort("0", "tcp"), 0);
    EXPECT_EQ(WSocketResolvePort("pop3", "tcp"), 110);
    EXPECT_EQ(WSocketResolvePort("smtp", "tcp"), 25);
    EXPECT_EQ(WSocketResolvePort("http", " tcp "), 80);
    // A leading space means a service name: the trimmed "110" is looked up as a name.
    EXPECT_EQ(SocketError([] { WSocketResolvePort(" 110", "tcp"); }),
              "WSocketResolvePort: Cannot convert port ' 110', Error #11004");
    EXPECT_EQ(SocketError([] { WSocketResolvePort("", "tcp"); }),
              "WSocketResolvePort: Invalid Port.");
    EXPECT_EQ(SocketError([] { WSocketResolvePort(std::string(32, '1'), "tcp"); }),
              "WSocketResolvePort: Invalid Port.");
    EXPECT_EQ(SocketError([] { WSocketResolvePort("25", ""); }),
              "WSocketResolvePort: Invalid Proto.");
    // Past 65535 it is no port at all rather than a truncated one.
    EXPECT_EQ(SocketError([] { WSocketResolvePort("70000", "tcp"); }),
              "WSocketResolvePort: Invalid Port.");
}

TEST(WSocketResolveProto, NumbersAndNames) {
    EXPECT_EQ(WSocketResolveProto("tcp"), 6);
    EXPECT_EQ(WSocketResolveProto(" udp"), 17);
    EXPECT_EQ(WSocketResolveProto("17x"), 17);
    EXPECT_EQ(SocketError([] { WSocketResolveProto(""); }),
              "WSocketResolveProto: Invalid Protocol.");
    EXPECT_EQ(SocketError([] { WSocketResolveProto("bogus"); }),
              "WSocketResolveProto: Cannot convert protocol 'bogus', Error #11004");
}

TEST(WSocketResolveHost, DottedBroadcastNamesAndTheLocalName) {
    EXPECT_EQ(WSocketResolveHost("255.255.255.255"), 0xFFFFFFFFu);
    EXPECT_EQ(WSocketResolveHost(" 10.1.2.3 "), inet_addr("10.1.2.3"));
    EXPECT_EQ(WSocketResolveHost("localhost"), htonl(INADDR_LOOPBACK));
    EXPECT_EQ(SocketError([] { WSocketResolveHost(""); }),
              "WSocketResolveHost: '' Invalid Hostname.");
    EXPECT_EQ(SocketError([] { WSocketResolveHost(std::string(257, 'a')); }),
              "WSocketResolveHost: '" + std::string(257, 'a') + "' Invalid Hostname.");
    EXPECT_FALSE(GetLocalHostName().empty());
}

TEST(TBuffer, WritePeekRemoveAndReuse) {
    EXPECT_EQ(TBuffer(0).Size(), 1514);
    EXPECT_EQ(TBuffer(-5).Size(), 1514);
    TBuffer block(10);
    std::int32_t len = -1;
    EXPECT_EQ(block.Peek(len), nullptr);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(block.Write("abcdefgh", 8), 8);
    EXPECT_EQ(block.Write("XYZ", 3), 2); // only what fits
    EXPECT_EQ(block.Write("Q", 1), 0);
    const char* data = block.Peek(len);
    ASSERT_EQ(len, 10);
    EXPECT_EQ(std::string(data, 10), "abcdefghXY");
    EXPECT_EQ(block.Remove(4), 4);
    data = block.Peek(len);
    EXPECT_EQ(std::string(data, static_cast<size_t>(len)), "efghXY");
    EXPECT_EQ(block.Remove(100), 6);
    EXPECT_EQ(block.WrCount(), 0); // drained: starts over
    EXPECT_EQ(block.RdCount(), 0);
    EXPECT_EQ(block.Write("new", 3), 3);
    data = block.Peek(len);
    EXPECT_EQ(std::string(data, static_cast<size_t>(len)), "new");
    EXPECT_EQ(block.Remove(-1), 0);
}

using WSocketObjects = EventLoopTest;

TEST_F(WSocketObjects, CountFollowsCreationAndDestructionAndEndpointsWork) {
    const int before = WSocketObjectCount();
    {
        TWSocket a;
        TWSocket b;
        EXPECT_EQ(WSocketObjectCount(), before + 2);
    }
    EXPECT_EQ(WSocketObjectCount(), before);

    int seen = 0;
    HWND window = AllocateNotifyWindow([&](TMessage& msg) { seen = static_cast<int>(msg.Msg); });
    PostMessage(window, WM_USER + 1, 0, 0);
    ASSERT_TRUE(PumpUntil([&] { return seen == static_cast<int>(WM_USER + 1); }));
    ReleaseNotifyWindow(window);
    EXPECT_FALSE(IsWindow(window));
}

} // namespace
