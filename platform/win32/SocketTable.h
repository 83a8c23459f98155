#pragma once
// Handle to socket object of the Windows engine (platform/common/HandleTable.h): the layer's
// handles are never reused, where the system's SOCKET values are.

#include "platform/common/HandleTable.h"

namespace platform::detail {

class SocketContext;

using SocketTable = HandleTable<SocketContext>;

} // namespace platform::detail
