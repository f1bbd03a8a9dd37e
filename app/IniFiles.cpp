#include "app/IniFiles.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <limits>
#include <sstream>
#include <utility>

#include <sys/stat.h>

namespace {

bool SameText(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
        if (x != y) return false;
    }
    return true;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string Trim(const std::string& text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && IsBlank(text[begin]))
        ++begin;
    while (end > begin && IsBlank(text[end - 1]))
        --end;
    return text.substr(begin, end - begin);
}

std::string Unquote(const std::string& text) {
    if (text.size() >= 2 && (text.front() == '"' || text.front() == '\'') &&
        text.back() == text.front())
        return text.substr(1, text.size() - 2);
    return text;
}

// A line break or a zero byte inside a value would end the line early and let the rest be read
// as a key or section of its own, so a value stops at the first of them.
std::string CutAtLineEnd(const std::string& text) {
    return text.substr(0, text.find_first_of(std::string("\r\n\0", 3)));
}

// Blanks at either end, or a value that is itself quoted, would be lost by the trimming on read;
// one pair of quotes around it keeps it as it was.
std::string Quote(const std::string& value) {
    if (value.empty()) return value;
    const bool blankAtEnd = IsBlank(value.front()) || IsBlank(value.back());
    if (blankAtEnd || Unquote(value) != value) return '"' + value + '"';
    return value;
}

} // namespace

bool TryStrToInt(const std::string& text, int& value) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        if (text.size() > 10) return false;
        std::uint32_t result = 0;
        for (std::size_t i = 2; i < text.size(); ++i) {
            const char c = text[i];
            int digit;
            if (c >= '0' && c <= '9')
                digit = c - '0';
            else if (c >= 'a' && c <= 'f')
                digit = c - 'a' + 10;
            else if (c >= 'A' && c <= 'F')
                digit = c - 'A' + 10;
            else
                return false;
            result = result * 16 + static_cast<std::uint32_t>(digit);
        }
        value = static_cast<int>(result); // eight digits wrap as a 32-bit pattern, 0xFFFFFFFF is -1
        return true;
    }
    std::size_t i = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (negative) ++i;
    if (i == text.size()) return false;
    std::int64_t result = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        result = result * 10 + (text[i] - '0');
        if (result > static_cast<std::int64_t>(std::numeric_limits<int>::max()) + 1) return false;
    }
    if (negative) result = -result;
    if (result > std::numeric_limits<int>::max() || result < std::numeric_limits<int>::min())
        return false;
    value = static_cast<int>(result);
    return true;
}

TIniFile::TIniFile(std::string fileName) : fileName_(std::move(fileName)) {
    std::ifstream in(fileName_, std::ios::binary);
    std::stringstream text;
    if (in) text << in.rdbuf();
    Parse(text.str());
}

void TIniFile::Parse(const std::string& text) {
    sections_.assign(1, Section{});
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string raw = text.substr(pos, end - pos);
        pos = end + 1;
        if (!raw.empty() && raw.back() == '\r') raw.pop_back();
        const std::string trimmed = Trim(raw);
        if (!trimmed.empty() && trimmed.front() == '[') {
            const std::size_t close = trimmed.find(']');
            sections_.push_back(Section{
                Trim(trimmed.substr(1, close == std::string::npos ? std::string::npos : close - 1)),
                {}});
            continue;
        }
        Line line{raw, {}, {}};
        const std::size_t eq = raw.find('=');
        if (eq != std::string::npos && trimmed.front() != ';') {
            line.key = Trim(raw.substr(0, eq));
            line.value = Unquote(Trim(raw.substr(eq + 1)));
        }
        sections_.back().lines.push_back(std::move(line));
    }
}

const TIniFile::Section* TIniFile::FindSection(const std::string& section) const {
    for (std::size_t i = 1; i < sections_.size(); ++i)
        if (SameText(sections_[i].name, section)) return &sections_[i];
    return nullptr;
}

TIniFile::Section* TIniFile::FindSection(const std::string& section) {
    return const_cast<Section*>(std::as_const(*this).FindSection(section));
}

const TIniFile::Line* TIniFile::Find(const std::string& section, const std::string& key) const {
    const Section* s = FindSection(section);
    if (!s) return nullptr;
    for (const Line& line : s->lines)
        if (!line.key.empty() && SameText(line.key, key)) return &line;
    return nullptr;
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue) const {
    const Line* line = Find(section, key);
    std::string value = line ? line->value : defaultValue;
    if (value.size() > kMaxValueLength) value.resize(kMaxValueLength);
    return value;
}

int TIniFile::ReadInteger(const std::string& section, const std::string& key,
                          int defaultValue) const {
    const Line* line = Find(section, key);
    int value = 0;
    if (line && TryStrToInt(line->value, value)) return value;
    return defaultValue;
}

bool TIniFile::ReadBool(const std::string& section, const std::string& key,
                        bool defaultValue) const {
    return ReadInteger(section, key, defaultValue ? 1 : 0) != 0;
}

std::vector<std::string> TIniFile::ReadSection(const std::string& section) const {
    std::vector<std::string> keys;
    if (const Section* s = FindSection(section))
        for (const Line& line : s->lines)
            if (!line.key.empty()) keys.push_back(line.key);
    return keys;
}

bool TIniFile::SectionExists(const std::string& section) const {
    return FindSection(section) != nullptr;
}

void TIniFile::WriteString(const std::string& section, const std::string& key,
                           const std::string& value) {
    std::vector<Section> next = sections_;
    const std::string cut = CutAtLineEnd(value);
    const std::string cleanKey = Trim(CutAtLineEnd(key));
    Line line{cleanKey + "=" + Quote(cut), cleanKey, cut};
    Section* target = nullptr;
    for (std::size_t i = 1; i < next.size() && !target; ++i)
        if (SameText(next[i].name, section)) target = &next[i];
    if (!target) {
        next.push_back(Section{Trim(CutAtLineEnd(section)), {}});
        target = &next.back();
    }
    bool replaced = false;
    std::size_t lastKey = 0;
    for (std::size_t i = 0; i < target->lines.size(); ++i) {
        if (target->lines[i].key.empty()) continue;
        lastKey = i + 1;
        if (SameText(target->lines[i].key, cleanKey)) {
            target->lines[i] = line;
            replaced = true;
            break;
        }
    }
    if (!replaced)
        target->lines.insert(target->lines.begin() + static_cast<std::ptrdiff_t>(lastKey), line);
    Flush(next);
    sections_ = std::move(next);
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, int value) {
    WriteString(section, key, std::to_string(value));
}

void TIniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
    WriteString(section, key, value ? "1" : "0");
}

void TIniFile::EraseSection(const std::string& section) {
    std::vector<Section> next;
    bool found = false;
    for (std::size_t i = 0; i < sections_.size(); ++i) {
        if (i > 0 && SameText(sections_[i].name, section))
            found = true;
        else
            next.push_back(sections_[i]);
    }
    if (!found) return;
    Flush(next);
    sections_ = std::move(next);
}

std::string TIniFile::Render(const std::vector<Section>& sections) {
    std::string text;
    for (std::size_t i = 0; i < sections.size(); ++i) {
        if (i > 0) text += "[" + sections[i].name + "]\n";
        for (const Line& line : sections[i].lines)
            text += line.raw + "\n";
    }
    return text;
}

// The new content goes to a temporary file that then replaces the old one, so a full disk
// leaves the previous settings intact. A folder that refuses new files but holds a writable
// settings file is written in place.
void TIniFile::Flush(const std::vector<Section>& sections) const {
    // A settings file marked read-only stays as it is, as the file's read-only attribute would
    // keep it on the platform the format comes from, even for a user who could override it.
    struct stat info {};
    if (::stat(fileName_.c_str(), &info) == 0 && (info.st_mode & S_IWUSR) == 0)
        throw EIniFileException("Unable to write to " + fileName_);
    const std::string text = Render(sections);
    const std::string temporary = fileName_ + ".tmp";
    auto writeTo = [&text](const std::string& path) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        out.flush();
        return static_cast<bool>(out);
    };
    if (writeTo(temporary)) {
        if (std::rename(temporary.c_str(), fileName_.c_str()) == 0) return;
        std::remove(temporary.c_str());
    } else {
        std::remove(temporary.c_str());
    }
    if (!writeTo(fileName_)) throw EIniFileException("Unable to write to " + fileName_);
}
