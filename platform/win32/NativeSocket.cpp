#include "platform/win32/NativeSocket.h"

#include "platform/win32/Winsock.h"

#include <mstcpip.h>
#include <mutex>

namespace platform::win32 {

namespace {

template <class Function>
void Lookup(::SOCKET s, GUID id, Function* function)
{
    DWORD bytes = 0;
    if (::WSAIoctl(s, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id, function, sizeof *function, &bytes,
                   nullptr, nullptr) != 0)
        *function = nullptr;
}

} // namespace

::SOCKET CreateNativeSocket(bool datagram)
{
    if (!EnsureWinsock())
        return kNoNativeSocket;
    const ::SOCKET s = ::WSASocketW(AF_INET, datagram ? SOCK_DGRAM : SOCK_STREAM, datagram ? IPPROTO_UDP : IPPROTO_TCP,
                                    nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == kNoNativeSocket) {
        FailWithWinsockError();
        return kNoNativeSocket;
    }
    u_long nonBlocking = 1;
    if (::ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
        FailWithWinsockError();
        ::closesocket(s);
        return kNoNativeSocket;
    }
    if (!datagram) {
        GetExtensions(s);
        return s;
    }
    BOOL report = FALSE;
    DWORD bytes = 0;
    ::WSAIoctl(s, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &bytes, nullptr, nullptr);
    return s;
}

const Extensions& GetExtensions(::SOCKET tcpSocket)
{
    static Extensions extensions;
    static std::once_flag once;
    std::call_once(once, [tcpSocket] {
        Lookup(tcpSocket, WSAID_ACCEPTEX, &extensions.acceptEx);
        Lookup(tcpSocket, WSAID_DISCONNECTEX, &extensions.disconnectEx);
        Lookup(tcpSocket, WSAID_GETACCEPTEXSOCKADDRS, &extensions.getAcceptExSockaddrs);
        const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
        extensions.reuseAfterDisconnect = ntdll == nullptr || ::GetProcAddress(ntdll, "wine_get_version") == nullptr;
    });
    return extensions;
}

} // namespace platform::win32
