#pragma once
// Applies server packets to a client repository in a process of its own (the client_replay
// program: both repositories share a class name) and returns the client's text export.

#include "Subsidiary/LittleEndian.h"
#include "platform/Process.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <span>
#include <sstream>
#include <string>
#include <vector>

struct CClientReplay {
    int nStatus = -1;      ///< of std::system: 0 when every packet was applied
    std::string strExport; ///< the client's store as text
    std::string strLog;    ///< what the client printed
};

/// Replays whole packets (header and records) in order, through files of this process's own in
/// the temporary folder. Test thread.
inline CClientReplay ReplayInClient(const std::string& program, const std::vector<std::span<const uint8_t>>& packets)
{
    static int s_nReplays = 0;
    const std::string base = (std::filesystem::temp_directory_path() /
                              ("qv-replay-" + std::to_string(platform::GetCurrentProcessId()) + "-" + std::to_string(s_nReplays++)))
                                 .string();
    const std::string packetsFile = base + ".packets", exportFile = base + ".txt", logFile = base + ".log";
    {
        std::ofstream file(packetsFile, std::ios::binary | std::ios::trunc);
        for (const std::span<const uint8_t> packet : packets) {
            uint8_t length[4];
            StoreU32LE(length, static_cast<uint32_t>(packet.size()));
            file.write(reinterpret_cast<const char*>(length), sizeof length);
            file.write(reinterpret_cast<const char*>(packet.data()), static_cast<std::streamsize>(packet.size()));
        }
    }
    CClientReplay replay;
    replay.nStatus = std::system((program + " " + packetsFile + " " + exportFile + " > " + logFile).c_str());
    const auto read = [](const std::string& name) {
        std::ifstream file(name, std::ios::binary);
        std::ostringstream text;
        text << file.rdbuf();
        return text.str();
    };
    replay.strLog = read(logFile);
    replay.strExport = read(exportFile);
    for (const std::string& name : {packetsFile, exportFile, logFile})
        std::filesystem::remove(name);
    return replay;
}
