#include "Subsidiary/NetErrors.h"
#include "support/StdoutCapture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <utility>

TEST(NetErrorsTest, FixedTextsOfRaisedCodes)
{
    const std::pair<uint32_t, const char*> fixed[] = {
        {0, "[EIOCPE_SUCCESS]"},
        {1, "[EIOCPE_FAIL] Unknown internal error!"},
        {2, "[EIOCPE_NO_RESOURCESS] Insufficient resources!"},
        {22, "[EIOCPE_ECONNREFUSED]\tServer rejected connection!"},
        {37, "[EIOCPE_NO_MEM] No memory!"},
        {46, "[EIOCPE_NOT_CONNECTED] Client not connected!"},
        {47, "[EIOCPE_BAD_PARAMS] Bad params to function!"},
        {48, "[EIOCPE_ALREADY_CONNECTED] Already connected!"},
        {49, "[EIOCPE_CONNECT_IN_PROGRESS] Connection in progress!"},
        {50, "[EIOCPE_PROTO_VERSION_ERR] Client and server have different protocol versions!"},
        {51, "[EIOCPE_UNK_CLIENT_TYPE] Client type not supported by server!"},
        {52, "[EIOCPE_NO_MEM_ON_SRV] Server has no available memory for operation!"},
        {53, "[EIOCPE_SIGNATURE_DIFF] Client and server are incompatible!"},
        {54, "[EIOCPE_UNKNOWN_ERROR] Unknown error!"},
        {55, "[EIOCPE_CONN_CLOSED_BY_SERVER] Connection closed by server!"},
        {56, "[EIOCPE_PROTO_ERROR] Protocol error!"},
        {57, "[EIOCPE_UNABLE_TO_CREATE_EVENT] Unable to create events!"},
        {58, "[EIOCPE_UNABLE_RUN_THREAD] Unable to run thread!"},
        {124, "[EIOCPE_ENCRYPTION_DIFFERENT] Either client or server is not using encryption!"},
        {125, "[EIOCPE_TOO_MANY_CLIENTS_ERR] Server can't handle more clients!"},
        {126, "[EIOCPE_FORBIDDEN_CLIENT] Server denied connection of this client!"},
        {128, "[EIOCPE_EXIT_IN_PROGRESS] Operation failed because server is in exit state!"},
        {129, "[EIOCPE_SERVER_NOT_STARTED] Server not started!"},
        {130, "[EIOCPE_UDP_PKT_TOO_BIG] UDP packet exceeds MTU!"},
        {131, "[EIOCPE_FATAL_ERROR_IN_THREAD] Fatal error in thread!"},
        {132, "[EIOCPE_UDP_PACKET_LOST] UDP packet loss!"},
        {133, "[EIOCPE_NOEVENTOBJS] Unable to create event objects!"},
    };
    CStdoutCapture capture;
    for (const auto& [code, text] : fixed)
        EXPECT_STREQ(GetErrorText(code), text) << "code " << code;
    EXPECT_EQ(capture.Take(), "");
}

TEST(NetErrorsTest, EveryTextKeepsTheBracketedNameForm)
{
    // Catches a missing or shifted row: each text is "[EIOCPE_...]", a separator, a message.
    for (uint32_t code = 1; code < EIOCPE_TABLE_SIZE; ++code) {
        if (code == 127)
            continue;
        const std::string text = GetErrorText(code);
        ASSERT_EQ(text.rfind("[EIOCPE_", 0), 0u) << code;
        const size_t close = text.find(']');
        ASSERT_NE(close, std::string::npos) << code;
        ASSERT_LT(close + 2, text.size()) << code;
        EXPECT_TRUE(text[close + 1] == ' ' || text[close + 1] == '\t') << code;
        EXPECT_EQ(text.back(), '!') << code;
    }
    EXPECT_STREQ(GetErrorText(EIOCPE_WSAECONNRESET), "[EIOCPE_WSAECONNRESET] Connection reset by peer!");
    EXPECT_STREQ(GetErrorText(EIOCPE_WSASYSCALLFAILURE), "[EIOCPE_WSASYSCALLFAILURE] System call failure!");
}

TEST(NetErrorsTest, OutOfRangeCodePrintsALineAndYieldsUnknownError)
{
    const char* unknown = "[EIOCPE_UNKNOWN_ERROR] Unknown error!";
    {
        CStdoutCapture capture;
        EXPECT_STREQ(GetErrorText(134), unknown);
        EXPECT_EQ(capture.Take(), "err = 134 of 134\r\n");
    }
    {
        CStdoutCapture capture;
        EXPECT_STREQ(GetErrorText(0xFFFFFFFFu), unknown);
        EXPECT_EQ(capture.Take(), "err = 4294967295 of 134\r\n");
    }
    {
        // The unused position below the end has no code but prints nothing.
        CStdoutCapture capture;
        EXPECT_STREQ(GetErrorText(127), unknown);
        EXPECT_EQ(capture.Take(), "");
    }
}

TEST(NetErrorsTest, TranslatesWinsockNumbersByName)
{
    EXPECT_EQ(TranslateSystemError(10054), EIOCPE_WSAECONNRESET);
    EXPECT_EQ(TranslateSystemError(997), EIOCPE_WSA_IO_PENDING);
    EXPECT_EQ(TranslateSystemError(11001), EIOCPE_WSAHOST_NOT_FOUND);
    EXPECT_EQ(TranslateSystemError(995), EIOCPE_WSA_OPERATION_ABORTED);
    // The start-up errors do not follow the order of their numbers.
    EXPECT_EQ(TranslateSystemError(10035), 63u);
    EXPECT_EQ(TranslateSystemError(10091), 62u);
    EXPECT_EQ(TranslateSystemError(10092), 60u);
    EXPECT_EQ(TranslateSystemError(10093), 61u);
    for (uint32_t unmapped : {0u, 5u, 10000u, 10034u, 10072u, 10090u, 10094u, 11000u, 11005u, 0xFFFFFFFFu})
        EXPECT_EQ(TranslateSystemError(unmapped), EIOCPE_FAIL) << unmapped;
}

TEST(NetErrorsTest, EachMirroredNumberHasItsOwnCode)
{
    std::set<uint32_t> numbers = {6, 8, 87, 995, 996, 997, 10004, 10009, 10013, 10014, 10022, 10024,
                                  10091, 10092, 10093, 10101, 10107, 10109, 11001, 11002, 11003, 11004};
    for (uint32_t n = 10035; n <= 10071; ++n)
        numbers.insert(n);
    ASSERT_EQ(numbers.size(), 59u);
    std::set<uint32_t> codes;
    for (uint32_t n : numbers) {
        const uint32_t code = TranslateSystemError(n);
        EXPECT_GE(code, 60u) << n;
        EXPECT_LE(code, 118u) << n;
        codes.insert(code);
    }
    EXPECT_EQ(codes.size(), 59u);
}

TEST(NetErrorsTest, SocketErrorTextGoesThroughTheTranslation)
{
    CStdoutCapture capture;
    EXPECT_STREQ(GetSocketErrorText(10061), "[EIOCPE_WSAECONNREFUSED] Connection refused!");
    EXPECT_STREQ(GetSocketErrorText(0), "[EIOCPE_FAIL] Unknown internal error!");
    EXPECT_STREQ(GetSocketErrorText(10035), GetErrorText(EIOCPE_WSAEWOULDBLOCK));
    EXPECT_EQ(capture.Take(), "");
}

TEST(NetErrorsTest, EachNumberCarriesItsOwnName)
{
    // The names by number, as the table must hold them (after "EIOCPE_"); 127 has no code.
    // A row moved or two rows swapped put a name at the wrong number.
    const char* const names[EIOCPE_TABLE_SIZE] = {
        "SUCCESS", "FAIL", "NO_RESOURCESS", "INVALID_VAL", "INVALID_FILE", "EINTR", "EAI_ADDRFAMILY", "EAI_AGAIN",
        "EAI_BADFLAGS", "EAI_FAIL", "EAI_FAMILY", "EAI_MEMORY", "EAI_NODATA", "EAI_NONAME", "EAI_SERVICE",
        "EAI_SOCKTYPE", "EACCES", "EADDRINUSE", "EADDRNOTAVAIL", "EAFNOSUPPORT", "EALREADY", "EBADF",
        "ECONNREFUSED", "EINPROGRESS", "EIO", "EISCONN", "ELOOP", "ENETUNREACH", "ENOENT", "ENOSR", "ENXIO",
        "ETIMEDOUT", "EWOULDBLOCK", "ENOTDIR", "ENOTSOCK", "EPROTOTYPE", "UNABLE_TO_CONNECT", "NO_MEM",
        "UNKNOWN_TCP_CMD", "UNKNOWN_CONTROL_CMD", "FCNTL_FAILED", "EEXIST", "ENAMETOOLONG", "ENOSPC", "EROFS",
        "ECONNRESET", "NOT_CONNECTED", "BAD_PARAMS", "ALREADY_CONNECTED", "CONNECT_IN_PROGRESS",
        "PROTO_VERSION_ERR", "UNK_CLIENT_TYPE", "NO_MEM_ON_SRV", "SIGNATURE_DIFF", "UNKNOWN_ERROR",
        "CONN_CLOSED_BY_SERVER", "PROTO_ERROR", "UNABLE_TO_CREATE_EVENT", "UNABLE_RUN_THREAD", "SOCKINITFAIL",
        "WSAVERNOTSUPPORTED", "WSANOTINITIALISED", "WSASYSNOTREADY", "WSAEWOULDBLOCK", "WSAEINPROGRESS",
        "WSAEALREADY", "WSAENOTSOCK", "WSAEDESTADDRREQ", "WSAEMSGSIZE", "WSAEPROTOTYPE", "WSAENOPROTOOPT",
        "WSAEPROTONOSUPPORT", "WSAESOCKTNOSUPPORT", "WSAEOPNOTSUPP", "WSAEPFNOSUPPORT", "WSAEAFNOSUPPORT",
        "WSAEADDRINUSE", "WSAEADDRNOTAVAIL", "WSAENETDOWN", "WSAENETUNREACH", "WSAENETRESET", "WSAECONNABORTED",
        "WSAECONNRESET", "WSAENOBUFS", "WSAEISCONN", "WSAENOTCONN", "WSAESHUTDOWN", "WSAETOOMANYREFS",
        "WSAETIMEDOUT", "WSAECONNREFUSED", "WSAELOOP", "WSAENAMETOOLONG", "WSAEHOSTDOWN", "WSAEHOSTUNREACH",
        "WSAENOTEMPTY", "WSAEPROCLIM", "WSAEUSERS", "WSAEDQUOT", "WSAESTALE", "WSAEREMOTE", "WSAEDISCON",
        "WSAEINTR", "WSAEBADF", "WSAEACCES", "WSAEFAULT", "WSAEINVAL", "WSAEMFILE", "WSA_INVALID_HANDLE",
        "WSA_INVALID_PARAMETER", "WSA_IO_INCOMPLETE", "WSA_IO_PENDING", "WSA_NOT_ENOUGH_MEMORY",
        "WSA_OPERATION_ABORTED", "WSAHOST_NOT_FOUND", "WSANO_DATA", "WSANO_RECOVERY", "WSATRY_AGAIN",
        "WSATYPE_NOT_FOUND", "WSASYSCALLFAILURE", "ALREADY_STARTED", "ENCRYPTION_INIT_ERROR",
        "ENCRYPTION_NEGOTIATE_ERROR", "DECRYPTION_ERROR", "ENCRYPTION_ERROR", "ENCRYPTION_DIFFERENT",
        "TOO_MANY_CLIENTS_ERR", "FORBIDDEN_CLIENT", "", "EXIT_IN_PROGRESS", "SERVER_NOT_STARTED",
        "UDP_PKT_TOO_BIG", "FATAL_ERROR_IN_THREAD", "UDP_PACKET_LOST", "NOEVENTOBJS",
    };
    for (uint32_t code = 0; code < EIOCPE_TABLE_SIZE; ++code) {
        if (code == 127)
            continue;
        const std::string prefix = std::string("[EIOCPE_") + names[code] + "]";
        EXPECT_EQ(std::string(GetErrorText(code)).rfind(prefix, 0), 0u) << code << " " << GetErrorText(code);
    }
}
