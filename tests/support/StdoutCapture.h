#pragma once
// Captures what the code under test writes to the standard output descriptor (or another one,
// such as standard error): into a memory file on Linux, a temporary file on Windows, whose C
// runtime also points the system's standard handle at the descriptor it replaces.

#include <cstdio>
#include <string>

#ifdef _WIN32
#include "support/WindowsHeaders.h"
#include <fcntl.h>
#include <io.h>
#ifndef STDOUT_FILENO
#define STDOUT_FILENO 1
#define STDERR_FILENO 2
#endif
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

class CStdoutCapture {
public:
    explicit CStdoutCapture(int target = STDOUT_FILENO) : m_nTarget(target), m_nSaved(dup(target))
    {
        m_nFile = OpenFile();
        std::fflush(stdout);
        dup2(m_nFile, m_nTarget);
    }
    CStdoutCapture(const CStdoutCapture&) = delete;
    CStdoutCapture& operator=(const CStdoutCapture&) = delete;
    ~CStdoutCapture()
    {
        Restore();
        close(m_nFile);
    }

    /// Puts the real standard output back and returns everything written meanwhile.
    std::string Take()
    {
        Restore();
        return ReadAll();
    }

    /// Everything written so far, while the capture goes on.
    std::string Peek() const { return ReadAll(); }

private:
#ifdef _WIN32
    // Each look opens the file anew: a descriptor of its own would share the writers' position.
    static WinHandle Open(const std::string& name, DWORD access, DWORD disposition, DWORD flags)
    {
        return CreateFileA(name.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           disposition, flags, nullptr);
    }

    int OpenFile()
    {
        char name[MAX_PATH];
        char folder[MAX_PATH];
        if (GetTempPathA(MAX_PATH, folder) == 0 || GetTempFileNameA(folder, "qvc", 0, name) == 0)
            return -1;
        m_strName = name;
        const WinHandle file = Open(m_strName, GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE);
        return file == kInvalidWinHandle ? -1 : _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_BINARY);
    }

    std::string ReadAll() const
    {
        std::string text;
        const WinHandle file = Open(m_strName, GENERIC_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
        if (file == kInvalidWinHandle)
            return text;
        char chunk[4096];
        DWORD n = 0;
        while (ReadFile(file, chunk, sizeof chunk, &n, nullptr) && n > 0)
            text.append(chunk, n);
        CloseHandle(file);
        return text;
    }

    std::string m_strName;
#else
    int OpenFile() { return memfd_create("stdout-capture", 0); }

    std::string ReadAll() const
    {
        std::string text;
        char chunk[4096];
        ssize_t n;
        for (off_t at = 0; (n = pread(m_nFile, chunk, sizeof chunk, at)) > 0; at += n)
            text.append(chunk, static_cast<size_t>(n));
        return text;
    }
#endif

    void Restore()
    {
        if (m_nSaved < 0)
            return;
        std::fflush(stdout);
        dup2(m_nSaved, m_nTarget);
        close(m_nSaved);
        m_nSaved = -1;
    }

    int m_nTarget;
    int m_nFile;
    int m_nSaved;
};
