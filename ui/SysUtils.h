#pragma once

#include <string>
#include <string_view>

// Text helpers over 8-bit bytes, shared by the components.

// Drops spaces and control characters (bytes up to 32) at both ends.
inline std::string_view TrimView(std::string_view text) noexcept {
    while (!text.empty() && static_cast<unsigned char>(text.front()) <= ' ')
        text.remove_prefix(1);
    while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ')
        text.remove_suffix(1);
    return text;
}

inline std::string Trim(std::string_view text) { return std::string(TrimView(text)); }

// ASCII letters only; bytes above 127 stay as they are, whatever their code page.
inline char LowerCaseChar(char c) noexcept { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c; }

inline std::string LowerCase(std::string_view text) {
    std::string result(text);
    for (char& c : result)
        c = LowerCaseChar(c);
    return result;
}
