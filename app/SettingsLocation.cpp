#include "app/SettingsLocation.h"

#include "app/Settings.h"

#include <cerrno>
#include <cstdlib>

#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string LastName(const std::string& folder) {
    const std::size_t slash = folder.find_last_of('/');
    return slash == std::string::npos ? folder : folder.substr(slash + 1);
}

bool Absolute(const std::string& path) {
    return !path.empty() && path.front() == '/';
}

// The base directory's rule: a relative value is invalid and ignored like an unset one.
std::string ConfigHome(const TSettingsSurroundings& s) {
    if (Absolute(s.XdgConfigHome)) return s.XdgConfigHome;
    if (Absolute(s.Home)) return s.Home + (s.Home.back() == '/' ? ".config" : "/.config");
    return {};
}

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

bool MakeFolder(const std::string& path) {
    if (path.empty()) return false;
    struct stat st {};
    if (stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    const std::string parent = FolderOf(path);
    if (parent != path && !MakeFolder(parent)) return false;
    return mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

} // namespace

std::string ChooseSettingsFile(const TSettingsSurroundings& s) {
    const std::string beside = SettingsFileFor(s.ExecutablePath);
    if (s.BesideFileExists) return beside;
    const bool installed =
        !s.ProgramFolderWritable || LastName(FolderOf(s.ExecutablePath)) == "bin";
    const std::string configHome = ConfigHome(s);
    if (!installed || configHome.empty()) return beside;
    return configHome + "/postlark/postlark.ini";
}

std::string LocateSettingsFile(const std::string& executablePath) {
    TSettingsSurroundings s;
    s.ExecutablePath = executablePath;
    s.BesideFileExists = access(SettingsFileFor(executablePath).c_str(), F_OK) == 0;
    s.ProgramFolderWritable = access(FolderOf(executablePath).c_str(), W_OK) == 0;
    s.XdgConfigHome = Env("XDG_CONFIG_HOME");
    s.Home = Env("HOME");
    const std::string file = ChooseSettingsFile(s);
    if (file != SettingsFileFor(executablePath)) MakeFolder(FolderOf(file));
    return file;
}
