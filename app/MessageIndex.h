#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>

// The identity keys of the held messages, for the held-message test: a key matches a held one
// when they differ at most in the case of ASCII letters. Several messages may share a key, so
// each key is counted and stays held until its last message is gone.
class TMessageIndex {
public:
    void Add(const std::string& key);
    // Forgets one message held under the key; a key that is not held is ignored.
    void Remove(const std::string& key);
    // An empty key never counts as held: messages without an identity of their own all have
    // it, and taking one of them for another would drop new mail unseen.
    bool Contains(std::string_view key) const;
    void Clear() noexcept { counts_.clear(); }
    // Number of distinct keys (case folded) held.
    std::size_t KeyCount() const noexcept { return counts_.size(); }

private:
    struct TFoldedHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view key) const noexcept;
    };
    struct TFoldedEqual {
        using is_transparent = void;
        bool operator()(std::string_view a, std::string_view b) const noexcept;
    };
    std::unordered_map<std::string, std::size_t, TFoldedHash, TFoldedEqual> counts_;
};
