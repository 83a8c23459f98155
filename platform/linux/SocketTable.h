#pragma once
// Handle to socket object of the Linux engine (platform/common/HandleTable.h).

#include "platform/common/HandleTable.h"

namespace platform::detail {

class SocketContext;

using SocketTable = HandleTable<SocketContext>;

} // namespace platform::detail
