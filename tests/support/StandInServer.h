#pragma once
// A stand-in for the server's end of the TCP session, on plain blocking sockets: it accepts
// the client's connection, reads its frames, answers INIT with a chosen result (or never),
// sends raw bytes in pieces, and closes or resets. Frames are built here byte by byte, apart
// from the code under test, so that a layout fault on either side shows.

#include "support/PlainSocket.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

class CStandInServer {
public:
    static constexpr int kWaitMs = 10000;

    /// Listens on 127.0.0.1 at the port.
    explicit CStandInServer(uint16_t port) : m_listener(SystemSocket(AF_INET, SOCK_STREAM))
    {
        int one = 1;
        SystemSetOption(m_listener.Fd(), SOL_SOCKET, SO_REUSEADDR, one);
        const sockaddr_in at = CPlainSocket::Loopback(port);
        if (bind(m_listener.Fd(), reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0 ||
            listen(m_listener.Fd(), 8) != 0)
            m_listener.Close();
    }

    bool Listening() const { return m_listener.Valid(); }

    /// Takes the next connection, in place of the one before; false when none came in time.
    bool Accept(int timeoutMs = kWaitMs)
    {
        m_connection = m_listener.Accept(timeoutMs);
        int one = 1;
        SystemSetOption(m_connection.Fd(), IPPROTO_TCP, TCP_NODELAY, one);
        return m_connection.Valid();
    }

    /// The next whole frame from the client, header included; empty at its end or after the time.
    std::string ReadFrame(int timeoutMs = kWaitMs)
    {
        std::string frame(10, '\0');
        if (!m_connection.ReceiveExact(frame.data(), 10, timeoutMs))
            return {};
        const uint32_t length = LoadU32(frame, 2);
        if (length < 10 || length > (1u << 20))
            return frame;
        frame.resize(length);
        return m_connection.ReceiveExact(frame.data() + 10, length - 10, timeoutMs) ? frame : std::string();
    }

    /// Reads the client's INIT request and answers it with the result.
    bool AnswerInit(uint32_t result)
    {
        const std::string request = ReadFrame();
        return request.size() == 130 && LoadU32(request, 6) == 6 && SendRaw(Answer(result));
    }

    /// Sends the bytes in pieces of at most `piece` bytes, each its own write with a short pause,
    /// so that the client reads them apart.
    bool SendRaw(const std::string& bytes, size_t piece = SIZE_MAX)
    {
        for (size_t at = 0; at < bytes.size(); at += piece) {
            if (!m_connection.SendAll(bytes.data() + at, std::min(piece, bytes.size() - at)))
                return false;
            if (piece < bytes.size())
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    /// True once the client has ended its sending within the time; what it sent before is skipped.
    bool WaitForEnd(int timeoutMs = kWaitMs)
    {
        char buffer[4096];
        ssize_t n;
        while ((n = m_connection.ReceiveSome(buffer, sizeof buffer, timeoutMs)) > 0) {
        }
        return n == 0;
    }

    void Close() { m_connection.Close(); }
    void Reset() { m_connection.Reset(); }

    /// A frame: magic AA 55, length, command, payload.
    static std::string Frame(uint32_t command, const std::string& payload)
    {
        return Header(static_cast<uint32_t>(payload.size() + 10), command) + payload;
    }
    static std::string Header(uint32_t length, uint32_t command)
    {
        return std::string("\xAA\x55", 2) + U32(length) + U32(command);
    }
    /// The INIT answer: result, version 0x0101, client kind 1, cookie 0.
    static std::string Answer(uint32_t result)
    {
        return Frame(7, U32(result) + std::string("\x01\x01\x01\x00", 4) + U32(0));
    }
    static std::string U32(uint32_t value)
    {
        std::string bytes(4, '\0');
        for (int i = 0; i < 4; ++i)
            bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
        return bytes;
    }

private:
    static uint32_t LoadU32(const std::string& bytes, size_t at)
    {
        uint32_t value = 0;
        for (int i = 3; i >= 0; --i)
            value = (value << 8) | static_cast<uint8_t>(bytes[at + i]);
        return value;
    }

    CPlainSocket m_listener;
    CPlainSocket m_connection;
};
