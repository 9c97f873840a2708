// Files replaced whole: the REPLIES left, the record of the mail fetched,
// the newsgroups state file.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/text.h"
#include "soup/soup.h"

bool Replacement::begin(const std::string& path) {
    if (made) return true;
    this->path = path;
    renamed = false;
    error = 0;
    if (createnew(file, path.c_str(), "TMP", temp) < 0) {
        error = errno;
        // A path too long leaves it no name of its own to report.
        if (!*temp) std::snprintf(temp, sizeof temp, "%s", path.c_str());
        return false;
    }
    made = true;
    return true;
}

bool Replacement::commit() {
    if (!made) return false;
    if (file.commitas(path.c_str())) {
        made = false;
        renamed = true;
        return true;
    }
    // Gone from its own name, it took the file's: only the directory's sync
    // failed.
    renamed = !exist(temp);
    if (renamed) made = false;
    abandon();
    return false;
}

void Replacement::abandon() {
    if (!made) return;
    file.discard();
    std::remove(temp);
    made = false;
}

const char* Replacement::reason() const { return error != 0 ? std::strerror(error) : file.reason(); }
