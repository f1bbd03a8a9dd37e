// The socket's proxy layer against real SOCKS proxies on loopback: a private Dante (levels 4
// and 5, its user name method against a throwaway system user) and microsocks (level 5 with
// user and password). Behind the proxy a scripted server holds a short line dialogue.
#include "net/WSocket.h"
#include "tests/integration/DanteServer.h"
#include "tests/integration/ServerSkip.h"

#include "tests/net/WSocketTestSupport.h"
#include "tests/support/ScriptedPeer.h"

#include <gmock/gmock.h>

#include <memory>

#include <unistd.h>

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

const std::string kPassword = "Pl-s0cks!";

struct Proxies {
    Dante dante;
    MicroSocks micro;
    TSystemUser user;
    std::string danteWhy, microWhy, userWhy;
    bool danteUp = false, microUp = false, userMade = false;
};
std::unique_ptr<Proxies> proxies;

struct TRoute {
    const char* name;
    const char* level;
    TSocksAuthentication auth;
    std::string user;
    std::string password;
};

TRoute Route(const char* name, const char* level, const std::string& user = {},
             const std::string& password = {}) {
    return {name, level, password.empty() ? socksNoAuthentication : socksAuthenticateUsercode, user,
            password};
}

class SocksProxy : public EventLoopTest {
public:
    static void SetUpTestSuite() {
        proxies = std::make_unique<Proxies>();
        Proxies& p = *proxies;
        p.danteUp = p.dante.Start(p.danteWhy);
        p.userMade = p.danteUp && p.user.Create(kPassword, p.userWhy);
        p.microUp = p.micro.Start("postlark", kPassword, p.microWhy);
    }
    static void TearDownTestSuite() { proxies.reset(); }

protected:
    static void Require(bool up, const std::string& why) {
        if (up) return;
        if (MaySkipServer(why)) GTEST_SKIP() << why;
        FAIL() << why;
    }

    // Connects through the proxy on port to a scripted server, which greets; the client
    // answers PING and waits for PONG. Returns the events; the dialogue's lines are in lines.
    std::vector<std::string> Dialogue(std::uint16_t port, const TRoute& route,
                                      bool reachable = true) {
        events.clear();
        lines.clear();
        ScriptedPeer server({ScriptedPeer::Send("+OK hello\r\n"), ScriptedPeer::ExpectLine("PING"),
                             ScriptedPeer::Send("PONG\r\n"), ScriptedPeer::ExpectClosed()});
        TWSocket socket;
        socket.OnSocksError = [&](TObject*, std::int32_t error, const std::string& msg) {
            events.push_back("socks error " + std::to_string(error) + " " + msg);
        };
        socket.OnSocksAuthState = [&](TObject*, TSocksAuthState state) {
            events.push_back("auth " + std::to_string(state));
        };
        socket.OnSessionConnected = [&](TObject*, std::uint16_t error) {
            events.push_back("connected " + std::to_string(error));
        };
        socket.OnSessionClosed = [&](TObject*, std::uint16_t error) {
            events.push_back("closed " + std::to_string(error));
        };
        socket.OnDataAvailable = [&](TObject*, std::uint16_t) {
            lines.push_back(socket.ReceiveText());
            if (lines.back() == "+OK hello\r\n") socket.SendText("PING\r\n");
            if (lines.back() == "PONG\r\n") socket.Close();
        };
        socket.SetLineMode(true);
        socket.SetAddr("127.0.0.1");
        // A port nobody listens on makes the proxy's own connect fail.
        socket.SetPort(reachable ? server.PortText() : UnusedPort());
        socket.SetSocksServer("127.0.0.1");
        socket.SetSocksPort(std::to_string(port));
        socket.SetSocksLevel(route.level);
        socket.SetSocksAuthentication(route.auth);
        socket.SetSocksUsercode(route.user);
        socket.SetSocksPassword(route.password);
        socket.Connect();
        EXPECT_TRUE(PumpUntil([&] { return socket.State() == wsClosed; }, 10000)) << route.name;
        if (reachable && events.back() == "closed 0") {
            EXPECT_THAT(lines, ElementsAre("+OK hello\r\n", "PONG\r\n")) << route.name;
            EXPECT_TRUE(server.WaitFinished());
            EXPECT_THAT(server.Failures(), ElementsAre());
        }
        return events;
    }

    std::vector<std::string> events;
    std::vector<std::string> lines;
};

TEST_F(SocksProxy, DanteRelaysLevels4And5) {
    Require(proxies->danteUp, proxies->danteWhy);
    for (const TRoute& route : {Route("level 4", "4", "anyone"), Route("level 5", "5")}) {
        EXPECT_THAT(Dialogue(proxies->dante.Port(), route), ElementsAre("connected 0", "closed 0"))
            << route.name;
    }
}

TEST_F(SocksProxy, DanteReportsADestinationThatRefuses) {
    Require(proxies->danteUp, proxies->danteWhy);
    EXPECT_THAT(
        Dialogue(proxies->dante.Port(), Route("level 5", "5"), false),
        ElementsAre("socks error 20008 connection refused", "connected 20008", "closed 20008"));
    EXPECT_THAT(Dialogue(proxies->dante.Port(), Route("level 4", "4"), false),
                ElementsAre("socks error 20016 request rejected or failed", "connected 20016",
                            "closed 20016"));
}

TEST_F(SocksProxy, DanteChecksTheUserAndPasswordOfASystemUser) {
    Require(proxies->danteUp, proxies->danteWhy);
    if (!proxies->userMade) GTEST_SKIP() << proxies->userWhy;
    const std::string name = proxies->user.Name();
    EXPECT_THAT(Dialogue(proxies->dante.Port(), Route("valid", "5", name, kPassword)),
                ElementsAre("auth 0", "auth 1", "connected 0", "closed 0"));
    EXPECT_THAT(Dialogue(proxies->dante.Port(), Route("wrong password", "5", name, "wrong")),
                ElementsAre("auth 0", "socks error 20015 socks authentication failed",
                            "connected 20015", "auth 2", "closed 20015"));
}

TEST_F(SocksProxy, MicroSocksWantsItsUserAndPassword) {
    Require(proxies->microUp, proxies->microWhy);
    const std::uint16_t port = proxies->micro.Port();
    EXPECT_THAT(Dialogue(port, Route("valid", "5", "postlark", kPassword)),
                ElementsAre("auth 0", "auth 1", "connected 0", "closed 0"));
    const std::vector<std::string> refused = {"auth 0",
                                              "socks error 20015 socks authentication failed",
                                              "connected 20015", "auth 2", "closed 20015"};
    EXPECT_THAT(Dialogue(port, Route("wrong password", "5", "postlark", "x")),
                ElementsAreArray(refused));
    EXPECT_THAT(Dialogue(port, Route("no authentication offered", "5")),
                ElementsAre("socks error 20003 authentification method not acceptable",
                            "connected 20003", "closed 20003"));
}

} // namespace
