#pragma once

// Private SOCKS proxies on free loopback ports, each a child process with its own settings:
// Dante (SOCKS 4 and 5; the user name method checks system users) and microsocks (SOCKS 5
// with one fixed user and password, runs unprivileged). Both relay only to 127.0.0.1.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/types.h>

class TProxyProcess {
public:
    virtual ~TProxyProcess() { Stop(); }
    std::uint16_t Port() const { return port_; }
    std::string PortText() const { return std::to_string(port_); }
    void Stop();

protected:
    // Starts the program with its arguments on port_ and waits until it answers a SOCKS 5
    // method offer; false with the reason when it did not.
    bool Launch(const std::vector<std::string>& args, const std::string& log, std::string& why);
    std::uint16_t port_ = 0;
    pid_t pid_ = 0;
};

class Dante : public TProxyProcess {
public:
    ~Dante() override;
    // Methods is Dante's socksmethod list: "none", "username" or both. False with the reason
    // when Dante cannot run here (not installed, ...).
    bool Start(std::string& why, const std::string& methods = "username none");
    const std::filesystem::path& Dir() const { return dir_; }

private:
    std::filesystem::path dir_;
};

class MicroSocks : public TProxyProcess {
public:
    bool Start(const std::string& user, const std::string& password, std::string& why);
};

// A throwaway system user with a password, for Dante's user name method; needs root.
class TSystemUser {
public:
    ~TSystemUser();
    bool Create(const std::string& password, std::string& why);
    const std::string& Name() const { return name_; }

private:
    std::string name_;
};
