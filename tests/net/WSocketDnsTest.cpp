// Name lookup: synchronous dotted results, asynchronous names through the worker thread,
// cancellation and destruction while a lookup runs. Only names from /etc/hosts are used, so
// no query leaves the machine.
#include "net/WSocket.h"

#include "tests/net/WSocketTestSupport.h"
#include "tests/support/EventLoopFixture.h"

#include <gmock/gmock.h>

using ::testing::ElementsAre;

namespace {

using WSocketDns = EventLoopTest;

TEST_F(WSocketDns, DottedAddressCompletesBeforeReturning) {
    TWSocket socket;
    TEventLog log;
    log.Attach(socket);
    socket.DnsLookup("10.0.0.1");
    EXPECT_THAT(log.lines, ElementsAre("dns 0"));
    EXPECT_EQ(socket.DnsResult(), "10.0.0.1");
    EXPECT_TRUE(socket.DnsResultList().Empty());
}

TEST_F(WSocketDns, EmptyHostRaisesOrReportsThroughOnError) {
    TWSocket socket;
    TEventLog log;
    log.Attach(socket);
    try {
        socket.DnsLookup("");
        FAIL() << "no exception";
    } catch (const ESocketException& e) {
        EXPECT_STREQ(e.what(), "DNS lookup: invalid host name.");
    }
    EXPECT_TRUE(log.lines.empty());

    socket.OnError = [&](TObject*) { log.lines.push_back("error"); };
    socket.DnsLookup("");
    EXPECT_THAT(log.lines, ElementsAre("error", "dns 10022"));
    log.lines.clear();
    socket.ReverseDnsLookup("");
    EXPECT_THAT(log.lines, ElementsAre("error", "dns 10022"));
}

TEST_F(WSocketDns, HostNameResolvesLaterFromTheLoop) {
    TWSocket socket;
    TEventLog log;
    log.Attach(socket);
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
    TWSocket socket;
    TEventLog log;
    log.Attach(socket);
    socket.ReverseDnsLookup("127.0.0.1");
    ASSERT_TRUE(PumpUntil([&] { return !log.lines.empty(); }));
    EXPECT_THAT(log.lines, ElementsAre("dns 0"));
    EXPECT_FALSE(socket.DnsResult().empty());
    EXPECT_THAT(socket.DnsResultList().Items(), ElementsAre(socket.DnsResult()));
}

TEST_F(WSocketDns, CancelReportsInterruptedAndNothingArrivesLater) {
    TWSocket socket;
    TEventLog log;
    log.Attach(socket);
    socket.DnsLookup("localhost");
    socket.CancelDnsLookup();
    EXPECT_THAT(log.lines, ElementsAre("dns 10004"));
    socket.CancelDnsLookup(); // nothing pending any more
    PumpFor(100);
    EXPECT_THAT(log.lines, ElementsAre("dns 10004"));
    EXPECT_TRUE(socket.DnsResult().empty());
    EXPECT_EQ(winsock::PendingAsyncRequestCount(), 0);
}

TEST_F(WSocketDns, ANewLookupSupersedesThePendingOneSilently) {
    TWSocket socket;
    TEventLog log;
    log.Attach(socket);
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
        auto socket = std::make_unique<TWSocket>();
        socket->OnDnsLookupDone = [&](TObject*, std::uint16_t) { ++events; };
        socket->DnsLookup("localhost");
        if (i % 2 == 1) PumpFor(1); // sometimes the worker has finished and its message is queued
        eventsBeforeDestruction = events;
        socket.reset();
    }
    PumpFor(150);
    EXPECT_EQ(events, eventsBeforeDestruction);
    EXPECT_EQ(winsock::PendingAsyncRequestCount(), 0);
}

TEST_F(WSocketDns, AbortCancelsAPendingLookup) {
    TWSocket socket;
    TEventLog log;
    log.Attach(socket);
    socket.DnsLookup("localhost");
    socket.Abort();
    PumpFor(100);
    EXPECT_THAT(log.lines, ElementsAre("dns 10004"));
}

} // namespace
