#pragma once

#include <QTemporaryDir>

#include <fstream>
#include <sstream>
#include <string>

// A settings file in a private folder, written and read back whole as bytes.
struct SettingsFileHolder {
    QTemporaryDir dir;
    std::string path = dir.path().toStdString() + "/postlark.ini";

    void WriteFile(const std::string& text) const { std::ofstream(path, std::ios::binary) << text; }
    std::string FileText() const {
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
};
