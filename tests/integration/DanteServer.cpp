#include "tests/integration/DanteServer.h"

#include "tests/support/LoopbackPort.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;

namespace {

constexpr const char* kDanted = "/usr/sbin/danted";
constexpr const char* kMicroSocks = "/usr/bin/microsocks";

// True once the proxy on port answers a SOCKS 5 method offer with two bytes (whatever it
// chose: a proxy that wants a user name still proves it is up).
bool Answers(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    timeval tv{2, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    const char offer[] = {5, 1, 0};
    char reply[2] = {};
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                    ::send(fd, offer, sizeof offer, MSG_NOSIGNAL) == 3 &&
                    ::recv(fd, reply, 2, MSG_WAITALL) == 2 && reply[0] == 5;
    ::close(fd);
    return ok;
}

} // namespace

bool TProxyProcess::Launch(const std::vector<std::string>& args, const std::string& log,
                           std::string& why) {
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    // The proxy's own output goes to its log, not into the test's.
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                       0644);
    ::posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const int spawned = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        pid_ = 0;
        why = "could not start " + args[0];
        return false;
    }
    for (int i = 0; i < 100; ++i) {
        if (Answers(port_)) return true;
        if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = 0;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    why = args[0] + " did not start; see " + log;
    return false;
}

void TProxyProcess::Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    pid_ = 0;
}

Dante::~Dante() {
    Stop();
    if (!dir_.empty()) {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
}

bool Dante::Start(std::string& why, const std::string& methods) {
    if (::access(kDanted, X_OK) != 0) {
        why = "danted is not installed (Debian dante-server)";
        return false;
    }
    char pattern[] = "/tmp/postlark-dante-XXXXXX";
    if (!::mkdtemp(pattern)) {
        why = "mkdtemp failed";
        return false;
    }
    dir_ = pattern;
    ::chmod(dir_.c_str(), 0755); // Dante's children run as nobody
    port_ = FreeLoopbackPort();
    std::ofstream conf(dir_ / "danted.conf");
    conf << "logoutput: " << (dir_ / "danted.log").string() << "\n"
         << "internal: 127.0.0.1 port = " << port_ << "\n"
         << "external: 127.0.0.1\n"
         << "clientmethod: none\n"
         << "socksmethod: " << methods << "\n";
    // Checking system passwords needs the privileged user; unprivileged, Dante stays as it is.
    if (::geteuid() == 0) conf << "user.privileged: root\nuser.unprivileged: nobody\n";
    conf << "client pass {\n  from: 127.0.0.0/8 to: 0.0.0.0/0\n}\n"
         << "socks pass {\n  from: 127.0.0.0/8 to: 127.0.0.0/8\n  command: connect\n"
         << "  protocol: tcp\n}\n";
    conf.close();
    // In the foreground, one process tree that Stop ends.
    return Launch(
        {kDanted, "-f", (dir_ / "danted.conf").string(), "-p", (dir_ / "danted.pid").string()},
        (dir_ / "danted.out").string(), why);
}

bool MicroSocks::Start(const std::string& user, const std::string& password, std::string& why) {
    if (::access(kMicroSocks, X_OK) != 0) {
        why = "microsocks is not installed (Debian microsocks)";
        return false;
    }
    port_ = FreeLoopbackPort();
    return Launch({kMicroSocks, "-i", "127.0.0.1", "-p", PortText(), "-u", user, "-P", password},
                  "/dev/null", why);
}

TSystemUser::~TSystemUser() {
    if (name_.empty()) return;
    const std::string command = "userdel " + name_ + " >/dev/null 2>&1";
    (void)std::system(command.c_str());
}

bool TSystemUser::Create(const std::string& password, std::string& why) {
    if (::geteuid() != 0) {
        why = "a throwaway system user needs root";
        return false;
    }
    const std::string name = "plsocks" + std::to_string(::getpid());
    const std::string add =
        "useradd --system --no-create-home --shell /usr/sbin/nologin " + name + " >/dev/null 2>&1";
    if (std::system(add.c_str()) != 0) {
        why = "useradd failed";
        return false;
    }
    name_ = name;
    FILE* chpasswd = ::popen("chpasswd", "w");
    if (!chpasswd) {
        why = "chpasswd failed";
        return false;
    }
    std::fprintf(chpasswd, "%s:%s\n", name.c_str(), password.c_str());
    if (::pclose(chpasswd) != 0) {
        why = "chpasswd failed";
        return false;
    }
    return true;
}
