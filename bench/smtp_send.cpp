// smtp_send --host H --port P --from A --to B FILE...
//
// One connection: EHLO, then MAIL/RCPT/DATA for each file in order, each file being a whole
// message (its own header, so the client composes none), then QUIT. Exits 0 only when every
// message was accepted.

#include "net/SmtpProt.h"
#include "ui/ConsoleApplication.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

struct Options {
    std::string host = "127.0.0.1", port = "25", from, to;
    std::vector<std::string> files;
};

bool ParseOptions(int argc, char** argv, Options& options) {
    int i = 1;
    for (; i + 1 < argc && std::string(argv[i]).rfind("--", 0) == 0; i += 2) {
        const std::string name = argv[i];
        const std::string value = argv[i + 1];
        if (name == "--host")
            options.host = value;
        else if (name == "--port")
            options.port = value;
        else if (name == "--from")
            options.from = value;
        else if (name == "--to")
            options.to = value;
        else
            return false;
    }
    for (; i < argc; ++i)
        options.files.emplace_back(argv[i]);
    return !options.files.empty();
}

// The lines of a message file, without their line ends, as views into buffer. The whole file
// comes in one read where it can: a stream would make several system calls per file.
bool ReadLines(const std::string& path, std::vector<char>& buffer,
               std::vector<std::string_view>& lines) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    if (buffer.empty()) buffer.resize(256 * 1024);
    std::size_t size = 0;
    for (;;) {
        if (size == buffer.size()) buffer.resize(buffer.size() * 2);
        const ssize_t n = ::read(fd, buffer.data() + size, buffer.size() - size);
        if (n < 0) {
            ::close(fd);
            return false;
        }
        size += static_cast<std::size_t>(n);
        if (n == 0 || size < buffer.size()) break;
    }
    ::close(fd);
    const std::string_view text(buffer.data(), size);
    lines.clear();
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::size_t stop = end;
        if (stop > start && text[stop - 1] == '\r') --stop;
        lines.push_back(text.substr(start, stop - start));
        start = end + 1;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr, "usage: %s --host H --port P --from A --to B FILE...\n", argv[0]);
        return 2;
    }
    TConsoleApplication app(argc, argv);
    TSyncSmtpCli client;
    client.SetHost(options.host);
    client.SetPort(options.port);
    client.SetSignOn("bench.test");
    client.SetFromName(options.from);
    TStringList recipients;
    recipients.Add(options.to);
    client.SetRcptName(recipients);
    client.SetOwnHeaders(true);
    client.SetTimeout(60);

    if (!client.ConnectSync() || !client.EhloSync()) {
        std::fprintf(stderr, "smtp_send: %s\n", client.ErrorMessage().c_str());
        return 1;
    }
    int sent = 0;
    std::vector<std::string_view> lines;
    std::vector<char> buffer;
    // The lines go to the client straight from the file's buffer through OnGetData; a line
    // longer than the client offers room for goes through MailMessage instead.
    std::size_t next = 0;
    client.OnGetData = [&](TObject*, int, char* line, int maxLen, bool& more) {
        more = next < lines.size();
        if (!more) return;
        const std::string_view text = lines[next++];
        std::memcpy(line, text.data(), text.size());
        line[text.size()] = '\0';
        (void)maxLen;
    };
    for (const std::string& path : options.files) {
        if (!ReadLines(path, buffer, lines)) {
            std::fprintf(stderr, "smtp_send: cannot read %s\n", path.c_str());
            break;
        }
        next = 0;
        TStringList whole;
        if (std::any_of(lines.begin(), lines.end(),
                        [](std::string_view l) { return l.size() > 1023; })) {
            for (std::string_view line : lines)
                whole.Add(std::string(line));
            next = lines.size();
        }
        client.SetMailMessage(whole);
        if (!client.MailSync()) {
            std::fprintf(stderr, "smtp_send: %s: %s\n", path.c_str(),
                         client.ErrorMessage().c_str());
            break;
        }
        ++sent;
    }
    const bool quit = client.QuitSync();
    std::fprintf(stderr, "smtp_send: %d of %zu messages\n", sent, options.files.size());
    return sent == static_cast<int>(options.files.size()) && quit ? 0 : 1;
}
