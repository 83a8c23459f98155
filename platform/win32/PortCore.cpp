#include "platform/win32/PortCore.h"

#include "platform/SocketError.h"
#include "platform/win32/OperationList.h"
#include "platform/win32/Operations.h"

namespace platform::detail {

namespace {

// Keys no caller can have: the addresses of these two.
const char g_operationKeyTag = 0;
const char g_shutdownKeyTag = 0;
const ULONG_PTR kOperationKey = reinterpret_cast<ULONG_PTR>(&g_operationKeyTag);
const ULONG_PTR kShutdownKey = reinterpret_cast<ULONG_PTR>(&g_shutdownKeyTag);

// Far above any pool of workers: the system never holds a packet back from an idle worker
// because busy workers (a poster among them) already fill its count of running threads.
constexpr DWORD kConcurrency = 1024;

} // namespace

PortCore* PortCore::Create()
{
    const HANDLE port = ::CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, kConcurrency);
    if (port == nullptr) {
        SetLastSocketError(static_cast<int>(::GetLastError()));
        return nullptr;
    }
    return new PortCore(port);
}

PortCore::~PortCore()
{
    ::CloseHandle(m_port);
}

void PortCore::AddRef()
{
    m_nRefs.fetch_add(1, std::memory_order_relaxed);
}

void PortCore::Release()
{
    if (m_nRefs.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete this;
}

bool PortCore::Associate(::SOCKET s)
{
    if (::CreateIoCompletionPort(reinterpret_cast<HANDLE>(s), m_port, kOperationKey, 0) != nullptr)
        return true;
    SetLastSocketError(static_cast<int>(::GetLastError()));
    return false;
}

bool PortCore::Post(uintptr_t key, OVERLAPPED* overlapped, uint32_t bytes)
{
    if (::PostQueuedCompletionStatus(m_port, bytes, key, reinterpret_cast<::OVERLAPPED*>(overlapped)))
        return true;
    SetLastSocketError(kErrorNotEnoughMemory);
    return false;
}

bool PortCore::PostOperation(OVERLAPPED* op, uint32_t result)
{
    op->Internal.nEnding = static_cast<uint8_t>(EngineEnding::Posted);
    op->Internal.nEngineResult = result;
    if (::PostQueuedCompletionStatus(m_port, 0, kOperationKey, SystemOverlapped(op)))
        return true;
    SetLastSocketError(kErrorNotEnoughMemory);
    return false;
}

bool PortCore::Dequeue(CompletionPacket& packet, uint32_t timeoutMs)
{
    packet = {};
    if (m_bShutDown.load(std::memory_order_acquire))
        return false;
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    ::OVERLAPPED* system = nullptr;
    const BOOL ok = ::GetQueuedCompletionStatus(m_port, &bytes, &key, &system, timeoutMs);
    if (!ok && system == nullptr)
        return false; // the time is up, or the port is gone
    if (key == kShutdownKey) {
        ::PostQueuedCompletionStatus(m_port, 0, kShutdownKey, nullptr); // for the next waiter
        return false;
    }
    if (key != kOperationKey) {
        packet = {key, reinterpret_cast<OVERLAPPED*>(system), bytes, 0};
        return true;
    }
    OVERLAPPED* op = FromSystemOverlapped(system);
    OperationList::Instance().Finish(op, ok ? 0 : ::GetLastError(), bytes);
    packet = {op->Internal.nKey, op, op->nBytes, op->nResult};
    return true;
}

void PortCore::Shutdown()
{
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    ::OVERLAPPED* system = nullptr;
    for (;;) {
        const BOOL ok = ::GetQueuedCompletionStatus(m_port, &bytes, &key, &system, 0);
        if (!ok && system == nullptr)
            break;
        // A queued operation leaves the engine's list; a posted packet is dropped untouched.
        if (key == kOperationKey)
            OperationList::Instance().Remove(FromSystemOverlapped(system));
    }
    m_bShutDown.store(true, std::memory_order_release);
    ::PostQueuedCompletionStatus(m_port, 0, kShutdownKey, nullptr);
}

} // namespace platform::detail
