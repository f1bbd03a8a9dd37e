// Name lookup: synchronous dotted results, asynchronous names through the worker thread,
// cancellation and destruction while a lookup runs. Only names from /etc/hosts are used, so
// no query leaves the machine.
#include "net/WSocket.h"

#include "tests/net/WSocketTestSupport.h"

#include <gmock/gmock.h>

using ::testing::ElementsAre;

namespace {

class WSocketDns : public SocketTest {
protected:
    void SetUp() override {
        SocketTest::SetUp();
        log.Attach(socket);
    }
};

TEST_F(WSocketDns, DottedAddressCompletesBeforeReturning) {
    socket.DnsLookup("10.0.0.1");
    EXPECT_THAT(log.lines, ElementsAre("dns 0"));
    EXPECT_EQ(socket.DnsResult(), "10.0.0.1");
    EXPECT_TRUE(socket.DnsResultList().Empty());
}

TEST_F(WSocketDns, EmptyHostRaisesOrReportsThroughOnError) {
    EXPECT_EQ(SocketError([&] { socket.DnsLookup(""); }), "DNS lookup: invalid host name.");
    EXPECT_TRUE(log.lines.empty());

    socket.OnError = [&](TObject*) { log.lines.push_back("error"); };
    socket.DnsLookup("");
    EXPECT_THAT(log.lines, ElementsAre("error", "dns 10022"));
    log.lines.clear();
    socket.ReverseDnsLookup("");
    EXPECT_THAT(log.lines, ElementsAre("error", "dns 10022"));
}

TEST_F(WSocketDns, HostNameResolvesLaterFromTheLoop) {
    socket.DnsLookup("localhost");
    EXPECT_TRUE(log.lines.empty());
    ASSERT_TRUE(PumpUntil([&] { return !log.lines.empty(); }));
    EXPECT_THAT(log.lines, ElementsAre("dns 0"));
    EXPECT_EQ(socket.DnsResult(), "127.0.0.1");
    ASSERT_GE(socket.DnsResultList().Count(), 1);
    EXPECT_EQ(socket.DnsResultList()[0], "127.0.0.1");
    EXPECT_EQ(winsock::PendingAsyncRequestCount(), 0);
}

TEST_F(WSocketDns, ReverseLookupGivesTheHostName) {
    socket.ReverseDnsLookup("127.0.0.1");
    ASSERT_TRUE(PumpUntil([&] { return !log.lines.empty(); }));
    EXPECT_THAT(log.lines, ElementsAre("dns 0"));
    EXPECT_FALSE(socket.DnsResult().empty());
    EXPECT_THAT(socket.DnsResultList().Items(), ElementsAre(socket.DnsResult()));
}

// CancelDnsLookup and Abort both end a pending lookup with one interrupted report.
TEST_F(WSocketDns, CancelOrAbortReportsInterruptedAndNothingArrivesLater) {
    for (bool abort : {false, true}) {
        log.lines.clear();
        socket.DnsLookup("localhost");
        abort ? socket.Abort() : socket.CancelDnsLookup();
        EXPECT_THAT(log.lines, ElementsAre("dns 10004"));
        socket.CancelDnsLookup(); // nothing pending any more
        PumpFor(100);
        EXPECT_THAT(log.lines, ElementsAre("dns 10004"));
        EXPECT_TRUE(socket.DnsResult().empty());
        EXPECT_EQ(winsock::PendingAsyncRequestCount(), 0);
    }
}

TEST_F(WSocketDns, ANewLookupSupersedesThePendingOneSilently) {
    socket.DnsLookup("localhost");
    socket.ReverseDnsLookup("127.0.0.1");
    PumpFor(100);
    EXPECT_THAT(log.lines, ElementsAre("dns 0"));
    EXPECT_NE(socket.DnsResult(), "127.0.0.1"); // the reverse result, a name
    socket.DnsLookup("localhost");
    socket.DnsLookup("127.0.0.1");
    PumpFor(100);
    EXPECT_THAT(log.lines, ElementsAre("dns 0", "dns 0"));
    EXPECT_EQ(winsock::PendingAsyncRequestCount(), 0);
}

TEST_F(WSocketDns, DestroyingTheSocketWhileItsLookupRunsDropsTheResult) {
    int events = 0;
    int eventsBeforeDestruction = 0;
    for (int i = 0; i < 20; ++i) {
        auto doomed = std::make_unique<TWSocket>();
        doomed->OnDnsLookupDone = [&](TObject*, std::uint16_t) { ++events; };
        doomed->DnsLookup("localhost");
        if (i % 2 == 1) PumpFor(1); // sometimes the worker has finished and its message is queued
        eventsBeforeDestruction = events;
        doomed.reset();
    }
    PumpFor(150);
    EXPECT_EQ(events, eventsBeforeDestruction);
    EXPECT_EQ(winsock::PendingAsyncRequestCount(), 0);
}

} // namespace
