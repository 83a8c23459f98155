#pragma once
// Stack walk and symbol lookup for back traces.

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

/// Where a fault happened: the walk of a crashed thread starts at this instruction.
struct FaultContext {
    uint64_t instructionPointer = 0;
    /// The system's record of the crashed thread's registers where it hands one over (a
    /// Windows CONTEXT); null on Linux.
    const void* systemContext = nullptr;
};

/// One frame of a walk. The symbol is empty when nothing is known about the address; the
/// file is empty (and the line 0) when no line information is available.
struct StackFrame {
    uint64_t address = 0;
    std::string symbol;
    std::string file;
    int line = 0;
};

/// Loads the symbol tables of every module of the process. On failure returns false with the
/// symboliser's error number in errorCode; lookups then fall back to the dynamic symbol
/// tables. Any thread; called once, before the first walk.
bool InitSymbols(uint32_t& errorCode);

/// Walks the calling thread's stack and looks every frame up. With a context the walk starts
/// at its faulting instruction; without one at the caller of the function that called
/// WalkStack, after skipping `skip` more frames. Any thread, also in a fatal signal handler.
std::vector<StackFrame> WalkStack(const FaultContext* context, int skip);

/// Looks one code address up. `isReturnAddress` tells that the address follows a call, so the
/// call itself is looked up. Any thread.
StackFrame LookupAddress(uint64_t address, bool isReturnAddress);

} // namespace platform
