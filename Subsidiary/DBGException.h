#pragma once
// Raised inside the lock monitor when it runs out of resources or finds its own tables
// inconsistent; it names the failing check.

class CDBGException {
public:
    CDBGException(const char* file, int line) : m_szFile(file), m_nLine(line) {}

    const char* GetFile() const { return m_szFile; }
    int GetLine() const { return m_nLine; }

private:
    const char* m_szFile;
    int m_nLine;
};
