#pragma once

#include "ui/Exceptions.h"

#include <string>
#include <vector>

POSTLARK_DECLARE_EXCEPTION(EIniFileException, Exception);

// An INI file with the semantics of the Windows profile-file services the settings format comes
// from: section and key names compare without regard to ASCII case, values are trimmed of blanks
// and of one pair of surrounding quotes, a value reads back cut to 2047 characters, integers may
// be written "0x"-hexadecimal, and every write goes to disk at once.
class TIniFile {
public:
    // A missing or unreadable file reads as empty.
    explicit TIniFile(std::string fileName);

    const std::string& FileName() const noexcept { return fileName_; }

    std::string ReadString(const std::string& section, const std::string& key,
                           const std::string& defaultValue) const;
    int ReadInteger(const std::string& section, const std::string& key, int defaultValue) const;
    bool ReadBool(const std::string& section, const std::string& key, bool defaultValue) const;
    // Keys of the section in file order.
    std::vector<std::string> ReadSection(const std::string& section) const;
    bool SectionExists(const std::string& section) const;

    // Each raises EIniFileException "Unable to write to " + file name when the file cannot be
    // written; the file then keeps what it had.
    void WriteString(const std::string& section, const std::string& key, const std::string& value);
    void WriteInteger(const std::string& section, const std::string& key, int value);
    void WriteBool(const std::string& section, const std::string& key, bool value);
    void EraseSection(const std::string& section);

    // The longest value a read gives back, as with the platform's 2048-byte read buffer.
    static constexpr std::size_t kMaxValueLength = 2047;

private:
    struct Line {
        std::string raw;   // the text as it stands in the file
        std::string key;   // empty for lines that are not key=value
        std::string value; // trimmed, unquoted
    };
    struct Section {
        std::string name;
        std::vector<Line> lines;
    };

    void Parse(const std::string& text);
    const Line* Find(const std::string& section, const std::string& key) const;
    Section* FindSection(const std::string& section);
    const Section* FindSection(const std::string& section) const;
    void Flush(const std::vector<Section>& sections) const;
    static std::string Render(const std::vector<Section>& sections);

    std::string fileName_;
    std::vector<Section> sections_; // sections_[0] holds lines before the first header
};

// Reads an integer the way the settings reader does: optional minus sign and decimal digits,
// or "0x"/"0X" followed by up to eight hexadecimal digits. False when the text is not one.
bool TryStrToInt(const std::string& text, int& value);
