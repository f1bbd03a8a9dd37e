#pragma once

#include <string>

// The desktop's autostart entry of the program (XDG Autostart): a desktop entry file in
// $XDG_CONFIG_HOME/autostart (~/.config/autostart when unset) that starts the program when
// the user logs in.
class TAutostart {
public:
    static constexpr const char* kFileName = "postlark.desktop";

    // Where the entry lives.
    static std::string EntryPath();
    static bool Exists();
    // The entry's text for the program at programPath.
    static std::string EntryText(const std::string& programPath);
    // Writes the entry (creating the folder) or removes it; an entry already as wished is left
    // alone. Throws std::runtime_error with the reason when the file cannot be changed.
    static void Apply(bool on, const std::string& programPath);
    // The program's path as the Exec key of a desktop entry wants it: quoted where needed,
    // with the characters that are special there escaped.
    static std::string ExecArgument(const std::string& path);
};
