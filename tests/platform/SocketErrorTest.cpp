#include "platform/SocketError.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <set>
#include <thread>
#include <utility>
#include <vector>

TEST(SocketErrorTest, EveryErrnoOfTheSocketCallsHasItsWinsockNumber)
{
    const std::vector<std::pair<int, int>> table{
        {0, 0},
        {EINTR, 10004},         {EBADF, 10009},          {EACCES, 10013},        {EPERM, 10013},
        {EFAULT, 10014},        {EINVAL, 10022},         {EMFILE, 10024},        {ENFILE, 10024},
        {EAGAIN, 10035},        {EWOULDBLOCK, 10035},    {EINPROGRESS, 10036},   {EALREADY, 10037},
        {ENOTSOCK, 10038},      {EDESTADDRREQ, 10039},   {EMSGSIZE, 10040},      {EPROTOTYPE, 10041},
        {ENOPROTOOPT, 10042},   {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044}, {EOPNOTSUPP, 10045},
        {ENOTSUP, 10045},       {EPFNOSUPPORT, 10046},   {EAFNOSUPPORT, 10047},  {EADDRINUSE, 10048},
        {EADDRNOTAVAIL, 10049}, {ENODEV, 10049},         {ENETDOWN, 10050},      {ENETUNREACH, 10051},
        {ENETRESET, 10052},     {ECONNABORTED, 10053},   {EPROTO, 10053},        {ECONNRESET, 10054},
        {EPIPE, 10054},         {ENOBUFS, 10055},        {EISCONN, 10056},       {ENOTCONN, 10057},
        {ESHUTDOWN, 10058},     {ETOOMANYREFS, 10059},   {ETIMEDOUT, 10060},     {ECONNREFUSED, 10061},
        {ELOOP, 10062},         {ENAMETOOLONG, 10063},   {EHOSTDOWN, 10064},     {EHOSTUNREACH, 10065},
        {ENOTEMPTY, 10066},     {EUSERS, 10068},         {EDQUOT, 10069},        {ESTALE, 10070},
        {EREMOTE, 10071},       {ENOMEM, 8},             {ECANCELED, 995},
    };
    for (const auto& [errnoValue, winsock] : table)
        EXPECT_EQ(platform::WinsockErrorFromErrno(errnoValue), winsock) << "errno " << errnoValue;
}

TEST(SocketErrorTest, UnmappedErrnoNeverPosesAsAWinsockNumber)
{
    // Raw errno values would collide with Windows numbers (ENXIO is 6, "invalid handle").
    for (int errnoValue : {EIO, ENXIO, ENOEXEC, ENOENT, ENOSPC}) {
        const int mapped = platform::WinsockErrorFromErrno(errnoValue);
        EXPECT_EQ(mapped, platform::kUnmappedErrorBit | errnoValue);
        EXPECT_GT(mapped, 11004);
    }
}

TEST(SocketErrorTest, DistinctErrnosOnlyShareANumberWhereIntended)
{
    std::set<int> seen;
    int collisions = 0;
    for (int errnoValue = 1; errnoValue < 134; ++errnoValue)
        if (!seen.insert(platform::WinsockErrorFromErrno(errnoValue)).second)
            ++collisions;
    // EACCES/EPERM, EMFILE/ENFILE, EADDRNOTAVAIL/ENODEV, ECONNABORTED/EPROTO, ECONNRESET/EPIPE.
    EXPECT_EQ(collisions, 5);
}

TEST(SocketErrorTest, LastErrorBelongsToTheCallingThread)
{
    platform::SetLastSocketError(10054);
    int other = -1;
    std::thread([&] {
        other = platform::GetLastSocketError();
        platform::SetLastSocketError(10061);
    }).join();
    EXPECT_EQ(other, 0);
    EXPECT_EQ(platform::GetLastSocketError(), 10054);
}
