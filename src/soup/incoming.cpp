// Fetched message files that appear whole or not at all, and the removal
// of what a killed run left behind.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "soup/soup.h"

IncomingFile::~IncomingFile() {
    if (!made) return;
    file.discard();
    std::remove(temp);
}

bool IncomingFile::open(const std::string& soupdir, long from) {
    number = createnew(file, soupdir.c_str(), "PRT", temp, "MSG", from);
    if (number < 0) failure = std::strerror(errno);
    // The message file is named in a report also when it cannot be made;
    // the packet when no name fits.
    if (*temp) std::snprintf(path, sizeof path, "%.*sMSG", static_cast<int>(std::strlen(temp) - 3), temp);
    else std::snprintf(path, sizeof path, "%s", soupdir.c_str());
    made = number >= 0;
    return made;
}

int renamenew(const char* from, const char* to) {
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return -1;
    return std::rename(from, to);
}

bool IncomingFile::finish() {
    if (!file.commit()) return false;
    // A message file the reader made meanwhile under this number stays its
    // own: the fetched file takes the next free number.
    while (renamenew(temp, path) != 0) {
        long next = errno == EEXIST ? genfname(temp, "MSG", path, "PRT", number + 1) : -1;
        if (next < 0) {
            failure = std::strerror(errno == EEXIST ? ENAMETOOLONG : errno);
            return false;
        }
        number = next;
    }
    made = false;
    return true;
}

bool IncomingFile::list(const std::string& soupdir, const char* area, const char* encoding) {
    if (appendareas(soupdir, number, area, encoding, &failure)) return true;
    std::remove(path);
    syncdirof(path);
    return false;
}

bool IncomingFile::setaside() {
    if (!file.end()) return false;
    char aside[4096];
    std::snprintf(aside, sizeof aside, "%.*sNWS", static_cast<int>(std::strlen(temp) - 3), temp);
    if (renamenew(temp, aside) != 0) {
        failure = std::strerror(errno);
        return false;
    }
    made = false;
    return true;
}

bool syncfetched(const std::string& soupdir, const std::vector<long>& numbers, std::string& path) {
    struct Opened {
        std::vector<int> fds;
        ~Opened() {
            for (int fd : fds) ::close(fd);
        }
    } opened;
    char name[32];
    auto named = [&](size_t i) {
        std::snprintf(name, sizeof name, "%08lX.NWS", numbers[i]);
        path = soupdir + name;
    };
    // Their writes go out together: the first sync waits for all of them,
    // the later ones find little to do.
    for (size_t i = 0; i < numbers.size(); i++) {
        named(i);
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return false;
        opened.fds.push_back(fd);
        sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
    }
    for (size_t i = 0; i < numbers.size(); i++) {
        if (fsync(opened.fds[i]) == 0) continue;
        int error = errno;
        named(i);
        errno = error;
        return false;
    }
    return true;
}

long namefetched(const std::string& soupdir, long number) {
    char temp[4096], path[4096];
    int n = std::snprintf(temp, sizeof temp, "%s%08lX.NWS", soupdir.c_str(), number);
    if (n < 0 || n >= static_cast<int>(sizeof temp)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::snprintf(path, sizeof path, "%s%08lX.MSG", soupdir.c_str(), number);
    // A message file the reader made meanwhile under this number stays its
    // own.
    while (renamenew(temp, path) != 0) {
        if (errno != EEXIST) return -1;
        number = genfname(temp, "MSG", path, "NWS", number + 1);
        if (number < 0) {
            errno = ENAMETOOLONG;
            return -1;
        }
    }
    return number;
}

const char* IncomingFile::reason() const { return failure.empty() ? file.reason() : failure.c_str(); }

namespace {

// "%08lX.<ext>" as genfname makes them: eight upper-case hexadecimal digits.
bool oursbyname(const char* name, const char* ext) {
    for (int i = 0; i < 8; i++)
        if (!((name[i] >= '0' && name[i] <= '9') || (name[i] >= 'A' && name[i] <= 'F'))) return false;
    return name[8] == '.' && std::strcmp(name + 9, ext) == 0;
}

}  // namespace

void removeleftovers(const char* base, const char* ext) {
    const char* slash = std::strrchr(base, '/');
    std::string dir = slash ? std::string(base, slash - base + 1) : std::string("./");
    std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(dir.c_str()), closedir);
    if (!d) return;
    while (const dirent* entry = readdir(d.get())) {
        if (oursbyname(entry->d_name, ext)) std::remove((dir + entry->d_name).c_str());
    }
}
