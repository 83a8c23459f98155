#pragma once
// Captures what the code under test writes to the standard output descriptor (or another one,
// such as standard error).

#include <cstdio>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

class CStdoutCapture {
public:
    explicit CStdoutCapture(int target = STDOUT_FILENO)
        : m_nTarget(target), m_nFile(memfd_create("stdout-capture", 0)), m_nSaved(dup(target))
    {
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
        std::string text;
        char chunk[4096];
        ssize_t n;
        lseek(m_nFile, 0, SEEK_SET);
        while ((n = read(m_nFile, chunk, sizeof chunk)) > 0)
            text.append(chunk, static_cast<size_t>(n));
        return text;
    }

    /// Everything written so far, while the capture goes on.
    std::string Peek() const
    {
        std::string text;
        char chunk[4096];
        ssize_t n;
        for (off_t at = 0; (n = pread(m_nFile, chunk, sizeof chunk, at)) > 0; at += n)
            text.append(chunk, static_cast<size_t>(n));
        return text;
    }

private:
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
