#include "platform/StackTrace.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <elfutils/libdwfl.h>
#include <execinfo.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>

namespace platform {
namespace {

constexpr int kMaxFrames = 128;

// A dwfl session is not thread-safe, so every lookup takes this lock. Never destroyed, so
// that a crash during process exit can still print its trace. A crash inside a lookup would
// leave it held; the crash report then waits a bounded time and names fewer symbols.
constexpr std::chrono::seconds kSymbolLockPatience{2};

std::timed_mutex& SymbolLock()
{
    static std::timed_mutex* lock = new std::timed_mutex;
    return *lock;
}

Dwfl* g_dwfl = nullptr; // guarded by SymbolLock()
char* g_debuginfoPath = nullptr;
const Dwfl_Callbacks kCallbacks = {dwfl_linux_proc_find_elf, dwfl_standard_find_debuginfo, nullptr,
                                   &g_debuginfoPath};

std::string Demangle(const char* name)
{
    int status = 0;
    const std::unique_ptr<char, decltype(&std::free)> plain(abi::__cxa_demangle(name, nullptr, nullptr, &status),
                                                            &std::free);
    return status == 0 && plain ? std::string(plain.get()) : std::string(name);
}

void LookupWithDwfl(uint64_t address, StackFrame& frame)
{
    std::unique_lock<std::timed_mutex> guard(SymbolLock(), kSymbolLockPatience);
    if (!guard.owns_lock() || g_dwfl == nullptr)
        return;
    Dwfl_Module* module = dwfl_addrmodule(g_dwfl, address);
    if (module == nullptr)
        return;
    if (const char* name = dwfl_module_addrname(module, address))
        frame.symbol = Demangle(name);
    if (Dwfl_Line* line = dwfl_module_getsrc(module, address)) {
        Dwarf_Addr lineAddress = 0;
        int lineNumber = 0;
        if (const char* file = dwfl_lineinfo(line, &lineAddress, &lineNumber, nullptr, nullptr, nullptr)) {
            frame.file = file;
            frame.line = lineNumber;
        }
    }
}

// Only exported symbols are known this way, but it needs no set-up.
void LookupWithDladdr(uint64_t address, StackFrame& frame)
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(address), &info) != 0 && info.dli_sname != nullptr)
        frame.symbol = Demangle(info.dli_sname);
}

int FindAddress(void* const* addresses, int count, uint64_t wanted)
{
    for (int i = 0; i < count; ++i) {
        if (reinterpret_cast<uint64_t>(addresses[i]) == wanted)
            return i;
    }
    return -1;
}

} // namespace

bool InitSymbols(uint32_t& errorCode)
{
    // The first backtrace() loads the unwinder library; do it here rather than in a signal handler.
    void* warmUp[1];
    backtrace(warmUp, 1);

    std::lock_guard<std::timed_mutex> guard(SymbolLock());
    if (g_dwfl != nullptr)
        return true;
    Dwfl* dwfl = dwfl_begin(&kCallbacks);
    if (dwfl == nullptr) {
        errorCode = static_cast<uint32_t>(dwfl_errno());
        return false;
    }
    dwfl_report_begin(dwfl);
    const int result = dwfl_linux_proc_report(dwfl, getpid());
    dwfl_report_end(dwfl, nullptr, nullptr);
    if (result != 0) {
        errorCode = static_cast<uint32_t>(result > 0 ? result : dwfl_errno());
        dwfl_end(dwfl);
        return false;
    }
    g_dwfl = dwfl;
    return true;
}

StackFrame LookupAddress(uint64_t address, bool isReturnAddress)
{
    StackFrame frame;
    frame.address = address;
    const uint64_t probe = isReturnAddress && address > 0 ? address - 1 : address;
    LookupWithDwfl(probe, frame);
    if (frame.symbol.empty())
        LookupWithDladdr(probe, frame);
    return frame;
}

// Kept out of line so that its return address marks its caller's frame in the walk, whatever
// wrappers (a sanitizer's, for one) sit around backtrace().
__attribute__((noinline)) std::vector<StackFrame> WalkStack(const FaultContext* context, int skip)
{
    void* addresses[kMaxFrames];
    const int count = backtrace(addresses, kMaxFrames);
    std::vector<StackFrame> frames;
    frames.reserve(static_cast<size_t>(count) + 1);

    const int caller = FindAddress(addresses, count, reinterpret_cast<uint64_t>(__builtin_return_address(0)));
    int first = (caller < 0 ? 1 : caller) + skip;
    if (context != nullptr) {
        // The walk passes through the signal handler; the faulting frame follows it.
        const int fault = FindAddress(addresses, count, context->instructionPointer);
        if (fault < 0)
            frames.push_back(LookupAddress(context->instructionPointer, false));
        else
            first = fault;
    }
    for (int i = first; i < count; ++i) {
        const auto address = reinterpret_cast<uint64_t>(addresses[i]);
        if (address == 0)
            continue;
        const bool exact = context != nullptr && address == context->instructionPointer;
        frames.push_back(LookupAddress(address, !exact));
    }
    return frames;
}

} // namespace platform
