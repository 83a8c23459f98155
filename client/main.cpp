// QV_Client, the console program: it loads the settings beside itself, creates the client,
// starts its main thread and then serves the operator's keys until 'q' or a termination
// signal. The console thread only drives the client's thread and saves the replica; the
// stream and the connection are the client's own threads' work.

#include "client/QV_Client.h"
#include "client/Settings.h"
#include "platform/ConsoleKey.h"
#include "Subsidiary/ConsoleProgram.h"
#include "Subsidiary/DBGMonitor.h"
#include "Subsidiary/Log.h"

namespace {

constexpr const char* kKeyHelp = "Key 's' Save object to a file\nKey '?' this help\nKey 'q' to exit...\n";

// The process-wide objects. The lock monitor comes first: every monitored lock registers with
// it, the client's own among them.
[[maybe_unused]] CDBGMonitor& g_LockMonitor = CDBGMonitor::Instance();
CSettings g_Settings;
CQV_Client g_Client;

void Shutdown()
{
    if (g_Client.IsRunning()) {
        g_Client.Stop(); // stops the receiver and closes the connection
        PrintDirect("Server stopped.\n");
    }
    g_Client.Shutdown();
    PrintDirect("Any key to exit.\n");
    WaitForKey();
}

int RunConsole()
{
    if (!InitSockets() || !g_Client.Init(g_Settings)) {
        WaitForKey();
        return 1;
    }
    PrintDirect("Server initialized!\n");
    PrintDirect("%s", kKeyHelp);
    g_Client.Start(); // a failed start has logged why; the console still serves
    for (;;) {
        switch (ReadKey()) {
        case 's':
            g_Client.GetRepository().SaveToFile();
            break;
        case '?':
            PrintDirect("%s", kKeyHelp);
            break;
        case 'q':
        case platform::kKeyInterrupted:
            Shutdown();
            return 0;
        default:
            break;
        }
    }
}

} // namespace

int main()
{
    StartConsoleProcess();
    if (!g_Settings.Load())
        return 1; // the loader has said why
    const int result = RunConsole();
    EndConsoleProcess();
    return result;
}
