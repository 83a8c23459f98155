#include "platform/CrashHandler.h"

#include "platform/ConsoleKey.h"
#include "platform/win32/CrashStack.h"
#include "platform/win32/WinApi.h"

#include <atomic>
#include <csignal>
#include <exception>
#include <mutex>

namespace platform {

namespace win32 {

void ReserveCrashStack()
{
    ULONG reserve = 64 * 1024;
    ::SetThreadStackGuarantee(&reserve);
}

} // namespace win32

namespace {

// The report allocates (trace, symbols, log line); after heap corruption the allocator's lock
// may be held for good, so a report that has not ended by then is cut short.
constexpr DWORD kWatchdogMs = 5000;
// What the C runtime's abort ends a process with.
constexpr UINT kAbortExitCode = 3;

CrashFilter g_filter = nullptr;
LPTOP_LEVEL_EXCEPTION_FILTER g_previousFilter = nullptr;
std::terminate_handler g_previousTerminate = nullptr;
void (*g_previousAbort)(int) = SIG_DFL;
std::atomic<DWORD> g_reporter{0};   // the thread printing a crash report, if any
std::atomic<UINT> g_exitCode{kAbortExitCode}; // what the process ends with if the report hangs
HANDLE g_watchdogStart = nullptr;

// Started before any crash: a crashed process may have no memory left for a new thread.
DWORD WINAPI Watchdog(void*)
{
    ::WaitForSingleObject(g_watchdogStart, INFINITE);
    ::Sleep(kWatchdogMs);
    ::TerminateProcess(::GetCurrentProcess(), g_exitCode.load());
    return 0;
}

// One report per process: a thread that crashes again while reporting, or a second crashing
// thread, goes straight on to the previous disposition (the latter after giving the first
// report time to finish).
bool ClaimReport(UINT exitCode)
{
    const DWORD self = ::GetCurrentThreadId();
    DWORD expected = 0;
    if (g_reporter.compare_exchange_strong(expected, self)) {
        g_exitCode.store(exitCode);
        ::SetEvent(g_watchdogStart);
        return true;
    }
    if (expected != self)
        ::Sleep(kWatchdogMs);
    return false;
}

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* info)
{
    RestoreConsoleInput();
    if (ClaimReport(info->ExceptionRecord->ExceptionCode)) {
        FaultContext fault;
        fault.instructionPointer = reinterpret_cast<uint64_t>(info->ExceptionRecord->ExceptionAddress);
        fault.systemContext = info->ContextRecord;
        g_filter(&fault);
    }
    return g_previousFilter != nullptr ? g_previousFilter(info) : EXCEPTION_CONTINUE_SEARCH;
}

extern "C" void OnAbort(int signal)
{
    RestoreConsoleInput();
    if (ClaimReport(kAbortExitCode))
        g_filter(nullptr);
    // The C runtime has put the default back before calling this; raising again ends the
    // process the way the previous disposition would.
    std::signal(signal, g_previousAbort);
    std::raise(signal);
}

void OnTerminate()
{
    RestoreConsoleInput();
    if (ClaimReport(kAbortExitCode))
        g_filter(nullptr);
    // The previous handler aborts; the abort that follows finds the report made.
    if (g_previousTerminate != nullptr)
        g_previousTerminate();
    std::abort();
}

} // namespace

void InstallCrashFilter(CrashFilter filter)
{
    static std::once_flag once;
    std::call_once(once, [filter] {
        g_filter = filter;
        g_watchdogStart = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (const HANDLE watchdog = ::CreateThread(nullptr, 64 * 1024, Watchdog, nullptr, 0, nullptr))
            ::CloseHandle(watchdog);
        win32::ReserveCrashStack();
        // A crash report from a dialog box would wait for a person to close it.
        ::SetErrorMode(::GetErrorMode() | SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
        g_previousFilter = ::SetUnhandledExceptionFilter(OnUnhandledException);
        g_previousAbort = std::signal(SIGABRT, OnAbort);
        g_previousTerminate = std::set_terminate(OnTerminate);
    });
}

} // namespace platform
