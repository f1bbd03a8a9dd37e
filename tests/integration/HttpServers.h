#pragma once

// Private HTTP peers on free loopback ports, each with its own folder for configuration,
// documents, pid, logs and temporary files, started in the foreground and stopped by the test.

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

class PrivateServer {
public:
    PrivateServer() = default;
    PrivateServer(const PrivateServer&) = delete;
    PrivateServer& operator=(const PrivateServer&) = delete;
    ~PrivateServer() { Stop(); }

    std::uint16_t Port() const { return port_; }
    std::string PortText() const { return std::to_string(port_); }
    const std::filesystem::path& Dir() const { return dir_; }
    void Stop();

protected:
    // A fresh folder and port; false with the reason when the program is missing.
    bool Prepare(const std::string& program, const char* package, std::string& why);
    // Starts the program and waits until its port takes connections.
    bool Launch(const std::vector<std::string>& args, std::string& why);

private:
    std::filesystem::path dir_;
    std::uint16_t port_ = 0;
    int pid_ = 0;
};

// nginx serving Dir()/www, with a set of redirects: /moved (301 to /doc.txt), /chain1 to
// /chain3 (302, 301, 302) ending at /doc.txt, /loop (302 to itself) and /secure (302 to
// /doc.txt over https). Keeps connections open when the client asks. With the test
// certificates it serves the same documents over https too, on a port for each certificate
// ("good", "wronghost", "expired", "selfsigned"); there /plain redirects back to /doc.txt in
// clear.
class Nginx : public PrivateServer {
public:
    bool Start(std::string& why);
    // The https port with the named certificate; 0 when the test certificates could not be
    // made.
    std::uint16_t TlsPort(const std::string& cert = "good") const {
        const auto found = tlsPorts_.find(cert);
        return found == tlsPorts_.end() ? 0 : found->second;
    }

private:
    std::map<std::string, std::uint16_t> tlsPorts_;
};

// Python's http.server serving Dir()/www (HTTP/1.0, Content-Length on files, 301 for a folder
// named without its final slash).
class PythonHttp : public PrivateServer {
public:
    bool Start(std::string& why);
};

// tinyproxy in the foreground, for 127.0.0.1 only, asking for Basic authorization.
class Tinyproxy : public PrivateServer {
public:
    bool Start(const std::string& user, const std::string& password, std::string& why);
};
