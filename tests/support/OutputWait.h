#pragma once
// Bounded waits for lines that a thread under test writes to the captured standard output.

#include "support/StdoutCapture.h"

#include <chrono>
#include <string>
#include <thread>

/// How often `text` occurs in `output`.
inline size_t CountOf(const std::string& output, const std::string& text)
{
    size_t count = 0;
    for (size_t at = output.find(text); at != std::string::npos; at = output.find(text, at + text.size()))
        ++count;
    return count;
}

/// Waits up to `limit` until the captured output holds `text` at least `count` times.
inline bool WaitForOutput(const CStdoutCapture& capture, const std::string& text, size_t count,
                          std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (CountOf(capture.Peek(), text) < count) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}
