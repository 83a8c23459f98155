#include "platform/OverlappedSocket.h"

#include "platform/SocketError.h"
#include "platform/win32/NativeSocket.h"
#include "platform/win32/SocketAddress.h"
#include "platform/win32/SocketLookup.h"

namespace platform {

namespace {

using detail::LookupSocket;

bool BadArguments(const void* buffer, uint32_t length, const OVERLAPPED* overlapped)
{
    if (overlapped != nullptr && (buffer != nullptr || length == 0))
        return false;
    SetLastSocketError(10014); // WSAEFAULT
    return true;
}

SocketAddressV4 FromSockaddr(const sockaddr* sa)
{
    return win32::FromSockaddr(*reinterpret_cast<const sockaddr_in*>(sa));
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
    auto listener = LookupSocket(listenSocket);
    auto acceptor = listener ? LookupSocket(acceptSocket) : nullptr;
    return acceptor && listener->StartAccept(*acceptor, overlapped, buffer, receiveLength, addressArea);
}

void GetAcceptAddresses(const void* buffer, uint32_t receiveLength, uint32_t addressArea,
                        SocketAddressV4* local, SocketAddressV4* peer)
{
    *local = {};
    *peer = {};
    // Known since the first TCP socket was made, before the accept that filled the buffer.
    const LPFN_GETACCEPTEXSOCKADDRS parse = win32::GetExtensions(win32::kNoNativeSocket).getAcceptExSockaddrs;
    if (parse == nullptr)
        return;
    sockaddr* localAddress = nullptr;
    sockaddr* peerAddress = nullptr;
    int localLength = 0;
    int peerLength = 0;
    parse(const_cast<void*>(buffer), receiveLength, addressArea, addressArea, &localAddress, &localLength,
          &peerAddress, &peerLength);
    if (localAddress != nullptr && localAddress->sa_family == AF_INET)
        *local = FromSockaddr(localAddress);
    if (peerAddress != nullptr && peerAddress->sa_family == AF_INET)
        *peer = FromSockaddr(peerAddress);
}

bool StartReceive(SOCKET s, void* buffer, uint32_t length, OVERLAPPED* overlapped)
{
    if (BadArguments(buffer, length, overlapped))
        return false;
    auto socket = LookupSocket(s);
    return socket && socket->StartReceive(overlapped, buffer, length);
}

bool StartSend(SOCKET s, const void* buffer, uint32_t length, OVERLAPPED* overlapped)
{
    if (BadArguments(buffer, length, overlapped))
        return false;
    auto socket = LookupSocket(s);
    return socket && socket->StartSend(overlapped, buffer, length);
}

bool StartSendTo(SOCKET s, const void* buffer, uint32_t length, SocketAddressV4 destination,
                 OVERLAPPED* overlapped)
{
    if (BadArguments(buffer, length, overlapped))
        return false;
    auto socket = LookupSocket(s);
    return socket && socket->StartSendTo(overlapped, buffer, length, destination);
}

bool StartDisconnect(SOCKET s, OVERLAPPED* overlapped)
{
    if (BadArguments(nullptr, 0, overlapped))
        return false;
    auto socket = LookupSocket(s);
    return socket && socket->Disconnect(overlapped);
}

} // namespace platform
