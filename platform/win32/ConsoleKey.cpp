#include "platform/ConsoleKey.h"

#include "platform/win32/FailFast.h"
#include "platform/win32/WaitHandle.h"

#include <conio.h>
#include <deque>
#include <mutex>

// Neither a console nor a pipe can be waited for together with an event, so a reader thread
// takes the keys, one at a time as they come (_getch on a console: no echo, no Enter; a byte at
// a time from anything else), and a manual-reset event tells that a key or the end is waiting.

namespace platform {
namespace {

constexpr int kInputEnded = -2;

class KeyReader {
public:
    KeyReader()
    {
        m_ready = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (m_ready == nullptr)
            win32::FailFast("event for console keys", ::GetLastError());
        const HANDLE thread = ::CreateThread(nullptr, 64 * 1024, Run, this, 0, nullptr);
        if (thread == nullptr)
            win32::FailFast("thread for console keys", ::GetLastError());
        ::CloseHandle(thread);
    }

    HANDLE Ready() const { return m_ready; }

    /// The next key, or kInputEnded; false while nothing is waiting. The console thread.
    bool Take(int* key)
    {
        std::lock_guard lock(m_mutex);
        if (!m_keys.empty()) {
            *key = m_keys.front();
            m_keys.pop_front();
        } else if (m_bEnded) {
            *key = kInputEnded;
        } else {
            return false;
        }
        if (m_keys.empty() && !m_bEnded)
            ::ResetEvent(m_ready);
        return true;
    }

private:
    static DWORD WINAPI Run(void* self)
    {
        static_cast<KeyReader*>(self)->ReadKeys();
        return 0;
    }

    void ReadKeys()
    {
        const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
        DWORD mode = 0;
        const bool console = ::GetConsoleMode(input, &mode) != 0;
        for (;;) {
            int key = kInputEnded;
            if (console) {
                key = _getch();
            } else {
                unsigned char byte = 0;
                DWORD read = 0;
                if (::ReadFile(input, &byte, 1, &read, nullptr) && read == 1)
                    key = byte;
            }
            Push(key);
            if (key == kInputEnded)
                return;
        }
    }

    void Push(int key)
    {
        std::lock_guard lock(m_mutex);
        if (key == kInputEnded)
            m_bEnded = true;
        else
            m_keys.push_back(key);
        ::SetEvent(m_ready);
    }

    HANDLE m_ready;
    std::mutex m_mutex;
    // guarded by m_mutex
    std::deque<int> m_keys;
    bool m_bEnded = false;
};

KeyReader& Reader()
{
    static KeyReader* const reader = new KeyReader; // its thread reads until the process ends
    return *reader;
}

// The console thread's.
bool g_inputEnded = false;

// The next key, kKeyInterrupted, or (unless `waitAtEnd`) kInputEnded.
int NextKey(WaitObject& interrupt, bool waitAtEnd)
{
    KeyReader& reader = Reader();
    for (;;) {
        if (g_inputEnded && !waitAtEnd)
            return kInputEnded;
        const HANDLE handles[2] = {win32::HandleOf(interrupt), reader.Ready()};
        const DWORD signalled = ::WaitForMultipleObjects(g_inputEnded ? 1 : 2, handles, FALSE, INFINITE);
        if (signalled == WAIT_OBJECT_0)
            return kKeyInterrupted; // the lowest index: it wins over a key that is waiting
        if (signalled != WAIT_OBJECT_0 + 1)
            win32::FailFast("wait for a console key", ::GetLastError());
        int key = 0;
        if (!reader.Take(&key))
            continue;
        if (key != kInputEnded)
            return key;
        g_inputEnded = true;
    }
}

} // namespace

int ReadConsoleKey(WaitObject& interrupt)
{
    return NextKey(interrupt, true);
}

void WaitForAnyKey(WaitObject& interrupt)
{
    NextKey(interrupt, false);
}

void RestoreConsoleInput()
{
    // _getch reads without changing the console's mode, so there is nothing to put back.
}

} // namespace platform
