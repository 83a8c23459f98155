#include "Subsidiary/AutoMutex.h"

#include "Subsidiary/DBGMonitor.h"

#include <utility>

CAutoMutex::CAutoMutex() = default;

CAutoMutex::~CAutoMutex() = default;

void CAutoMutex::SetName(std::string name)
{
    m_strName = std::move(name);
}

void CAutoMutex::Lock()
{
    m_cs.lock();
}

void CAutoMutex::Unlock()
{
    m_cs.unlock();
}

const std::string& CAutoMutex::GetName() const
{
    return m_strName;
}

CMonitoredMutex::CMonitoredMutex(std::string name)
{
    SetName(std::move(name));
    CDBGMonitor::InitializeCriticalSection(this, GetName());
}

CMonitoredMutex::~CMonitoredMutex()
{
    CDBGMonitor::DeleteCriticalSection(this);
}

void CMonitoredMutex::Lock()
{
    CDBGMonitor::EnterCriticalSection(this);
}

void CMonitoredMutex::Unlock()
{
    CDBGMonitor::MPLeaveCriticalSection(this);
}

CAutoLock::CAutoLock(CAutoMutex& mutex) : m_pMutex(&mutex), m_bLocked(true)
{
    m_pMutex->Lock();
}

CAutoLock::~CAutoLock()
{
    if (m_bLocked)
        m_pMutex->Unlock();
}

void CAutoLock::Unlock()
{
    if (!m_bLocked)
        return;
    m_bLocked = false;
    m_pMutex->Unlock();
}
