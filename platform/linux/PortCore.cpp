#include "platform/linux/PortCore.h"

#include "platform/SocketError.h"

#include <new>

namespace platform::detail {

PortCore* PortCore::Create()
{
    PortCore* core = new (std::nothrow) PortCore;
    if (core == nullptr) {
        SetLastSocketError(kErrorNotEnoughMemory);
        return nullptr;
    }
    if (!core->m_reactor.Start()) {
        core->Release();
        return nullptr;
    }
    return core;
}

void PortCore::Release()
{
    if (m_nRefs.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete this;
}

void PortCore::Shutdown()
{
    m_reactor.Stop();
    m_queue.Close();
}

} // namespace platform::detail
