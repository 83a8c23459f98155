#pragma once
// One run of a program under test: copied into a fresh temporary folder beside its own
// settings file, started with standard input a pipe the test writes keys into, and standard
// output and error collected by a thread, so that the test waits for lines with a bound.

#include "platform/Process.h"
#include "support/OutputWait.h"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#ifdef _WIN32
#include "support/WindowsHeaders.h"
#else
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

class CProgramRun {
public:
    /// Copies `program` into a new folder, writes `settings` beside it as "<name>.ini" unless
    /// `withSettings` is false, and starts it there. Test thread.
    CProgramRun(const std::string& program, std::string_view settings, bool withSettings = true)
    {
        static int s_nRuns = 0;
        const std::filesystem::path source(program);
        m_Folder = std::filesystem::temp_directory_path() /
                   ("qv-run-" + std::to_string(platform::GetCurrentProcessId()) + "-" + std::to_string(s_nRuns++));
        std::filesystem::create_directories(m_Folder);
        const std::filesystem::path copy = m_Folder / source.filename();
        std::filesystem::copy_file(source, copy);
        if (withSettings)
            std::ofstream(m_Folder / (source.stem().string() + ".ini"), std::ios::binary) << settings;
        Spawn(copy.string());
    }
    CProgramRun(const CProgramRun&) = delete;
    CProgramRun& operator=(const CProgramRun&) = delete;
#ifdef _WIN32
    ~CProgramRun()
    {
        if (m_process != nullptr && !Exited()) {
            TerminateProcess(m_process, 1);
            WaitForExit(std::chrono::seconds(10));
        }
        CloseInput();
        if (m_Reader.joinable())
            m_Reader.join();
        if (m_output != nullptr)
            CloseHandle(m_output);
        if (m_process != nullptr)
            CloseHandle(m_process);
        std::error_code ignored;
        std::filesystem::remove_all(m_Folder, ignored);
    }

    /// Writes the keys to the program's standard input. Test thread.
    void Keys(std::string_view keys)
    {
        DWORD written = 0;
        if (m_input != nullptr)
            WriteFile(m_input, keys.data(), static_cast<DWORD>(keys.size()), &written, nullptr);
    }
    /// Ends the program's standard input. Test thread.
    void CloseInput()
    {
        if (m_input != nullptr)
            CloseHandle(m_input);
        m_input = nullptr;
    }
    /// SIGINT and SIGTERM both come as Ctrl+Break to the program's console process group.
    void Signal(int)
    {
        if (m_process != nullptr)
            GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, GetProcessId(m_process));
    }

#else
    ~CProgramRun()
    {
        if (m_nPid > 0 && !Exited()) {
            kill(m_nPid, SIGKILL);
            WaitForExit(std::chrono::seconds(10));
        }
        CloseInput();
        if (m_Reader.joinable())
            m_Reader.join();
        close(m_nOutput);
        std::error_code ignored;
        std::filesystem::remove_all(m_Folder, ignored);
    }

    /// Writes the keys to the program's standard input. Test thread.
    void Keys(std::string_view keys)
    {
        if (m_nInput >= 0)
            (void)!write(m_nInput, keys.data(), keys.size());
    }
    /// Ends the program's standard input. Test thread.
    void CloseInput()
    {
        if (m_nInput >= 0)
            close(m_nInput);
        m_nInput = -1;
    }
    void Signal(int signal)
    {
        if (m_nPid > 0)
            kill(m_nPid, signal);
    }
    pid_t Pid() const { return m_nPid; }

#endif
    /// Everything the program wrote so far. Any thread.
    std::string Output()
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_strOutput;
    }
    /// Waits up to `limit` until the output holds `text` at least `count` times.
    bool WaitFor(const std::string& text, std::chrono::milliseconds limit, size_t count = 1)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (CountOf(Output(), text) < count) {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

#ifdef _WIN32
    /// True once the program has ended (its status is then ExitCode). Test thread.
    bool Exited()
    {
        if (m_process == nullptr)
            return true;
        if (!m_bExited && WaitForSingleObject(m_process, 0) == WAIT_OBJECT_0)
            m_bExited = GetExitCodeProcess(m_process, &m_nExitCode) != 0;
        return m_bExited;
    }
#else
    /// True once the program has ended (its status is then ExitCode). Test thread.
    bool Exited()
    {
        if (m_nPid <= 0)
            return true;
        if (!m_bExited && waitpid(m_nPid, &m_nStatus, WNOHANG) == m_nPid)
            m_bExited = true;
        return m_bExited;
    }
#endif
    /// Waits up to `limit` for the end; false if the program still runs. Test thread.
    bool WaitForExit(std::chrono::milliseconds limit)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!Exited()) {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }
#ifdef _WIN32
    /// The exit code, or -1 when the program has not ended.
    int ExitCode() const { return m_bExited ? static_cast<int>(m_nExitCode) : -1; }

private:
    // The child's ends are inherited; the test's ends are not.
    static bool MakePipe(WinHandle* read, WinHandle* write, bool childReads)
    {
        SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        if (!CreatePipe(read, write, &inherit, 0))
            return false;
        SetHandleInformation(childReads ? *write : *read, HANDLE_FLAG_INHERIT, 0);
        return true;
    }

    void Spawn(const std::string& path)
    {
        WinHandle childInput = nullptr, childOutput = nullptr;
        if (!MakePipe(&childInput, &m_input, true) || !MakePipe(&m_output, &childOutput, false))
            return;
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = childInput;
        startup.hStdOutput = childOutput;
        startup.hStdError = childOutput;
        PROCESS_INFORMATION started{};
        std::string commandLine = "\"" + path + "\"";
        if (CreateProcessA(path.c_str(), commandLine.data(), nullptr, nullptr, TRUE, CREATE_NEW_PROCESS_GROUP,
                           nullptr, nullptr, &startup, &started)) {
            m_process = started.hProcess;
            CloseHandle(started.hThread);
        }
        CloseHandle(childInput);
        CloseHandle(childOutput);
        m_Reader = std::thread([this] {
            char chunk[4096];
            DWORD n = 0;
            while (ReadFile(m_output, chunk, sizeof chunk, &n, nullptr) && n > 0) {
                std::lock_guard<std::mutex> lock(m_Mutex);
                m_strOutput.append(chunk, n);
            }
        });
    }

    std::filesystem::path m_Folder;
    WinHandle m_process = nullptr;
    WinHandle m_input = nullptr;
    WinHandle m_output = nullptr;
    bool m_bExited = false;
    DWORD m_nExitCode = 0;
    std::thread m_Reader;
    std::mutex m_Mutex;
    std::string m_strOutput; // guarded by m_Mutex
#else
    /// The exit code, or -1 when the program did not exit normally.
    int ExitCode() const { return m_bExited && WIFEXITED(m_nStatus) ? WEXITSTATUS(m_nStatus) : -1; }

private:
    void Spawn(const std::string& path)
    {
        int input[2], output[2];
        if (pipe2(input, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, output[1], STDERR_FILENO);
        char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
        if (posix_spawn(&m_nPid, path.c_str(), &actions, nullptr, argv, environ) != 0)
            m_nPid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(input[0]);
        close(output[1]);
        m_nInput = input[1];
        m_nOutput = output[0];
        m_Reader = std::thread([this] {
            char chunk[4096];
            ssize_t n;
            while ((n = read(m_nOutput, chunk, sizeof chunk)) > 0) {
                std::lock_guard<std::mutex> lock(m_Mutex);
                m_strOutput.append(chunk, static_cast<size_t>(n));
            }
        });
    }

    std::filesystem::path m_Folder;
    pid_t m_nPid = -1;
    int m_nInput = -1;
    int m_nOutput = -1;
    bool m_bExited = false;
    int m_nStatus = 0;
    std::thread m_Reader;
    std::mutex m_Mutex;
    std::string m_strOutput; // guarded by m_Mutex
#endif
};
