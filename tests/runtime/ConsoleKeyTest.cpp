// The console key read and the termination signals, each run in a child process of its own:
// they change process-wide state (standard input, the terminal, signal dispositions).

#include "platform/ConsoleKey.h"
#include "platform/CrashHandler.h"
#include "platform/Event.h"
#include "platform/TerminationSignal.h"
#include "platform/Wait.h"
#include "Subsidiary/AutoMutex.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;

namespace {

constexpr auto kLimit = 10s;

// Forks a child that runs `body` (its result is the exit code), lets `parent` act meanwhile,
// and returns the child's wait status; a child still running after kLimit is killed.
int RunChild(const std::function<int()>& body, const std::function<void(pid_t)>& parent = {})
{
    const pid_t pid = fork();
    if (pid == 0) {
        const int devNull = open("/dev/null", O_WRONLY);
        dup2(devNull, STDOUT_FILENO); // lock monitor reports and the like
        _exit(body());
    }
    if (parent)
        parent(pid);
    const auto deadline = std::chrono::steady_clock::now() + kLimit;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            ADD_FAILURE() << "the child did not end";
            break;
        }
        std::this_thread::sleep_for(5ms);
    }
    return status;
}

bool ExitedWith(int status, int code)
{
    return WIFEXITED(status) && WEXITSTATUS(status) == code;
}

// Standard input becomes a pipe holding `input`; its writing end stays open unless `close`.
void PipeIntoStdin(const std::string& input, bool close)
{
    int fds[2];
    if (pipe(fds) != 0 || write(fds[1], input.data(), input.size()) != static_cast<ssize_t>(input.size()))
        _exit(90);
    dup2(fds[0], STDIN_FILENO);
    ::close(fds[0]);
    if (close)
        ::close(fds[1]);
}

bool EchoIsOff(int terminal)
{
    termios modes{};
    return tcgetattr(terminal, &modes) == 0 && (modes.c_lflag & (ECHO | ICANON)) == 0;
}

} // namespace

TEST(ConsoleKeyTest, PipedInputGivesOneByteAKeyThenWaitsForTheInterrupt)
{
    struct {
        const char* name;
        std::string input;
        bool closeInput;
        bool interruptFirst;
        bool interruptLater; ///< 200 ms after the start
        std::vector<int> keys; ///< what the reads return, in order
    } cases[] = {
        {"keys, then the end of input", "q1\xe9", true, false, true, {'q', '1', 0xE9, platform::kKeyInterrupted}},
        {"the interrupt wins over a waiting key", "x", false, true, false,
         {platform::kKeyInterrupted, platform::kKeyInterrupted}},
        {"the last wait returns at the end of input", "", true, false, false, {}},
    };
    for (const auto& c : cases) {
        const int status = RunChild([&c] {
            PipeIntoStdin(c.input, c.closeInput);
            auto interrupt = platform::Event::Create(platform::ResetMode::Manual);
            if (c.interruptFirst)
                interrupt->Set();
            std::thread later([&] {
                if (!c.interruptLater)
                    return;
                std::this_thread::sleep_for(200ms);
                interrupt->Set();
            });
            int result = 0;
            for (size_t i = 0; i < c.keys.size() && result == 0; ++i)
                if (platform::ReadConsoleKey(*interrupt) != c.keys[i])
                    result = 10 + static_cast<int>(i);
            platform::WaitForAnyKey(*interrupt); // the input has ended or the interrupt is set
            later.join();
            return result;
        });
        EXPECT_TRUE(ExitedWith(status, 0)) << c.name << ": status " << status;
    }
}

// The terminal is without echo while a read waits, and as it was once the process is gone.
TEST(ConsoleKeyTest, TheTerminalIsRestoredOnEveryWayOut)
{
    struct {
        const char* name;
        std::function<void()> before; ///< in the child, before the read
        std::function<void(pid_t, int)> end; ///< in the parent, with the terminal's master side
    } cases[] = {
        {"a key, then exit", {}, [](pid_t, int master) { ASSERT_EQ(write(master, "k", 1), 1); }},
        {"SIGTERM", {}, [](pid_t pid, int) { kill(pid, SIGTERM); }},
        {"SIGQUIT", {}, [](pid_t pid, int) { kill(pid, SIGQUIT); }},
        {"a crash", [] { platform::InstallCrashFilter([](const platform::FaultContext*) {}); },
         [](pid_t pid, int) { kill(pid, SIGSEGV); }},
        {"the lock monitor's end",
         [] {
             std::thread([] {
                 while (!EchoIsOff(STDIN_FILENO))
                     std::this_thread::sleep_for(5ms);
                 CMonitoredMutex lock("ConsoleKeyTest::lock");
                 lock.Unlock(); // never entered: fatal
             }).detach();
         },
         {}},
    };
    for (const auto& c : cases) {
        const int master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        const int terminal = open(ptsname(master), O_RDWR | O_NOCTTY);
        ASSERT_GE(terminal, 0);
        termios original{};
        ASSERT_EQ(tcgetattr(terminal, &original), 0);
        ASSERT_NE(original.c_lflag & ECHO, 0u);

        RunChild(
            [&]() -> int {
                const rlimit noCore{0, 0};
                setrlimit(RLIMIT_CORE, &noCore);
                dup2(terminal, STDIN_FILENO);
                if (c.before)
                    c.before();
                auto never = platform::Event::Create(platform::ResetMode::Manual);
                const int key = platform::ReadConsoleKey(*never);
                std::exit(key == 'k' ? 0 : 3);
            },
            [&](pid_t pid) {
                const auto deadline = std::chrono::steady_clock::now() + kLimit;
                while (!EchoIsOff(terminal) && std::chrono::steady_clock::now() < deadline)
                    std::this_thread::sleep_for(5ms);
                EXPECT_TRUE(EchoIsOff(terminal)) << c.name;
                if (c.end)
                    c.end(pid, master);
            });
        termios after{};
        ASSERT_EQ(tcgetattr(terminal, &after), 0);
        EXPECT_EQ(after.c_lflag, original.c_lflag) << c.name;
        EXPECT_EQ(after.c_cc[VMIN], original.c_cc[VMIN]) << c.name;
        close(terminal);
        close(master);
    }
}

TEST(TerminationSignalTest, SignalsSetItForGoodAndEndTheLastKeyWait)
{
    const int status = RunChild([] {
        PipeIntoStdin("", false); // no key will ever come
        platform::WaitObject* signal = &platform::GetTerminationSignal();
        if (platform::WaitForAny(&signal, 1, 0) != platform::kWaitTimeout)
            return 10;
        raise(SIGTERM);
        raise(SIGINT);
        for (int i = 0; i < 2; ++i)
            if (platform::WaitForAny(&signal, 1, 0) != 0)
                return 11;
        if (platform::ReadConsoleKey(*signal) != platform::kKeyInterrupted)
            return 12;
        platform::WaitForAnyKey(*signal);
        return 0;
    });
    EXPECT_TRUE(ExitedWith(status, 0)) << "status " << status;
}
