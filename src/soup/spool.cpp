#include <fcntl.h>
#include <unistd.h>

#include "soup/soup.h"

Spool::Spool(const std::string& soupdir) { file = open(soupdir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600); }

Spool::~Spool() {
    if (file >= 0) close(file);
}

void Spool::clear() {
    // One that cannot be emptied is not used again.
    if (file >= 0 && ftruncate(file, 0) != 0) {
        close(file);
        file = -1;
    }
}
