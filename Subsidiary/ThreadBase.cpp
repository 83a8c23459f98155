#include "Subsidiary/ThreadBase.h"

#include "Subsidiary/DBGMonitor.h"
#include "Subsidiary/Log.h"
#include "platform/Event.h"
#include "platform/SystemError.h"
#include "platform/Wait.h"
#include "platform/WaitableTimer.h"

#include <utility>

namespace {

void LogLastError(const char* origin, const char* format)
{
    LogSystemError(origin, format, GetSystemErrorText(platform::GetLastSystemError()).c_str());
}

platform::Event* AsEvent(HANDLE h)
{
    auto* event = dynamic_cast<platform::Event*>(h);
    if (event == nullptr)
        platform::SetLastSystemError(platform::kErrorInvalidArgument);
    return event;
}

platform::WaitableTimer* AsTimer(HANDLE h)
{
    auto* timer = dynamic_cast<platform::WaitableTimer*>(h);
    if (timer == nullptr)
        platform::SetLastSystemError(platform::kErrorInvalidArgument);
    return timer;
}

void CloseAndClear(HANDLE& h)
{
    CThreadBase::CloseHandle(h);
    h = nullptr;
}

} // namespace

std::string GetSystemErrorText(uint32_t code)
{
    std::string text = platform::GetSystemErrorMessage(code);
    return text.empty() ? "???" : text;
}

const char* WaitFailureText(int32_t result)
{
    if (result == static_cast<int32_t>(platform::kWaitTimeout))
        return "WaitForHandles() timeout code!";
    if (result == -1)
        return "WaitForHandles() error code!";
    return "WaitForHandles() invalid code!";
}

CThreadBase::CThreadBase(std::string name) : m_strName(name.empty() ? "<unnamed thread>" : std::move(name)) {}

CThreadBase::~CThreadBase() = default;

bool CThreadBase::IsRunning() const
{
    return m_bRunning;
}

HANDLE CThreadBase::GetStopEvent() const
{
    return m_hStopEvent;
}

int32_t CThreadBase::Start()
{
    if (m_bRunning) {
        LogMessage("Thread already running!", LOG_ERR, "CThreadBase::Start()");
        return -1;
    }
    m_nStartResult = 0;
    m_hStopEvent = CreateEventHandle();
    if (m_hStopEvent == nullptr)
        return -1;
    m_hStartedEvent = CreateEventHandle();
    if (m_hStartedEvent == nullptr) {
        CloseAndClear(m_hStopEvent);
        return -1;
    }
    m_hThread = platform::Thread::Create([this] { return static_cast<uint32_t>(ThreadEntry()); });
    if (!m_hThread) {
        LogLastError("CThreadBase::Start()", "Unable to create thread : %s");
        CloseAndClear(m_hStartedEvent);
        CloseAndClear(m_hStopEvent);
        return -1;
    }
    if (WaitForHandles(&m_hStartedEvent, 1) != 0) {
        m_hThread->Terminate();
        ReleaseThread();
        CloseAndClear(m_hStartedEvent);
        CloseAndClear(m_hStopEvent);
        return -1;
    }
    CloseAndClear(m_hStartedEvent);
    if (m_nStartResult != 0) {
        CloseAndClear(m_hStopEvent);
        m_hThread.reset();
        return m_nStartResult;
    }
    m_bRunning = true;
    return 0;
}

bool CThreadBase::Stop(uint32_t* exitCode, uint32_t waitMs)
{
    if (!m_bRunning) {
        LogMessage("Thread not running!", LOG_ERR, "CThreadBase::Stop()");
        return false;
    }
    if (!SignalEventHandle(m_hStopEvent))
        return false;
    bool ended = m_hThread->Wait(waitMs);
    if (!ended) {
        LogLastError("CThreadBase::Stop()", "Wait for thread to die failed - %s");
        m_hThread->Terminate();
        ReleaseThread();
    } else if (exitCode != nullptr) {
        *exitCode = 0;
        m_hThread->GetExitCode(*exitCode);
    }
    CloseAndClear(m_hStopEvent);
    m_hThread.reset();
    m_bRunning = false;
    return ended;
}

// A terminated thread ends at its wait; until it has, it may still be running on this object.
void CThreadBase::ReleaseThread()
{
    m_hThread->Wait(platform::kInfinite);
    m_hThread.reset();
}

void CThreadBase::SignalStarted()
{
    if (!m_bStartPending.exchange(false))
        return;
    m_nStartResult = 0;
    SignalEventHandle(m_hStartedEvent);
}

int32_t CThreadBase::ThreadEntry()
{
    CDBGMonitor::ThreadStarted(m_strName);
    m_bStartPending = true;
    const int32_t result = DoRun();
    // Once the started event is signalled, Start may go on and the object may go away.
    if (m_bStartPending.exchange(false)) {
        m_nStartResult = result;
        SignalEventHandle(m_hStartedEvent);
    }
    CDBGMonitor::ThreadStopped();
    return result;
}

HANDLE CThreadBase::CreateEventHandle()
{
    std::unique_ptr<platform::Event> event = platform::Event::Create(platform::ResetMode::Manual);
    if (!event)
        LogLastError("CThreadBase::CreateEventHandle()", "Unable to create event : %s");
    return event.release();
}

bool CThreadBase::SignalEventHandle(HANDLE h)
{
    platform::Event* event = AsEvent(h);
    if (event != nullptr && event->Set())
        return true;
    LogLastError("CThreadBase::SignalEventHandle()", "Unable to set event : %s");
    return false;
}

bool CThreadBase::ResetEventHandle(HANDLE h)
{
    platform::Event* event = AsEvent(h);
    if (event != nullptr && event->Reset())
        return true;
    LogLastError("CThreadBase::ResetEventHandle()", "Unable to reset event : %s");
    return false;
}

HANDLE CThreadBase::CreateTimerHandle()
{
    std::unique_ptr<platform::WaitableTimer> timer = platform::WaitableTimer::Create(platform::ResetMode::Manual);
    if (!timer)
        LogLastError("CThreadBase::CreateTimerHandle()", "Unable to create timer : %s");
    return timer.release();
}

bool CThreadBase::StartTimerHandle(HANDLE h, int64_t delayMs)
{
    platform::WaitableTimer* timer = AsTimer(h);
    if (timer != nullptr && timer->Start(delayMs))
        return true;
    LogLastError("CThreadBase::StartTimerHandle()", "Error set waitable timer : %s");
    return false;
}

bool CThreadBase::StopTimerHandle(HANDLE h)
{
    // Cancelling a timerfd also clears its signalled state.
    if (platform::WaitableTimer* timer = AsTimer(h))
        timer->Cancel();
    return true;
}

int32_t CThreadBase::WaitForHandles(const HANDLE* handles, uint32_t count)
{
    CDBGMonitor::ThreadSleep();
    const uint32_t result = platform::WaitForAny(handles, count, platform::kInfinite);
    CDBGMonitor::ThreadAwake();
    if (result == platform::kWaitFailed) {
        LogMessage(GetSystemErrorText(platform::GetLastSystemError()), LOG_ERR, "CThreadBase::WaitForHandles()");
        return -1;
    }
    return static_cast<int32_t>(result);
}

void CThreadBase::CloseHandle(HANDLE h)
{
    delete h;
}
