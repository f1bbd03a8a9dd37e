#include "app/MailForwarder.h"

#include "app/UnitMain.h"
#include "app/UnitMessage.h"
#include "net/MD5.h"
#include "net/WSocketLibrary.h"
#include "ui/QtText.h"
#include "ui/SysUtils.h"

#include <QLineEdit>

#include <fstream>

namespace {

constexpr const char* kRequestNames[] = {"Connect", "Hello", "MailFrom", "Verify", "RcptTo",
                                         "Data",    "Quit",  "Reset",    "Open",   "Mail",
                                         "",        "",      "Custom"};

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (LowerCaseChar(text[i]) != LowerCaseChar(prefix[i])) return false;
    return true;
}

// Clears a flag when the scope ends, also by an exception.
struct TFlagScope {
    explicit TFlagScope(bool& flag) : flag_(flag) { flag_ = true; }
    ~TFlagScope() { flag_ = false; }
    bool& flag_;
};

} // namespace

// ---- Forwarded keys ----

TForwardedKeys::TForwardedKeys(std::string fileName) : fileName_(std::move(fileName)) {}

std::string TForwardedKeys::FileFor(const std::string& settingsFile) {
    const std::size_t slash = settingsFile.find_last_of('/');
    const std::size_t dot = settingsFile.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return settingsFile + ".forwarded";
    return settingsFile.substr(0, dot) + ".forwarded";
}

void TForwardedKeys::Load() {
    order_.clear();
    keys_.clear();
    std::ifstream in(fileName_, std::ios::binary);
    std::string line;
    bool trimmed = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line.size() > kMaxKeyLength) continue;
        if (!keys_.insert(LowerCase(line)).second) continue;
        order_.push_back(line);
        if (static_cast<int>(order_.size()) > kMaxKeys) {
            keys_.erase(LowerCase(order_.front()));
            order_.erase(order_.begin());
            trimmed = true;
        }
    }
    if (trimmed) Rewrite();
}

bool TForwardedKeys::Contains(std::string_view key) const {
    return !key.empty() && keys_.count(LowerCase(key)) != 0;
}

void TForwardedKeys::Add(std::string_view key) {
    if (key.empty() || key.size() > kMaxKeyLength || Contains(key)) return;
    if (key.find_first_of("\r\n") != std::string_view::npos) return;
    keys_.insert(LowerCase(key));
    order_.emplace_back(key);
    if (static_cast<int>(order_.size()) > kMaxKeys) {
        keys_.erase(LowerCase(order_.front()));
        order_.erase(order_.begin());
        Rewrite();
        return;
    }
    std::ofstream out(fileName_, std::ios::binary | std::ios::app);
    out << key << '\n';
}

void TForwardedKeys::Rewrite() const {
    std::ofstream out(fileName_, std::ios::binary | std::ios::trunc);
    for (const std::string& key : order_)
        out << key << '\n';
}

// ---- Forwarder ----

TMailForwarder::TMailForwarder(TfrmMain& window, TSyncSmtpCli& client, std::string stateFile)
    : window_(window), client_(client), forwarded_(std::move(stateFile)) {
    forwarded_.Load();
}

void TMailForwarder::Log(const QString& line) {
    window_.AppendLog(line);
}

void TMailForwarder::NoteMessage(const TMailMessage& message) {
    lastKey_ = ForwardKey(message);
    lastForwarded_ = forwarded_.Contains(lastKey_);
}

std::string TMailForwarder::ForwardKey(const TMailMessage& message) {
    if (!message.MsgId.empty()) return message.MsgId;
    TMD5Context digest;
    for (std::string_view line : message.RawLines) {
        digest.Update(line);
        digest.Update("\r\n");
    }
    return "text-md5:" + MD5DigestToHex(digest.Final());
}

std::string TMailForwarder::HeloName(const std::string& hostName, const std::string& localAddress) {
    // A domain (RFC 5321 section 4.1.2): labels of letters, digits and inner hyphens.
    bool usable = !hostName.empty() && hostName.size() <= 255;
    std::size_t label = 0;
    for (std::size_t i = 0; usable && i <= hostName.size(); ++i) {
        const char c = i < hostName.size() ? hostName[i] : '.';
        if (c == '.') {
            usable = label > 0 && label <= 63 && hostName[i - 1] != '-';
            label = 0;
        } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                   (c == '-' && label > 0)) {
            ++label;
        } else {
            usable = false;
        }
    }
    if (usable) return hostName;
    return "[" + (IsDottedIP(localAddress) ? localAddress : std::string("127.0.0.1")) + "]";
}

bool TMailForwarder::CarriesTrace(const TMailMessage& message) {
    for (std::string_view line : message.RawLines) {
        if (line.empty()) break; // end of the header
        if (StartsWithNoCase(line, kTraceHeader)) return true;
    }
    return false;
}

std::string TMailForwarder::CharSetFor(const std::string& charSet) {
    // A token (RFC 2978 names) only: anything else could break the header line it goes in.
    bool token = !charSet.empty() && charSet.size() <= 40;
    for (char c : charSet)
        token =
            token && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '_' || c == '.' || c == ':' || c == '+');
    return token ? charSet : "iso-8859-1";
}

void TMailForwarder::ForwardMessage(const TMailMessage& message) {
    if (running_) return;
    const std::string key = ForwardKey(message);
    if (forwarded_.Contains(key)) {
        lastForwarded_ = true;
        Log(QStringLiteral("Forward skipped: message already forwarded"));
        return;
    }
    if (CarriesTrace(message)) {
        Log(QStringLiteral("Forward skipped: message was forwarded by this program"));
        return;
    }
    if (serverUnreachable_) return; // said once, when the connection failed
    const std::string address = Trim(FromQString(window_.FwdEdit->text()));
    if (address.empty()) {
        Log(QStringLiteral("Forward skipped: no address in \"Forward To:\""));
        return;
    }
    const TFlagScope running(running_);
    // Everything the forward needs is copied before the first wait: while it waits, the
    // message may leave the list.
    client_.SetHdrFrom(message.ReturnPath);
    client_.SetHdrTo(message.To);
    client_.SetHdrSubject(message.Subject);
    client_.SetFromName(SmtpReturnPathAddress(message.ReturnPath));
    TStringList recipients;
    recipients.Add(address);
    client_.SetRcptName(recipients);
    TStringList body;
    for (std::string_view line : message.Body)
        body.Add(std::string(line));
    client_.SetMailMessage(body);
    client_.SetCharSet(CharSetFor(message.CharSet));
    client_.SetHost(FromQString(window_.SmtpHostEdit->text()));
    client_.SetPort(FromQString(window_.SmtpPortEdit->text()));
    client_.SetSecurity(window_.SmtpSecurity());
    client_.SetTlsPin(window_.SmtpTlsFingerprint());

    if (!client_.ConnectSync()) {
        serverUnreachable_ = true;
        if (client_.Security() != secNone) Log(ToQString(client_.ErrorMessage()));
        Log(QStringLiteral("Forwarding stopped for this check: the SMTP server cannot be reached"));
        client_.QuitSync();
        return;
    }
    std::string hostName;
    try {
        hostName = GetLocalHostName();
    } catch (const Exception&) {
        // the address literal serves
    }
    client_.SetSignOn(HeloName(hostName, client_.BoundAddr()));
    const bool accepted = client_.HeloSync() && client_.MailSync();
    client_.QuitSync();
    if (!accepted) return;
    forwarded_.Add(key);
    if (key == lastKey_) lastForwarded_ = true;
}

void TMailForwarder::RequestDone(TSmtpRequest RqType, std::uint16_t ErrorCode) {
    Log(QStringLiteral("Request Done Rq=%1 Error=%2").arg(static_cast<int>(RqType)).arg(ErrorCode));
    const int ordinal = static_cast<int>(RqType);
    const QString name = ordinal >= 0 && ordinal < static_cast<int>(std::size(kRequestNames))
                             ? QString::fromLatin1(kRequestNames[ordinal])
                             : QString();
    window_.SetStatusText(ErrorCode == 0 ? name + QStringLiteral(" ok")
                                         : name + QStringLiteral(" failed (%1)").arg(ErrorCode));
}
