#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "config/config.h"
#include "driver/driver.h"
#include "soup/soup.h"

long genfname(const char* base, const char* ext, char* out) {
    const char* slash = std::strrchr(base, '/');
    int dirlen = slash ? static_cast<int>(slash - base) + 1 : 0;
    for (unsigned long n = 0; n <= 0xFFFFFFFFul; n++) {
        int len = std::snprintf(out, 4096, "%.*s%08lX.%s", dirlen, base, n, ext);
        if (len < 0 || len >= 4096) return -1;
        if (!exist(out)) return static_cast<long>(n);
    }
    return -1;
}

PacketFile::~PacketFile() { discard(); }

bool PacketFile::open(const char* path, const char* mode) {
    discard();
    f = std::fopen(path, mode);
    good = f != nullptr;
    // Fetched files are written a line at a time: a larger buffer spares
    // most of the system calls.
    if (f) std::setvbuf(f, buffer.get(), _IOFBF, kBufferSize);
    return good;
}

bool PacketFile::write(const void* data, size_t len) {
    if (!f) return false;
    if (len > 0 && std::fwrite(data, 1, len, f) != len) {
        good = false;
        return false;
    }
    return true;
}

// The bytes still buffered go out first, so that the patch is not
// overwritten by them; the stream's position stays at the end.
bool PacketFile::patch(long offset, const void* data, size_t len) {
    if (!f) return false;
    if (std::fflush(f) != 0 ||
        pwrite(fileno(f), data, len, static_cast<off_t>(offset)) != static_cast<ssize_t>(len)) {
        good = false;
        return false;
    }
    return true;
}

bool PacketFile::commit() {
    if (!f) return false;
    bool ok = good;
    if (std::fflush(f) != 0) ok = false;
    if (fsync(fileno(f)) != 0) ok = false;
    if (std::fclose(f) != 0) ok = false;
    f = nullptr;
    good = ok;
    return ok;
}

void PacketFile::discard() {
    if (f) std::fclose(f);
    f = nullptr;
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
    start = std::ftell(file->get());
    if (start < 0) return false;
    unsigned char len[4];
    putbe32(len, placeholder);
    return file->write(len, sizeof len);
}

long RecordWriter::line(const char* text, size_t len) {
    if (!file) return -1;
    bool starts = linestart;
    // The rest of an over-long line keeps its dots: they are text.
    linestart = len > 0 && text[len - 1] == '\n';
    if (starts && len > 0 && text[0] == '.') {
        text++;
        len--;
    }
    for (size_t i = 0; i + 1 < len; i++) {
        if (text[i] == '\r' && text[i + 1] == '\n') {
            if (!file->write(text, i) || !file->write("\n", 1)) return -1;
            return static_cast<long>(i + 1);
        }
    }
    if (!file->write(text, len)) return -1;
    return static_cast<long>(len);
}

bool RecordWriter::end() {
    if (!file || !file->isopen()) return false;
    long pos = std::ftell(file->get());
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
