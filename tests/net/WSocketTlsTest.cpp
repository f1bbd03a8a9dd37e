// The socket's TLS layer against a scripted TLS server on 127.0.0.1: the certificate checks,
// the start of TLS after plain text with bytes the server slipped in before, TLS behind a SOCKS
// proxy, a handshake the server ends or stalls, and bulk data both ways.
#include "net/TlsSession.h"
#include "net/WSocket.h"

#include "tests/support/EventLoopFixture.h"
#include "tests/support/ScriptedPeer.h"
#include "tests/support/TestCertificates.h"

#include <gmock/gmock.h>

using ::testing::HasSubstr;
using ::testing::Not;
using Peer = ScriptedPeer;

namespace {

class WSocketTls : public EventLoopTest {
protected:
    void SetUp() override {
        EventLoopTest::SetUp();
        ASSERT_TRUE(Certs().Ok()) << "the openssl tool could not make the test certificates";
        TlsSetExtraCaFile(Certs().CaFile());
    }
    void TearDown() override { TlsSetExtraCaFile({}); }
    static const TestCertificates& Certs() { return TestCertificates::Get(); }

    // A line-mode client that connects to the peer and records every line it receives.
    void Open(const ScriptedPeer& peer, bool implicit, const std::string& host = "localhost",
              const std::string& pin = {}) {
        socket.SetAddr("127.0.0.1");
        socket.SetPort(peer.PortText());
        socket.SetLineMode(true);
        socket.SetTlsImplicit(implicit);
        socket.SetTlsHostName(host);
        socket.SetTlsPin(pin);
        socket.OnSessionConnected = [this](TObject*, std::uint16_t error) {
            connected = true;
            connectError = error;
        };
        socket.OnTlsDone = [this](TObject*, std::uint16_t error) {
            tlsDone = true;
            tlsError = error;
            events.push_back("tls " + std::to_string(error));
        };
        socket.OnDataAvailable = [this](TObject*, std::uint16_t) {
            const std::string line = socket.ReceiveText();
            events.push_back(line);
            if (onLine) onLine(line);
        };
        socket.OnSessionClosed = [this](TObject*, std::uint16_t) {
            closed = true;
            events.push_back("closed");
        };
        socket.Connect();
    }

    TWSocket socket;
    bool connected = false, tlsDone = false, closed = false;
    std::uint16_t connectError = 0, tlsError = 0;
    std::vector<std::string> events;
    std::function<void(const std::string&)> onLine;
};

struct TVerifyCase {
    const char* name;
    const char* cert;
    const char* host;
    bool pinIt;        // pin the certificate's own fingerprint
    const char* error; // part of the error text; empty when the connection must succeed
};

TEST_F(WSocketTls, CertificateChecksTable) {
    const TVerifyCase cases[] = {
        {"good certificate by name", "good", "localhost", false, ""},
        {"good certificate by address", "good", "127.0.0.1", false, ""},
        {"issued for another name", "wronghost", "localhost", false, "not valid for localhost"},
        {"good certificate, wrong address", "good", "127.0.0.2", false, "not valid for 127.0.0.2"},
        {"expired", "expired", "localhost", false, "has expired"},
        {"self-signed", "selfsigned", "localhost", false, "is self-signed"},
        {"self-signed and pinned", "selfsigned", "localhost", true, ""},
        {"pinned trusts exactly that certificate", "wronghost", "localhost", true, ""},
    };
    for (const TVerifyCase& c : cases) {
        SCOPED_TRACE(c.name);
        connected = false;
        events.clear();
        Peer peer({Peer::StartTls(Certs().Prefix(c.cert)), Peer::Send("+OK hello\r\n"),
                   Peer::ExpectLine("QUIT")});
        Open(peer, true, c.host, c.pinIt ? Certs().Fingerprint(c.cert) : std::string());
        ASSERT_TRUE(PumpUntil([&] { return connected; }));
        if (*c.error == 0) {
            EXPECT_EQ(connectError, 0) << socket.TlsErrorText();
            EXPECT_TRUE(socket.TlsActive());
            ASSERT_TRUE(PumpUntil([&] { return !events.empty(); }));
            EXPECT_EQ(events.front(), "+OK hello\r\n");
            socket.SendText("QUIT\r\n");
            EXPECT_TRUE(peer.WaitFinished());
            EXPECT_TRUE(peer.Failures().empty());
        } else {
            EXPECT_EQ(connectError, TlsFailed);
            EXPECT_THAT(socket.TlsErrorText(), HasSubstr(c.error));
            // Refused: the connection is gone and nothing was read as data.
            EXPECT_EQ(socket.State(), wsClosed);
            EXPECT_TRUE(events.empty() || events == std::vector<std::string>{"closed"});
        }
        socket.Abort();
        PumpFor(10);
    }
}

TEST_F(WSocketTls, UnknownAuthorityAndWrongPinAreRefused) {
    TlsSetExtraCaFile({}); // the test authority is unknown to the system store
    {
        Peer peer({Peer::StartTls(Certs().Prefix("good"))});
        Open(peer, true);
        ASSERT_TRUE(PumpUntil([&] { return connected; }));
        EXPECT_EQ(connectError, TlsFailed);
        EXPECT_THAT(socket.TlsErrorText(), HasSubstr("unknown authority"));
    }
    TlsSetExtraCaFile(Certs().CaFile());
    connected = false;
    Peer peer({Peer::StartTls(Certs().Prefix("good"))});
    // A pin overrides the store: a certificate the store accepts must still match it.
    Open(peer, true, "localhost", Certs().Fingerprint("selfsigned"));
    ASSERT_TRUE(PumpUntil([&] { return connected; }));
    EXPECT_EQ(connectError, TlsFailed);
    EXPECT_THAT(socket.TlsErrorText(), HasSubstr("does not match the pinned fingerprint"));
    EXPECT_THAT(socket.TlsErrorText(), HasSubstr(Certs().Fingerprint("good")));
}

// Through a SOCKS proxy the handshake is with the target, after the proxy has connected us;
// the proxy's own replies are no part of it.
TEST_F(WSocketTls, ImplicitTlsStartsAfterTheSocksHandshake) {
    Peer proxy({Peer::ReadBytes(3), Peer::Send(std::string("\x05\x00", 2)), Peer::ReadBytes(16),
                Peer::Send(std::string("\x05\x00\x00\x01\x7f\x00\x00\x01\x00\x50", 10)),
                Peer::StartTls(Certs().Prefix("good")), Peer::Send("+OK hello\r\n"),
                Peer::ExpectLine("QUIT")});
    socket.SetSocksServer("127.0.0.1");
    socket.SetSocksPort(proxy.PortText());
    Open(proxy, true);
    ASSERT_TRUE(PumpUntil([&] { return connected; }));
    EXPECT_EQ(connectError, 0) << socket.TlsErrorText();
    ASSERT_TRUE(PumpUntil([&] { return !events.empty(); }));
    EXPECT_EQ(events.front(), "+OK hello\r\n");
    socket.SendText("QUIT\r\n");
    EXPECT_TRUE(proxy.WaitFinished());
    EXPECT_TRUE(proxy.Failures().empty());
}

// The refusal names what to pin, although the handshake ended before the certificate was
// taken as the peer's.
TEST_F(WSocketTls, ASelfSignedRefusalNamesItsFingerprint) {
    Peer peer({Peer::StartTls(Certs().Prefix("selfsigned"))});
    Open(peer, true);
    ASSERT_TRUE(PumpUntil([&] { return connected; }));
    EXPECT_EQ(connectError, TlsFailed);
    EXPECT_THAT(socket.TlsErrorText(),
                HasSubstr("(SHA-256 fingerprint " + Certs().Fingerprint("selfsigned") + ")"));
}

TEST_F(WSocketTls, APinnedHandshakeRefusedLaterIsNotBlamedOnTheCertificate) {
    // A pinned session does not verify against the store; the store's verdict on the
    // certificate must not stand in for the server's refusal.
    for (const char* cert : {"selfsigned", "good"}) {
        SCOPED_TRACE(cert);
        connected = false;
        Peer peer({Peer::StartTlsDemandingClientCert(Certs().Prefix(cert))});
        Open(peer, true, "localhost", Certs().Fingerprint(cert));
        ASSERT_TRUE(PumpUntil([&] { return connected; }));
        EXPECT_EQ(connectError, TlsFailed);
        EXPECT_THAT(socket.TlsErrorText(), HasSubstr("TLS handshake failed"));
        EXPECT_THAT(socket.TlsErrorText(), Not(HasSubstr("certificate")));
        socket.Abort();
        PumpFor(10);
    }
}

TEST_F(WSocketTls, BytesSentBeforeTheHandshakeAreNeverRead) {
    // The server answers the request for TLS and, in the same segment, adds a reply of its own
    // in clear; only what comes inside TLS may be read.
    Peer peer({Peer::Send("+OK ready\r\n"), Peer::ExpectLine("STLS"),
               Peer::Send("+OK Begin TLS\r\n-ERR injected\r\n"),
               Peer::StartTls(Certs().Prefix("good")), Peer::Send("+OK secured\r\n"),
               Peer::ExpectLine("USER me"), Peer::Close()});
    onLine = [this](const std::string& line) {
        if (line == "+OK ready\r\n") socket.SendText("STLS\r\n");
        if (line == "+OK Begin TLS\r\n") socket.StartTls();
        if (line == "+OK secured\r\n") socket.SendText("USER me\r\n");
    };
    Open(peer, false);
    ASSERT_TRUE(PumpUntil([&] { return closed; }));
    EXPECT_THAT(events, ::testing::ElementsAre("+OK ready\r\n", "+OK Begin TLS\r\n", "tls 0",
                                               "+OK secured\r\n", "closed"));
    EXPECT_TRUE(peer.WaitFinished());
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures().front();
}

TEST_F(WSocketTls, AServerThatClosesMidHandshakeCompletesWithAnError) {
    for (const bool implicit : {true, false}) {
        SCOPED_TRACE(implicit ? "implicit" : "after plain text");
        connected = tlsDone = closed = false;
        events.clear();
        std::vector<Peer::Step> script;
        if (!implicit) script = {Peer::Send("+OK go\r\n")};
        script.push_back(Peer::ReadBytes(20)); // part of the hello
        script.push_back(Peer::Close());
        Peer peer(script);
        onLine = [this](const std::string&) { socket.StartTls(); };
        Open(peer, implicit);
        ASSERT_TRUE(PumpUntil([&] { return closed; }));
        EXPECT_EQ(implicit ? connectError : tlsError, TlsFailed);
        EXPECT_THAT(socket.TlsErrorText(), HasSubstr("closed the connection during the TLS"));
        // The failure is reported before the close.
        if (!implicit) {
            EXPECT_EQ(events.at(events.size() - 2), "tls " + std::to_string(TlsFailed));
        }
    }
}

TEST_F(WSocketTls, AStalledHandshakeEndsWithTheWaitsTimeLimit) {
    Peer peer({Peer::ReadBytes(20), Peer::Pause(700)});
    Open(peer, true);
    socket.SetTimeLimit(300);
    EXPECT_EQ(socket.WaitForFlag(connected), WaitTimedOut);
    EXPECT_TRUE(socket.TlsHandshaking());
    socket.Abort();
    EXPECT_FALSE(socket.TlsHandshaking());
    EXPECT_EQ(socket.State(), wsClosed);
}

TEST_F(WSocketTls, BulkDataBothWaysArrivesIntact) {
    std::string bulk;
    for (int i = 0; bulk.size() < 3'000'000; ++i)
        bulk += "line " + std::to_string(i) + " of the bulk transfer\r\n";
    const std::string upload(300'000, 'u');
    Peer peer({Peer::StartTls(Certs().Prefix("good")), Peer::Send(bulk), Peer::Send(".\r\n"),
               Peer::ReadBytes(static_cast<int>(upload.size())), Peer::Send("done\r\n"),
               Peer::Close()});
    std::string received;
    onLine = [&](const std::string& line) {
        if (line == ".\r\n")
            socket.SendText(upload);
        else if (line != "done\r\n")
            received += line;
    };
    Open(peer, true);
    ASSERT_TRUE(PumpUntil([&] { return closed; }, 20000));
    EXPECT_EQ(received.size(), bulk.size());
    EXPECT_TRUE(received == bulk);
    EXPECT_EQ(events.at(events.size() - 2), "done\r\n");
    EXPECT_TRUE(peer.WaitFinished());
    EXPECT_TRUE(peer.Failures().empty());
}

TEST_F(WSocketTls, WhatTheServerSentBeforeItsCloseIsAllReadBeforeTheClose) {
    // A reader taking small pieces leaves decrypted and undecrypted records in the TLS layer
    // when the close arrives; they must still reach it, and only then the close.
    // The same holds when the server skips the close alert.
    std::string block;
    for (int i = 0; block.size() < 200'000; ++i)
        block += "record " + std::to_string(i) + "\n";
    for (const Peer::Step& close : {Peer::Close(), Peer::CloseWithoutTlsAlert()}) {
        SCOPED_TRACE(close.number == 0 ? "with the close alert" : "without the close alert");
        closed = false;
        Peer peer({Peer::StartTls(Certs().Prefix("good")), Peer::Send(block), close});
        Open(peer, true);
        socket.SetLineMode(false);
        std::string received;
        bool readAfterClose = false;
        socket.OnDataAvailable = [&](TObject*, std::uint16_t) {
            char piece[100];
            const int n = socket.Receive(piece, sizeof piece);
            if (n > 0) received.append(piece, static_cast<std::size_t>(n));
            readAfterClose = readAfterClose || (n > 0 && closed);
        };
        ASSERT_TRUE(PumpUntil([&] { return closed; }, 20000));
        EXPECT_EQ(received.size(), block.size());
        EXPECT_TRUE(received == block);
        EXPECT_FALSE(readAfterClose);
    }
}

} // namespace
