#pragma once
// A real server on the test's own port with a recording handler, its log captured. A failed
// test prints the captured log.

#include "RecordingHandler.h"

#include "net/server/IIOCP_Server.h"
#include "platform/Inet.h"
#include "Subsidiary/NetErrors.h"
#include "support/OutputWait.h"
#include "support/StandInClient.h"
#include "support/StdoutCapture.h"
#include "support/TestEndpoints.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

class ServerFixture : public ::testing::Test {
protected:
    static constexpr int kWaitMs = 10000;

    ServerFixture() : m_nPort(NextTestEndpoint().nPort) {}

    void TearDown() override
    {
        StopServer();
        const std::string log = m_log.Take();
        if (HasFailure())
            std::fprintf(stderr, "--- server log ---\n%s", log.c_str());
    }

    /// Creates and starts the server; a fatal failure when it does not start.
    void StartServer(int32_t slots = 4, const CIOCPServerTimings& timings = {},
                     uint32_t interfaceAddress = platform::LoopbackIPv4Address())
    {
        uint32_t error = 1;
        m_server.reset(CreateIOCPServer(m_nPort, interfaceAddress, 2, slots, &m_handler, &error, timings));
        ASSERT_NE(m_server, nullptr) << GetErrorText(error);
        ASSERT_EQ(m_server->Start(), EIOCPE_SUCCESS);
    }

    void StopServer()
    {
        if (!m_server)
            return;
        m_server->Stop();
        m_server.reset();
    }

    /// The client's INIT is answered with 0; returns the id the application got for it, 0
    /// after a test failure.
    uint64_t Admit(CStandInClient& client, const CSessionInitRequest& request = CSessionInitRequest::ForThisProtocol())
    {
        const size_t before = m_handler.Snapshot().connected.size();
        const std::optional<CSessionInitAnswer> answer = client.Init(request);
        EXPECT_TRUE(answer && answer->nResult == 0);
        if (!m_handler.WaitFor([&](const CHandlerRecord& r) { return r.connected.size() > before; })) {
            ADD_FAILURE() << "the client was not reported connected";
            return 0;
        }
        return m_handler.Snapshot().connected[before];
    }

    bool WaitForLog(const std::string& text, size_t count = 1, int limitMs = kWaitMs)
    {
        return WaitForOutput(m_log, text, count, std::chrono::milliseconds(limitMs));
    }

    bool WaitForClosed(uint64_t clientId, int limitMs = kWaitMs)
    {
        return m_handler.WaitFor(
            [&](const CHandlerRecord& r) {
                for (const CRecordedClose& c : r.closed)
                    if (c.nClientId == clientId)
                        return true;
                return false;
            },
            limitMs);
    }

    CStdoutCapture m_log;
    CRecordingHandler m_handler;
    std::unique_ptr<IIOCP_Server> m_server;
    uint16_t m_nPort;
};
