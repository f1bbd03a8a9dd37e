// The proxy layer against a scripted proxy: exact request bytes and events for SOCKS 4, 4A
// and 5 with and without authentication, every failure reply, replies split at every byte,
// fields too long for a request, and the bytes that arrive behind the last reply.
#include "net/WSocket.h"

#include "tests/net/WSocketTestSupport.h"
#include "tests/support/ScriptedPeer.h"

#include <gmock/gmock.h>

#include <stdexcept>

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

using Steps = std::vector<ScriptedPeer::Step>;

std::string Bytes(std::initializer_list<int> values) {
    std::string out;
    for (int value : values)
        out.push_back(static_cast<char>(value));
    return out;
}

// The requests for destination "example", port 8080 (1F 90), user "user", password "pass".
const std::string kMethodsNoAuth = Bytes({5, 1, 0});
const std::string kMethodsAuth = Bytes({5, 1, 2});
const std::string kCredentials = Bytes({1, 4}) + "user" + Bytes({4}) + "pass";
const std::string kConnect5 = Bytes({5, 1, 0, 3, 7}) + "example" + Bytes({0x1F, 0x90});
const std::string kConnect4 = Bytes({4, 1, 0x1F, 0x90, 127, 0, 0, 1}) + "user" + Bytes({0});
const std::string kConnect4A =
    Bytes({4, 1, 0x1F, 0x90, 0, 0, 0, 1}) + "user" + Bytes({0}) + "example" + Bytes({0});
const std::string kGranted5 = Bytes({5, 0, 0, 1, 10, 1, 2, 3, 0x04, 0x38});
const std::string kGranted4 = Bytes({0, 90, 0x1F, 0x90, 127, 0, 0, 1});

struct TExchange {
    std::string request; // what the client must send
    std::string reply;   // the proxy's answer (may be empty: it waits)
};

struct TSocksCase {
    const char* name;
    const char* level;
    TSocksAuthentication auth;
    std::string addr;
    std::vector<TExchange> exchanges;
    std::vector<std::string> events;
    bool splittable = true; // a reply whose verdict does not depend on how it arrives
};

std::vector<std::string> Failure(int code, const std::string& msg) {
    const std::string c = std::to_string(code);
    return {"socks connected 0", "socks error " + c + " " + msg, "connected " + c, "closed " + c};
}

std::vector<std::string> AuthFailure(int code, const std::string& msg) {
    const std::string c = std::to_string(code);
    return {"socks connected 0", "auth 0", "socks error " + c + " " + msg,
            "connected " + c,    "auth 2", "closed " + c};
}

const std::vector<TSocksCase>& Cases() {
    static const std::vector<TSocksCase> cases = [] {
        // Each run ends with the test's own close.
        const std::vector<std::string> granted = {"socks connected 0", "connected 0", "closed 0"};
        const auto noAuth = socksNoAuthentication;
        const auto auth = socksAuthenticateUsercode;
        const TExchange methods{kMethodsNoAuth, Bytes({5, 0})};
        std::vector<TSocksCase> all = {
            {"level 5", "5", noAuth, "example", {methods, {kConnect5, kGranted5}}, granted},
            {"level 5 with user and password",
             "5",
             auth,
             "example",
             {{kMethodsAuth, Bytes({5, 2})}, {kCredentials, Bytes({1, 0})}, {kConnect5, kGranted5}},
             {"socks connected 0", "auth 0", "auth 1", "connected 0", "closed 0"}},
            {"level 5, authentication offered but not required",
             "5",
             auth,
             "example",
             {{kMethodsAuth, Bytes({5, 0})}, {kConnect5, kGranted5}},
             {"socks connected 0", "auth 3", "connected 0", "closed 0"}},
            {"level 5, bound host name",
             "5",
             noAuth,
             "example",
             {methods, {kConnect5, Bytes({5, 0, 0, 3, 4}) + "host" + Bytes({0, 80})}},
             granted},
            {"level 5, bound IPv6 address",
             "5",
             noAuth,
             "example",
             {methods,
              {kConnect5, Bytes({5, 0, 0, 4}) + std::string(15, '\0') + Bytes({1, 0, 80})}},
             granted},
            {"level 4", "4", noAuth, "127.0.0.1", {{kConnect4, kGranted4}}, granted},
            {"level 4A", "4A", noAuth, "example", {{kConnect4A, kGranted4}}, granted},
            {"level 4, wrong version",
             "4",
             noAuth,
             "127.0.0.1",
             {{kConnect4, Bytes({4, 90, 0, 0, 0, 0, 0, 0})}},
             Failure(20002, "socks version error")},
            {"level 4, rejected",
             "4",
             noAuth,
             "127.0.0.1",
             {{kConnect4, Bytes({0, 91, 0, 0, 0, 0, 0, 0})}},
             Failure(20016, "request rejected or failed")},
            {"level 4, refused",
             "4",
             noAuth,
             "127.0.0.1",
             {{kConnect4, Bytes({0, 92, 0, 0, 0, 0, 0, 0})}},
             Failure(20008, "connection refused")},
            {"level 4, user not confirmed",
             "4",
             noAuth,
             "127.0.0.1",
             {{kConnect4, Bytes({0, 93, 0, 0, 0, 0, 0, 0})}},
             Failure(20015, "authentification failed")},
            {"level 4, unknown code",
             "4",
             noAuth,
             "127.0.0.1",
             {{kConnect4, Bytes({0, 94, 0, 0, 0, 0, 0, 0})}},
             Failure(20012, "unassigned error #94")},
            {"level 5, wrong version in the method reply",
             "5",
             noAuth,
             "example",
             {{kMethodsNoAuth, Bytes({4, 0})}},
             Failure(20002, "socks version error")},
            {"level 5, no acceptable method",
             "5",
             noAuth,
             "example",
             {{kMethodsNoAuth, Bytes({5, 0xFF})}},
             Failure(20003, "authentification method not acceptable")},
            {"level 5, password refused",
             "5",
             auth,
             "example",
             {{kMethodsAuth, Bytes({5, 2})}, {kCredentials, Bytes({1, 1})}},
             AuthFailure(20015, "socks authentication failed")},
            {"level 5, wrong version in the password reply",
             "5",
             auth,
             "example",
             {{kMethodsAuth, Bytes({5, 2})}, {kCredentials, Bytes({5, 0})}},
             AuthFailure(20002, "socks version error")},
            {"level 5, password reply too long",
             "5",
             auth,
             "example",
             {{kMethodsAuth, Bytes({5, 2})}, {kCredentials, Bytes({1, 0, 0})}},
             AuthFailure(20001, "too much data availaible"),
             false},
            {"level 5, wrong version in the connect reply",
             "5",
             noAuth,
             "example",
             {methods, {kConnect5, Bytes({4, 0, 0, 1, 0, 0, 0, 0, 0, 0})}},
             Failure(20002, "socks version error")},
            {"level 5, unknown address type",
             "5",
             noAuth,
             "example",
             {methods, {kConnect5, Bytes({5, 0, 0, 9, 0})}},
             Failure(20011, "address type not supported")},
            // The name would not fit the reply buffer: no waiting for the rest of it.
            {"level 5, bound host longer than the buffer",
             "5",
             noAuth,
             "example",
             {methods, {kConnect5, Bytes({5, 0, 0, 3, 121})}},
             Failure(20001, "socks reply too long")},
            {"level 5, proxy hangs up",
             "5",
             noAuth,
             "example",
             {methods, {kConnect5, ""}},
             Failure(10054, "connection closed by socks server")},
        };
        const char* const texts[] = {
            "general SOCKS server failure", "connection not allowed by ruleset",
            "network unreachable",          "host unreachable",
            "connection refused",           "time to live expired",
            "command not supported",        "address type not supported",
            "unassigned error #9"};
        for (int code = 1; code <= 9; ++code) {
            all.push_back({"level 5, failure reply",
                           "5",
                           noAuth,
                           "example",
                           {methods, {kConnect5, Bytes({5, code, 0, 1, 0, 0, 0, 0, 0, 0})}},
                           Failure(code == 9 ? 20012 : 20003 + code, texts[code - 1])});
        }
        return all;
    }();
    return cases;
}

class WSocketSocks : public EventLoopTest {
protected:
    void Attach(TWSocket& socket) {
        socket.OnSocksConnected = [this](TObject*, std::uint16_t error) {
            events.push_back("socks connected " + std::to_string(error));
        };
        socket.OnSocksError = [this](TObject*, std::int32_t error, const std::string& msg) {
            events.push_back("socks error " + std::to_string(error) + " " + msg);
        };
        socket.OnSocksAuthState = [this](TObject*, TSocksAuthState state) {
            events.push_back("auth " + std::to_string(state));
        };
        socket.OnSessionConnected = [this](TObject*, std::uint16_t error) {
            events.push_back("connected " + std::to_string(error));
        };
        socket.OnSessionClosed = [this](TObject*, std::uint16_t error) {
            events.push_back("closed " + std::to_string(error));
        };
    }
    void Aim(TWSocket& socket, const ScriptedPeer& proxy, const std::string& level,
             TSocksAuthentication auth, const std::string& addr) {
        socket.SetAddr(addr);
        socket.SetPort("8080");
        socket.SetSocksServer(" 127.0.0.1 ");
        socket.SetSocksPort(proxy.PortText());
        socket.SetSocksLevel(level);
        socket.SetSocksAuthentication(auth);
        socket.SetSocksUsercode("user");
        socket.SetSocksPassword("pass");
    }
    bool Ended() const {
        return !events.empty() &&
               (events.back() == "connected 0" || events.back().starts_with("closed"));
    }
    // Runs the case with every reply cut after Split bytes (0: whole), and returns the
    // events; Requests gets what the proxy received.
    std::vector<std::string> Run(const TSocksCase& c, std::size_t Split, std::string& Requests) {
        events.clear();
        Steps script;
        for (const TExchange& exchange : c.exchanges) {
            script.push_back(ScriptedPeer::ReadBytes(static_cast<int>(exchange.request.size())));
            if (exchange.reply.empty()) {
                script.push_back(ScriptedPeer::Close());
            } else if (Split > 0 && Split < exchange.reply.size()) {
                script.push_back(ScriptedPeer::Send(exchange.reply.substr(0, Split)));
                script.push_back(ScriptedPeer::Pause(5));
                script.push_back(ScriptedPeer::Send(exchange.reply.substr(Split)));
            } else {
                script.push_back(ScriptedPeer::Send(exchange.reply));
            }
        }
        script.push_back(ScriptedPeer::ExpectClosed());
        ScriptedPeer proxy(script);
        TWSocket socket;
        Attach(socket);
        Aim(socket, proxy, c.level, c.auth, c.addr);
        socket.Connect();
        EXPECT_TRUE(PumpUntil([&] { return Ended(); })) << c.name << " split " << Split;
        PumpFor(10);
        socket.Close();
        EXPECT_TRUE(PumpUntil([&] { return proxy.Finished(); }));
        Requests = proxy.Received();
        return events;
    }

    std::vector<std::string> events;
};

TEST_F(WSocketSocks, GoldenTranscriptsWithEveryReplySplitAtEveryByte) {
    for (const TSocksCase& c : Cases()) {
        std::string expected;
        std::size_t longest = 0;
        for (const TExchange& exchange : c.exchanges) {
            expected += exchange.request;
            longest = std::max(longest, exchange.reply.size());
        }
        for (std::size_t split = 0; split < (c.splittable ? longest : 1); ++split) {
            SCOPED_TRACE(std::string(c.name) + ", split after " + std::to_string(split));
            std::string requests;
            EXPECT_THAT(Run(c, split, requests), ElementsAreArray(c.events));
            EXPECT_EQ(requests, expected);
        }
    }
}

TEST(SocksWire, BoundAddressAndPortOfTheConnectReply) {
    struct TCase {
        std::string reply;
        const char* addr;
        const char* port;
    };
    const TCase cases[] = {
        {Bytes({5, 0, 0, 1, 192, 168, 1, 2, 0x1F, 0x90}), "192.168.1.2", "8080"},
        {Bytes({5, 0, 0, 3, 3}) + "a.b" + Bytes({0xFF, 0xFF}), "a.b", "65535"},
        {Bytes({5, 0, 0, 4, 0x20, 0x01, 0x0d, 0xb8}) + std::string(11, '\0') + Bytes({1, 0, 25}),
         "2001:db8::1", "25"},
    };
    for (const TCase& c : cases) {
        const auto* reply = reinterpret_cast<const unsigned char*>(c.reply.data());
        for (std::size_t count = 0; count < c.reply.size(); ++count)
            EXPECT_EQ(Socks5ConnectReply(reply, count).Result, TSocksVerdict::kIncomplete);
        const TSocksVerdict verdict = Socks5ConnectReply(reply, c.reply.size());
        ASSERT_EQ(verdict.Result, TSocksVerdict::kAccepted) << c.addr;
        EXPECT_EQ(verdict.Length, c.reply.size());
        EXPECT_EQ(verdict.BoundAddr, c.addr);
        EXPECT_EQ(verdict.BoundPort, c.port);
    }
    // The longest name the buffer takes, and one byte more.
    std::string longest = Bytes({5, 0, 0, 3, 120}) + std::string(122, 'x');
    const auto* reply = reinterpret_cast<const unsigned char*>(longest.data());
    EXPECT_EQ(Socks5ConnectReply(reply, longest.size()).Result, TSocksVerdict::kAccepted);
    longest[4] = 121;
    EXPECT_EQ(Socks5ConnectReply(reply, 5).Code, 20001);
}

// Fields a one-byte length cannot carry are refused before anything of them is sent.
TEST_F(WSocketSocks, FieldsTooLongForTheRequestFailTheConnection) {
    const std::string tooLong(256, 'x');
    const std::string longest(255, 'x');
    struct TCase {
        const char* level;
        TSocksAuthentication auth;
        std::string user, pass, addr;
        Steps script;
        std::string sent;
        std::string error; // empty: the request goes out
    };
    const TCase cases[] = {
        {"4", socksNoAuthentication, tooLong, "", "127.0.0.1", {}, "", "socks user code too long"},
        {"4A", socksNoAuthentication, "", "", tooLong, {}, "", "socks host name too long"},
        {"5",
         socksNoAuthentication,
         "",
         "",
         tooLong,
         {ScriptedPeer::ReadBytes(3), ScriptedPeer::Send(Bytes({5, 0}))},
         kMethodsNoAuth,
         "socks host name too long"},
        {"5",
         socksAuthenticateUsercode,
         tooLong,
         "p",
         "example",
         {ScriptedPeer::ReadBytes(3), ScriptedPeer::Send(Bytes({5, 2}))},
         kMethodsAuth,
         "socks user code too long"},
        {"5",
         socksAuthenticateUsercode,
         "u",
         tooLong,
         "example",
         {ScriptedPeer::ReadBytes(3), ScriptedPeer::Send(Bytes({5, 2}))},
         kMethodsAuth,
         "socks password too long"},
        {"5",
         socksAuthenticateUsercode,
         longest,
         longest,
         "example",
         {ScriptedPeer::ReadBytes(3), ScriptedPeer::Send(Bytes({5, 2})),
          ScriptedPeer::ReadBytes(513)},
         kMethodsAuth + Bytes({1, 255}) + longest + Bytes({255}) + longest,
         ""},
        {"5",
         socksNoAuthentication,
         "",
         "",
         longest,
         {ScriptedPeer::ReadBytes(3), ScriptedPeer::Send(Bytes({5, 0})),
          ScriptedPeer::ReadBytes(262)},
         kMethodsNoAuth + Bytes({5, 1, 0, 3, 255}) + longest + Bytes({0x1F, 0x90}),
         ""},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(std::string(c.level) + " " + c.error);
        events.clear();
        Steps script = c.script;
        script.push_back(ScriptedPeer::ExpectClosed());
        ScriptedPeer proxy(script);
        TWSocket socket;
        Attach(socket);
        Aim(socket, proxy, c.level, c.auth, c.addr);
        socket.SetSocksUsercode(c.user);
        socket.SetSocksPassword(c.pass);
        socket.Connect();
        if (c.error.empty()) {
            ASSERT_TRUE(PumpUntil([&] { return proxy.Received().size() == c.sent.size(); }));
            EXPECT_EQ(socket.State(), wsConnected);
            socket.Close();
        } else {
            ASSERT_TRUE(PumpUntil([&] { return Ended(); }));
            EXPECT_TRUE(std::find(events.begin(), events.end(), "socks error 20014 " + c.error) !=
                        events.end());
            EXPECT_EQ(events.back(), "closed 20014");
        }
        ASSERT_TRUE(PumpUntil([&] { return proxy.Finished(); }));
        EXPECT_EQ(proxy.Received(), c.sent);
    }
}

class WSocketSocksData : public WSocketSocks {
protected:
    // Connects through a proxy that appends Tail to its connect reply, then sends More.
    void Open(const std::string& Tail, const std::string& More = {}) {
        Steps script = {ScriptedPeer::ReadBytes(3), ScriptedPeer::Send(Bytes({5, 0})),
                        ScriptedPeer::ReadBytes(static_cast<int>(kConnect5.size())),
                        ScriptedPeer::Send(kGranted5 + Tail)};
        if (!More.empty()) {
            script.push_back(ScriptedPeer::Pause(50));
            script.push_back(ScriptedPeer::Send(More));
        }
        script.push_back(ScriptedPeer::ExpectClosed());
        proxy = std::make_unique<ScriptedPeer>(script);
        Attach(socket);
        Aim(socket, *proxy, "5", socksNoAuthentication, "example");
    }
    std::unique_ptr<ScriptedPeer> proxy;
    TWSocket socket;
};

TEST_F(WSocketSocksData, BytesBehindTheReplyComeFirstEvenInSmallPieces) {
    Open("hello", "world");
    std::string received;
    socket.OnDataAvailable = [&](TObject*, std::uint16_t) {
        char piece[2];
        const int n = socket.Receive(piece, sizeof piece);
        if (n > 0) received.append(piece, static_cast<std::size_t>(n));
    };
    socket.Connect();
    ASSERT_TRUE(PumpUntil([&] { return received.size() == 10; })) << received;
    EXPECT_EQ(received, "helloworld");
    EXPECT_THAT(events, ElementsAre("socks connected 0", "connected 0"));
}

TEST_F(WSocketSocksData, OnSessionConnectedMayReadThemAndRcvdCountTellsHowMany) {
    Open("hello");
    std::string early;
    int count = -1;
    socket.OnSessionConnected = [&](TObject*, std::uint16_t) {
        count = socket.RcvdCount();
        early = socket.ReceiveText();
    };
    socket.Connect();
    ASSERT_TRUE(PumpUntil([&] { return count >= 0; }));
    EXPECT_EQ(count, 5);
    EXPECT_EQ(early, "hello");
}

TEST_F(WSocketSocksData, LineModeTakesOverTheBytesBehindTheReply) {
    Open("one\r\ntw", "o\r\n");
    socket.SetLineMode(true);
    std::vector<std::string> lines;
    socket.OnDataAvailable = [&](TObject*, std::uint16_t) {
        lines.push_back(socket.ReceiveText());
    };
    socket.Connect();
    ASSERT_TRUE(PumpUntil([&] { return lines.size() == 2; }));
    EXPECT_THAT(lines, ElementsAre("one\r\n", "two\r\n"));
}

TEST_F(WSocketSocks, AFailureCompletesEvenWhenAHandlerRaises) {
    ScriptedPeer proxy({ScriptedPeer::ReadBytes(static_cast<int>(kConnect4.size())),
                        ScriptedPeer::Send(Bytes({0, 92, 0, 0, 0, 0, 0, 0})),
                        ScriptedPeer::ExpectClosed()});
    TWSocket socket;
    Attach(socket);
    Aim(socket, proxy, "4", socksNoAuthentication, "127.0.0.1");
    socket.OnSocksError = [](TObject*, std::int32_t, const std::string&) {
        throw std::runtime_error("handler failed");
    };
    socket.Connect();
    ASSERT_TRUE(PumpUntil([&] { return Ended(); }));
    EXPECT_THAT(events, ElementsAre("socks connected 0", "connected 20008", "closed 20008"));
    EXPECT_EQ(socket.State(), wsClosed);
}

TEST_F(WSocketSocks, Level4NameThatDoesNotResolveClosesWithoutConnecting) {
    ScriptedPeer proxy({ScriptedPeer::ExpectClosed()});
    TWSocket socket;
    Attach(socket);
    const std::string name(257, 'n');
    Aim(socket, proxy, "4", socksNoAuthentication, name);
    socket.Connect();
    ASSERT_TRUE(PumpUntil([&] { return Ended(); }));
    EXPECT_THAT(events, ElementsAre("socks connected 0",
                                    "socks error 20017 ESocketException WSocketResolveHost: '" +
                                        name + "' Invalid Hostname.",
                                    "closed 20017"));
    ASSERT_TRUE(PumpUntil([&] { return proxy.Finished(); }));
    EXPECT_EQ(proxy.Received(), "");
}

TEST_F(WSocketSocks, ProxyThatRefusesTheConnection) {
    TWSocket socket;
    Attach(socket);
    socket.SetAddr("example");
    socket.SetPort("80");
    socket.SetSocksServer("127.0.0.1");
    socket.SetSocksPort(UnusedPort());
    socket.Connect();
    ASSERT_TRUE(PumpUntil([&] { return Ended(); }));
    EXPECT_THAT(events, ElementsAre("socks connected 10061", "connected 10061", "closed 0"));
    EXPECT_EQ(winsock::OpenHandleCount(), 0);
}

TEST_F(WSocketSocks, PropertyRulesAndTheResetOfEveryClose) {
    TWSocket socket;
    EXPECT_EQ(socket.SocksLevel(), "5");
    socket.SetSocksLevel("4a");
    EXPECT_EQ(socket.SocksLevel(), "4A");
    EXPECT_EQ(SocketError([&] { socket.SetSocksLevel("4b"); }),
              "Invalid socks level. Must be 4, 4A or 5.");
    EXPECT_EQ(socket.SocksLevel(), "4A");

    TRawListener direct;
    socket.SetSocksServer("127.0.0.1");
    socket.SetSocksPort("1080");
    socket.SetProto("udp");
    socket.SetAddr("127.0.0.1");
    socket.SetPort(direct.PortText());
    EXPECT_EQ(SocketError([&] { socket.Connect(); }),
              "tcp is the only protocol supported thru socks server");
    EXPECT_EQ(SocketError([&] { socket.Listen(); }),
              "Listening is not supported thru socks server");
    socket.SetProto("tcp");
    socket.SetSocksServer(" ");
    socket.SetSocksLevel("5");
    Attach(socket);
    socket.Connect(); // no proxy: straight to the listener
    ASSERT_TRUE(PumpUntil([&] { return socket.State() == wsConnected; }));
    EXPECT_THAT(events, ElementsAre("connected 0"));
    const std::pair<std::function<void()>, const char*> refused[] = {
        {[&] { socket.SetSocksServer("x"); }, "Can't change socks server if not closed"},
        {[&] { socket.SetSocksPort("1"); }, "Can't change socks port if not closed"},
        {[&] { socket.SetSocksLevel("4"); }, "Can't change socks level if not closed"},
    };
    for (const auto& [call, message] : refused)
        EXPECT_EQ(SocketError(call), message);
    socket.Close();

    // A session through a proxy; its close resets the proxy settings, not the credentials,
    // so the next connect goes direct.
    ScriptedPeer proxy({ScriptedPeer::ReadBytes(static_cast<int>(kConnect4.size()) - 4),
                        ScriptedPeer::Send(kGranted4), ScriptedPeer::ExpectClosed()});
    Aim(socket, proxy, "4", socksNoAuthentication, "127.0.0.1");
    socket.SetSocksUsercode("");
    events.clear();
    socket.Connect();
    ASSERT_TRUE(PumpUntil([&] { return Ended(); }));
    EXPECT_THAT(events, ElementsAre("socks connected 0", "connected 0"));
    socket.Close();
    EXPECT_EQ(socket.SocksServer(), "");
    EXPECT_EQ(socket.SocksPort(), "");
    EXPECT_EQ(socket.SocksLevel(), "5");
    EXPECT_EQ(socket.SocksPassword(), "pass");
    EXPECT_EQ(socket.SocksAuthentication(), socksNoAuthentication);
    socket.SetAddr("127.0.0.1");
    socket.SetPort(direct.PortText());
    events.clear();
    socket.Connect();
    ASSERT_TRUE(PumpUntil([&] { return socket.State() == wsConnected; }));
    EXPECT_THAT(events, ElementsAre("connected 0"));
    ASSERT_TRUE(PumpUntil([&] { return proxy.Finished(); }));
    EXPECT_EQ(proxy.Connections(), 1);
}

} // namespace
