// pop3_fetch --host H --port P --user U --pass W [--tls [--pin HEX] [--ca FILE]]
//
// Logs in once with USER/PASS, retrieves every message 1..N with RETR on one connection (no
// DELE), ends with QUIT and discards the lines. Exits 0 only when every message arrived.
// --tls speaks TLS from the first byte (port 995 unless given); the server's certificate is
// checked against the system store, plus the authority in --ca, or must have the SHA-256
// fingerprint given with --pin.

#include "net/Pop3Prot.h"
#include "net/TlsSession.h"
#include "ui/ConsoleApplication.h"
#include "ui/EventLoop.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

struct Options {
    std::string host = "127.0.0.1", port, user, pass, pin, caFile;
    bool tls = false;
};

bool ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--tls") {
            options.tls = true;
            continue;
        }
        if (i + 1 == argc) return false;
        const std::string value = argv[++i];
        if (name == "--host")
            options.host = value;
        else if (name == "--port")
            options.port = value;
        else if (name == "--user")
            options.user = value;
        else if (name == "--pass")
            options.pass = value;
        else if (name == "--pin")
            options.pin = value;
        else if (name == "--ca")
            options.caFile = value;
        else
            return false;
    }
    if (options.port.empty()) options.port = options.tls ? "995" : "110";
    // Trust settings without TLS would be silently ignored.
    return options.tls || (options.pin.empty() && options.caFile.empty());
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: %s --host H --port P --user U --pass W [--tls [--pin HEX] "
                     "[--ca FILE]]\n",
                     argv[0]);
        return 2;
    }
    TConsoleApplication app(argc, argv);

    TPop3Cli client;
    client.SetHost(options.host);
    client.SetPort(options.port);
    client.SetUserName(options.user);
    client.SetPassWord(options.pass);
    if (options.tls) {
        client.SetSecurity(secTls);
        client.SetTlsPin(options.pin);
        if (!options.caFile.empty()) TlsSetExtraCaFile(options.caFile);
    }

    int messageCount = -1;
    int messagesEnded = 0;
    int nextMessage = 1;
    long long bytes = 0;
    bool ok = false;
    client.OnMessageLine = [&](TObject*) {
        bytes += static_cast<long long>(client.LastResponse().size()) + 2;
    };
    client.OnMessageEnd = [&](TObject*) { ++messagesEnded; };
    client.OnRequestDone = [&](TObject*, TPop3Request rq, std::uint16_t error) {
        try {
            if (error != 0 && rq != pop3Quit) {
                std::fprintf(stderr, "pop3_fetch: request %d failed with %u: %s\n",
                             static_cast<int>(rq), error, client.ErrorMessage().c_str());
                if (client.Connected()) client.Abort();
                Application::Terminate();
                return;
            }
            switch (rq) {
            case pop3Connect:
                if (options.tls && !client.Secured()) {
                    std::fprintf(stderr, "pop3_fetch: the connection is not secured\n");
                    client.Abort();
                    Application::Terminate();
                    return;
                }
                client.User();
                break;
            case pop3User:
                client.Pass();
                break;
            case pop3Pass:
                client.Stat();
                break;
            case pop3Stat:
                messageCount = client.MsgCount();
                [[fallthrough]];
            case pop3Retr:
                if (nextMessage <= messageCount) {
                    client.SetMsgNum(nextMessage++);
                    client.Retr();
                } else {
                    client.Quit();
                }
                break;
            case pop3Quit:
                ok = error == 0 && messageCount >= 0 && messagesEnded == messageCount;
                Application::Terminate();
                break;
            default:
                Application::Terminate();
            }
        } catch (const Exception& e) {
            std::fprintf(stderr, "pop3_fetch: %s\n", e.what());
            Application::Terminate();
        }
    };
    try {
        client.Connect();
    } catch (const Exception& e) {
        std::fprintf(stderr, "pop3_fetch: %s\n", e.what());
        return 1;
    }
    app.Run();
    std::fprintf(stderr, "pop3_fetch: %d of %d messages, %lld bytes\n", messagesEnded, messageCount,
                 bytes);
    return ok ? 0 : 1;
}
