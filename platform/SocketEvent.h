#pragma once
// A wait object that watches one socket at a time for the events of a client socket: its
// connect finished, data (or an error) to read, the peer closed. Enumerate reads what happened
// and resets what it reported.
//   connect  reported once, with the connect's result; a failed connect reports nothing else
//   read     while data or an error is waiting to be read
//   close    once, when the peer ended or reset the connection; read comes with it, so the
//            bytes that arrived before the end are read first
// A stream socket reports nothing before StartConnect; a datagram socket reports read from
// Select on.

#include "platform/Socket.h"
#include "platform/WaitObject.h"

#include <cstdint>
#include <memory>

namespace platform {

inline constexpr uint32_t FD_READ = 0x01;
inline constexpr uint32_t FD_CONNECT = 0x10;
inline constexpr uint32_t FD_CLOSE = 0x20;

struct NetworkEvents {
    uint32_t events = 0;  ///< FD_ bits
    int connectError = 0; ///< with FD_CONNECT: 0, or the Winsock number the connect failed with
};

class SocketEvent final : public WaitObject {
public:
    /// A wait object watching nothing; null with the last socket error set. Any thread.
    static std::unique_ptr<SocketEvent> Create();
    ~SocketEvent() override;

    /// Watches the socket for the FD_ events of the mask, and no longer the one watched before.
    /// The owning thread, for this and the calls below.
    bool Select(SOCKET s, uint32_t mask);
    /// Starts connecting the watched stream socket; true when the connect is under way (its
    /// result comes as FD_CONNECT), false with the last socket error when it failed at once.
    bool StartConnect(SocketAddressV4 remote);
    /// What happened since the last call, for the watched socket; false with the last socket
    /// error when the socket is gone.
    bool Enumerate(NetworkEvents* events);
    /// Stops watching the socket, before it is closed or when its events cannot be read.
    void Reset();

    /// Any thread.
    int GetDescriptor() const override;
    /// Any thread.
    bool Consume() override;

private:
    struct State; ///< the backend's: the socket watched and how

    explicit SocketEvent(std::unique_ptr<State> state);

    const std::unique_ptr<State> m_state;
};

} // namespace platform
