#include "Subsidiary/DBGMonitor.h"

#include "Subsidiary/BackTrace.h"
#include "Subsidiary/DBGException.h"
#include "Subsidiary/Log.h"
#include "platform/Clock.h"
#include "platform/ConsoleKey.h"
#include "platform/Thread.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <new>
#include <vector>

namespace {

const char* const kSourceName = "Subsidiary/DBGMonitor";
constexpr size_t kMaxNameLength = 299;

#define DBG_CHECK(condition)                                                                                           \
    do {                                                                                                               \
        if (!(condition))                                                                                              \
            throw CDBGException(kSourceName, __LINE__);                                                                \
    } while (false)

// Built during static initialisation, so that symbols are set up and the monitor exists
// before any lock of any other static object.
[[maybe_unused]] const CDBGMonitor& g_monitorAtStartup = CDBGMonitor::Instance();

} // namespace

// The record belongs to the thread table; the slot points at it and, when its thread ends
// without ThreadStopped (a cancelled thread, or one that never registered), removes it.
struct CDBGMonitor::ThreadSlot {
    DBGThreadRecord* record = nullptr;

    ~ThreadSlot()
    {
        if (record != nullptr)
            CDBGMonitor::Instance().ForgetThread(record);
        record = nullptr;
    }
};

CDBGMonitor& CDBGMonitor::Instance()
{
    // Never destroyed: threads may still take locks while static objects are torn down.
    static CDBGMonitor* monitor = new CDBGMonitor;
    return *monitor;
}

CDBGMonitor::CDBGMonitor()
{
    uint32_t errorCode = 0;
    if (!platform::InitSymbols(errorCode))
        PrintDirect("Error: SymInitialize() failed. Error code: %u \n", errorCode);
}

CDBGMonitor::ThreadSlot& CDBGMonitor::CurrentSlot()
{
    thread_local ThreadSlot slot;
    return slot;
}

template <typename Body>
void CDBGMonitor::Guarded(const char* origin, Body&& body)
{
    try {
        body();
    } catch (const CDBGException& failure) {
        OutOfResources(origin, failure);
    } catch (const std::bad_alloc&) {
        OutOfResources(origin, CDBGException(kSourceName, __LINE__));
    }
}

void CDBGMonitor::OutOfResources(const char* origin, const CDBGException& failure)
{
    LogMessage(FormatString("Out of resources in %s:%d!", failure.GetFile(), failure.GetLine()), LOG_ERR, origin);
    std::_Exit(1);
}

void CDBGMonitor::Fatal(const char* origin, const std::string& message, const char* traceName)
{
    // The registry lock is kept to the end: all other lock traffic and any second report stop here.
    m_csRegistry.Lock();
    LogMessage(message, LOG_ERR, origin);
    BackTrace(traceName);
    platform::RestoreConsoleInput();
    // No static destructors: other threads may still be running on those objects.
    std::_Exit(1);
}

// --- threads ---------------------------------------------------------------------------------

DBGThreadRecord& CDBGMonitor::CurrentThread()
{
    ThreadSlot& slot = CurrentSlot();
    if (slot.record != nullptr)
        return *slot.record;
    auto record = std::make_unique<DBGThreadRecord>();
    record->threadId = platform::GetCurrentThreadId();
    record->name = FormatString("UnknownThread <0x%0.8X>", record->threadId);
    record->startTick = record->awakeSince = platform::GetTickCount64();
    DBGThreadRecord* current = record.get();
    {
        CAutoLock guard(m_csThreads);
        m_mapThreads[current->threadId] = std::move(record);
    }
    slot.record = current;
    return *current;
}

void CDBGMonitor::ForgetThread(DBGThreadRecord* record)
{
    CAutoLock guard(m_csThreads);
    const auto found = m_mapThreads.find(record->threadId);
    if (found != m_mapThreads.end() && found->second.get() == record)
        m_mapThreads.erase(found);
}

void CDBGMonitor::Sleep(DBGThreadRecord& thread)
{
    if (!thread.held.empty()) {
        Fatal("CDBGMonitor::ThreadSleep",
              FormatString("Critical section '%s' are not released prior to thread '%s' sleep!",
                           thread.held.front()->name.c_str(), thread.name.c_str()),
              "NotReleasedCriticalSection");
    }
    thread.awakeTime += platform::GetTickCount64() - thread.awakeSince;
}

void CDBGMonitor::ThreadStarted(const std::string& name)
{
    CDBGMonitor& monitor = Instance();
    monitor.Guarded("CDBGMonitor::ThreadStarted", [&] {
        DBGThreadRecord& thread = monitor.CurrentThread();
        thread.name = name;
        thread.awakeSince = platform::GetTickCount64();
    });
}

void CDBGMonitor::ThreadAwake()
{
    CDBGMonitor& monitor = Instance();
    monitor.Guarded("CDBGMonitor::ThreadAwake",
                    [&] { monitor.CurrentThread().awakeSince = platform::GetTickCount64(); });
}

void CDBGMonitor::ThreadSleep()
{
    CDBGMonitor& monitor = Instance();
    monitor.Guarded("CDBGMonitor::ThreadSleep", [&] { monitor.Sleep(monitor.CurrentThread()); });
}

void CDBGMonitor::ThreadStopped()
{
    CDBGMonitor& monitor = Instance();
    monitor.Guarded("CDBGMonitor::ThreadStopped", [&] {
        DBGThreadRecord& thread = monitor.CurrentThread();
        monitor.Sleep(thread);
        const uint64_t lived = platform::GetTickCount64() - thread.startTick;
        uint64_t inLocks = 0;
        for (const auto& [lock, usage] : thread.usage)
            inLocks += usage.waitTime;
        const std::string who = FormatString("%s[0x%0.8X]", thread.name.c_str(), thread.threadId);
        LogMessage(FormatString("%s - Lived : %.3lf (s), Awake : %.3lf (s),  In crit sec : %.3lf (s)", who.c_str(),
                                lived / 1000.0, thread.awakeTime / 1000.0, inLocks / 1000.0),
                   LOG_MSG, "dump");
        CurrentSlot().record = nullptr;
        monitor.ForgetThread(&thread);
    });
}

// --- locks -----------------------------------------------------------------------------------

int32_t CDBGMonitor::IdForName(const std::string& name)
{
    DBG_CHECK(m_nNextLockId < INT32_MAX);
    const auto [found, added] = m_mapNames.try_emplace(name, m_nNextLockId);
    if (added)
        ++m_nNextLockId;
    return found->second;
}

void CDBGMonitor::Register(CAutoMutex* lock, const std::string& name)
{
    CAutoLock guard(m_csRegistry);
    auto [found, added] = m_mapLocks.try_emplace(lock);
    DBGLockRecord& record = found->second;
    if (!added && record.count == 1) {
        Fatal("CDBGMonitor::InitializeCriticalSection",
              FormatString("Double initialized critical section : %s!", name.c_str()), "DoubleInitCS");
    }
    if (!added && record.name != name) {
        // Another lock was created where a deleted one lived; its counts stay with the old name.
        Totals& retired = m_mapRetired[record.id];
        retired.lockCount += record.lockCount;
        retired.waitTime += record.waitTime;
        record = DBGLockRecord{};
    }
    if (record.id == 0) {
        record.name = name;
        record.id = IdForName(name);
    }
    record.count = 1;
}

void CDBGMonitor::InitializeCriticalSection(CAutoMutex* lock, const std::string& name)
{
    CDBGMonitor& monitor = Instance();
    monitor.Guarded("CDBGMonitor::InitializeCriticalSection", [&] {
        DBG_CHECK(!name.empty() && name.size() <= kMaxNameLength);
        monitor.Register(lock, name);
    });
}

void CDBGMonitor::CheckForDeadlock(const DBGThreadRecord& thread, const DBGLockRecord& wanted)
{
    const auto order = m_mapOrder.find(wanted.id);
    if (order == m_mapOrder.end())
        return;
    for (const DBGLockRecord* held : thread.held) {
        // The wanted lock has been held before while this one was taken: the opposite order.
        if (order->second.count(held->id) != 0) {
            Fatal("CDBGMonitor::CheckForDeadlock",
                  FormatString("Critical section %s, is locked before %s !!!", held->name.c_str(), wanted.name.c_str()),
                  "Deadlock");
        }
    }
}

void CDBGMonitor::RecordOrder(const DBGThreadRecord& thread, int32_t id)
{
    for (const DBGLockRecord* held : thread.held) {
        if (held->id != id)
            m_mapOrder[held->id].insert(id);
    }
}

DBGLockRecord& CDBGMonitor::PrepareEnter(CAutoMutex* lock, DBGThreadRecord& thread)
{
    CAutoLock guard(m_csRegistry);
    const auto found = m_mapLocks.find(lock);
    DBG_CHECK(found != m_mapLocks.end() && found->second.count == 1);
    DBGLockRecord& registered = found->second;
    DBG_CHECK(registered.id != 0);
    ++registered.lockCount;

    DBGLockRecord& usage = thread.usage[lock];
    if (usage.count == 0 && usage.id != registered.id) {
        usage.name = registered.name;
        usage.id = registered.id;
    }
    const bool idHeld = std::any_of(thread.held.begin(), thread.held.end(),
                                    [&](const DBGLockRecord* held) { return held->id == registered.id; });
    if (!idHeld) {
        CheckForDeadlock(thread, usage);
        RecordOrder(thread, registered.id);
    }
    return usage;
}

void CDBGMonitor::AddWaitTime(CAutoMutex* lock, uint64_t waitTime)
{
    CAutoLock guard(m_csRegistry);
    const auto found = m_mapLocks.find(lock);
    DBG_CHECK(found != m_mapLocks.end());
    found->second.waitTime += waitTime;
}

void CDBGMonitor::EnterCriticalSection(CAutoMutex* lock)
{
    CDBGMonitor& monitor = Instance();
    monitor.Guarded("CDBGMonitor::EnterCriticalSection", [&] {
        DBGThreadRecord& thread = monitor.CurrentThread();
        DBGLockRecord& usage = monitor.PrepareEnter(lock, thread);
        if (++usage.count == 1)
            thread.held.push_back(&usage);
        ++usage.lockCount;
        const uint64_t before = platform::GetTickCount64();
        lock->m_cs.lock();
        const uint64_t waited = platform::GetTickCount64() - before;
        usage.waitTime += waited;
        if (waited != 0)
            monitor.AddWaitTime(lock, waited);
    });
}

void CDBGMonitor::Leave(CAutoMutex* lock)
{
    DBGThreadRecord& thread = CurrentThread();
    const auto found = thread.usage.find(lock);
    if (found == thread.usage.end() || found->second.count == 0) {
        Fatal("CDBGMonitorMPLeaveCriticalSection",
              FormatString("MPLeaveCriticalSection called without corresponding call to EnterCriticalSection for %s!",
                           lock->GetName().c_str()),
              "LeaveWithoutLock");
    }
    DBGLockRecord& usage = found->second;
    if (--usage.count == 0)
        thread.held.erase(std::find(thread.held.begin(), thread.held.end(), &usage));
    lock->m_cs.unlock();
}

void CDBGMonitor::MPLeaveCriticalSection(CAutoMutex* lock)
{
    CDBGMonitor& monitor = Instance();
    monitor.Guarded("CDBGMonitorMPLeaveCriticalSection", [&] { monitor.Leave(lock); });
}

void CDBGMonitor::Unregister(CAutoMutex* lock)
{
    CAutoLock guard(m_csRegistry);
    const auto found = m_mapLocks.find(lock);
    if (found == m_mapLocks.end())
        Fatal("CDBGMonitor::DeleteCriticalSection", "Delete called with no initialize!", "DelWithoutInit");
    if (found->second.count == 0) {
        Fatal("CDBGMonitor::DeleteCriticalSection",
              FormatString("Delete called without corresponding init for %s!", found->second.name.c_str()),
              "DelWithoutInit");
    }
    found->second.count = 0;
}

void CDBGMonitor::DeleteCriticalSection(CAutoMutex* lock)
{
    CDBGMonitor& monitor = Instance();
    monitor.Guarded("CDBGMonitor::DeleteCriticalSection", [&] { monitor.Unregister(lock); });
}

void CDBGMonitor::DumpStatistics()
{
    CAutoLock guard(m_csRegistry);
    const auto ids = static_cast<size_t>(m_nNextLockId);
    std::vector<const std::string*> names(ids, nullptr);
    for (const auto& [name, id] : m_mapNames)
        names[static_cast<size_t>(id)] = &name;
    std::vector<Totals> totals(ids);
    for (const auto& [lock, record] : m_mapLocks) {
        totals[static_cast<size_t>(record.id)].lockCount += record.lockCount;
        totals[static_cast<size_t>(record.id)].waitTime += record.waitTime;
    }
    for (const auto& [id, retired] : m_mapRetired) {
        totals[static_cast<size_t>(id)].lockCount += retired.lockCount;
        totals[static_cast<size_t>(id)].waitTime += retired.waitTime;
    }
    for (size_t id = 1; id < ids; ++id) {
        const char* name = names[id] != nullptr ? names[id]->c_str() : "<unknown>";
        LogMessage(FormatString("%s - Lock count : %llu , Wait time : %llu", name,
                                static_cast<unsigned long long>(totals[id].lockCount),
                                static_cast<unsigned long long>(totals[id].waitTime)),
                   LOG_MSG, "dump");
    }
}

void CDBGMonitor::DumpLockStatistics()
{
    CDBGMonitor& monitor = Instance();
    monitor.Guarded("CDBGMonitor::DumpLockStatistics", [&] { monitor.DumpStatistics(); });
}

// Out of line, so that skipping its own frame always leaves the caller first.
#ifdef _MSC_VER
__declspec(noinline)
#else
__attribute__((noinline))
#endif
void CDBGMonitor::BackTrace(const std::string& name, const platform::FaultContext* context)
{
    const auto frames = platform::WalkStack(context, 1);
    PrintBackTrace(name, frames);
}
