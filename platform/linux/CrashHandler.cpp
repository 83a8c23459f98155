#include "platform/CrashHandler.h"

#include "platform/ConsoleKey.h"
#include "platform/linux/SignalStack.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <pthread.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

namespace platform {
namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
// The report allocates (trace, symbols, log line); after heap corruption the allocator's lock
// may be held for good, so a report that has not ended by then is cut short.
constexpr unsigned kWatchdogSeconds = 5;

CrashFilter g_filter = nullptr;
struct sigaction g_previous[NSIG];
std::terminate_handler g_previousTerminate = nullptr;
std::atomic<pid_t> g_reporter{0}; // the thread printing a crash report, if any
std::atomic<int> g_crashSignal{0}; // what the process ends with if the report hangs

uint64_t InstructionPointer(const void* context)
{
    const auto* user = static_cast<const ucontext_t*>(context);
#if defined(__x86_64__)
    return static_cast<uint64_t>(user->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
    return static_cast<uint64_t>(user->uc_mcontext.pc);
#else
    (void)user;
    return 0;
#endif
}

// One report per process: a thread that crashes again while reporting, or a second crashing
// thread, goes straight on to the previous disposition (the latter after giving the first
// report time to finish).
bool ClaimReport()
{
    const pid_t self = ::gettid();
    pid_t expected = 0;
    if (g_reporter.compare_exchange_strong(expected, self))
        return true;
    if (expected != self) {
        const timespec pause{0, 10 * 1000 * 1000};
        for (int i = 0; i < 500; ++i)
            ::nanosleep(&pause, nullptr);
    }
    return false;
}

// The report hangs: end the process as the crash would have, whichever thread gets the alarm.
extern "C" void OnWatchdog(int)
{
    const int signal = g_crashSignal.load();
    ::sigaction(signal, &g_previous[signal], nullptr);
    sigset_t crash;
    sigemptyset(&crash);
    sigaddset(&crash, signal);
    ::pthread_sigmask(SIG_UNBLOCK, &crash, nullptr); // blocked here if this is the crashing thread
    ::raise(signal);
    ::signal(signal, SIG_DFL); // a previous handler that returned
    ::raise(signal);
    ::_exit(128 + signal);
}

void ArmWatchdog(int signal)
{
    g_crashSignal.store(signal);
    struct sigaction action {};
    action.sa_handler = OnWatchdog;
    action.sa_flags = SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGALRM, &action, nullptr);
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    ::pthread_sigmask(SIG_UNBLOCK, &alarm, nullptr);
    ::alarm(kWatchdogSeconds);
}

void PassOn(int signal, const siginfo_t* info)
{
    ::sigaction(signal, &g_previous[signal], nullptr);
    // A fault raised by an instruction recurs when the handler returns; a signal that was sent
    // (kill, raise, abort) has to be sent again. It stays blocked until the handler returns.
    if (info->si_code <= 0)
        ::raise(signal);
}

extern "C" void OnFatalSignal(int signal, siginfo_t* info, void* context)
{
    RestoreConsoleInput(); // first: the report may never end
    if (ClaimReport()) {
        ArmWatchdog(signal);
        FaultContext fault;
        fault.instructionPointer = InstructionPointer(context);
        g_filter(fault.instructionPointer != 0 ? &fault : nullptr);
    }
    PassOn(signal, info);
}

void OnTerminate()
{
    RestoreConsoleInput();
    if (ClaimReport()) {
        ArmWatchdog(SIGABRT); // the abort that would have followed
        g_filter(nullptr);
    }
    // The previous handler aborts; the SIGABRT that follows finds the report made.
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
        // The calling thread's until the static objects are destroyed at the process's end.
        static linux_detail::SignalStack stack;
        struct sigaction action {};
        action.sa_sigaction = OnFatalSignal;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&action.sa_mask);
        for (const int signal : kFatalSignals)
            ::sigaction(signal, &action, &g_previous[signal]);
        g_previousTerminate = std::set_terminate(OnTerminate);
    });
}

} // namespace platform
