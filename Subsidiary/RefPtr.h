#pragma once
// An owning handle on one reference of a reference-counted object (AddRef/Release).

#include <utility>

template <class T>
class CRefPtr {
public:
    CRefPtr() = default;
    CRefPtr(const CRefPtr& other) : m_p(other.m_p)
    {
        if (m_p)
            m_p->AddRef();
    }
    CRefPtr(CRefPtr&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
    ~CRefPtr() { Reset(); }

    CRefPtr& operator=(CRefPtr other) noexcept
    {
        std::swap(m_p, other.m_p);
        return *this;
    }

    /// Takes over a reference the caller already owns.
    static CRefPtr Adopt(T* p)
    {
        CRefPtr ref;
        ref.m_p = p;
        return ref;
    }
    /// Takes a new reference.
    static CRefPtr Share(T* p)
    {
        if (p)
            p->AddRef();
        return Adopt(p);
    }

    void Reset()
    {
        if (T* p = std::exchange(m_p, nullptr))
            p->Release();
    }
    /// Hands the reference to the caller.
    [[nodiscard]] T* Detach() { return std::exchange(m_p, nullptr); }

    T* Get() const { return m_p; }
    T* operator->() const { return m_p; }
    T& operator*() const { return *m_p; }
    explicit operator bool() const { return m_p != nullptr; }

private:
    T* m_p = nullptr;
};
