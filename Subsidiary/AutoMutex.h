#pragma once
// Named recursive locks: the plain CAutoMutex, the CMonitoredMutex that reports to the lock
// monitor, and the scoped guard CAutoLock.

#include <mutex>
#include <string>

class CAutoMutex {
public:
    CAutoMutex();
    virtual ~CAutoMutex();
    CAutoMutex(const CAutoMutex&) = delete;
    CAutoMutex& operator=(const CAutoMutex&) = delete;

    /// Names the lock. Any thread, before the lock is shared.
    virtual void SetName(std::string name);
    /// Enters the lock; the thread that holds it may enter again. Any thread.
    virtual void Lock();
    /// Leaves one level of the lock. The thread that holds it.
    virtual void Unlock();
    /// Any thread.
    const std::string& GetName() const;

private:
    friend class CDBGMonitor; // enters and leaves the section around its bookkeeping

    std::recursive_mutex m_cs;
    std::string m_strName;
};

class CMonitoredMutex : public CAutoMutex {
public:
    /// Registers the lock with the lock monitor under the name. Any thread.
    explicit CMonitoredMutex(std::string name);
    ~CMonitoredMutex() override;

    /// Enters the lock through the lock monitor, which checks the lock order first. Any thread.
    void Lock() override;
    /// Leaves one level through the lock monitor. The thread that holds the lock.
    void Unlock() override;
};

class CAutoLock {
public:
    /// Enters the lock for the guard's scope. Any thread.
    [[nodiscard]] explicit CAutoLock(CAutoMutex& mutex);
    ~CAutoLock();
    CAutoLock(const CAutoLock&) = delete;
    CAutoLock& operator=(const CAutoLock&) = delete;

    /// Leaves the lock before the scope ends; the destructor then does nothing. The guard's thread.
    void Unlock();

private:
    CAutoMutex* m_pMutex;
    bool m_bLocked;
};
