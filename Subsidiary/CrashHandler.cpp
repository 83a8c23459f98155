#include "Subsidiary/CrashHandler.h"

#include "Subsidiary/DBGMonitor.h"
#include "platform/CrashHandler.h"

void TopLevelExceptionFilter(const platform::FaultContext* context)
{
    CDBGMonitor::BackTrace("TopLevelExceptionFilter", context);
}

void InstallCrashHandler()
{
    platform::InstallCrashFilter(TopLevelExceptionFilter);
}
