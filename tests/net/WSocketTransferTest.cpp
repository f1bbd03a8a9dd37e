// Sending and receiving: the send queue, OnDataSent timing, the receive loop, peer close and
// reset.
#include "net/WSocket.h"

#include "tests/net/WSocketTestSupport.h"

#include <gmock/gmock.h>

#include <chrono>
#include <thread>

using ::testing::ElementsAre;

namespace {

class WSocketTransfer : public SocketTest {
protected:
    // Connects socket to server and accepts; the fresh connection's OnDataSent has passed.
    void Open() {
        log.Attach(socket);
        ASSERT_TRUE(ConnectSocket());
        ASSERT_TRUE(PumpUntil([&] { return log.Has("sent 0"); }));
        ASSERT_GE(server.Accept(), 0);
        log.lines.clear();
    }
};

TEST_F(WSocketTransfer, SendQueuesInBlocksAndReportsDataSentFromTheLoop) {
    Open();
    std::vector<int> chunks;
    socket.OnSendData = [&](TObject*, std::int32_t sent) { chunks.push_back(sent); };
    const std::string data(5000, 'x');
    EXPECT_EQ(socket.Send(data.data(), static_cast<int>(data.size())), 5000);
    EXPECT_THAT(chunks, ElementsAre(1460, 1460, 1460, 620));
    EXPECT_TRUE(log.lines.empty()); // not from inside Send
    ASSERT_TRUE(PumpUntil([&] { return log.Has("sent 0"); }));
    PumpFor(30);
    EXPECT_EQ(log.Count("sent 0"), 1);
    EXPECT_EQ(server.Read(5000), data);
    EXPECT_EQ(socket.Send(nullptr, 0), 0);
    EXPECT_EQ(socket.SendText(""), 0);
    ASSERT_TRUE(PumpUntil([&] { return log.Count("sent 0") == 2; }));
}

TEST_F(WSocketTransfer, SendWhileConnectingClosesAndRaises) {
    log.Attach(socket);
    Target(socket, server.PortText());
    socket.Connect();
    ASSERT_EQ(socket.State(), wsConnecting);
    EXPECT_EQ(SocketError([&] { socket.SendText("x"); }),
              "Error 10057 in function Send\r\nSocket is not connected");
    EXPECT_EQ(socket.State(), wsClosed);
    EXPECT_EQ(socket.LastError(), 10057);
    EXPECT_THAT(log.lines, ElementsAre("state closed>opened", "state opened>connecting",
                                       "closed 10057", "state connecting>closed"));
    PumpFor(30); // the connect completion of the dropped handle is ignored
    EXPECT_EQ(log.lines.size(), 4u);
    EXPECT_EQ(winsock::OpenHandleCount(), 0);
}

TEST_F(WSocketTransfer, PeerResetWithDataQueuedClosesExactlyOnce) {
    Open();
    // More than the kernel buffers take, so part of it stays in our queue.
    const std::string data(8 << 20, 'q');
    socket.Send(data.data(), static_cast<int>(data.size()));
    EXPECT_FALSE(socket.AllSent());
    server.Reset();
    ASSERT_TRUE(PumpUntil([&] { return socket.State() == wsClosed; }));
    PumpFor(50);
    int closes = 0;
    for (const std::string& line : log.lines)
        closes += line.rfind("closed", 0) == 0 ? 1 : 0;
    EXPECT_EQ(closes, 1);
    EXPECT_EQ(log.Count("closed 10054"), 1);
    EXPECT_EQ(winsock::OpenHandleCount(), 0);
}

// With and without the receive loop, every byte is offered before the close is reported.
TEST_F(WSocketTransfer, PeerCloseDeliversEveryByteFirstAndAbortClosesAtOnce) {
    std::string data;
    for (int i = 0; i < 3000; ++i)
        data += static_cast<char>('a' + i % 26);
    for (bool loop : {true, false}) {
        SCOPED_TRACE(loop ? "receive loop" : "no receive loop");
        if (!loop) socket.SetComponentOptions({wsoNoReceiveLoop});
        Open();
        std::string received;
        int calls = 0;
        socket.OnDataAvailable = [&](TObject*, std::uint16_t) {
            ++calls;
            char buffer[1024];
            const int n = socket.Receive(buffer, sizeof buffer);
            if (n > 0) {
                received.append(buffer, static_cast<size_t>(n));
                log.lines.push_back("data " + std::to_string(n));
            }
        };
        server.SendAll(data);
        server.CloseOrderly();
        ASSERT_TRUE(PumpUntil([&] { return log.Has("closed 0"); }));
        PumpFor(30);
        EXPECT_EQ(received, data);
        EXPECT_THAT(log.lines, ::testing::IsSupersetOf({"data 1024", "closed 0"}));
        EXPECT_EQ(log.Count("closed 0"), 1);
        EXPECT_EQ(log.lines[log.lines.size() - 2], "closed 0"); // then the state change
        EXPECT_GE(calls, 3);
        EXPECT_EQ(socket.State(), wsClosed);
    }

    // Abort on a fresh connection closes at once with the event.
    ASSERT_TRUE(ConnectSocket());
    log.lines.clear();
    socket.Abort();
    EXPECT_THAT(log.lines, ElementsAre("state connected>closed", "closed 0"));
}

// Reads of 64 KB and more go straight to the kernel, and the loop stops asking for the pending
// count after a read that came back short; nothing may be lost or reordered by that.
TEST_F(WSocketTransfer, LargeReadsGetEveryByteInOrderBeforeTheClose) {
    Open();
    std::string data(4u << 20, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 13 % 253);
    std::string received;
    std::vector<char> buffer(65536);
    socket.OnDataAvailable = [&](TObject*, std::uint16_t) {
        const int n = socket.Receive(buffer.data(), static_cast<int>(buffer.size()));
        if (n > 0) received.append(buffer.data(), static_cast<size_t>(n));
    };
    std::thread sender([&] {
        // Pieces with pauses, so the data comes in many notifications, not in one long loop.
        for (size_t done = 0; done < data.size(); done += 300000) {
            server.SendAll(data.substr(done, 300000));
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        server.CloseOrderly();
    });
    const bool closed = PumpUntil([&] { return log.Has("closed 0"); }, 20000);
    sender.join();
    ASSERT_TRUE(closed);
    EXPECT_TRUE(received == data) << "received " << received.size() << " bytes";
    EXPECT_EQ(log.Count("closed 0"), 1);
}

TEST_F(WSocketTransfer, ReceiveLoopDrainsAndSwallowsHandlerExceptions) {
    Open();
    bool background = false;
    socket.OnBgException = [&](TObject*, Exception&, bool&) { background = true; };
    std::string received;
    int calls = 0;
    socket.OnDataAvailable = [&](TObject*, std::uint16_t) {
        ++calls;
        char buffer[100];
        const int n = socket.Receive(buffer, sizeof buffer);
        if (n > 0) received.append(buffer, static_cast<size_t>(n));
        if (calls == 1) throw ESocketException("handler failed");
    };
    server.SendAll(std::string(250, 'r'));
    ASSERT_TRUE(PumpUntil([&] { return received.size() == 250; }));
    EXPECT_FALSE(background);
    EXPECT_EQ(socket.State(), wsConnected);

    // Without the exception, one notification drains everything pending in one loop.
    const int before = calls;
    server.SendAll(std::string(1000, 's'));
    PumpFor(50);
    ASSERT_TRUE(PumpUntil([&] { return received.size() == 1250; }));
    EXPECT_GE(calls - before, 10);
}

TEST_F(WSocketTransfer, AHandlerThatReadsNothingDoesNotFreezeTheLoop) {
    Open();
    int calls = 0;
    bool reading = false;
    std::string received;
    socket.OnDataAvailable = [&](TObject*, std::uint16_t) {
        ++calls;
        char none[1];
        if (!reading) {
            // A client whose receive buffer is full asks for nothing: no progress either.
            socket.Receive(none, 0);
            return;
        }
        received += socket.ReceiveText();
    };
    server.SendAll("hello");
    ASSERT_TRUE(PumpUntil([&] { return calls > 0; }));
    PumpFor(30);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(socket.RcvdCount(), 5);
    reading = true;
    EXPECT_EQ(socket.ReceiveText(), "hello");
    server.SendAll("world");
    ASSERT_TRUE(PumpUntil([&] { return received == "world"; }));
}

// A Send from OnSendData, after several queued blocks (one gathering write) and after a single
// block (one plain send, whose bytes are still pending in the block the handler appends to).
TEST_F(WSocketTransfer, SendFromOnSendDataKeepsOrderWithoutDuplicates) {
    for (const size_t size : {3000, 4}) {
        SCOPED_TRACE(size);
        Open();
        bool once = false;
        socket.OnSendData = [&](TObject*, std::int32_t) {
            if (!once) {
                once = true;
                socket.SendText("tail");
            }
        };
        const std::string data(size, 'h');
        socket.SendText(data);
        EXPECT_EQ(server.Read(size + 4), data + "tail");
        ASSERT_TRUE(PumpUntil([&] { return log.Has("sent 0"); }));
        socket.OnSendData = nullptr;
        socket.SendText("end");
        EXPECT_EQ(server.Read(3), "end");
        socket.Close();
        server.CloseOrderly();
    }
}

// The handler frees the queue and the block the send came from.
TEST_F(WSocketTransfer, AbortInsideOnSendDataStopsSending) {
    for (const int size : {100, 1460}) {
        SCOPED_TRACE(size);
        Open();
        int calls = 0;
        socket.OnSendData = [&](TObject*, std::int32_t) {
            ++calls;
            socket.Abort();
        };
        socket.SendText(std::string(static_cast<size_t>(size), 'a'));
        EXPECT_EQ(calls, 1);
        EXPECT_EQ(socket.State(), wsClosed);
        EXPECT_EQ(log.Count("closed 0"), 1);
        EXPECT_EQ(winsock::OpenHandleCount(), 0);
        socket.OnSendData = nullptr;
        server.CloseOrderly();
    }
}

// Nothing was ever queued on a fresh connection: an empty Send is all sent at once.
TEST_F(WSocketTransfer, EmptySendOnAFreshConnectionReportsDataSent) {
    Open();
    EXPECT_EQ(socket.Send(nullptr, 0), 0);
    EXPECT_TRUE(socket.AllSent());
    ASSERT_TRUE(PumpUntil([&] { return log.Has("sent 0"); }, 1000));
    socket.Flush(); // returns at once
}

// With a linger time the platform's close would wait for the peer to take every byte; the
// event loop must not wait with it.
TEST_F(WSocketTransfer, CloseWithALingerTimeDoesNotBlock) {
    socket.SetLingerOnOff(wsLingerOn);
    socket.SetLingerTimeout(3);
    Open();
    const std::string data(8 << 20, 'l'); // more than the kernel buffers of both ends take
    socket.SendText(data);
    ASSERT_FALSE(socket.AllSent());
    const auto start = std::chrono::steady_clock::now();
    socket.Close();
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::milliseconds(1000));
    EXPECT_EQ(socket.State(), wsClosed);
}

TEST_F(WSocketTransfer, LargeTransferArrivesIntactThroughWriteReadiness) {
    Open();
    constexpr size_t total = 16u << 20;
    constexpr int chunk = 65536;
    std::string expected;
    expected.reserve(total);
    for (size_t i = 0; i < total; ++i)
        expected += static_cast<char>(i * 7 % 251);
    std::string got;
    std::thread reader([&] { got = server.Read(total); });
    size_t offset = 0;
    auto feed = [&] {
        if (offset < total) {
            const size_t n = std::min<size_t>(chunk, total - offset);
            socket.Send(expected.data() + offset, static_cast<int>(n));
            offset += n;
        }
    };
    socket.OnDataSent = [&](TObject*, std::uint16_t) { feed(); };
    feed();
    const bool done = PumpUntil([&] { return offset == total && socket.AllSent(); }, 20000);
    reader.join();
    ASSERT_TRUE(done);
    EXPECT_TRUE(got == expected) << "received " << got.size() << " bytes";
}

TEST_F(WSocketTransfer, FlushPumpsUntilTheQueueIsEmpty) {
    Open();
    const std::string data(4 << 20, 'f');
    std::string got;
    std::thread reader([&] { got = server.Read(data.size()); });
    socket.SendText(data);
    socket.Flush();
    EXPECT_TRUE(socket.AllSent());
    reader.join();
    EXPECT_EQ(got.size(), data.size());
}

} // namespace
