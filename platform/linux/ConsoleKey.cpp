#include "platform/ConsoleKey.h"

#include "platform/linux/FailFast.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#include <utility>

namespace platform {
namespace {

constexpr int kInputEnded = -2;
// Signals whose default action ends the process without a word: on a terminal left without
// echo the operator's shell would stay blind.
constexpr int kEndingSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};

termios g_original{};
std::atomic<bool> g_switched{false}; // lock-free: read in signal handlers
struct sigaction g_previous[NSIG];
// The console thread's.
bool g_tried = false;
bool g_inputEnded = false;

extern "C" void RestoreAndPassOn(int signal)
{
    RestoreConsoleInput();
    ::sigaction(signal, &g_previous[signal], nullptr);
    ::raise(signal); // blocked until this handler returns; then it ends the process as before
}

void RestoreAtExit()
{
    RestoreConsoleInput();
}

void GuardEndingSignals()
{
    for (const int signal : kEndingSignals) {
        struct sigaction current {};
        if (::sigaction(signal, nullptr, &current) != 0 || (current.sa_flags & SA_SIGINFO) != 0 ||
            current.sa_handler != SIG_DFL)
            continue; // the program handles it, and ends (or not) its own way
        struct sigaction action {};
        action.sa_handler = RestoreAndPassOn;
        sigemptyset(&action.sa_mask);
        g_previous[signal] = current;
        ::sigaction(signal, &action, nullptr);
    }
}

// Canonical mode and echo off, signals on: Ctrl+C still interrupts.
void SwitchTerminal()
{
    if (std::exchange(g_tried, true))
        return;
    if (::isatty(STDIN_FILENO) != 1 || ::tcgetattr(STDIN_FILENO, &g_original) != 0)
        return;
    termios keys = g_original;
    keys.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    keys.c_cc[VMIN] = 1;
    keys.c_cc[VTIME] = 0;
    std::atexit(RestoreAtExit);
    GuardEndingSignals();
    g_switched = true; // before the switch, so that a signal right after it restores
    if (::tcsetattr(STDIN_FILENO, TCSANOW, &keys) != 0)
        g_switched = false;
}

// The next key, kKeyInterrupted, or (unless `waitAtEnd`) kInputEnded.
int NextKey(WaitObject& interrupt, bool waitAtEnd)
{
    SwitchTerminal();
    for (;;) {
        if (g_inputEnded && !waitAtEnd)
            return kInputEnded;
        pollfd fds[2] = {{interrupt.GetDescriptor(), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        if (::poll(fds, g_inputEnded ? 1 : 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            detail::FailFast("poll for a console key", errno);
        }
        if ((fds[0].revents & POLLNVAL) != 0)
            detail::FailFast("poll for a console key", EBADF);
        if ((fds[0].revents & POLLIN) != 0 && interrupt.Consume())
            return kKeyInterrupted;
        if (g_inputEnded || fds[1].revents == 0)
            continue;
        unsigned char key = 0;
        const ssize_t n = ::read(STDIN_FILENO, &key, 1);
        if (n == 1)
            return key;
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        g_inputEnded = true; // the end, or an input that cannot be read any more
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
    if (g_switched.exchange(false))
        ::tcsetattr(STDIN_FILENO, TCSANOW, &g_original);
}

} // namespace platform
