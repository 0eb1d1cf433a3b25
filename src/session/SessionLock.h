#pragma once
#include <string>

// Holds a session file for the one Kestrune recording into it: an exclusive lock on the file,
// released with the object (or by the system when the process dies, kill -9 included).
class CSessionLock {
public:
    CSessionLock() = default;
    ~CSessionLock();
    CSessionLock(const CSessionLock&) = delete;
    CSessionLock& operator=(const CSessionLock&) = delete;

    // Creates the file (0600) when missing and locks it. False, with the reason, when another
    // process holds it, when it holds anything already (a recording never writes over a file),
    // or when it cannot be opened.
    bool Take(const std::string& path, std::string& error);
    // True while a Kestrune (this one included) records into the file at path.
    static bool IsHeld(const std::string& path);

private:
    int m_nFd = -1;
};
