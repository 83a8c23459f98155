#include "Subsidiary/ReadIni.h"

#include <algorithm>
#include <fstream>
#include <sstream>

namespace {

constexpr size_t npos = std::string_view::npos;

// Only the blank counts: a tab stays part of a key or value.
std::string_view TrimSpaces(std::string_view text)
{
    const size_t first = text.find_first_not_of(' ');
    if (first == npos)
        return {};
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

} // namespace

bool CReadIni::Open(const std::string& fileName)
{
    if (fileName.empty())
        return false;
    std::ifstream file(fileName);
    if (!file.is_open())
        return false;
    m_Sections.clear();
    m_nCurrentSection = -1;
    std::string line;
    while (std::getline(file, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        ParseLine(line);
    }
    return !file.bad(); // a name that opens but cannot be read, such as a folder
}

// Classifies one line as a comment, a section header or a key line. A comment character
// ends a key line only when it comes before the '='; after it, it is part of the value.
void CReadIni::ParseLine(std::string_view line)
{
    if (line.empty())
        return;
    const size_t comment = std::min(line.find(';'), line.find('#'));
    const size_t equals = line.find('=');
    if (comment == npos) {
        if (line.find('[') == npos || line.find(']') == npos)
            AddKey(line);
        else
            AddSection(line);
    } else if (comment == 0) {
        return;
    } else if (equals != npos) {
        AddKey(comment < equals ? line.substr(0, comment) : line);
    } else {
        // No '=': only a bracketed name can make sense of it; anything else is ignored.
        AddSection(line);
    }
}

void CReadIni::AddSection(std::string_view line)
{
    const size_t open = line.find('[');
    if (open == npos)
        return;
    const size_t close = line.find(']', open + 1);
    if (close == npos)
        return;
    m_Sections.push_back(Section{std::string(line.substr(open + 1, close - open - 1)), {}});
    m_nCurrentSection = static_cast<int32_t>(m_Sections.size() - 1);
}

void CReadIni::AddKey(std::string_view line)
{
    if (m_nCurrentSection < 0)
        return; // a key before any section header has no place to go
    auto& values = m_Sections[static_cast<size_t>(m_nCurrentSection)].values;
    const size_t equals = line.find('=');
    if (equals == npos) {
        values.emplace(std::string(line), "null");
        return;
    }
    values.emplace(std::string(TrimSpaces(line.substr(0, equals))), std::string(TrimSpaces(line.substr(equals + 1))));
}

const std::string* CReadIni::Find(const std::string& section, const std::string& key) const
{
    for (const Section& candidate : m_Sections) {
        if (candidate.strName != section)
            continue;
        const auto found = candidate.values.find(key);
        if (found != candidate.values.end())
            return &found->second;
    }
    return nullptr;
}

bool CReadIni::GetString(const std::string& section, const std::string& key, const std::string& defaultValue,
                         std::string& value) const
{
    const std::string* found = Find(section, key);
    value = found != nullptr ? *found : defaultValue;
    return found != nullptr;
}

int32_t CReadIni::GetInt(const std::string& section, const std::string& key, int32_t defaultValue) const
{
    const std::string* found = Find(section, key);
    if (found == nullptr)
        return defaultValue;
    std::istringstream text(*found);
    int32_t number = 0;
    if (!(text >> number))
        return defaultValue; // no number at the start, or one that does not fit 32 bits
    return number;
}
