#include "ui/StringList.h"

#include <algorithm>
#include <stdexcept>

int TStringList::Add(std::string text) {
    items_.push_back(std::move(text));
    return Count() - 1;
}

void TStringList::Insert(int index, std::string text) {
    if (index < 0 || index > Count())
        throw std::out_of_range("TStringList::Insert: index out of range");
    items_.insert(items_.begin() + index, std::move(text));
}

void TStringList::Delete(int index) {
    if (index < 0 || index >= Count())
        throw std::out_of_range("TStringList::Delete: index out of range");
    items_.erase(items_.begin() + index);
}

int TStringList::IndexOf(const std::string& text) const {
    auto it = std::find(items_.begin(), items_.end(), text);
    return it == items_.end() ? -1 : static_cast<int>(it - items_.begin());
}

std::string TStringList::Text() const {
    std::string out;
    for (const std::string& line : items_) {
        out += line;
        out += "\r\n";
    }
    return out;
}

void TStringList::SetText(const std::string& text) {
    items_.clear();
    size_t start = 0;
    while (start < text.size()) {
        size_t lf = text.find('\n', start);
        size_t stop = lf == std::string::npos ? text.size() : lf;
        size_t cut = stop;
        if (cut > start && text[cut - 1] == '\r')
            --cut;
        items_.push_back(text.substr(start, cut - start));
        start = lf == std::string::npos ? text.size() : lf + 1;
    }
}
