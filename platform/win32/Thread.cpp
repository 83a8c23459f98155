#include "platform/Thread.h"

#include "platform/SystemError.h"
#include "platform/win32/CrashStack.h"
#include "platform/win32/ThreadTermination.h"
#include "platform/win32/WaitHandle.h"

#include <atomic>

namespace platform {

// Shared by the handle and the running thread, so that either may go first.
struct Thread::Shared {
    Body body;
    HANDLE handle = nullptr;        // signalled once the thread has ended; closed by ~Thread
    HANDLE terminate = nullptr;     // set by Terminate
    std::atomic<bool> finished{false};
    uint32_t exitCode = kTerminatedExitCode; // written before `finished` is set

    ~Shared()
    {
        if (terminate != nullptr)
            ::CloseHandle(terminate);
    }

    void Finish(uint32_t code)
    {
        body = nullptr; // what the body captured is released before anyone sees the end
        exitCode = code;
        finished.store(true, std::memory_order_release);
    }
};

namespace {

// Thrown by a wait of a terminated thread; only the thread's start catches it.
struct TerminationUnwind {};

thread_local Thread::Shared* t_current = nullptr;

DWORD WINAPI ThreadMain(void* argument)
{
    const std::unique_ptr<std::shared_ptr<Thread::Shared>> owner(static_cast<std::shared_ptr<Thread::Shared>*>(argument));
    const std::shared_ptr<Thread::Shared> shared = *owner;
    win32::ReserveCrashStack();
    t_current = shared.get();
    uint32_t code = kTerminatedExitCode;
    try {
        code = shared->body();
    } catch (const TerminationUnwind&) {
    }
    t_current = nullptr;
    shared->Finish(code);
    return code;
}

} // namespace

namespace win32 {

HANDLE CurrentTerminationRequest()
{
    return t_current != nullptr ? t_current->terminate : nullptr;
}

void EndTerminatedThread()
{
    throw TerminationUnwind{};
}

void EndThreadIfTerminated()
{
    const HANDLE request = CurrentTerminationRequest();
    if (request != nullptr && TakeSignalNow(request))
        EndTerminatedThread();
}

} // namespace win32

std::unique_ptr<Thread> Thread::Create(Body body)
{
    auto shared = std::make_shared<Shared>();
    shared->terminate = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (shared->terminate == nullptr) {
        SetLastSystemError(::GetLastError());
        return nullptr;
    }
    shared->body = std::move(body);
    auto* argument = new std::shared_ptr<Shared>(shared);
    DWORD id = 0;
    shared->handle = ::CreateThread(nullptr, 0, ThreadMain, argument, 0, &id);
    if (shared->handle == nullptr) {
        SetLastSystemError(::GetLastError());
        delete argument;
        return nullptr;
    }
    return std::unique_ptr<Thread>(new Thread(std::move(shared), id));
}

std::unique_ptr<Thread> Thread::Create(uint32_t (*entry)(void*), void* argument)
{
    return Create([entry, argument] { return entry(argument); });
}

Thread::Thread(std::shared_ptr<Shared> shared, uint32_t id) : m_shared(std::move(shared)), m_nId(id) {}

Thread::~Thread()
{
    ::CloseHandle(m_shared->handle);
}

bool Thread::Wait(uint32_t timeoutMs)
{
    WaitObject* self = this;
    return WaitForAny(&self, 1, timeoutMs) == 0;
}

bool Thread::GetExitCode(uint32_t& exitCode) const
{
    if (!m_shared->finished.load(std::memory_order_acquire))
        return false;
    exitCode = m_shared->exitCode;
    return true;
}

bool Thread::Terminate()
{
    if (::SetEvent(m_shared->terminate))
        return true;
    SetLastSystemError(::GetLastError());
    return false;
}

bool Thread::EndWithin(uint32_t timeoutMs)
{
    // A terminated thread that sits in a wait ends at once; this is only for it to get there.
    constexpr uint32_t kGraceMs = 1000;
    if (Wait(timeoutMs))
        return true;
    Terminate();
    return Wait(kGraceMs);
}

bool Thread::RaisePriority()
{
    const int priority = ::GetThreadPriority(m_shared->handle);
    if (priority != THREAD_PRIORITY_ERROR_RETURN && ::SetThreadPriority(m_shared->handle, priority + 1))
        return true;
    SetLastSystemError(::GetLastError());
    return false;
}

uint32_t Thread::GetId() const
{
    return m_nId;
}

int Thread::GetDescriptor() const
{
    return win32::DescriptorOf(m_shared->handle);
}

bool Thread::Consume()
{
    return true;
}

uint32_t GetCurrentThreadId()
{
    return ::GetCurrentThreadId();
}

void EndIfTerminated()
{
    win32::EndThreadIfTerminated();
}

} // namespace platform
