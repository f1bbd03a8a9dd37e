#pragma once

#include <string>

// What decides where the settings file lives, gathered from the file system and environment.
struct TSettingsSurroundings {
    std::string ExecutablePath;
    bool BesideFileExists = false; // a settings file already sits beside the program
    bool ProgramFolderWritable = false;
    std::string XdgConfigHome; // $XDG_CONFIG_HOME as set, possibly empty
    std::string Home;          // $HOME as set, possibly empty
};

// The settings file for a program with these surroundings. A file beside the program always
// wins, so a copied-around program keeps its settings with it. A program in a folder named
// "bin" (every install prefix puts it there) or in a folder the user cannot write to is an
// installed one: its settings go to the user's configuration folder instead,
// $XDG_CONFIG_HOME/postlark/postlark.ini, with ~/.config when the variable is unset, empty or
// not absolute. Without a usable home either, the file stays beside the program.
std::string ChooseSettingsFile(const TSettingsSurroundings& surroundings);

// The settings file for the program at executablePath, from the real file system and
// environment. When that is in the user's configuration folder, the folder is made (0700),
// so the lock file, the forwarded keys and the first save find it.
std::string LocateSettingsFile(const std::string& executablePath);
