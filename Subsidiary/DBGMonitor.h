#pragma once
// The process-wide lock monitor. It owns the symbol set-up for back traces.

#include "platform/StackTrace.h"

#include <string>

class CDBGMonitor {
public:
    CDBGMonitor(const CDBGMonitor&) = delete;
    CDBGMonitor& operator=(const CDBGMonitor&) = delete;

    /// The one monitor, built before the first lock and never destroyed. Any thread.
    static CDBGMonitor& Instance();

    /// Logs a back trace titled with the name: from the faulting instruction of the context,
    /// or without one from the caller of BackTrace. Any thread.
    static void BackTrace(const std::string& name, const platform::FaultContext* context = nullptr);

private:
    CDBGMonitor();
    ~CDBGMonitor() = delete;
};
