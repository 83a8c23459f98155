#include "Subsidiary/ConsoleProgram.h"

#include "platform/BrokenPipe.h"
#include "platform/ConsoleKey.h"
#include "platform/DescriptorLimit.h"
#include "platform/Socket.h"
#include "platform/TerminationSignal.h"
#include "Subsidiary/CrashHandler.h"
#include "Subsidiary/DBGMonitor.h"
#include "Subsidiary/Log.h"

#include <cstdlib>
#include <ctime>

void StartConsoleProcess()
{
    InstallCrashHandler();
    // Before any other thread starts: signal dispositions and limits are the whole process's.
    platform::IgnoreBrokenPipe();
    platform::RaiseDescriptorLimit(); // every connection takes a descriptor; a refusal keeps the old limit
    platform::GetTerminationSignal();
    CDBGMonitor::ThreadStarted("main");
    std::srand(static_cast<unsigned>(std::time(nullptr)));
}

void EndConsoleProcess()
{
    CDBGMonitor::ThreadStopped();
}

bool InitSockets()
{
    if (platform::StartupSockets())
        return true;
    LogMessage("Cannot initialize socket library!", LOG_ERR, "InitSockets()");
    return false;
}

int ReadKey()
{
    CDBGMonitor::ThreadSleep();
    const int key = platform::ReadConsoleKey(platform::GetTerminationSignal());
    CDBGMonitor::ThreadAwake();
    return key;
}

void WaitForKey()
{
    CDBGMonitor::ThreadSleep();
    platform::WaitForAnyKey(platform::GetTerminationSignal());
    CDBGMonitor::ThreadAwake();
}
