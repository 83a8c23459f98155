#pragma once
// Reads a fuzzer input front to back as the targets' small instruction sets: single bytes,
// numbers, and runs of bytes behind a length prefix. Every read past the end gives zeros or
// fewer bytes, so any input is a valid program.

#include "Subsidiary/LittleEndian.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

class CFuzzInput {
public:
    CFuzzInput(const uint8_t* data, size_t size) : m_data(data, size) {}

    bool AtEnd() const { return m_nPos == m_data.size(); }

    uint8_t Byte() { return AtEnd() ? 0 : m_data[m_nPos++]; }

    uint64_t U64()
    {
        uint8_t bytes[8] = {};
        const std::span<const uint8_t> taken = Take(sizeof bytes);
        for (size_t i = 0; i < taken.size(); ++i)
            bytes[i] = taken[i];
        return LoadU64LE(bytes);
    }

    /// A length byte L, then L + 1 bytes (fewer at the end): one read of a TCP stream.
    std::span<const uint8_t> Piece()
    {
        const size_t length = static_cast<size_t>(Byte()) + 1;
        return Take(length);
    }

    /// A two-byte little-endian length, then that many bytes: a datagram or a packet.
    std::span<const uint8_t> Block()
    {
        const size_t low = Byte();
        return Take(low | static_cast<size_t>(Byte()) << 8);
    }

    /// A block in memory of its own, so that a read past its end meets the sanitizer.
    std::vector<uint8_t> OwnBlock()
    {
        const std::span<const uint8_t> block = Block();
        return {block.begin(), block.end()};
    }

private:
    std::span<const uint8_t> Take(size_t count)
    {
        const size_t taken = count < m_data.size() - m_nPos ? count : m_data.size() - m_nPos;
        const std::span<const uint8_t> run = m_data.subspan(m_nPos, taken);
        m_nPos += taken;
        return run;
    }

    std::span<const uint8_t> m_data;
    size_t m_nPos = 0;
};
