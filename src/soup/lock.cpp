// One run per packet, and per folder of state files, at a time. The lock is
// on the directory itself, so it gains no file, and the system drops it when
// the process ends, however it ends: a killed run leaves nothing to clean up.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "soup/soup.h"

namespace {

// The process holding a flock on the file dev:ino, from the kernel's list
// of locks; 0 when it cannot be told.
long flockholder(dev_t dev, ino_t ino) {
    File locks(std::fopen("/proc/locks", "r"));
    if (!locks) return 0;
    char line[512];
    while (std::fgets(line, sizeof line, locks.get())) {
        char kind[16];
        long pid = 0;
        unsigned major = 0, minor = 0;
        unsigned long inode = 0;
        // "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"
        if (std::sscanf(line, "%*d: %15s %*s %*s %ld %x:%x:%lu", kind, &pid, &major, &minor, &inode) != 5) continue;
        if (std::string(kind) == "FLOCK" && major == major(dev) && minor == minor(dev) && inode == ino) return pid;
    }
    return 0;
}

}  // namespace

RunLock::~RunLock() {
    for (const Lock& lock : locks) close(lock.fd);
}

RunLock::Taken RunLock::take(const std::string& dir) {
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat st;
    if (fd == -1 || fstat(fd, &st) != 0) {
        error = errno;
        if (fd != -1) close(fd);
        return Unlockable;
    }
    // A flock through a second opening of a directory this run holds would
    // wait for this run itself.
    for (const Lock& lock : locks) {
        if (lock.dev != st.st_dev || lock.ino != st.st_ino) continue;
        close(fd);
        return Mine;
    }
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        error = errno;
        if (error == EWOULDBLOCK) holder = flockholder(st.st_dev, st.st_ino);
        close(fd);
        return error == EWOULDBLOCK ? Held : Unlockable;
    }
    locks.push_back({fd, st.st_dev, st.st_ino});
    return Mine;
}
