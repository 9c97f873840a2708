#include "core/durable.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

DurableFile::~DurableFile() { discard(); }

bool DurableFile::open(const char* path, const char* mode) {
    discard();
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC;
    if (mode[0] == 'a')
        flags |= O_APPEND;
    else
        flags |= std::strchr(mode, 'x') ? O_EXCL : O_TRUNC;
    this->path = path;
    used = 0;
    flushed = 0;
    fd = ::open(path, flags, 0666);
    error = fd == -1 ? errno : 0;
    good = fd != -1;
    if (good && mode[0] == 'a') {
        off_t end = lseek(fd, 0, SEEK_END);
        flushed = end > 0 ? static_cast<uint64_t>(end) : 0;
    }
    if (!good) errno = error;
    return good;
}

// Writes all of data at the file's end, as write() may take only part.
static bool writeall(int fd, const char* data, size_t len) {
    while (len > 0) {
        ssize_t n = ::write(fd, data, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

bool DurableFile::fail() {
    if (good || error == 0) error = errno != 0 ? errno : EIO;
    good = false;
    return false;
}

bool DurableFile::flush() {
    if (used == 0) return good;
    if (!writeall(fd, buffer.get(), used)) fail();
    flushed += used;
    used = 0;
    return good;
}

// A write that does not fit the buffer, or one to a file that failed.
bool DurableFile::writelong(const void* data, size_t len) {
    if (!good || !flush()) return false;
    if (len >= kBufferSize) {
        if (!writeall(fd, static_cast<const char*>(data), len)) return fail();
        flushed += len;
        return true;
    }
    std::memcpy(buffer.get(), data, len);
    used = len;
    return true;
}

// Bytes still in the buffer are patched there; the rest is on file already.
bool DurableFile::patch(long offset, const void* data, size_t len) {
    if (!good || offset < 0) return false;
    uint64_t at = static_cast<uint64_t>(offset);
    if (at + len > flushed + used) {
        errno = EINVAL;
        return fail();
    }
    if (at >= flushed) {
        std::memcpy(buffer.get() + (at - flushed), data, len);
        return true;
    }
    if (at + len > flushed && !flush()) return false;
    if (pwrite(fd, data, len, static_cast<off_t>(at)) != static_cast<ssize_t>(len)) return fail();
    return true;
}

bool DurableFile::cut(long length) {
    if (!good || length < 0 || static_cast<uint64_t>(length) > flushed + used) {
        errno = EINVAL;
        return fail();
    }
    uint64_t at = static_cast<uint64_t>(length);
    if (at >= flushed) {
        used = static_cast<size_t>(at - flushed);
        return true;
    }
    used = 0;
    if (ftruncate(fd, static_cast<off_t>(at)) != 0 || lseek(fd, static_cast<off_t>(at), SEEK_SET) < 0) return fail();
    flushed = at;
    return true;
}

bool DurableFile::sync() {
    if (fd == -1) return false;
    if (flush() && fsync(fd) != 0) fail();
    return good;
}

bool DurableFile::commit() {
    if (fd == -1) return false;
    bool done = sync();
    if (close(fd) != 0 && done) done = fail();
    fd = -1;
    good = false;
    return done;
}

bool DurableFile::end() {
    if (fd == -1) return false;
    bool done = flush() && good;
    if (close(fd) != 0 && done) done = fail();
    fd = -1;
    good = false;
    return done;
}

bool DurableFile::commitas(const char* final) {
    if (!commit()) return false;
    if (std::rename(path.c_str(), final) != 0 || !syncdirof(final)) {
        error = errno;
        return false;
    }
    return true;
}

const char* DurableFile::reason() const { return std::strerror(error != 0 ? error : EIO); }

void DurableFile::discard() {
    if (fd == -1) return;
    flush();
    close(fd);
    fd = -1;
    good = false;
    used = 0;
}

bool syncdirof(const char* path) {
    char dir[4096];
    const char* slash = std::strrchr(path, '/');
    int n;
    if (slash == path) {
        n = std::snprintf(dir, sizeof dir, "/");
    } else if (slash) {
        n = std::snprintf(dir, sizeof dir, "%.*s", static_cast<int>(slash - path), path);
    } else {
        n = std::snprintf(dir, sizeof dir, ".");
    }
    if (n < 0 || n >= static_cast<int>(sizeof dir)) return false;
    int fd = open(dir, O_RDONLY | O_DIRECTORY);
    if (fd < 0) return false;
    // A file system that cannot sync a directory (EINVAL) has nothing to
    // add to the files' own syncs.
    bool ok = fsync(fd) == 0 || errno == EINVAL;
    return close(fd) == 0 && ok;
}


const char* openfailure(int error) { return error != 0 ? std::strerror(error) : "not a regular file"; }

FILE* openregular(const char* path, int& error, bool followlink) {
    int fd = ::open(path, O_RDONLY | (followlink ? 0 : O_NOFOLLOW) | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (fd < 0) {
        error = errno;
        // A final symbolic link is refused as no regular file, not as a loop.
        if (error == ELOOP && lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) error = 0;
        return nullptr;
    }
    if (fstat(fd, &st) != 0) {
        error = errno;
        close(fd);
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
        error = 0;
        close(fd);
        return nullptr;
    }
    // Reads of a regular file never wait; the flag only kept the open
    // from blocking.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    FILE* f = fdopen(fd, "rb");
    if (!f) {
        error = errno;
        close(fd);
    }
    return f;
}
bool syncpath(const char* path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = fsync(fd) == 0;
    int error = errno;
    if (close(fd) != 0) return false;
    errno = error;
    return ok;
}

bool readtext(const std::string& path, std::string& text, int& error, bool* errors, bool followlink) {
    File f(openregular(path.c_str(), error, followlink));
    if (!f) return false;
    text.clear();
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f.get())) > 0) text.append(buf, n);
    bool failed = ferror(f.get()) != 0;
    if (failed) error = EIO;
    if (errors) *errors = failed;
    return !failed || errors;
}
