#pragma once

// A private Postfix SMTP server on a free loopback port: its own configuration folder and
// queue, no chroot, HELO required, bare line ends refused, SASL through a Dovecot
// authentication socket, and no queue manager, so every accepted message stays in the queue
// where postcat reads it back.

#include <cstdint>
#include <filesystem>
#include <string>

class Postfix {
public:
    // False with the reason when the server cannot run here (not installed, not root, ...).
    bool Start(const std::string& authSocket, std::string& why) {
        return StartWithTls(authSocket, {}, why);
    }
    // Port() as with Start, without STARTTLS; besides it SubmissionPort(), which takes nothing
    // before STARTTLS, and SmtpsPort(), with TLS from the first byte. Both offer AUTH only
    // inside TLS, and each logs under its own name, postfix/submission and postfix/smtps. The
    // certificate and key are certPrefix + ".crt" and ".key".
    bool StartWithTls(const std::string& authSocket, const std::string& certPrefix,
                      std::string& why);
    void Stop();
    std::uint16_t Port() const { return port_; }
    std::uint16_t SubmissionPort() const { return submissionPort_; }
    std::uint16_t SmtpsPort() const { return smtpsPort_; }
    // What the server has logged so far.
    std::string Log() const;
    // Header and body of a queued message, as postcat shows them; empty when there is none.
    std::string QueuedMessage(const std::string& queueId) const;

private:
    std::filesystem::path dir_;
    std::uint16_t port_ = 0;
    std::uint16_t submissionPort_ = 0;
    std::uint16_t smtpsPort_ = 0;
    int pid_ = 0;
};

// The queue id of a "250 2.0.0 Ok: queued as ID" reply; empty when the reply names none.
std::string QueueIdOf(const std::string& reply);
