#include "platform/StackTrace.h"

#include "platform/win32/WinApi.h"

#include <dbghelp.h>
#ifdef _MSC_VER
#include <intrin.h>
#endif

#if __has_include(<cxxabi.h>)
#include <cxxabi.h>
#endif

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

namespace platform {
namespace {

constexpr int kMaxFrames = 128;
constexpr size_t kMaxSymbolName = 1024;
// dbghelp is not thread-safe, so every call into it takes this lock. Never destroyed, so that a
// crash during process exit can still print its trace. A crash inside a lookup would leave it
// held; the crash report then waits a bounded time and names fewer symbols.
constexpr std::chrono::seconds kSymbolLockPatience{2};
std::timed_mutex& SymbolLock()
{
    static std::timed_mutex* lock = new std::timed_mutex;
    return *lock;
}
bool g_symbolsLoaded = false; // guarded by SymbolLock()

// GCC's names come mangled from the symbol table of a MinGW build; MSVC's are undecorated by
// dbghelp itself.
std::string Demangle(const char* name)
{
#if __has_include(<cxxabi.h>)
    int status = 0;
    const std::unique_ptr<char, decltype(&std::free)> plain(abi::__cxa_demangle(name, nullptr, nullptr, &status),
                                                            &std::free);
    if (status == 0 && plain)
        return std::string(plain.get());
#endif
    return std::string(name);
}

void LookupLocked(uint64_t address, StackFrame& frame)
{
    const HANDLE process = ::GetCurrentProcess();
    alignas(SYMBOL_INFO) char room[sizeof(SYMBOL_INFO) + kMaxSymbolName];
    std::memset(room, 0, sizeof room);
    auto* symbol = reinterpret_cast<SYMBOL_INFO*>(room);
    symbol->SizeOfStruct = sizeof(SYMBOL_INFO);
    symbol->MaxNameLen = kMaxSymbolName;
    DWORD64 displacement = 0;
    if (::SymFromAddr(process, address, &displacement, symbol))
        frame.symbol = Demangle(symbol->Name);
    IMAGEHLP_LINE64 line{};
    line.SizeOfStruct = sizeof line;
    DWORD lineDisplacement = 0;
    if (::SymGetLineFromAddr64(process, address, &lineDisplacement, &line) && line.FileName != nullptr) {
        frame.file = line.FileName;
        frame.line = static_cast<int>(line.LineNumber);
    }
}

StackFrame LookupLockedAt(uint64_t address, bool isReturnAddress)
{
    StackFrame frame;
    frame.address = address;
    if (g_symbolsLoaded)
        LookupLocked(isReturnAddress && address > 0 ? address - 1 : address, frame);
    return frame;
}

// dbghelp's walk from the registers given; each frame's program counter in turn.
int Walk(CONTEXT context, uint64_t* addresses)
{
    STACKFRAME64 frame{};
    frame.AddrPC.Offset = context.Rip;
    frame.AddrPC.Mode = AddrModeFlat;
    frame.AddrFrame.Offset = context.Rbp;
    frame.AddrFrame.Mode = AddrModeFlat;
    frame.AddrStack.Offset = context.Rsp;
    frame.AddrStack.Mode = AddrModeFlat;
    int count = 0;
    while (count < kMaxFrames &&
           ::StackWalk64(IMAGE_FILE_MACHINE_AMD64, ::GetCurrentProcess(), ::GetCurrentThread(), &frame, &context,
                         nullptr, ::SymFunctionTableAccess64, ::SymGetModuleBase64, nullptr) &&
           frame.AddrPC.Offset != 0)
        addresses[count++] = frame.AddrPC.Offset;
    return count;
}

int FindAddress(const uint64_t* addresses, int count, uint64_t wanted)
{
    for (int i = 0; i < count; ++i) {
        if (addresses[i] == wanted)
            return i;
    }
    return -1;
}

} // namespace

bool InitSymbols(uint32_t& errorCode)
{
    std::lock_guard<std::timed_mutex> guard(SymbolLock());
    if (g_symbolsLoaded)
        return true;
    ::SymSetOptions(SYMOPT_UNDNAME | SYMOPT_DEFERRED_LOADS | SYMOPT_LOAD_LINES);
    if (!::SymInitialize(::GetCurrentProcess(), nullptr, TRUE)) {
        errorCode = ::GetLastError();
        return false;
    }
    g_symbolsLoaded = true;
    return true;
}

StackFrame LookupAddress(uint64_t address, bool isReturnAddress)
{
    std::unique_lock<std::timed_mutex> guard(SymbolLock(), kSymbolLockPatience);
    if (!guard.owns_lock()) {
        StackFrame frame;
        frame.address = address;
        return frame;
    }
    return LookupLockedAt(address, isReturnAddress);
}

// Kept out of line so that its return address marks its caller's frame in the walk.
__declspec(noinline) std::vector<StackFrame> WalkStack(const FaultContext* context, int skip)
{
#ifdef _MSC_VER
    const auto returnAddress = reinterpret_cast<uint64_t>(_ReturnAddress());
#else
    const auto returnAddress = reinterpret_cast<uint64_t>(__builtin_return_address(0));
#endif
    CONTEXT registers{};
    const bool fromFault = context != nullptr && context->systemContext != nullptr;
    if (fromFault)
        registers = *static_cast<const CONTEXT*>(context->systemContext);
    else
        ::RtlCaptureContext(&registers);
    std::vector<StackFrame> frames;
    std::unique_lock<std::timed_mutex> guard(SymbolLock(), kSymbolLockPatience);
    if (!guard.owns_lock())
        return frames;
    uint64_t addresses[kMaxFrames];
    const int count = Walk(registers, addresses);
    frames.reserve(static_cast<size_t>(count) + 1);
    int first = 0;
    if (!fromFault) {
        const int caller = FindAddress(addresses, count, returnAddress);
        first = (caller < 0 ? 1 : caller) + skip;
    }
    if (context != nullptr && !fromFault)
        frames.push_back(LookupLockedAt(context->instructionPointer, false));
    for (int i = first; i < count; ++i) {
        // The first frame of a fault's registers is the faulting instruction itself.
        const bool exact = fromFault && i == 0;
        frames.push_back(LookupLockedAt(addresses[i], !exact));
    }
    return frames;
}

} // namespace platform
