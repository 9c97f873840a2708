#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "config/config.h"
#include "driver/driver.h"
#include "soup/soup.h"

long genfname(const char* base, const char* ext, char* out, const char* reserved) {
    const char* slash = std::strrchr(base, '/');
    int dirlen = slash ? static_cast<int>(slash - base) + 1 : 0;
    char other[4096];
    for (unsigned long n = 0; n <= 0xFFFFFFFFul; n++) {
        int len = std::snprintf(out, 4096, "%.*s%08lX.%s", dirlen, base, n, ext);
        if (len < 0 || len >= 4096) return -1;
        if (exist(out)) continue;
        if (!reserved) return static_cast<long>(n);
        len = std::snprintf(other, sizeof other, "%.*s%08lX.%s", dirlen, base, n, reserved);
        if (len < 0 || len >= static_cast<int>(sizeof other)) return -1;
        if (!exist(other)) return static_cast<long>(n);
    }
    return -1;
}

PacketFile::~PacketFile() { discard(); }

bool PacketFile::open(const char* path, const char* mode) {
    discard();
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (mode[0] == 'a' ? O_APPEND : O_TRUNC);
    fd = ::open(path, flags, 0666);
    used = 0;
    flushed = 0;
    good = fd != -1;
    if (good && mode[0] == 'a') {
        off_t end = lseek(fd, 0, SEEK_END);
        flushed = end > 0 ? static_cast<uint64_t>(end) : 0;
    }
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

bool PacketFile::flush() {
    if (used == 0) return good;
    if (!writeall(fd, buffer.get(), used)) good = false;
    flushed += used;
    used = 0;
    return good;
}

// A write that does not fit the buffer, or one to a file that failed.
bool PacketFile::writelong(const void* data, size_t len) {
    if (!good || !flush()) return false;
    if (len >= kBufferSize) {
        if (!writeall(fd, static_cast<const char*>(data), len)) return good = false;
        flushed += len;
        return true;
    }
    std::memcpy(buffer.get(), data, len);
    used = len;
    return true;
}

// Bytes still in the buffer are patched there; the rest is on file already.
bool PacketFile::patch(long offset, const void* data, size_t len) {
    if (!good || offset < 0) return false;
    uint64_t at = static_cast<uint64_t>(offset);
    if (at + len > flushed + used) return good = false;
    if (at >= flushed) {
        std::memcpy(buffer.get() + (at - flushed), data, len);
        return true;
    }
    if (at + len > flushed && !flush()) return false;
    if (pwrite(fd, data, len, static_cast<off_t>(at)) != static_cast<ssize_t>(len)) return good = false;
    return true;
}

bool PacketFile::commit() {
    if (fd == -1) return false;
    bool done = flush();
    if (fsync(fd) != 0) done = false;
    if (close(fd) != 0) done = false;
    fd = -1;
    good = false;
    return done;
}

void PacketFile::discard() {
    if (fd == -1) return;
    flush();
    close(fd);
    fd = -1;
    good = false;
    used = 0;
}

namespace {

void putbe32(unsigned char* p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

}  // namespace

bool RecordWriter::begin(PacketFile& packet, uint32_t placeholder) {
    file = &packet;
    linestart = true;
    if (!file->isopen()) return false;
    // A record that fits the room left in the file's buffer has its length
    // patched there, without a system call.
    if (!file->makeroom(kRecordRoom)) return false;
    start = file->position();
    unsigned char len[4];
    putbe32(len, placeholder);
    return file->write(len, sizeof len);
}

bool RecordWriter::end() {
    if (!file || !file->isopen()) return false;
    long pos = file->position();
    if (pos < start + 4) return false;
    long length = pos - start - 4;
    if (static_cast<unsigned long>(length) > 0xFFFFFFFFul) return false;
    unsigned char len[4];
    putbe32(len, static_cast<uint32_t>(length));
    return file->patch(start, len, sizeof len) && file->ok();
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

int appendareas(long number, const char* area, const char* encoding) {
    std::string path = std::string(soupdir) + "AREAS";
    int n = std::snprintf(nullptr, 0, "%08lX\t%s\t%s\n", number, area, encoding);
    std::string text(static_cast<size_t>(n > 0 ? n : 0) + 1, '\0');
    std::snprintf(&text[0], text.size(), "%08lX\t%s\t%s\n", number, area, encoding);
    text.resize(text.size() - 1);
    PacketFile areas;
    if (n < 0 || !areas.open(path.c_str(), "ab") || !areas.write(text.data(), text.size()) || !areas.commit()) {
        logprintf("Cannot append to %s\n", path.c_str());
        return -1;
    }
    return 0;
}
