#include "app/Settings.h"

const char* const kOptionsSection = "Options";
const char* const kJournalSection = "Journal";

namespace {

const char* const kSecurityModeTexts[] = {"none", "TLS", "STARTTLS required"};

} // namespace

const char* SecurityModeText(TSecurityMode mode) {
    return kSecurityModeTexts[mode];
}

TSecurityMode ParseSecurityMode(const std::string& text) {
    for (const TSecurityMode mode : {secTls, secStartTls})
        if (text == SecurityModeText(mode)) return mode;
    return secNone;
}

std::string ScrambleText(const std::string& text) {
    std::string result = text;
    for (char& c : result)
        c = static_cast<char>(static_cast<unsigned char>(c) ^ kScrambleKey);
    return result;
}

TOptions ReadOptions(const TIniFile& ini) {
    const std::string s = kOptionsSection;
    TOptions o;
    o.Pop3HostName = ini.ReadString(s, "Pop3HostName", "");
    o.Pop3PortNum = ini.ReadString(s, "Pop3PortNum", "");
    o.Pop3UserName = ini.ReadString(s, "Pop3UserName", "");
    o.Pop3UserPass = ScrambleText(ini.ReadString(s, "Pop3UserPass", ""));
    o.CheckAuto = ini.ReadBool(s, "CheckAuto", false);
    o.DeleteOnServer = ini.ReadBool(s, "DeleteOnServer", false);
    // Read twice with different defaults, so a missing key gives 0 hours and 1 minute.
    o.IntervalHours = ini.ReadInteger(s, "TimeInterval", 0) / 60;
    o.IntervalMinutes = ini.ReadInteger(s, "TimeInterval", 1) % 60;
    o.SmtpHostName = ini.ReadString(s, "SmtpHostName", "");
    o.SmtpPortName = ini.ReadString(s, "SmtpPortName", "smtp");
    o.Forward = ini.ReadBool(s, "Forward", false);
    o.DeleteForwarded = ini.ReadBool(s, "DeleteForwarded", false);
    o.ForwardTo = ini.ReadString(s, "ForwardTo", "");
    o.PrintOnReceive = ini.ReadBool(s, "PrintOnReceive", false);
    o.UseUIDL = ini.ReadBool(s, "UseUIDL", false);
    o.ForwardAttachments = ini.ReadBool(s, "ForwardAttachments", false);
    o.ShowNotifications = ini.ReadBool(s, "ShowNotifications", true);
    o.Autostart = ini.ReadBool(s, "Autostart", false);
    o.Pop3Security = ParseSecurityMode(ini.ReadString(s, "Pop3Security", ""));
    o.Pop3TlsFingerprint = ini.ReadString(s, "Pop3TlsFingerprint", "");
    o.SmtpSecurity = ParseSecurityMode(ini.ReadString(s, "SmtpSecurity", ""));
    o.SmtpTlsFingerprint = ini.ReadString(s, "SmtpTlsFingerprint", "");
    return o;
}

void WriteOptions(TIniFile& ini, const TOptions& o, int hours, int minutes) {
    const std::string s = kOptionsSection;
    ini.WriteString(s, "Pop3HostName", o.Pop3HostName);
    ini.WriteString(s, "Pop3PortNum", o.Pop3PortNum);
    ini.WriteString(s, "Pop3UserName", o.Pop3UserName);
    ini.WriteString(s, "Pop3UserPass", ScrambleText(o.Pop3UserPass));
    ini.WriteBool(s, "CheckAuto", o.CheckAuto);
    ini.WriteBool(s, "DeleteOnServer", o.DeleteOnServer);
    ini.WriteInteger(s, "TimeInterval", hours * 60 + minutes);
    ini.WriteString(s, "SmtpHostName", o.SmtpHostName);
    ini.WriteString(s, "SmtpPortName", o.SmtpPortName);
    ini.WriteBool(s, "Forward", o.Forward);
    ini.WriteBool(s, "DeleteForwarded", o.DeleteForwarded);
    ini.WriteString(s, "ForwardTo", o.ForwardTo);
    ini.WriteBool(s, "PrintOnReceive", o.PrintOnReceive);
    ini.WriteBool(s, "UseUIDL", o.UseUIDL);
    ini.WriteBool(s, "ForwardAttachments", o.ForwardAttachments);
    ini.WriteBool(s, "ShowNotifications", o.ShowNotifications);
    ini.WriteBool(s, "Autostart", o.Autostart);
    ini.WriteString(s, "Pop3Security", SecurityModeText(o.Pop3Security));
    ini.WriteString(s, "Pop3TlsFingerprint", o.Pop3TlsFingerprint);
    ini.WriteString(s, "SmtpSecurity", SecurityModeText(o.SmtpSecurity));
    ini.WriteString(s, "SmtpTlsFingerprint", o.SmtpTlsFingerprint);
}

std::vector<std::string> ReadJournal(const TIniFile& ini) {
    std::vector<std::string> entries;
    for (auto& [key, value] : ini.ReadSectionValues(kJournalSection))
        entries.push_back(std::move(value));
    return entries;
}

void WriteJournal(TIniFile& ini, const std::vector<std::string>& entries) {
    ini.EraseSection(kJournalSection);
    for (std::size_t i = 0; i < entries.size(); ++i)
        ini.WriteString(kJournalSection, std::to_string(i), entries[i]);
}

std::string SettingsFileFor(const std::string& executablePath) {
    const std::size_t slash = executablePath.find_last_of('/');
    const std::size_t dot = executablePath.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return executablePath + ".ini";
    return executablePath.substr(0, dot) + ".ini";
}
