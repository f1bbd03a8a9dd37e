#include "app/IniFiles.h"

#include <QFile>
#include <QSaveFile>

#include <cstdint>
#include <fstream>
#include <limits>
#include <sstream>
#include <utility>

#include <sys/stat.h>

namespace {

// Names compare without regard to ASCII case: they are looked up by their lower-cased form.
std::string Folded(const std::string& name) {
    std::string result = name;
    for (char& c : result)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return result;
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

void TIniFile::Section::Add(Line line) {
    if (!line.key.empty()) {
        keys.try_emplace(Folded(line.key), lines.size());
        keyEnd = lines.size() + 1;
    }
    lines.push_back(std::move(line));
}

void TIniFile::Section::Reindex() {
    keys.clear();
    keyEnd = 0;
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (!lines[i].key.empty()) {
            keys.try_emplace(Folded(lines[i].key), i);
            keyEnd = i + 1;
        }
}

void TIniFile::ReindexSections() {
    sectionIndex_.clear();
    for (std::size_t i = 1; i < sections_.size(); ++i)
        sectionIndex_.try_emplace(Folded(sections_[i].name), i);
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
            Section section;
            section.name =
                Trim(trimmed.substr(1, close == std::string::npos ? std::string::npos : close - 1));
            sections_.push_back(std::move(section));
            continue;
        }
        Line line{raw, {}, {}};
        const std::size_t eq = raw.find('=');
        if (eq != std::string::npos && trimmed.front() != ';') {
            line.key = Trim(raw.substr(0, eq));
            line.value = Unquote(Trim(raw.substr(eq + 1)));
        }
        sections_.back().Add(std::move(line));
    }
    ReindexSections();
}

const TIniFile::Section* TIniFile::FindSection(const std::string& section) const {
    const auto it = sectionIndex_.find(Folded(section));
    return it == sectionIndex_.end() ? nullptr : &sections_[it->second];
}

TIniFile::Section* TIniFile::FindSection(const std::string& section) {
    return const_cast<Section*>(std::as_const(*this).FindSection(section));
}

const TIniFile::Line* TIniFile::Find(const std::string& section, const std::string& key) const {
    const Section* s = FindSection(section);
    if (!s) return nullptr;
    const auto it = s->keys.find(Folded(key));
    return it == s->keys.end() ? nullptr : &s->lines[it->second];
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
    for (auto& [key, value] : ReadSectionValues(section))
        keys.push_back(std::move(key));
    return keys;
}

std::vector<std::pair<std::string, std::string>>
TIniFile::ReadSectionValues(const std::string& section) const {
    std::vector<std::pair<std::string, std::string>> values;
    if (const Section* s = FindSection(section))
        for (const Line& line : s->lines)
            if (!line.key.empty())
                values.emplace_back(line.key, line.value.substr(0, kMaxValueLength));
    return values;
}

bool TIniFile::SectionExists(const std::string& section) const {
    return FindSection(section) != nullptr;
}

void TIniFile::WriteString(const std::string& section, const std::string& key,
                           const std::string& value) {
    const std::string cut = CutAtLineEnd(value);
    const std::string cleanKey = Trim(CutAtLineEnd(key));
    Line line{cleanKey + "=" + Quote(cut), cleanKey, cut};
    Section* target = FindSection(section);
    if (!target) {
        Section added;
        added.name = Trim(CutAtLineEnd(section));
        sections_.push_back(std::move(added));
        sectionIndex_.try_emplace(Folded(sections_.back().name), sections_.size() - 1);
        target = &sections_.back();
    }
    const auto it = target->keys.find(Folded(cleanKey));
    if (it != target->keys.end()) {
        target->lines[it->second] = std::move(line);
    } else if (target->keyEnd == target->lines.size()) {
        target->Add(std::move(line));
    } else {
        target->lines.insert(target->lines.begin() + static_cast<std::ptrdiff_t>(target->keyEnd),
                             std::move(line));
        target->Reindex();
    }
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, int value) {
    WriteString(section, key, std::to_string(value));
}

void TIniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
    WriteString(section, key, value ? "1" : "0");
}

void TIniFile::EraseSection(const std::string& section) {
    if (!FindSection(section)) return;
    const std::string folded = Folded(section);
    std::vector<Section> kept;
    kept.reserve(sections_.size());
    for (std::size_t i = 0; i < sections_.size(); ++i)
        if (i == 0 || Folded(sections_[i].name) != folded) kept.push_back(std::move(sections_[i]));
    sections_ = std::move(kept);
    ReindexSections();
}

std::string TIniFile::Render() const {
    std::size_t size = 0;
    for (const Section& section : sections_) {
        size += section.name.size() + 3;
        for (const Line& line : section.lines)
            size += line.raw.size() + 1;
    }
    std::string text;
    text.reserve(size);
    for (std::size_t i = 0; i < sections_.size(); ++i) {
        if (i > 0) text.append("[").append(sections_[i].name).append("]\n");
        for (const Line& line : sections_[i].lines)
            text.append(line.raw).append("\n");
    }
    return text;
}

void TIniFile::UpdateFile() const {
    const auto failed = [this] { return EIniFileException("Unable to write to " + fileName_); };
    // A settings file marked read-only stays as it is, as the file's read-only attribute would
    // keep it on the platform the format comes from, even for a user who could override it.
    struct stat info {};
    const bool exists = ::stat(fileName_.c_str(), &info) == 0;
    if (exists && (info.st_mode & S_IWUSR) == 0) throw failed();
    const std::string text = Render();
    QSaveFile file(QFile::decodeName(fileName_.c_str()));
    // A folder that refuses new files but holds a writable settings file is written in place:
    // the only way left to keep the user's changes.
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly)) throw failed();
    if (!exists) file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (file.write(text.data(), static_cast<qint64>(text.size())) !=
            static_cast<qint64>(text.size()) ||
        !file.commit())
        throw failed();
}
