#include "session/SessionLock.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

CSessionLock::~CSessionLock()
{
    if (m_nFd >= 0)
        ::close(m_nFd);
}

bool CSessionLock::Take(const std::string& path, std::string& error)
{
    // flock, not fcntl: SQLite's own locks on the file are fcntl locks, which this leaves alone.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "cannot create the session file " + path + ": " + std::strerror(errno);
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int code = errno;
        ::close(fd);
        error = code == EWOULDBLOCK
                    ? "the session file " + path + " is being recorded by another Kestrune"
                    : "cannot lock the session file " + path + ": " + std::strerror(code);
        return false;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || info.st_size != 0) {
        ::close(fd);
        error = "the session file " + path + " exists already; a session is recorded into a new file";
        return false;
    }
    m_nFd = fd;
    return true;
}

bool CSessionLock::IsHeld(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    // A lock of another open file, even in this process, keeps this one out.
    const bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return held;
}
