// The descriptor limit, each case in a child process, since the limit is the process's.

#include "platform/CompletionPort.h"
#include "platform/DescriptorLimit.h"
#include "platform/OverlappedSocket.h"
#include "platform/Socket.h"
#include "support/DeathTest.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using DescriptorLimitDeathTest = CThreadsafeDeathTest;

int Fail(const char* why)
{
    std::fprintf(stderr, "%s\n", why);
    return 1;
}

bool SetSoftLimit(rlim_t soft)
{
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = soft;
    return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

int RaiseFromALowLimit()
{
    if (!SetSoftLimit(64))
        return Fail("cannot lower the limit");
    uint64_t raised = 0;
    if (!platform::RaiseDescriptorLimit(&raised))
        return Fail("RaiseDescriptorLimit failed");
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur != limit.rlim_max || raised != limit.rlim_max)
        return Fail("the soft limit is not the hard one");
    std::fprintf(stderr, "raised to %llu\n", static_cast<unsigned long long>(raised));
    return 0;
}

// 20 peers connect while every descriptor below the limit is taken; their accepts must wait,
// not fail, and all complete once descriptors are free again.
int AcceptBeyondTheLimit()
{
    constexpr int kPeers = 20;
    auto port = platform::CompletionPort::Create();
    const platform::SOCKET listener = platform::CreateTcpSocket();
    platform::SocketAddressV4 local;
    if (!port || !port->Associate(listener, 1) || !platform::BindSocket(listener, {htonl(INADDR_LOOPBACK), 0}) ||
        !platform::ListenSocket(listener) || !platform::GetLocalAddress(listener, &local))
        return Fail("no listener");
    std::vector<platform::OVERLAPPED> ovs(kPeers);
    std::vector<uint8_t> buffers(kPeers * 65);
    for (int i = 0; i < kPeers; ++i) {
        const platform::SOCKET s = platform::CreateTcpSocket();
        if (!port->Associate(s, 100 + i) ||
            !platform::StartAccept(listener, s, &buffers[i * 65], 1, 32, &ovs[i]))
            return Fail("no accept");
    }
    std::vector<int> peers, fillers;
    for (int i = 0; i < kPeers; ++i)
        peers.push_back(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    for (int i = 0; i < kPeers; ++i)
        fillers.push_back(open("/dev/null", O_RDONLY | O_CLOEXEC));
    const int lowestFree = dup(0);
    close(lowestFree);
    rlimit original{};
    getrlimit(RLIMIT_NOFILE, &original);
    if (!SetSoftLimit(static_cast<rlim_t>(lowestFree)))
        return Fail("cannot lower the limit");

    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(local.port);
    for (int fd : peers)
        if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 || send(fd, "x", 1, MSG_NOSIGNAL) != 1)
            return Fail("a peer could not connect");
    platform::CompletionPacket packet;
    if (port->Dequeue(packet, 300))
        return Fail("an accept completed without a descriptor");

    for (int fd : fillers)
        close(fd);
    for (int i = 0; i < kPeers; ++i) {
        if (!port->Dequeue(packet, 10000))
            return Fail("an accept still waits with descriptors free");
        if (packet.result != 0 || packet.bytes != 1)
            return Fail("an accept failed");
    }
    std::fprintf(stderr, "all %d accepted\n", kPeers);
    SetSoftLimit(original.rlim_cur); // the sanitizers' own checks need descriptors while the port ends
    return 0;
}

} // namespace

TEST_F(DescriptorLimitDeathTest, RaisesTheSoftLimitToTheHardOne)
{
    EXPECT_EXIT(std::_Exit(RaiseFromALowLimit()), testing::ExitedWithCode(0), "raised to");
}

TEST_F(DescriptorLimitDeathTest, AcceptsWaitForDescriptorsInsteadOfFailing)
{
    EXPECT_EXIT(std::_Exit(AcceptBeyondTheLimit()), testing::ExitedWithCode(0), "all 20 accepted");
}
