#pragma once
// A growable byte queue: the receive and send backlog of a TCP connection. It has no lock;
// the owning connection serialises access. It never throws: a failed allocation is a false
// result, which callers report as out of memory.

#include <cstdint>

class CNETArchive {
public:
    /// `growStep`: extra bytes allocated beyond the need whenever the storage grows.
    explicit CNETArchive(uint32_t growStep);
    CNETArchive(const CNETArchive&) = delete;
    CNETArchive& operator=(const CNETArchive&) = delete;
    virtual ~CNETArchive();

    /// Makes room for `needed` bytes in all: nothing to do when the capacity covers them
    /// (so never below the valid bytes); otherwise grows the storage to `needed` + grow step
    /// bytes, keeping the valid bytes and the read position. False, with the archive
    /// unchanged, when memory runs out.
    bool Reserve(uint32_t needed);
    /// Appends `count` bytes, growing the storage when they do not fit.
    bool Append(const void* bytes, uint32_t count);
    /// Removes `count` bytes from the front (at most the valid bytes).
    void Consume(uint32_t count);
    /// Counts `count` more bytes as valid after they were written in place at GetData() + GetCount().
    void Commit(uint32_t count);
    /// No valid bytes; the storage is kept.
    void Clear();
    /// No valid bytes and no storage.
    void Free();

    uint8_t* GetData() { return m_pData; }
    const uint8_t* GetData() const { return m_pData; }
    uint32_t GetCount() const { return m_nCount; }
    uint32_t GetCapacity() const { return m_nCapacity; }
    /// Read position as an offset from the front; it follows the bytes when they move.
    uint32_t GetReadOffset() const { return static_cast<uint32_t>(m_pRead - m_pData); }
    void SetReadOffset(uint32_t offset);

private:
    uint8_t* m_pData = nullptr;
    uint8_t* m_pRead = nullptr;
    uint32_t m_nCount = 0;
    uint32_t m_nCapacity = 0;
    uint32_t m_nGrowStep;
};
