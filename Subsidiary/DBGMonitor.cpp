#include "Subsidiary/DBGMonitor.h"

#include "Subsidiary/BackTrace.h"
#include "Subsidiary/Log.h"

namespace {

// Built during static initialisation, so that symbols are set up and the monitor exists
// before any lock of any other static object.
[[maybe_unused]] const CDBGMonitor& g_monitorAtStartup = CDBGMonitor::Instance();

} // namespace

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

// Out of line, so that skipping its own frame always leaves the caller first.
__attribute__((noinline)) void CDBGMonitor::BackTrace(const std::string& name, const platform::FaultContext* context)
{
    const auto frames = platform::WalkStack(context, 1);
    PrintBackTrace(name, frames);
}
