// The proxy layer against a scripted proxy: exact request bytes and events for SOCKS 4, 4A
// and 5 with and without authentication, every failure reply, replies split at every byte,
// fields too long for a request, and the bytes that arrive behind the last reply.
#include "net/WSocket.h"

#include "tests/net/WSocketTestSupport.h"
#include "tests/support/ScriptedPeer.h"

#include <gmock/gmock.h>

#include <stdexcept>

using ::testing::Contains;
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
    std::string name;
    std::string level;
    TSocksAuthentication auth;
    std::vector<TExchange> exchanges;
    std::vector<std::string> events;
    bool splittable; // false: the verdict depends on how the reply arrives
};

using TReplyRow = std::tuple<std::string, int, const char*>; // reply, code, message

std::vector<std::string> Failure(int code, const std::string& msg, bool authenticating) {
    const std::string c = std::to_string(code);
    if (authenticating)
        return {"socks connected 0", "auth 0", "socks error " + c + " " + msg,
                "connected " + c,    "auth 2", "closed " + c};
    return {"socks connected 0", "socks error " + c + " " + msg, "connected " + c, "closed " + c};
}

const std::vector<TSocksCase>& Cases() {
    static const std::vector<TSocksCase> cases = [] {
        std::vector<TSocksCase> all;
        const auto add = [&](std::string name, const char* level, TSocksAuthentication auth,
                             std::vector<TExchange> exchanges, std::vector<std::string> events,
                             bool splittable = true) {
            all.push_back({std::move(name), level, auth, std::move(exchanges), std::move(events),
                           splittable});
        };
        const auto none = socksNoAuthentication;
        const auto user = socksAuthenticateUsercode;
        const TExchange methods{kMethodsNoAuth, Bytes({5, 0})};
        const TExchange userMethod{kMethodsAuth, Bytes({5, 2})};
        // Each granted run ends with the test's own close.
        const std::vector<std::string> granted = {"socks connected 0", "connected 0", "closed 0"};

        add("level 5", "5", none, {methods, {kConnect5, kGranted5}}, granted);
        add("level 5 with user and password", "5", user,
            {userMethod, {kCredentials, Bytes({1, 0})}, {kConnect5, kGranted5}},
            {"socks connected 0", "auth 0", "auth 1", "connected 0", "closed 0"});
        add("level 5, user and password not required", "5", user,
            {{kMethodsAuth, Bytes({5, 0})}, {kConnect5, kGranted5}},
            {"socks connected 0", "auth 3", "connected 0", "closed 0"});
        for (const std::string& bound :
             {Bytes({3, 4}) + "host", Bytes({4}) + std::string(15, '\0') + Bytes({1})})
            add("level 5, bound address type " + std::to_string(bound[0]), "5", none,
                {methods, {kConnect5, Bytes({5, 0, 0}) + bound + Bytes({0, 80})}}, granted);
        add("level 4", "4", none, {{kConnect4, kGranted4}}, granted);
        add("level 4A", "4A", none, {{kConnect4A, kGranted4}}, granted);

        const std::string zeros(6, '\0');
        for (const auto& [reply, code, msg] :
             std::vector<TReplyRow>{{Bytes({4, 90}) + zeros, 20002, "socks version error"},
                                    {Bytes({0, 91}) + zeros, 20016, "request rejected or failed"},
                                    {Bytes({0, 92}) + zeros, 20008, "connection refused"},
                                    {Bytes({0, 93}) + zeros, 20015, "authentification failed"},
                                    {Bytes({0, 94}) + zeros, 20012, "unassigned error #94"}})
            add(std::string("level 4: ") + msg, "4", none, {{kConnect4, reply}},
                Failure(code, msg, false));
        for (const auto& [reply, code, msg] : std::vector<TReplyRow>{
                 {Bytes({4, 0}), 20002, "socks version error"},
                 {Bytes({5, 0xFF}), 20003, "authentification method not acceptable"}})
            add(std::string("method reply: ") + msg, "5", none, {{kMethodsNoAuth, reply}},
                Failure(code, msg, false));
        for (const auto& [reply, code, msg] :
             std::vector<TReplyRow>{{Bytes({1, 1}), 20015, "socks authentication failed"},
                                    {Bytes({5, 0}), 20002, "socks version error"},
                                    {Bytes({1, 0, 0}), 20001, "too much data availaible"}})
            add(std::string("password reply: ") + msg, "5", user,
                {userMethod, {kCredentials, reply}}, Failure(code, msg, true), code != 20001);

        std::vector<TReplyRow> connectRows = {
            {Bytes({4, 0, 0, 1}) + zeros, 20002, "socks version error"},
            {Bytes({5, 0, 0, 9, 0}), 20011, "address type not supported"},
            // A name that would not fit the reply buffer: no waiting for the rest of it.
            {Bytes({5, 0, 0, 3, 121}), 20001, "socks reply too long"},
            {"", 10054, "connection closed by socks server"}};
        const char* const texts[] = {
            "general SOCKS server failure", "connection not allowed by ruleset",
            "network unreachable",          "host unreachable",
            "connection refused",           "time to live expired",
            "command not supported",        "address type not supported",
            "unassigned error #9"};
        for (int code = 1; code <= 9; ++code)
            connectRows.emplace_back(Bytes({5, code, 0, 1}) + zeros,
                                     code == 9 ? 20012 : 20003 + code, texts[code - 1]);
        for (const auto& [reply, code, msg] : connectRows)
            add(std::string("connect reply: ") + msg, "5", none, {methods, {kConnect5, reply}},
                Failure(code, msg, false));
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
        // Level 4 sends an address, the others the name.
        Aim(socket, proxy, c.level, c.auth, c.level == "4" ? "127.0.0.1" : "example");
        socket.Connect();
        EXPECT_TRUE(PumpUntil([&] { return Ended(); }));
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
            SCOPED_TRACE(c.name + ", split after " + std::to_string(split));
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

// Fields a one-byte length cannot carry are refused before anything of them is sent; the
// longest that fit go out whole.
TEST_F(WSocketSocks, FieldsTooLongForTheRequestFailTheConnection) {
    const std::string tooLong(256, 'x');
    const std::string longest(255, 'x');
    struct TCase {
        const char* level;
        std::string user, pass, addr;
        std::string request; // what follows the method offer; empty when refused
        std::string error;
    };
    const TCase cases[] = {
        {"4", tooLong, "", "127.0.0.1", "", "socks user code too long"},
        {"4A", "", "", tooLong, "", "socks host name too long"},
        {"5", "", "", tooLong, "", "socks host name too long"},
        {"5", tooLong, "p", "example", "", "socks user code too long"},
        {"5", "u", tooLong, "example", "", "socks password too long"},
        {"5", longest, longest, "example", Bytes({1, 255}) + longest + Bytes({255}) + longest, ""},
        {"5", "", "", longest, Bytes({5, 1, 0, 3, 255}) + longest + Bytes({0x1F, 0x90}), ""},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(std::string(c.level) + " " + c.error);
        const bool level5 = c.level[0] == '5';
        const bool withUser = !c.pass.empty();
        Steps script;
        if (level5)
            script = {ScriptedPeer::ReadBytes(3), ScriptedPeer::Send(Bytes({5, withUser ? 2 : 0}))};
        if (!c.request.empty())
            script.push_back(ScriptedPeer::ReadBytes(static_cast<int>(c.request.size())));
        script.push_back(ScriptedPeer::ExpectClosed());
        const std::string sent =
            (level5 ? (withUser ? kMethodsAuth : kMethodsNoAuth) : std::string()) + c.request;
        ScriptedPeer proxy(script);
        TWSocket socket;
        Attach(socket);
        Aim(socket, proxy, c.level, withUser ? socksAuthenticateUsercode : socksNoAuthentication,
            c.addr);
        socket.SetSocksUsercode(c.user);
        socket.SetSocksPassword(c.pass);
        events.clear();
        socket.Connect();
        if (c.error.empty()) {
            ASSERT_TRUE(PumpUntil([&] { return proxy.Received().size() == sent.size(); }));
            EXPECT_EQ(socket.State(), wsConnected);
            socket.Close();
        } else {
            ASSERT_TRUE(PumpUntil([&] { return Ended(); }));
            EXPECT_THAT(events, Contains("socks error 20014 " + c.error));
            EXPECT_EQ(events.back(), "closed 20014");
        }
        ASSERT_TRUE(PumpUntil([&] { return proxy.Finished(); }));
        EXPECT_EQ(proxy.Received(), sent);
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
    socket.SetSocksServer("127.0.0.1");
    socket.SetProto("udp");
    socket.SetAddr("127.0.0.1");
    socket.SetPort("80");
    EXPECT_EQ(SocketError([&] { socket.Connect(); }),
              "tcp is the only protocol supported thru socks server");
    EXPECT_EQ(SocketError([&] { socket.Listen(); }),
              "Listening is not supported thru socks server");
    socket.SetProto("tcp");

    // The settings hold while a session through the proxy lasts; its close resets them, not
    // the credentials, so the next connect goes direct.
    ScriptedPeer proxy(
        {ScriptedPeer::ReadBytes(9), ScriptedPeer::Send(kGranted4), ScriptedPeer::ExpectClosed()});
    Attach(socket);
    Aim(socket, proxy, "4", socksNoAuthentication, "127.0.0.1");
    socket.SetSocksUsercode("");
    socket.Connect();
    ASSERT_TRUE(PumpUntil([&] { return Ended(); }));
    EXPECT_THAT(events, ElementsAre("socks connected 0", "connected 0"));
    const std::pair<std::function<void()>, const char*> refused[] = {
        {[&] { socket.SetSocksServer("x"); }, "Can't change socks server if not closed"},
        {[&] { socket.SetSocksPort("1"); }, "Can't change socks port if not closed"},
        {[&] { socket.SetSocksLevel("4"); }, "Can't change socks level if not closed"},
    };
    for (const auto& [call, message] : refused)
        EXPECT_EQ(SocketError(call), message);
    socket.Close();
    EXPECT_EQ(socket.SocksServer(), "");
    EXPECT_EQ(socket.SocksPort(), "");
    EXPECT_EQ(socket.SocksLevel(), "5");
    EXPECT_EQ(socket.SocksPassword(), "pass");
    TRawListener direct;
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
