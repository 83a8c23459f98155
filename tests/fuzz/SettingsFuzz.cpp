// Fuzz target: the settings file reader with the client's settings on top of it. The input is
// the file's text. A text without carriage returns is read a second time with every line
// ending in CR LF, as a file edited on Windows would be, and must give the same settings.

#include "client/Settings.h"
#include "fuzz/FuzzCheck.h"
#include "support/TempFile.h"

#include <fstream>
#include <string>
#include <string_view>
#include <tuple>

namespace {

auto LoadText(std::string_view text)
{
    static const CTempFile file("");
    std::ofstream(file.Path(), std::ios::binary | std::ios::trunc) << text;
    CSettings settings;
    const bool loaded = settings.LoadFrom(file.Path());
    return std::make_tuple(loaded, settings.GetServerPort(), settings.GetMulticastAddr(), settings.GetServerAddr(),
                           settings.GetServerAddrText());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto settings = LoadText(text);
    if (text.find('\r') != std::string_view::npos)
        return 0;
    std::string windows;
    for (const char c : text)
        windows += c == '\n' ? std::string_view("\r\n") : std::string_view(&c, 1);
    FuzzCheck(LoadText(windows) == settings, "CR LF line ends read as LF ones");
    return 0;
}
