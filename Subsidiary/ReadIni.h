#pragma once
// Reader of INI-style settings files: the whole file is parsed once into sections of
// key-value pairs, kept in file order, and looked up by exact (case-sensitive) names.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

class CReadIni {
public:
    CReadIni() = default;
    virtual ~CReadIni() = default;

    /// Parses the whole file, replacing whatever an earlier call read. False when the name is
    /// empty or the file cannot be opened or read. Main thread, before other threads start.
    bool Open(const std::string& fileName);

    /// The value of the first section named `section` that has `key`: true and the value,
    /// or false and `defaultValue`. Any thread once loaded.
    bool GetString(const std::string& section, const std::string& key, const std::string& defaultValue,
                   std::string& value) const;

    /// The value read as a decimal number (leading white space skipped, stops at the first
    /// character that cannot continue it); `defaultValue` when the key is absent or the value
    /// does not start with a number. Any thread once loaded.
    int32_t GetInt(const std::string& section, const std::string& key, int32_t defaultValue) const;

private:
    struct Section {
        std::string strName;
        std::map<std::string, std::string> values; // a repeated key keeps its first value
    };

    void ParseLine(std::string_view line);
    void AddSection(std::string_view line);
    void AddKey(std::string_view line);
    const std::string* Find(const std::string& section, const std::string& key) const;

    int32_t m_nCurrentSection = -1; // -1 until the first section header
    std::vector<Section> m_Sections;
};
