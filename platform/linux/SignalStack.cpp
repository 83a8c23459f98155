#include "platform/linux/SignalStack.h"

#include <cstdlib>

namespace platform::linux_detail {
namespace {

// Room for symbolising and logging a trace, not just for a minimal handler.
constexpr size_t kSize = 256 * 1024;

} // namespace

SignalStack::SignalStack() : m_pMemory(std::malloc(kSize))
{
    if (m_pMemory == nullptr)
        return; // the handler then runs on the thread's own stack
    stack_t stack{};
    stack.ss_sp = m_pMemory;
    stack.ss_size = kSize;
    m_bInstalled = ::sigaltstack(&stack, &m_previous) == 0;
}

SignalStack::~SignalStack()
{
    if (m_bInstalled)
        ::sigaltstack(&m_previous, nullptr);
    std::free(m_pMemory);
}

} // namespace platform::linux_detail
