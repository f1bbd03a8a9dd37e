#pragma once

#include <string>
#include <vector>

// An ordered list of 8-bit strings, as the components hand them around.
class TStringList {
public:
    int Count() const noexcept { return static_cast<int>(items_.size()); }
    bool Empty() const noexcept { return items_.empty(); }
    const std::string& operator[](int index) const { return items_.at(static_cast<size_t>(index)); }
    std::string& operator[](int index) { return items_.at(static_cast<size_t>(index)); }
    const std::string& Strings(int index) const { return (*this)[index]; }

    int Add(std::string text);
    void Insert(int index, std::string text);
    void Delete(int index);
    void Clear() noexcept { items_.clear(); }
    int IndexOf(const std::string& text) const;
    // All lines, each followed by CR LF.
    std::string Text() const;
    // Replaces the content with the lines of text (split at LF, a CR before it dropped).
    void SetText(const std::string& text);

    auto begin() const noexcept { return items_.begin(); }
    auto end() const noexcept { return items_.end(); }
    const std::vector<std::string>& Items() const noexcept { return items_; }

private:
    std::vector<std::string> items_;
};
