#pragma once
// The process-wide lock monitor. Every CMonitoredMutex reports to it on creation, on each
// acquisition and release and on destruction, and every long-lived thread reports its start,
// its waits and its end. It keeps the order in which lock names have been nested and ends the
// process with exit code 1, after an error line and a back trace, when a thread takes two
// locks in the opposite order, waits or ends with a lock held, or misuses a lock.
// It also owns the symbol set-up for back traces.

#include "Subsidiary/AutoMutex.h"
#include "Subsidiary/DBGRecords.h"
#include "platform/StackTrace.h"

#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>

class CDBGException;

class CDBGMonitor {
public:
    CDBGMonitor(const CDBGMonitor&) = delete;
    CDBGMonitor& operator=(const CDBGMonitor&) = delete;

    /// The one monitor, built before the first lock and never destroyed. Any thread.
    static CDBGMonitor& Instance();

    /// Registers the calling thread under the name and marks it awake. The calling thread.
    static void ThreadStarted(const std::string& name);
    /// Checks that no lock is held, logs the thread's times and forgets it. The calling thread.
    static void ThreadStopped();
    /// Called before a wait; fatal while the thread holds a monitored lock. The calling thread.
    static void ThreadSleep();
    /// Called after a wait. The calling thread.
    static void ThreadAwake();

    /// Registers a lock object under its name. Any thread.
    static void InitializeCriticalSection(CAutoMutex* lock, const std::string& name);
    /// Checks the lock order, then enters the lock and counts the wait. Any thread.
    static void EnterCriticalSection(CAutoMutex* lock);
    /// Leaves one level of the lock; fatal when the thread does not hold it. Any thread.
    static void MPLeaveCriticalSection(CAutoMutex* lock);
    /// Marks the lock object deleted; its record stays for a later re-creation. Any thread.
    static void DeleteCriticalSection(CAutoMutex* lock);

    /// Logs one line per lock name, in the order the names were first seen. Any thread.
    static void DumpLockStatistics();

    /// Logs a back trace titled with the name: from the faulting instruction of the context,
    /// or without one from the caller of BackTrace. Any thread.
    static void BackTrace(const std::string& name, const platform::FaultContext* context = nullptr);

private:
    CDBGMonitor();
    ~CDBGMonitor() = delete;

    struct ThreadSlot;
    static ThreadSlot& CurrentSlot();

    DBGThreadRecord& CurrentThread();
    void ForgetThread(DBGThreadRecord* record);
    void Sleep(DBGThreadRecord& thread);

    void Register(CAutoMutex* lock, const std::string& name);
    int32_t IdForName(const std::string& name);
    DBGLockRecord& PrepareEnter(CAutoMutex* lock, DBGThreadRecord& thread);
    void CheckForDeadlock(const DBGThreadRecord& thread, const DBGLockRecord& wanted);
    void RecordOrder(const DBGThreadRecord& thread, int32_t id);
    void AddWaitTime(CAutoMutex* lock, uint64_t waitTime);
    void Leave(CAutoMutex* lock);
    void Unregister(CAutoMutex* lock);
    void DumpStatistics();

    template <typename Body>
    void Guarded(const char* origin, Body&& body);
    [[noreturn]] void Fatal(const char* origin, const std::string& message, const char* traceName);
    [[noreturn]] static void OutOfResources(const char* origin, const CDBGException& failure);

    struct Totals {
        uint64_t lockCount = 0;
        uint64_t waitTime = 0;
    };

    int32_t m_nNextLockId = 1; // guarded by m_csRegistry
    CAutoMutex m_csRegistry;
    std::unordered_map<const CAutoMutex*, DBGLockRecord> m_mapLocks; // guarded by m_csRegistry
    std::unordered_map<int32_t, std::set<int32_t>> m_mapOrder;         // guarded by m_csRegistry
    std::map<std::string, int32_t> m_mapNames;                         // guarded by m_csRegistry
    // Counts of records whose object was re-created under another name; guarded by m_csRegistry.
    std::map<int32_t, Totals> m_mapRetired;
    CAutoMutex m_csThreads;
    std::unordered_map<uint32_t, std::unique_ptr<DBGThreadRecord>> m_mapThreads; // guarded by m_csThreads
};
