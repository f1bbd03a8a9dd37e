#include "app/Autostart.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace {

std::string ConfigHome() {
    // An XDG_CONFIG_HOME that is not absolute is to be ignored (XDG Base Directory).
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config && config[0] == '/') return config;
    const char* home = std::getenv("HOME");
    return std::string(home ? home : "") + "/.config";
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

std::string TAutostart::EntryPath() {
    return ConfigHome() + "/autostart/" + kFileName;
}

bool TAutostart::Exists() {
    std::error_code error;
    return std::filesystem::exists(EntryPath(), error);
}

std::string TAutostart::ExecArgument(const std::string& path) {
    // Desktop Entry Specification, "The Exec key": an argument with reserved characters is
    // quoted, and inside quotes ", `, $ and \ take a backslash. "%" starts a field code
    // everywhere. The value as a whole is a string, whose own escapes double the backslash.
    static constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`";
    std::string arg;
    for (char c : path) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') arg += '\\';
        if (c == '%') arg += '%';
        arg += c;
    }
    if (path.find_first_of(kReserved) != std::string::npos) arg = '"' + arg + '"';
    std::string value;
    for (char c : arg) {
        if (c == '\\') value += '\\';
        value += c;
    }
    return value;
}

std::string TAutostart::EntryText(const std::string& programPath) {
    // The installed desktop entry's keys, with the program's own path: the one that
    // wrote the entry is the one that starts, wherever it lives.
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Postlark\n"
           "Comment=Check a POP3 mailbox from the notification area\n"
           "Exec=" +
           ExecArgument(programPath) +
           "\n"
           "Icon=postlark\n"
           "Terminal=false\n"
           "Categories=Network;Email;\n"
           "StartupNotify=false\n";
}

void TAutostart::Apply(bool on, const std::string& programPath) {
    namespace fs = std::filesystem;
    const std::string path = EntryPath();
    std::error_code error;
    if (!on) {
        if (!fs::remove(path, error) && error)
            throw std::runtime_error("Unable to remove " + path + ": " + error.message());
        return;
    }
    const std::string text = EntryText(programPath);
    if (ReadFile(path) == text) return;
    fs::create_directories(fs::path(path).parent_path(), error);
    // Written beside and renamed over, so a login never reads half an entry.
    const std::string temporary = path + ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
        out.close();
        if (!out) {
            fs::remove(temporary, error);
            throw std::runtime_error("Unable to write to " + path);
        }
    }
    fs::rename(temporary, path, error);
    if (error) {
        fs::remove(temporary, error);
        throw std::runtime_error("Unable to write to " + path);
    }
}
