#pragma once
// A stand-in client of the session protocol for tests and benchmarks: a blocking socket with
// frame helpers. Every read is bounded by a time limit.

#include "net/common/SessionProtocol.h"
#include "support/PlainSocket.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct CSessionFrame {
    uint32_t nCommand = 0;
    std::vector<uint8_t> bytes; ///< the whole frame, header included

    const uint8_t* Payload() const { return bytes.data() + CSessionHeader::kSize; }
    uint32_t PayloadSize() const { return static_cast<uint32_t>(bytes.size()) - CSessionHeader::kSize; }
    std::string PayloadText() const { return std::string(reinterpret_cast<const char*>(Payload()), PayloadSize()); }
};

class CStandInClient {
public:
    static constexpr int kWaitMs = 10000;

    /// Connected to 127.0.0.1:port, or invalid.
    explicit CStandInClient(uint16_t port) : m_socket(CPlainSocket::ConnectTcp(port)) {}

    bool Valid() const { return m_socket.Valid(); }
    CPlainSocket& Socket() { return m_socket; }

    bool SendBytes(const std::vector<uint8_t>& bytes) { return m_socket.SendAll(bytes.data(), bytes.size()); }

    /// One frame: header (length = payload + 10) and payload.
    bool SendFrame(uint32_t command, const void* payload, uint32_t length)
    {
        return SendBytes(Frame(command, payload, length));
    }
    bool SendUser(const std::string& payload)
    {
        return SendFrame(CMD_USER, payload.data(), static_cast<uint32_t>(payload.size()));
    }
    bool SendInit(const CSessionInitRequest& request = CSessionInitRequest::ForThisProtocol())
    {
        return SendBytes(InitFrame(request));
    }

    /// The INIT answer to the request, or none when no answer came.
    std::optional<CSessionInitAnswer> Init(const CSessionInitRequest& request = CSessionInitRequest::ForThisProtocol())
    {
        if (!SendInit(request))
            return std::nullopt;
        const std::optional<CSessionFrame> frame = ReadFrame();
        if (!frame || frame->nCommand != CMD_INIT_ANSWER || frame->PayloadSize() != CSessionInitAnswer::kPayloadSize)
            return std::nullopt;
        return CSessionInitAnswer::Read(frame->Payload());
    }

    /// The next frame within timeoutMs per read; none on time-out, at the end of the stream or
    /// for a length field outside the protocol's bounds.
    std::optional<CSessionFrame> ReadFrame(int timeoutMs = kWaitMs)
    {
        CSessionFrame frame;
        frame.bytes.resize(CSessionHeader::kSize);
        if (!m_socket.ReceiveExact(frame.bytes.data(), CSessionHeader::kSize, timeoutMs))
            return std::nullopt;
        const CSessionHeader header = CSessionHeader::Read(frame.bytes.data());
        if (header.nLength < CSessionHeader::kSize || header.nLength > CSessionHeader::kMaxLength)
            return std::nullopt;
        frame.nCommand = header.nCommand;
        frame.bytes.resize(header.nLength);
        if (!m_socket.ReceiveExact(frame.bytes.data() + CSessionHeader::kSize, header.nLength - CSessionHeader::kSize,
                                   timeoutMs))
            return std::nullopt;
        return frame;
    }

    /// The server ends the connection (orderly or with a reset) within timeoutMs and sends
    /// nothing more before.
    bool ExpectEndOfStream(int timeoutMs = kWaitMs)
    {
        if (!m_socket.WaitReadable(timeoutMs))
            return false;
        char byte;
        const auto n = SystemReceive(m_socket.Fd(), &byte, 1);
        return n == 0 || (n < 0 && errno == ECONNRESET);
    }

    static std::vector<uint8_t> Frame(uint32_t command, const void* payload, uint32_t length)
    {
        std::vector<uint8_t> bytes(CSessionHeader::kSize + length);
        CSessionHeader::Write(bytes.data(), static_cast<uint32_t>(bytes.size()), command);
        if (length != 0)
            std::copy_n(static_cast<const uint8_t*>(payload), length, bytes.data() + CSessionHeader::kSize);
        return bytes;
    }
    static std::vector<uint8_t> InitFrame(const CSessionInitRequest& request)
    {
        std::vector<uint8_t> bytes(CSessionInitRequest::kFrameSize);
        request.WriteFrame(bytes.data());
        return bytes;
    }

private:
    CPlainSocket m_socket;
};
