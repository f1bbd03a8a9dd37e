// Checks a mailbox of 2,000 messages of 4 KB with the main window (offscreen) against a small
// POP3 server in a thread of this process, and prints the resident memory against the
// mailbox's size. Usage: app_check_memory [MESSAGES [BYTES-PER-MESSAGE]]

#include "app/ApplicationObject.h"
#include "app/UnitMain.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

// One message of about `size` bytes: a header with a unique Message-ID and lines of text.
std::string MakeMessage(int n, size_t size) {
    std::string text = "From: Sender " + std::to_string(n) +
                       " <s@example.org>\r\nTo: joe@example.org\r\nSubject: Message " +
                       std::to_string(n) + "\r\nMessage-ID: <" + std::to_string(n) +
                       "@bench>\r\nDate: Tue, 1 Dec 2026 09:00:00 +0000\r\n\r\n";
    const std::string line =
        "The quick brown fox jumps over the lazy dog, and the dog does not mind at all.\r\n";
    while (text.size() + line.size() <= size)
        text += line;
    text.append(size - text.size() - 2, 'x');
    text += "\r\n";
    return text;
}

// A POP3 server for one session: any USER/PASS, STAT, RETR n, QUIT.
class TBenchServer {
public:
    TBenchServer(int count, size_t size) {
        for (int i = 1; i <= count; ++i)
            messages_.push_back(MakeMessage(i, size));
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
            ::listen(listener_, 1) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            std::perror("bench server");
            std::exit(1);
        }
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~TBenchServer() {
        ::shutdown(listener_, SHUT_RDWR);
        ::close(listener_);
        thread_.join();
    }
    int Port() const { return port_; }
    size_t MailboxBytes() const {
        size_t total = 0;
        for (const std::string& m : messages_)
            total += m.size();
        return total;
    }

private:
    void Serve() {
        const int fd = ::accept(listener_, nullptr, nullptr);
        if (fd < 0) return;
        Send(fd, "+OK bench\r\n");
        std::string pending;
        char buffer[4096];
        for (;;) {
            const size_t eol = pending.find("\r\n");
            if (eol == std::string::npos) {
                const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
                if (got <= 0) break;
                pending.append(buffer, static_cast<size_t>(got));
                continue;
            }
            const std::string command = pending.substr(0, eol);
            pending.erase(0, eol + 2);
            if (command.rfind("STAT", 0) == 0) {
                Send(fd, "+OK " + std::to_string(messages_.size()) + " " +
                             std::to_string(MailboxBytes()) + "\r\n");
            } else if (command.rfind("RETR ", 0) == 0) {
                const size_t n = std::strtoul(command.c_str() + 5, nullptr, 10);
                if (n < 1 || n > messages_.size()) {
                    Send(fd, "-ERR no such message\r\n");
                    continue;
                }
                Send(fd, "+OK\r\n" + messages_[n - 1] + ".\r\n");
            } else if (command.rfind("QUIT", 0) == 0) {
                Send(fd, "+OK bye\r\n");
                break;
            } else {
                Send(fd, "+OK\r\n");
            }
        }
        ::close(fd);
    }
    static void Send(int fd, const std::string& text) {
        size_t sent = 0;
        while (sent < text.size()) {
            const ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return;
            sent += static_cast<size_t>(n);
        }
    }

    std::vector<std::string> messages_;
    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
};

// VmRSS or VmHWM of this process in bytes.
size_t StatusBytes(const char* key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(key, 0) == 0)
            return std::strtoull(line.c_str() + std::strlen(key), nullptr, 10) * 1024;
    return 0;
}

size_t HeapInUse() {
    return mallinfo2().uordblks;
}

double Mb(size_t bytes) {
    return static_cast<double>(bytes) / (1024.0 * 1024.0);
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    const int count = argc > 1 ? std::atoi(argv[1]) : 2000;
    const size_t size = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 4096;
    TApplication app(argc, argv);
    QTemporaryDir dir;
    TfrmMain::OverrideSettingsFile((dir.path() + "/postlark.ini").toStdString());
    auto owned = std::make_unique<TfrmMain>();
    TfrmMain& window = *owned;

    // The server's copy of the mailbox lives in this process too: it is counted in the
    // baseline, so the growth measured is the client's.
    TBenchServer server(count, size);
    const size_t mailbox = server.MailboxBytes();
    window.HostEdit->setText("127.0.0.1");
    window.PortEdit->setText(QString::number(server.Port()));
    window.UserNameEdit->setText("bench");
    window.PassWordEdit->setText("bench");
    const size_t before = StatusBytes("VmRSS:");
    const size_t heapBefore = HeapInUse();

    QElapsedTimer clock;
    clock.start();
    window.btnDownload->click();
    while (!window.StatusText().startsWith("There're") && clock.elapsed() < 600000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    const double seconds = static_cast<double>(clock.elapsed()) / 1000.0;
    const size_t after = StatusBytes("VmRSS:");
    const size_t peak = StatusBytes("VmHWM:");
    const size_t heapAfter = HeapInUse();
    size_t lines = 0;
    for (const auto& m : window.Messages()) {
        for (std::string_view l : m->RawLines)
            lines += l.size() + sizeof(std::uint32_t);
        for (std::string_view l : m->Body)
            lines += l.size() + sizeof(std::uint32_t);
    }

    std::printf("messages held:          %zu of %d (%s)\n", window.Messages().size(), count,
                qPrintable(window.StatusText()));
    std::printf("mailbox size:           %.1f MB (%d x %zu bytes)\n", Mb(mailbox), count, size);
    std::printf("check time:             %.2f s\n", seconds);
    std::printf("resident before check:  %.1f MB (program, and the server's copy of the mailbox)\n",
                Mb(before));
    std::printf("resident after check:   %.1f MB, peak %.1f MB\n", Mb(after), Mb(peak));
    std::printf("growth by the check:    %.1f MB = %.2f x the mailbox size\n",
                Mb(after > before ? after - before : 0),
                static_cast<double>(after > before ? after - before : 0) /
                    static_cast<double>(mailbox));
    std::printf("heap in use grew by:    %.1f MB, of which raw and decoded lines %.1f MB\n",
                Mb(heapAfter - heapBefore), Mb(lines));
    const bool ok = window.Messages().size() == static_cast<size_t>(count);
    owned.reset();
    TfrmMain::OverrideSettingsFile({});
    return ok ? 0 : 1;
}
