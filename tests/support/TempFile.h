#pragma once
// A file with given contents in a fresh temporary folder, removed with the folder.

#include "platform/Process.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

class CTempFile {
public:
    explicit CTempFile(std::string_view contents, const std::string& name = "settings.ini")
    {
        static std::atomic<int> counter{0};
        m_Folder = std::filesystem::temp_directory_path() /
                   ("qv-test-" + std::to_string(platform::GetCurrentProcessId()) + "-" + std::to_string(counter++));
        std::filesystem::create_directories(m_Folder);
        m_Path = m_Folder / name;
        std::ofstream(m_Path, std::ios::binary) << contents;
    }
    CTempFile(const CTempFile&) = delete;
    CTempFile& operator=(const CTempFile&) = delete;
    ~CTempFile()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_Folder, ignored);
    }

    std::string Path() const { return m_Path.string(); }
    std::string Folder() const { return m_Folder.string(); }

private:
    std::filesystem::path m_Folder;
    std::filesystem::path m_Path;
};
