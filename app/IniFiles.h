#pragma once

#include "ui/Exceptions.h"

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

POSTLARK_DECLARE_EXCEPTION(EIniFileException, Exception);

// An INI file with the semantics of the Windows profile-file services the settings format comes
// from: section and key names compare without regard to ASCII case, values are trimmed of blanks
// and of one pair of surrounding quotes, a value reads back cut to 2047 characters, integers may
// be written "0x"-hexadecimal. Lines the program does not know (other sections and keys,
// comments) are kept as they stand. Writes change the copy in memory; UpdateFile puts the whole
// file on disk in one go, so saving costs one pass however many keys change.
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
    // Key and value of every key line of the section, in file order, values cut as on reading.
    std::vector<std::pair<std::string, std::string>>
    ReadSectionValues(const std::string& section) const;
    bool SectionExists(const std::string& section) const;

    void WriteString(const std::string& section, const std::string& key, const std::string& value);
    void WriteInteger(const std::string& section, const std::string& key, int value);
    void WriteBool(const std::string& section, const std::string& key, bool value);
    void EraseSection(const std::string& section);

    // Writes the file through a temporary one that replaces it only when complete: a full disk
    // or a crash leaves the previous file whole. A symbolic link keeps pointing at its target,
    // which is the file rewritten; an existing file keeps its permissions, a new one is readable
    // by its owner only (it holds the scrambled password). Raises EIniFileException
    // "Unable to write to " + file name when the file cannot be written.
    void UpdateFile() const;

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
        // Lower-cased key -> index of its first line, so a lookup does not scan the section.
        std::unordered_map<std::string, std::size_t> keys;
        // One past the last key line: where a new key goes, before trailing blanks and comments.
        std::size_t keyEnd = 0;
        void Add(Line line);
        void Reindex();
    };

    void Parse(const std::string& text);
    const Line* Find(const std::string& section, const std::string& key) const;
    Section* FindSection(const std::string& section);
    const Section* FindSection(const std::string& section) const;
    void ReindexSections();
    std::string Render() const;

    std::string fileName_;
    std::vector<Section> sections_; // sections_[0] holds lines before the first header
    // Lower-cased section name -> index of its first occurrence in sections_.
    std::unordered_map<std::string, std::size_t> sectionIndex_;
};

// Reads an integer the way the settings reader does: optional minus sign and decimal digits,
// or "0x"/"0X" followed by up to eight hexadecimal digits. False when the text is not one.
bool TryStrToInt(const std::string& text, int& value);
