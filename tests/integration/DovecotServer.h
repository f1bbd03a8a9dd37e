#pragma once

// A private Dovecot POP3 server on a free loopback port, with its own configuration, a
// passwd-file user "test" with the secret "secret" and a maildir of kDovecotMessages generated
// messages. Each Start builds a fresh mailbox in a new temporary folder.

#include <cstdint>
#include <filesystem>
#include <string>
#include <sys/types.h>

constexpr int kDovecotMessages = 6;

// Message n (1 .. kDovecotMessages) of the generated mailbox, with LF line ends as maildir
// stores them. Lines that begin with "." exercise dot-stuffing on the way out.
std::string DovecotMessageText(int n);

class Dovecot {
public:
    // False with the reason when the server cannot run here (not installed, not root, ...).
    bool Start(std::string& why);
    // With TLS required: plain-text log-ins only after STLS on Port(), TLS from the start on
    // TlsPort(); the certificate and key are CertPrefix + ".crt" and ".key".
    bool StartWithTls(const std::string& CertPrefix, std::string& why);
    std::uint16_t TlsPort() const { return tlsPort_; }
    void Stop();
    std::uint16_t Port() const { return port_; }
    // The authentication socket a mail server can check SMTP AUTH against (user "test").
    std::string AuthSocket() const { return (dir_ / "auth-client").string(); }
    int FilesInMaildir() const;

private:
    std::filesystem::path dir_;
    std::uint16_t port_ = 0;
    std::uint16_t tlsPort_ = 0;
    std::string certPrefix_;
    pid_t pid_ = 0;
};
