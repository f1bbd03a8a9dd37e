// Line mode: assembly of lines from fragmented input, the limit event and the buffer ceiling,
// echo and editing, switching the mode with bytes buffered, and handlers that read nothing
// or raise.
#include "net/WSocket.h"

#include "tests/net/WSocketTestSupport.h"
#include "tests/support/ScriptedPeer.h"

#include <gmock/gmock.h>

#include <atomic>
#include <thread>

using ::testing::ElementsAre;

namespace {

// ---- Editing, without a socket ----

struct TEditCase {
    const char* name;
    std::size_t prior;
    std::string fresh;
    std::size_t kept;
    std::string tail;
    std::string echo;
};

TEST(LineEditing, BackspaceAndTabTable) {
    const std::string bs = "\b \b";
    const TEditCase cases[] = {
        {"plain bytes pass", 2, "xy\r\n", 2, "xy\r\n", "xy\r\n"},
        {"backspace erases", 0, "AB\bC\r\n", 0, "AC\r\n", "AB" + bs + "C\r\n"},
        {"tab pads to column 8", 0, "A\tB", 0, "A       B", "A       B"},
        {"tab at a multiple of 8 adds 8", 8, "\t", 8, "        ", "        "},
        {"backspace at the very start echoes nothing", 0, "\bX", 0, "X", "X"},
        {"backspace reaches earlier bytes", 3, "\b\bZ", 1, "Z", bs + bs + "Z"},
        {"backspace over a tab's spaces", 0, "\t\b\bQ", 0, "      Q", "        " + bs + bs + "Q"},
        {"more backspaces than bytes", 1, "\b\b\b", 0, "", bs},
    };
    for (const TEditCase& c : cases) {
        SCOPED_TRACE(c.name);
        const TLineEditResult edited = EditLineInput(c.prior, c.fresh, true, 1000);
        EXPECT_FALSE(edited.Overflow);
        EXPECT_EQ(edited.Kept, c.kept);
        EXPECT_EQ(edited.Tail, c.tail);
        EXPECT_EQ(edited.Echo, c.echo);
        EXPECT_TRUE(EditLineInput(c.prior, c.fresh, false, 1000).Echo.empty());
    }
}

TEST(LineEditing, TabsNeverWritePastTheLimit) {
    const TLineEditResult edited = EditLineInput(3, "\t\t\t", false, 12);
    EXPECT_TRUE(edited.Overflow);
    EXPECT_LE(edited.Kept + edited.Tail.size(), 12u);
    EXPECT_FALSE(EditLineInput(3, "\t", false, 8).Overflow); // exactly up to the limit
}

// ---- Line mode on a live socket ----

class WSocketLine : public SocketTest {
protected:
    void Open() {
        log.Attach(socket);
        ASSERT_TRUE(ConnectSocket());
        ASSERT_GE(server.Accept(), 0);
        socket.SetLineMode(true);
        log.lines.clear();
    }
    // Each firing reads the whole line and notes it with the count it was offered with.
    void CollectLines() {
        socket.OnDataAvailable = [this](TObject*, std::uint16_t) {
            const int count = socket.RcvdCount();
            const std::string line = socket.ReceiveText();
            lines.push_back(line);
            log.lines.push_back("line " + std::to_string(count) + " " + line);
        };
    }
    // Pumps until the socket has taken every byte the peer sent (they are in flight on the
    // loopback as soon as the peer's send returns).
    bool PumpUntilTaken() {
        return PumpUntil([this] {
            unsigned long pending = 1;
            return winsock::ioctlsocket_fionread(socket.HSocket(), &pending) == 0 && pending == 0;
        });
    }

    std::vector<std::string> lines;
};

TEST_F(WSocketLine, OneLinePerFiringAndTheRestOnPeerClose) {
    Open();
    CollectLines();
    server.SendAll("AB\r\nCD\r\nEF");
    ASSERT_TRUE(PumpUntilTaken());
    PumpFor(20);
    EXPECT_THAT(log.lines, ElementsAre("line 4 AB\r\n", "line 4 CD\r\n"));
    EXPECT_EQ(socket.RcvdCount(), 0); // between deliveries
    server.CloseOrderly();
    ASSERT_TRUE(PumpUntil([&] { return log.Has("closed 0"); }));
    EXPECT_THAT(log.lines, ElementsAre("line 4 AB\r\n", "line 4 CD\r\n", "line 2 EF", "closed 0",
                                       "state connected>closed"));
}

TEST_F(WSocketLine, ALocalCloseDeliversThePartialLineFirst) {
    Open();
    CollectLines();
    server.SendAll("XYZ");
    ASSERT_TRUE(PumpUntilTaken());
    socket.Close();
    EXPECT_THAT(log.lines, ElementsAre("state connected>closed", "line 3 XYZ", "closed 0"));
}

TEST_F(WSocketLine, AHandlerMayReadALineInPieces) {
    Open();
    std::vector<std::string> pieces;
    socket.OnDataAvailable = [&](TObject*, std::uint16_t) {
        char piece[2];
        const int n = socket.Receive(piece, sizeof piece);
        pieces.emplace_back(piece, static_cast<std::size_t>(std::max(n, 0)));
    };
    server.SendAll("AB\r\nCDE\r\n");
    ASSERT_TRUE(PumpUntil([&] { return pieces.size() == 5; }));
    EXPECT_THAT(pieces, ElementsAre("AB", "\r\n", "CD", "E\r", "\n"));
}

// A line end of five bytes, with look-alikes of its prefix inside the lines; the peer's bytes
// are cut once at every position and must give the same lines every time.
TEST_F(WSocketLine, MultiByteLineEndSplitAtEveryPosition) {
    Open();
    socket.SetLineEnd("\r\n.\r\n");
    CollectLines();
    const std::string transcript = "a\r\n.\r\r\n.\r\n"
                                   "\r\n.\r\n"
                                   "bb\r\n\r\n.\r\n";
    for (std::size_t cut = 1; cut < transcript.size(); ++cut) {
        SCOPED_TRACE(cut);
        lines.clear();
        server.SendAll(transcript.substr(0, cut));
        ASSERT_TRUE(PumpUntilTaken());
        server.SendAll(transcript.substr(cut));
        ASSERT_TRUE(PumpUntil([&] { return lines.size() == 3; }));
        EXPECT_THAT(lines, ElementsAre("a\r\n.\r\r\n.\r\n", "\r\n.\r\n", "bb\r\n\r\n.\r\n"));
    }
}

TEST(WSocketLinePeer, ByteByByteInputGivesWholeLines) {
    EnsureApplication();
    ScriptedPeer peer(
        {ScriptedPeer::SendSplit("+OK one\r\n+OK two\r\n", 1), ScriptedPeer::ExpectClosed()});
    TWSocket socket;
    std::vector<std::string> lines;
    socket.SetLineMode(true);
    socket.OnDataAvailable = [&](TObject*, std::uint16_t) {
        lines.push_back(socket.ReceiveText());
    };
    Target(socket, peer.PortText());
    socket.Connect();
    ASSERT_TRUE(PumpUntil([&] { return lines.size() == 2; }));
    EXPECT_THAT(lines, ElementsAre("+OK one\r\n", "+OK two\r\n"));
    socket.Close();
    EXPECT_TRUE(peer.WaitFinished());
    EXPECT_TRUE(peer.Failures().empty());
}

TEST_F(WSocketLine, LimitEventClearsOrKeepsTheBytes) {
    Open();
    CollectLines();
    socket.SetLineLimit(10);
    std::vector<std::int32_t> limits;
    bool keep = false;
    socket.OnLineLimitExceeded = [&](TObject*, std::int32_t count, bool& clear) {
        EXPECT_TRUE(clear);
        limits.push_back(count);
        clear = !keep;
    };
    server.SendAll("0123456789A");
    ASSERT_TRUE(PumpUntil([&] { return limits.size() == 1; }));
    EXPECT_EQ(limits[0], 11);
    server.SendAll("x\r\n");
    ASSERT_TRUE(PumpUntil([&] { return lines.size() == 1; }));
    EXPECT_EQ(lines[0], "x\r\n");

    keep = true;
    server.SendAll("0123456789A");
    ASSERT_TRUE(PumpUntil([&] { return limits.size() == 2; }));
    server.SendAll("y\r\n");
    ASSERT_TRUE(PumpUntil([&] { return lines.size() == 2; }));
    EXPECT_EQ(lines[1], "0123456789Ay\r\n");
}

TEST_F(WSocketLine, EndlessInputWithoutALineEndFailsAtTheCeiling) {
    Open();
    CollectLines();
    socket.SetLineLimit(0);
    std::atomic<bool> stop{false};
    const int peer = server.Peer();
    std::thread sender([&] {
        const std::string chunk(1 << 16, 'z');
        std::size_t sent = 0;
        while (!stop && sent <= kLineBufferCeiling + chunk.size()) {
            const ssize_t n = ::send(peer, chunk.data(), chunk.size(), MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<std::size_t>(n);
        }
    });
    const bool closed = PumpUntil([&] { return socket.State() == wsClosed; }, 30000);
    stop = true;
    sender.join();
    ASSERT_TRUE(closed);
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(log.Count("closed 10055"), 1);
    EXPECT_EQ(socket.LastError(), 10055);
}

TEST_F(WSocketLine, EchoAndEditingOnTheWire) {
    Open();
    CollectLines();
    socket.SetLineEcho(true);
    socket.SetLineEdit(true);
    server.SendAll("\bAB");
    ASSERT_TRUE(PumpUntilTaken());
    server.SendAll("\bC\tD\r\n"); // the backspace erases a byte of the earlier read
    ASSERT_TRUE(PumpUntil([&] { return lines.size() == 1; }));
    EXPECT_EQ(lines[0], "AC      D\r\n");
    EXPECT_EQ(server.Read(15), "AB\b \bC      D\r\n");

    socket.SetLineEdit(false); // echo alone sends the bytes back untouched
    server.SendAll("a\bb\r\n");
    ASSERT_TRUE(PumpUntil([&] { return lines.size() == 2; }));
    EXPECT_EQ(lines[1], "a\bb\r\n");
    EXPECT_EQ(server.Read(5), "a\bb\r\n");
}

// The handler reads two bytes and leaves line mode: the rest follows as ordinary data, without
// new input, and in order.
TEST_F(WSocketLine, SwitchingOffMidLineLeavesTheRestAsOrdinaryData) {
    Open();
    std::vector<std::string> got;
    socket.OnDataAvailable = [&](TObject*, std::uint16_t) {
        if (socket.LineMode()) {
            char piece[2];
            got.emplace_back(piece, static_cast<std::size_t>(socket.Receive(piece, 2)));
            socket.SetLineMode(false);
        } else {
            const int count = socket.RcvdCount();
            got.push_back(std::to_string(count) + " " + socket.ReceiveText());
        }
    };
    server.SendAll("ABCDE\r\nXYZ");
    ASSERT_TRUE(PumpUntil([&] { return got.size() == 2; }));
    PumpFor(20);
    EXPECT_THAT(got, ElementsAre("AB", "8 CDE\r\nXYZ"));
    server.SendAll("more");
    ASSERT_TRUE(PumpUntil([&] { return got.size() == 3; }));
    EXPECT_EQ(got[2].substr(got[2].find(' ') + 1), "more");
}

// Lines buffered while line mode was off are delivered as soon as it is switched on again.
TEST_F(WSocketLine, SwitchingOnDeliversBufferedLinesWithoutNewInput) {
    Open();
    int offCalls = 0;
    socket.OnDataAvailable = [&](TObject*, std::uint16_t) {
        if (!socket.LineMode()) {
            ++offCalls; // reads nothing: the bytes must stay
            return;
        }
        lines.push_back(socket.ReceiveText());
        if (lines.size() == 1) socket.SetLineMode(false);
    };
    server.SendAll("L1\r\nL2\r\nL3\r\n");
    ASSERT_TRUE(PumpUntil([&] { return offCalls > 0; }));
    PumpFor(30);
    EXPECT_THAT(lines, ElementsAre("L1\r\n"));
    EXPECT_LE(offCalls, 2); // a handler that reads nothing is not offered the bytes forever
    EXPECT_EQ(socket.RcvdCount(), 8);
    socket.SetLineMode(true);
    ASSERT_TRUE(PumpUntil([&] { return lines.size() == 3; }));
    EXPECT_THAT(lines, ElementsAre("L1\r\n", "L2\r\n", "L3\r\n"));
}

// Without a handler, or with one that reads nothing, lines are kept for the next
// notification, and the event loop goes on.
TEST_F(WSocketLine, LinesNobodyReadsWaitForTheNextNotification) {
    Open();
    server.SendAll("A\r\nB\r\n");
    ASSERT_TRUE(PumpUntilTaken());
    int idle = 0;
    bool reading = false;
    socket.OnDataAvailable = [&](TObject*, std::uint16_t) {
        if (!reading) {
            ++idle;
            return;
        }
        lines.push_back(socket.ReceiveText());
    };
    server.SendAll("C\r\n");
    ASSERT_TRUE(PumpUntil([&] { return idle > 0; }));
    PumpFor(30);
    EXPECT_EQ(idle, 1);
    reading = true;
    server.SendAll("D\r\n");
    ASSERT_TRUE(PumpUntil([&] { return lines.size() == 4; }));
    EXPECT_THAT(lines, ElementsAre("A\r\n", "B\r\n", "C\r\n", "D\r\n"));
}

// A handler that raises after reading part of a line: nothing is read twice or lost, and the
// rest is offered again without new input. One that raises before reading anything keeps the
// bytes for the next notification.
TEST_F(WSocketLine, ARaisingHandlerNeitherDuplicatesNorLosesBytes) {
    Open();
    std::string read;
    int calls = 0;
    bool raiseEmpty = false;
    socket.OnDataAvailable = [&](TObject*, std::uint16_t) {
        ++calls;
        if (raiseEmpty) throw ESocketException("before reading");
        char piece[2];
        const int n = socket.Receive(piece, 2);
        if (n > 0) read.append(piece, static_cast<std::size_t>(n));
        if (calls == 1) throw ESocketException("mid-line");
    };
    server.SendAll("ABCD\r\nEF\r\n");
    ASSERT_TRUE(PumpUntil([&] { return read.size() == 10; }));
    EXPECT_EQ(read, "ABCD\r\nEF\r\n");
    EXPECT_EQ(socket.State(), wsConnected);

    raiseEmpty = true;
    server.SendAll("GH\r\n");
    ASSERT_TRUE(PumpUntilTaken());
    PumpFor(20);
    raiseEmpty = false;
    server.SendAll("IJ\r\n");
    ASSERT_TRUE(PumpUntil([&] { return read.size() == 18; }));
    EXPECT_EQ(read, "ABCD\r\nEF\r\nGH\r\nIJ\r\n");
}

TEST_F(WSocketLine, EmptyLineEndOrModeOffPassesDataThrough) {
    Open();
    std::vector<std::string> got;
    socket.OnDataAvailable = [&](TObject*, std::uint16_t) { got.push_back(socket.ReceiveText()); };
    socket.SetLineEnd("");
    server.SendAll("no\r\nlines");
    ASSERT_TRUE(PumpUntil([&] { return !got.empty(); }));
    EXPECT_EQ(got[0], "no\r\nlines");
    socket.SetLineEnd("\r\n");
    socket.SetLineMode(false);
    server.SendAll("a\r\nb");
    ASSERT_TRUE(PumpUntil([&] { return got.size() == 2; }));
    EXPECT_EQ(got[1], "a\r\nb");
}

} // namespace
