// The server's end of the TLS layer, on connections a listening socket accepted, against the
// client end of the same layer: TLS from the start, TLS after a plain request (with lines the
// client slipped in behind it), and certificate files that cannot serve.
#include "net/TlsSession.h"
#include "net/WSocket.h"

#include "tests/support/EventLoopFixture.h"
#include "tests/support/TestCertificates.h"

#include <gmock/gmock.h>

#include <memory>

using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

// A line-mode socket that records its lines (without the line end), TLS outcome and close.
struct TEnd {
    TWSocket socket;
    std::vector<std::string> lines;
    bool tlsDone = false, connected = false, closed = false;
    std::uint16_t tlsError = 0xFFFF, connectError = 0xFFFF;
    std::function<void(const std::string&)> onLine;

    TEnd() {
        socket.SetLineMode(true);
        socket.OnDataAvailable = [this](TObject*, std::uint16_t) {
            std::string line = socket.ReceiveText();
            if (line.size() >= 2) line.resize(line.size() - 2);
            lines.push_back(line);
            if (onLine) onLine(line);
        };
        socket.OnTlsDone = [this](TObject*, std::uint16_t error) {
            tlsDone = true;
            tlsError = error;
        };
        socket.OnSessionConnected = [this](TObject*, std::uint16_t error) {
            connected = true;
            connectError = error;
        };
        socket.OnSessionClosed = [this](TObject*, std::uint16_t) { closed = true; };
    }
};

class WSocketTlsServer : public EventLoopTest {
protected:
    void SetUp() override {
        EventLoopTest::SetUp();
        ASSERT_TRUE(Certs().Ok()) << "the openssl tool could not make the test certificates";
        TlsSetExtraCaFile(Certs().CaFile());
        listener.SetAddr("127.0.0.1");
        listener.SetPort("0");
        listener.Listen();
        listener.OnSessionAvailable = [this](TObject*, std::uint16_t) {
            const TSocket handle = listener.Accept();
            if (handle != INVALID_SOCKET) server.socket.Dup(handle);
        };
    }
    void TearDown() override { TlsSetExtraCaFile({}); }
    static const TestCertificates& Certs() { return TestCertificates::Get(); }

    void Serve(const std::string& name, bool implicit) {
        server.socket.SetTlsCertFile(Certs().Prefix(name) + ".crt");
        server.socket.SetTlsKeyFile(Certs().Prefix(name) + ".key");
        server.socket.SetTlsImplicit(implicit);
    }
    void Connect(bool implicit) {
        client.socket.SetAddr("127.0.0.1");
        client.socket.SetPort(listener.GetBoundPort());
        client.socket.SetTlsHostName("localhost");
        client.socket.SetTlsImplicit(implicit);
        client.socket.Connect();
    }

    TWSocket listener;
    TEnd server, client;
};

TEST_F(WSocketTlsServer, FromTheStartTheGreetingWaitsForTheHandshake) {
    Serve("good", true);
    listener.OnSessionAvailable = [this](TObject*, std::uint16_t) {
        server.socket.Dup(listener.Accept());
        // Sent before the handshake is through: it must go out inside TLS, not in clear.
        server.socket.SendText("+OK hello\r\n");
    };
    server.onLine = [this](const std::string&) { server.socket.SendText("+OK bye\r\n"); };
    client.onLine = [this](const std::string& line) {
        if (line == "+OK hello") client.socket.SendText("QUIT\r\n");
    };
    Connect(true);
    ASSERT_TRUE(PumpUntil([&] { return client.lines.size() == 2; }));
    EXPECT_EQ(client.connectError, 0) << client.socket.TlsErrorText();
    EXPECT_TRUE(client.socket.TlsActive());
    EXPECT_EQ(server.tlsError, 0);
    EXPECT_TRUE(server.socket.TlsActive());
    EXPECT_THAT(client.lines, ElementsAre("+OK hello", "+OK bye"));
    EXPECT_THAT(server.lines, ElementsAre("QUIT"));
}

TEST_F(WSocketTlsServer, OnRequestTheLinesBehindTheRequestAreDropped) {
    Serve("good", false);
    server.onLine = [this](const std::string& line) {
        if (line == "STLS") {
            server.socket.SendText("+OK Begin TLS\r\n");
            server.socket.StartTls();
        }
    };
    client.onLine = [this](const std::string& line) {
        if (line == "+OK Begin TLS") client.socket.StartTls();
    };
    client.socket.OnTlsDone = [this](TObject*, std::uint16_t error) {
        client.tlsError = error;
        client.socket.SendText("USER real\r\n");
    };
    // "USER injected" comes in clear behind the request: read as a command once TLS is up, it
    // would pass for one the client sent under protection.
    client.socket.OnSessionConnected = [this](TObject*, std::uint16_t) {
        client.socket.SendText("STLS\r\nUSER injected\r\n");
    };
    Connect(false);
    ASSERT_TRUE(PumpUntil([&] { return server.lines.size() == 2; }));
    EXPECT_EQ(client.tlsError, 0) << client.socket.TlsErrorText();
    EXPECT_EQ(server.tlsError, 0) << server.socket.TlsErrorText();
    EXPECT_THAT(server.lines, ElementsAre("STLS", "USER real"));
    EXPECT_THAT(client.lines, ElementsAre("+OK Begin TLS"));
}

TEST_F(WSocketTlsServer, CertificateFilesThatCannotServe) {
    const std::string good = Certs().Prefix("good");
    EXPECT_EQ(TlsLoadServerCertificate(good + ".crt", good + ".key"), "");
    EXPECT_THAT(TlsLoadServerCertificate(good + ".missing", good + ".key"),
                HasSubstr("cannot be loaded from " + good + ".missing"));
    EXPECT_THAT(TlsLoadServerCertificate(good + ".crt", Certs().Prefix("selfsigned") + ".key"),
                HasSubstr("does not belong to the certificate"));

    // The accepted connection reports the failure, then closes; the client gets no session.
    server.socket.SetTlsCertFile(good + ".missing");
    server.socket.SetTlsKeyFile(good + ".key");
    server.socket.SetTlsImplicit(true);
    Connect(true);
    ASSERT_TRUE(PumpUntil([&] { return server.closed && client.connected; }));
    EXPECT_EQ(server.tlsError, TlsFailed);
    EXPECT_THAT(server.socket.TlsErrorText(), HasSubstr("cannot be loaded"));
    EXPECT_NE(client.connectError, 0);
}

} // namespace
