#include "app/MessageIndex.h"

#include "ui/SysUtils.h"

#include <algorithm>

std::size_t TMessageIndex::TFoldedHash::operator()(std::string_view key) const noexcept {
    // FNV-1a over the folded bytes, so keys equal but for case land in the same bucket.
    std::size_t hash = 14695981039346656037ull;
    for (char c : key) {
        hash ^= static_cast<unsigned char>(LowerCaseChar(c));
        hash *= 1099511628211ull;
    }
    return hash;
}

bool TMessageIndex::TFoldedEqual::operator()(std::string_view a,
                                             std::string_view b) const noexcept {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return LowerCaseChar(x) == LowerCaseChar(y);
           });
}

void TMessageIndex::Add(const std::string& key) {
    ++counts_[key];
}

void TMessageIndex::Remove(const std::string& key) {
    const auto it = counts_.find(std::string_view(key));
    if (it == counts_.end()) return;
    if (--it->second == 0) counts_.erase(it);
}

bool TMessageIndex::Contains(std::string_view key) const {
    return !key.empty() && counts_.find(key) != counts_.end();
}
