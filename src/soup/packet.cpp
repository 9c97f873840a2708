#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "core/text.h"
#include "soup/soup.h"

long genfname(const char* base, const char* ext, char* out, const char* reserved, long from) {
    const char* slash = std::strrchr(base, '/');
    int dirlen = slash ? static_cast<int>(slash - base) + 1 : 0;
    char other[4096];
    for (unsigned long n = from > 0 ? static_cast<unsigned long>(from) : 0; n <= 0xFFFFFFFFul; n++) {
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

long createnew(DurableFile& file, const char* base, const char* ext, char* path, const char* reserved, long from) {
    for (;;) {
        long number = genfname(base, ext, path, reserved, from);
        if (number < 0) {
            path[0] = '\0';
            errno = ENAMETOOLONG;
            return -1;
        }
        if (file.open(path, "wx")) return number;
        if (errno != EEXIST) return -1;
        // Another program took it meanwhile.
        from = number + 1;
    }
}

namespace {

void putbe32(unsigned char* p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

}  // namespace

bool RecordWriter::begin(DurableFile& packet, uint32_t placeholder) {
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

bool appendareas(const std::string& soupdir, long number, const char* area, const char* encoding,
                 std::string* reason, bool sync) {
    int n = std::snprintf(nullptr, 0, "%08lX\t%s\t%s\n", number, area, encoding);
    if (n < 0) return false;
    std::string text(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(&text[0], text.size(), "%08lX\t%s\t%s\n", number, area, encoding);
    text.resize(static_cast<size_t>(n));
    return appendareas(soupdir, text, reason, sync);
}

bool appendareas(const std::string& soupdir, const std::string& text, std::string* reason, bool sync) {
    std::string path = soupdir + "AREAS";
    DurableFile areas;
    if (areas.open(path.c_str(), "ab")) {
        long length = areas.position();
        if (areas.write(text.data(), text.size()) && (sync ? areas.commit() : areas.end())) return true;
        // Part of a line would run into the next one appended.
        while (truncate(path.c_str(), length) != 0 && errno == EINTR) {
        }
    }
    if (reason) *reason = areas.reason();
    return false;
}
