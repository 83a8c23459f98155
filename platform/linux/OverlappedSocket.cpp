#include "platform/OverlappedSocket.h"

#include "platform/SocketError.h"
#include "platform/linux/Operations.h"
#include "platform/linux/SocketContext.h"
#include "platform/linux/SocketTable.h"

#include <cstring>

namespace platform {

namespace {

using detail::Direction;
using detail::OperationKind;

std::shared_ptr<detail::SocketContext> FindSocket(SOCKET s)
{
    auto socket = detail::SocketTable::Instance().Find(s);
    if (!socket)
        SetLastSocketError(kWsaENotSock);
    return socket;
}

bool BadArguments(const void* buffer, uint32_t length, const OVERLAPPED* overlapped)
{
    if (overlapped != nullptr && (buffer != nullptr || length == 0))
        return false;
    SetLastSocketError(10014); // WSAEFAULT
    return true;
}

void Prepare(OVERLAPPED* op, OperationKind kind, const void* buffer, uint32_t length)
{
    op->Internal = {};
    op->Internal.nKind = static_cast<uint8_t>(kind);
    op->Internal.pBuffer = static_cast<uint8_t*>(const_cast<void*>(buffer));
    op->Internal.nLength = length;
}

} // namespace

bool StartAccept(SOCKET listenSocket, SOCKET acceptSocket, void* buffer, uint32_t receiveLength,
                 uint32_t addressArea, OVERLAPPED* overlapped)
{
    if (BadArguments(buffer, 1, overlapped))
        return false;
    if (addressArea < kAcceptAddressArea) {
        SetLastSocketError(kWsaEInval);
        return false;
    }
    auto listener = FindSocket(listenSocket);
    auto acceptor = listener ? FindSocket(acceptSocket) : nullptr;
    if (!acceptor)
        return false;
    Prepare(overlapped, OperationKind::Accept, buffer, receiveLength);
    overlapped->Internal.nAddressArea = addressArea;
    return listener->StartAccept(*acceptor, overlapped);
}

void GetAcceptAddresses(const void* buffer, uint32_t receiveLength, uint32_t addressArea,
                        SocketAddressV4* local, SocketAddressV4* peer)
{
    const uint8_t* area = static_cast<const uint8_t*>(buffer) + receiveLength;
    std::memcpy(local, area, sizeof *local);
    std::memcpy(peer, area + addressArea, sizeof *peer);
}

bool StartReceive(SOCKET s, void* buffer, uint32_t length, OVERLAPPED* overlapped)
{
    if (BadArguments(buffer, length, overlapped))
        return false;
    auto socket = FindSocket(s);
    if (!socket)
        return false;
    Prepare(overlapped, OperationKind::Receive, buffer, length);
    return socket->Start(Direction::Read, overlapped);
}

bool StartSend(SOCKET s, const void* buffer, uint32_t length, OVERLAPPED* overlapped)
{
    if (BadArguments(buffer, length, overlapped))
        return false;
    auto socket = FindSocket(s);
    if (!socket)
        return false;
    Prepare(overlapped, OperationKind::Send, buffer, length);
    return socket->Start(Direction::Write, overlapped);
}

bool StartSendTo(SOCKET s, const void* buffer, uint32_t length, SocketAddressV4 destination,
                 OVERLAPPED* overlapped)
{
    if (BadArguments(buffer, length, overlapped))
        return false;
    auto socket = FindSocket(s);
    if (!socket)
        return false;
    Prepare(overlapped, OperationKind::SendTo, buffer, length);
    overlapped->Internal.address = destination;
    return socket->Start(Direction::Write, overlapped);
}

bool StartDisconnect(SOCKET s, OVERLAPPED* overlapped)
{
    if (BadArguments(nullptr, 0, overlapped))
        return false;
    auto socket = FindSocket(s);
    if (!socket)
        return false;
    overlapped->Internal = {};
    return socket->Disconnect(overlapped);
}

} // namespace platform
