#pragma once

#include "net/SmtpProt.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>

class TMailMessage;
class TfrmMain;

// Keys of the messages whose forward a server accepted, kept in a file of their own beside the
// settings file (one key per line), so that no message is forwarded twice, also across runs.
class TForwardedKeys {
public:
    // At most this many keys are kept; the oldest go first.
    static constexpr int kMaxKeys = 10000;
    static constexpr std::size_t kMaxKeyLength = 998;

    explicit TForwardedKeys(std::string fileName);
    // Reads the file; a missing or unreadable file gives an empty set.
    void Load();
    bool Contains(std::string_view key) const;
    // Adds the key and appends it to the file at once; empty keys are not kept.
    void Add(std::string_view key);
    const std::string& FileName() const noexcept { return fileName_; }
    // The state file beside a settings file: its name with ".forwarded" for the extension.
    static std::string FileFor(const std::string& settingsFile);

private:
    void Rewrite() const;
    std::string fileName_;
    std::vector<std::string> order_;
    std::unordered_set<std::string> keys_; // ASCII case folded, as the mail list compares keys
};

// Forwarding of new messages through the main window's SyncSmtpCli: the message's text to the
// one forward address, one SMTP session per message.
class TMailForwarder {
public:
    // The trace line every forwarded message carries; a received message that has it is
    // never forwarded again.
    static constexpr const char* kTraceHeader = "X-Forwarded-By: Postlark";

    TMailForwarder(TfrmMain& window, TSyncSmtpCli& client, std::string stateFile);

    // A check starts: forwards may run again after a connection failure of the last check.
    void BeginCheck() noexcept { serverUnreachable_ = false; }
    // Intake took this message in, whether it is forwarded or not.
    void NoteMessage(const TMailMessage& message);
    // Whether the message last noted has been forwarded and accepted (now or before).
    bool LastMessageForwarded() const noexcept { return lastForwarded_; }
    bool Running() const noexcept { return running_; }

    void ForwardMessage(const TMailMessage& message);
    void RequestDone(TSmtpRequest RqType, std::uint16_t ErrorCode);

    // The HELO argument: the host name when it is a usable domain name, else the address
    // literal of the connection's local end (RFC 5321 section 4.1.3).
    static std::string HeloName(const std::string& hostName, const std::string& localAddress);
    static bool CarriesTrace(const TMailMessage& message);
    // What a forward is remembered by: the identity key, or for a message without one a digest
    // of its text, so a message that comes again for want of a key is not forwarded again.
    static std::string ForwardKey(const TMailMessage& message);
    // The charset label of the forwarded text: the message's own when it is a plain token.
    static std::string CharSetFor(const std::string& charSet);

private:
    void Log(const QString& line);

    TfrmMain& window_;
    TSyncSmtpCli& client_;
    TForwardedKeys forwarded_;
    std::string lastKey_;
    bool lastForwarded_ = false;
    bool running_ = false;
    bool serverUnreachable_ = false;
};
