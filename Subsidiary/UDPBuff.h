#pragma once
// Reference-counted fixed-capacity packet buffers with the typed put and get primitives.
// A buffer is shared by several owners (a send queue, the history, a pool) and frees
// itself when the last one releases it. Contents are written by one thread before the
// buffer is shared; only the reference count is thread-safe.

#include "Subsidiary/ByteReader.h"
#include "Subsidiary/RefPtr.h"

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <string_view>

class IIOCP_UDPBuffer {
public:
    virtual ~IIOCP_UDPBuffer() = default;
    /// First byte of storage.
    virtual uint8_t* GetData() = 0;
    /// Bytes written so far.
    virtual uint32_t GetSize() const = 0;
    /// The destination IPv4 address in network order.
    virtual uint32_t GetTag() const = 0;
    /// Takes one more reference (atomic). Any thread.
    virtual IIOCP_UDPBuffer* AddRef() = 0;
    /// Drops one reference (atomic); the last one frees the buffer. Returns the new count. Any thread.
    virtual int32_t Release() = 0;
};

class CUDPBuff final : public IIOCP_UDPBuffer {
public:
    static constexpr uint32_t kMaxString = 2048;

    /// Storage of `capacity` bytes; throws std::bad_alloc. The count starts at 1.
    explicit CUDPBuff(uint32_t capacity);
    CUDPBuff(const CUDPBuff&) = delete;
    CUDPBuff& operator=(const CUDPBuff&) = delete;

    uint8_t* GetData() override { return m_pStart.get(); }
    uint32_t GetSize() const override { return m_nWritePos; }
    uint32_t GetTag() const override { return m_nTag; }
    CUDPBuff* AddRef() override;
    int32_t Release() override;

    /// Reference count read atomically: 1 means the holder is the only owner.
    int32_t GetRefCount() const { return m_nRefCount.load(std::memory_order_acquire); }

    const uint8_t* GetData() const { return m_pStart.get(); }
    uint32_t GetCapacity() const { return m_nCapacity; }
    void SetTag(uint32_t tag) { m_nTag = tag; }

    /// Write position as an offset from the start; must not exceed the capacity.
    void SetSize(uint32_t size);
    uint32_t GetFree() const { return m_nCapacity - m_nWritePos; }

    /// Commit mark: the size at the start of the record being written; must not exceed the
    /// capacity (type 2 otherwise), so that a rollback never moves the write position past it.
    uint32_t GetMark() const { return m_nMark; }
    void SetMark(uint32_t mark);
    /// Drops whatever was written after the commit mark.
    void RollbackToMark() { m_nWritePos = m_nMark; }

    /// Read position as an offset from the start; reads end at the capacity.
    uint32_t GetReadPos() const { return m_Reader.GetPos(); }
    void SetReadPos(uint32_t pos) { m_Reader.SetPos(pos); }
    uint32_t GetReadRemaining() const { return m_Reader.GetRemaining(); }

    // Writers: each checks the room first and throws CObjArchiveException type 2 having
    // written nothing; PutString throws type 3 for more than 2048 characters or for a zero
    // byte inside the text (the reader would end the string there and misread what follows).
    void PutU8(uint8_t value);
    void PutU16(uint16_t value);
    void PutU32(uint32_t value);
    void PutU64(uint64_t value);
    void PutBytes(const void* bytes, uint32_t count);
    void PutString(std::string_view text);
    /// Throws type 3 for a text PutString refuses.
    static void CheckString(std::string_view text);
    /// The next `count` bytes at the write position, for the caller to fill; throws type 2
    /// having taken nothing when they do not fit.
    uint8_t* Reserve(uint32_t count);

    // Readers: each throws CObjArchiveException type 1 when the data ends before the value.
    uint8_t GetU8() { return m_Reader.GetU8(); }
    uint16_t GetU16() { return m_Reader.GetU16(); }
    uint32_t GetU32() { return m_Reader.GetU32(); }
    uint64_t GetU64() { return m_Reader.GetU64(); }
    std::string GetString() { return m_Reader.GetString(); }

private:
    ~CUDPBuff() override = default; // only the last Release frees a buffer

    uint32_t m_nTag = 0;
    std::unique_ptr<uint8_t[]> m_pStart;
    uint32_t m_nCapacity;
    uint32_t m_nWritePos = 0;
    CByteReader m_Reader; ///< the read position; reads end at the capacity
    uint32_t m_nMark = 0;
    std::atomic<int32_t> m_nRefCount{1};
};

using CUDPBuffRef = CRefPtr<CUDPBuff>;

/// A fresh buffer owned by the returned handle.
inline CUDPBuffRef MakeUDPBuff(uint32_t capacity)
{
    return CUDPBuffRef::Adopt(new CUDPBuff(capacity));
}

/// Takes the first buffer of the pool that nobody else holds any more (the pool's reference is
/// the only one), or a null handle when every buffer is still in use. The pool's owner, under
/// whatever lock guards the pool.
inline CUDPBuffRef TakeUnsharedBuffer(std::list<CUDPBuffRef>& pool)
{
    for (auto it = pool.begin(); it != pool.end(); ++it) {
        if ((*it)->GetRefCount() == 1) {
            CUDPBuffRef reused = std::move(*it);
            pool.erase(it);
            return reused;
        }
    }
    return CUDPBuffRef();
}
