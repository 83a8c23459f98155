// QV_Server, the console program: it loads the settings beside itself, creates the server,
// starts its main thread and then serves the operator's keys until 'q' or a termination
// signal. The console thread only drives the thread objects; it never touches the store or
// the network itself.

#include "net/server/IIOCP_Server.h"
#include "platform/ConsoleKey.h"
#include "server/QV_Server.h"
#include "server/Settings.h"
#include "Subsidiary/ConsoleProgram.h"
#include "Subsidiary/DBGMonitor.h"
#include "Subsidiary/Log.h"

namespace {

constexpr const char* kKeyHelp =
    "Key '1' start feed\nKey '0' stop feed\nKey 'd' dump statistics\nKey '?' this help\nKey 'q' to exit...\n";

// The process-wide objects. The lock monitor comes first: every monitored lock registers with
// it. The settings come before the server, which keeps a reference to them.
[[maybe_unused]] CDBGMonitor& g_LockMonitor = CDBGMonitor::Instance();
CSettings g_Settings;
CQV_Server g_Server(g_Settings, [](int32_t port, uint32_t interfaceAddress, int32_t workers, int32_t slots,
                                   IIOCP_ConnHandler* handler, uint32_t* error) {
    return CreateIOCPServer(port, interfaceAddress, workers, slots, handler, error);
});

void Shutdown()
{
    if (g_Server.IsRunning()) {
        g_Server.Stop(); // stops the feed, the network server and the store's thread
        PrintDirect("Server stopped.\n");
    }
    // Also when the main thread never ran: the feed must not write into a store being emptied.
    if (g_Server.GetDataFeed().IsRunning())
        g_Server.GetDataFeed().Stop();
    g_Server.Deinit();
    PrintDirect("Any key to exit.\n");
    WaitForKey();
}

int RunConsole()
{
    if (!InitSockets() || !g_Server.Init()) {
        WaitForKey();
        return 1;
    }
    PrintDirect("Server initialized!\n");
    PrintDirect("%s", kKeyHelp);
    g_Server.Start(); // a failed start has logged why; the console still serves
    for (;;) {
        switch (ReadKey()) {
        case '1':
            g_Server.GetDataFeed().Start();
            break;
        case '0':
            g_Server.GetDataFeed().Stop();
            break;
        case '?':
            PrintDirect("%s", kKeyHelp);
            break;
        case 'd':
            PrintDirect("TODO\r\n");
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
