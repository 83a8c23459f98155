#pragma once
// The log origins of the client connection.

namespace client_connection_log {

inline constexpr const char* kOrigin = "IIOCP_ClientConnection";
/// The connection thread's, also its name for the lock monitor.
inline constexpr const char* kThreadOrigin = "IIOCP_ClientConnection - conn thread";
inline constexpr const char* kShortOrigin = "conn thread";

} // namespace client_connection_log
