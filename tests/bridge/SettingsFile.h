// A settings store loaded from a real file, as the daemon loads its own: the
// text goes to a file in a fresh temporary directory, removed afterwards.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "foundation/FileInf.h"

class SettingsFile {
public:
    explicit SettingsFile(const std::string& text)
    {
        std::string tmpl = (std::filesystem::temp_directory_path() / "bridge-settings.XXXXXX").string();
        if (::mkdtemp(tmpl.data()) == nullptr) {
            return;
        }
        dir = tmpl;
        const std::string path = dir + "/setting.inf";
        std::ofstream(path, std::ios::binary) << text;
        loaded = inf.load(path, 0);
    }
    ~SettingsFile()
    {
        std::error_code ec;
        if (!dir.empty()) {
            std::filesystem::remove_all(dir, ec);
        }
    }
    SettingsFile(const SettingsFile&) = delete;
    SettingsFile& operator=(const SettingsFile&) = delete;

    TIVRA::FileInf inf;
    bool loaded = false;
    std::string dir;
};
