#include "tests/integration/HttpServers.h"

#include "tests/support/LoopbackPort.h"
#include "tests/support/TestCertificates.h"

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

extern char** environ;

namespace fs = std::filesystem;

namespace {

bool Accepts(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

} // namespace

bool PrivateServer::Prepare(const std::string& program, const char* package, std::string& why) {
    if (::access(program.c_str(), X_OK) != 0) {
        why = program + " is not installed (Debian " + package + ")";
        return false;
    }
    char pattern[] = "/tmp/postlark-http-XXXXXX";
    if (!::mkdtemp(pattern)) {
        why = "mkdtemp failed";
        return false;
    }
    dir_ = pattern;
    // A server that drops its privileges must still read the documents.
    ::chmod(dir_.c_str(), 0755);
    fs::create_directories(dir_ / "www");
    fs::create_directories(dir_ / "temp");
    port_ = FreeLoopbackPort();
    return true;
}

bool PrivateServer::Launch(const std::vector<std::string>& args, std::string& why) {
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        why = "could not start " + args[0];
        return false;
    }
    pid_ = pid;
    for (int i = 0; i < 100; ++i) {
        if (Accepts(port_)) return true;
        if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = 0;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    why = args[0] + " did not start; see " + dir_.string();
    return false;
}

void PrivateServer::Stop() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
        pid_ = 0;
    }
    if (!dir_.empty()) {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
        dir_.clear();
    }
}

bool Nginx::Start(std::string& why) {
    if (!Prepare("/usr/sbin/nginx", "nginx-light", why)) return false;
    const std::string d = Dir().string();
    const std::string self = "http://127.0.0.1:" + PortText();
    const TestCertificates& certs = TestCertificates::Get();
    // A server block over https for each test certificate.
    std::string tlsServers;
    for (const char* cert : {"good", "wronghost", "expired", "selfsigned"}) {
        if (!certs.Ok()) break;
        const std::uint16_t port = FreeLoopbackPort();
        tlsPorts_[cert] = port;
        tlsServers += "  server {\n    listen 127.0.0.1:" + std::to_string(port) + " ssl;\n" +
                      "    root " + d + "/www;\n    ssl_certificate " + certs.Prefix(cert) +
                      ".crt;\n    ssl_certificate_key " + certs.Prefix(cert) + ".key;\n" +
                      "    location = /plain { return 302 " + self + "/doc.txt; }\n  }\n";
    }
    const std::string secure = "https://127.0.0.1:" + std::to_string(TlsPort());
    std::ofstream(Dir() / "nginx.conf")
        << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
        << "pid " << d << "/nginx.pid;\nerror_log " << d << "/error.log;\n"
        << "events { worker_connections 64; }\n"
        << "http {\n  access_log off;\n  keepalive_timeout 60;\n"
        << "  client_body_temp_path " << d << "/temp/body;\n"
        << "  proxy_temp_path " << d << "/temp/proxy;\n"
        << "  fastcgi_temp_path " << d << "/temp/fastcgi;\n"
        << "  uwsgi_temp_path " << d << "/temp/uwsgi;\n"
        << "  scgi_temp_path " << d << "/temp/scgi;\n"
        << "  server {\n    listen 127.0.0.1:" << PortText() << ";\n    root " << d << "/www;\n"
        << "    location = /moved { return 301 /doc.txt; }\n"
        << "    location = /chain1 { return 302 /chain2; }\n"
        << "    location = /chain2 { return 301 " << self << "/chain3; }\n"
        << "    location = /chain3 { return 302 /doc.txt; }\n"
        << "    location = /loop { return 302 /loop; }\n"
        << "    location = /secure { return 302 " << secure << "/doc.txt; }\n  }\n"
        << tlsServers << "}\n";
    return Launch({"/usr/sbin/nginx", "-p", d, "-c", d + "/nginx.conf", "-e", d + "/error.log"},
                  why);
}

bool PythonHttp::Start(std::string& why) {
    if (!Prepare("/usr/bin/python3", "python3", why)) return false;
    return Launch({"/usr/bin/python3", "-m", "http.server", PortText(), "--bind", "127.0.0.1",
                   "--directory", (Dir() / "www").string()},
                  why);
}

bool Tinyproxy::Start(const std::string& user, const std::string& password, std::string& why) {
    if (!Prepare("/usr/bin/tinyproxy", "tinyproxy", why)) return false;
    const std::string d = Dir().string();
    std::ofstream(Dir() / "tinyproxy.conf")
        << "Port " << PortText() << "\nListen 127.0.0.1\nTimeout 30\nMaxClients 8\n"
        << "PidFile \"" << d << "/tinyproxy.pid\"\nLogFile \"" << d << "/tinyproxy.log\"\n"
        << "LogLevel Info\nAllow 127.0.0.1\nDisableViaHeader Yes\n"
        << "BasicAuth " << user << " " << password << "\n";
    return Launch({"/usr/bin/tinyproxy", "-d", "-c", d + "/tinyproxy.conf"}, why);
}
