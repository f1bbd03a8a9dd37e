#pragma once

#include "app/IniFiles.h"
#include "net/WSocket.h"

#include <string>
#include <vector>

// The scrambling key. Printable ASCII turns into bytes above 0x7F, and no byte of a UTF-8
// password becomes a zero byte, CR or LF, any of which would cut the stored value short.
constexpr unsigned char kScrambleKey = 0xF5;

// XORs every byte with kScrambleKey: the same call scrambles and unscrambles.
std::string ScrambleText(const std::string& text);

// The "Options" section, one field per key, in the order the keys are written and read.
struct TOptions {
    std::string Pop3HostName;
    std::string Pop3PortNum;
    std::string Pop3UserName;
    std::string Pop3UserPass; // in clear; scrambled only in the file
    bool CheckAuto = false;
    bool DeleteOnServer = false;
    int IntervalHours = 0;   // hours part of TimeInterval, before the track bar clamps it
    int IntervalMinutes = 1; // minutes part of TimeInterval, before the track bar clamps it
    std::string SmtpHostName;
    std::string SmtpPortName = "smtp";
    bool Forward = false;
    bool DeleteForwarded = false;
    std::string ForwardTo;
    bool PrintOnReceive = false;
    bool UseUIDL = false;
    bool ForwardAttachments = false;
    // Keys the program added later; a file without them keeps its old meaning (notifications
    // on, no autostart, plain connections).
    bool ShowNotifications = true;
    bool Autostart = false;
    TSecurityMode Pop3Security = secNone;
    std::string Pop3TlsFingerprint; // SHA-256 of a self-signed certificate to trust
    TSecurityMode SmtpSecurity = secNone;
    std::string SmtpTlsFingerprint;
};

// The texts of the security modes, as the file and the configuration pages show them.
const char* SecurityModeText(TSecurityMode mode);
// secNone for anything that is not one of them.
TSecurityMode ParseSecurityMode(const std::string& text);

extern const char* const kOptionsSection; // "Options"
extern const char* const kJournalSection; // "Journal"

TOptions ReadOptions(const TIniFile& ini);
// Sets the keys in order in the file's copy in memory (TIniFile::UpdateFile writes it).
// hours and minutes are the track bar positions that form TimeInterval.
void WriteOptions(TIniFile& ini, const TOptions& options, int hours, int minutes);

// The journal entries as they stand in the file, in file order, each read once.
std::vector<std::string> ReadJournal(const TIniFile& ini);
// Replaces the section by keys "0" .. count - 1; an empty list leaves no section.
void WriteJournal(TIniFile& ini, const std::vector<std::string>& entries);

// The executable's path with its extension replaced by ".ini".
std::string SettingsFileFor(const std::string& executablePath);
