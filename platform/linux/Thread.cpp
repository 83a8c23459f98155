#include "platform/Thread.h"

#include "platform/SystemError.h"
#include "platform/linux/CancellablePoll.h"
#include "platform/linux/Counter.h"
#include "platform/linux/SignalStack.h"

#include <atomic>
#include <cerrno>
#include <future>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

namespace platform {

// Shared by the handle and the running thread, so that either may go first.
struct Thread::Shared {
    Body body;
    pthread_t handle{};
    int doneFd = -1; // readable once the thread has ended
    std::atomic<bool> finished{false};
    uint32_t exitCode = kTerminatedExitCode; // written before `finished` is set
    std::promise<uint32_t> started;          // carries the thread's id to Create

    ~Shared() { linux_detail::CloseDescriptor(doneFd); }

    void Finish(uint32_t code)
    {
        body = nullptr; // what the body captured is released before anyone sees the end
        exitCode = code;
        finished.store(true, std::memory_order_release);
        linux_detail::AddToCounter(doneFd);
    }
};

namespace {

// Runs on return and on cancellation alike (glibc unwinds a cancelled thread's stack).
class Finisher {
public:
    explicit Finisher(Thread::Shared& shared) : m_shared(shared) {}
    ~Finisher() { m_shared.Finish(m_bReturned ? m_nCode : kTerminatedExitCode); }
    Finisher(const Finisher&) = delete;
    Finisher& operator=(const Finisher&) = delete;

    void Returned(uint32_t code)
    {
        m_bReturned = true;
        m_nCode = code;
    }

private:
    Thread::Shared& m_shared;
    bool m_bReturned = false;
    uint32_t m_nCode = 0;
};

extern "C" void* ThreadMain(void* argument)
{
    const std::unique_ptr<std::shared_ptr<Thread::Shared>> owner(static_cast<std::shared_ptr<Thread::Shared>*>(argument));
    const std::shared_ptr<Thread::Shared> shared = *owner;
    // Only a wait may end this thread early (see WaitForAny).
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    const linux_detail::SignalStack signalStack; // the crash handler's stack for this thread
    shared->started.set_value(GetCurrentThreadId());
    Finisher finisher(*shared);
    finisher.Returned(shared->body());
    return nullptr;
}

} // namespace

std::unique_ptr<Thread> Thread::Create(Body body)
{
    auto shared = std::make_shared<Shared>();
    shared->doneFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (shared->doneFd < 0) {
        SetLastSystemError(static_cast<uint32_t>(errno));
        return nullptr;
    }
    shared->body = std::move(body);
    std::future<uint32_t> started = shared->started.get_future();
    auto* argument = new std::shared_ptr<Shared>(shared);
    const int error = ::pthread_create(&shared->handle, nullptr, ThreadMain, argument);
    if (error != 0) {
        delete argument;
        SetLastSystemError(static_cast<uint32_t>(error));
        return nullptr;
    }
    const uint32_t id = started.get();
    return std::unique_ptr<Thread>(new Thread(std::move(shared), id));
}

std::unique_ptr<Thread> Thread::Create(uint32_t (*entry)(void*), void* argument)
{
    return Create([entry, argument] { return entry(argument); });
}

Thread::Thread(std::shared_ptr<Shared> shared, uint32_t id) : m_shared(std::move(shared)), m_nId(id) {}

Thread::~Thread()
{
    ::pthread_detach(m_shared->handle);
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
    // The thread is joined only by the destructor, so its handle stays valid after it ends.
    const int error = ::pthread_cancel(m_shared->handle);
    if (error != 0 && error != ESRCH) {
        SetLastSystemError(static_cast<uint32_t>(error));
        return false;
    }
    return true;
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
    // Linux keeps a nice value per thread; one step down in niceness is one step up in priority.
    errno = 0;
    const int nice = ::getpriority(PRIO_PROCESS, m_nId);
    if (errno == 0 && ::setpriority(PRIO_PROCESS, m_nId, nice - 1) == 0)
        return true;
    SetLastSystemError(static_cast<uint32_t>(errno));
    return false;
}

uint32_t Thread::GetId() const
{
    return m_nId;
}

int Thread::GetDescriptor() const
{
    return m_shared->doneFd;
}

bool Thread::Consume()
{
    return true;
}

uint32_t GetCurrentThreadId()
{
    thread_local const auto id = static_cast<uint32_t>(::gettid());
    return id;
}

void EndIfTerminated()
{
    linux_detail::EndIfCancelled();
}

} // namespace platform
