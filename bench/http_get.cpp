// http_get URL
//
// Fetches one document through THttpCli with a synchronous Get and throws the body away, as a
// command-line fetcher writing to /dev/null would. Prints the byte count; exits 1 on failure.
// The harness bench/http_get_vs_curl.py times it against curl.

#include "net/HttpProt.h"
#include "ui/ConsoleApplication.h"

#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: http_get URL\n");
        return 2;
    }
    TConsoleApplication app(argc, argv);
    THttpCli client;
    client.SetURL(argv[1]);
    client.SetTimeout(0); // a large document on a slow link must not be cut
    long long bytes = 0;
    client.OnDocData = [&](TObject*, const char*, int len) { bytes += len; };
    try {
        client.Get();
    } catch (const EHttpException& e) {
        std::fprintf(stderr, "http_get: %s (%u)\n", e.Message().c_str(), e.ErrorCode());
        return 1;
    }
    std::printf("%lld bytes\n", bytes);
    return 0;
}
