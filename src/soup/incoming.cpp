// Fetched message files that appear whole or not at all, and the removal
// of what a killed run left behind.
#include <dirent.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "soup/soup.h"

IncomingFile::~IncomingFile() {
    if (!made) return;
    file.discard();
    std::remove(temp);
}

bool IncomingFile::open(const std::string& soupdir) {
    number = genfname(soupdir.c_str(), "MSG", path, "PRT");
    // Only a path too long for a name leaves no free number.
    if (number < 0) {
        failure = std::strerror(ENAMETOOLONG);
        return false;
    }
    std::snprintf(temp, sizeof temp, "%.*sPRT", static_cast<int>(std::strlen(path) - 3), path);
    made = file.open(temp, "wb");
    return made;
}

bool IncomingFile::finish() {
    if (!file.commit()) return false;
    if (std::rename(temp, path) != 0) {
        failure = std::strerror(errno);
        return false;
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
