#pragma once
// One run of a program under test: copied into a fresh temporary folder beside its own
// settings file, started with standard input a pipe the test writes keys into, and standard
// output and error collected by a thread, so that the test waits for lines with a bound.

#include "support/OutputWait.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <spawn.h>
#include <string>
#include <string_view>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

class CProgramRun {
public:
    /// Copies `program` into a new folder, writes `settings` beside it as "<name>.ini" unless
    /// `withSettings` is false, and starts it there. Test thread.
    CProgramRun(const std::string& program, std::string_view settings, bool withSettings = true)
    {
        static int s_nRuns = 0;
        const std::filesystem::path source(program);
        m_Folder = std::filesystem::temp_directory_path() /
                   ("qv-run-" + std::to_string(getpid()) + "-" + std::to_string(s_nRuns++));
        std::filesystem::create_directories(m_Folder);
        const std::filesystem::path copy = m_Folder / source.filename();
        std::filesystem::copy_file(source, copy);
        if (withSettings)
            std::ofstream(m_Folder / (source.stem().string() + ".ini"), std::ios::binary) << settings;
        Spawn(copy.string());
    }
    CProgramRun(const CProgramRun&) = delete;
    CProgramRun& operator=(const CProgramRun&) = delete;
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

    /// True once the program has ended (its status is then ExitStatus). Test thread.
    bool Exited()
    {
        if (m_nPid <= 0)
            return true;
        if (!m_bExited && waitpid(m_nPid, &m_nStatus, WNOHANG) == m_nPid)
            m_bExited = true;
        return m_bExited;
    }
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
};
