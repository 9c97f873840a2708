#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "driver/driver.h"

int memicmp(const void* a, const void* b, unsigned n) {
    const unsigned char* p = static_cast<const unsigned char*>(a);
    const unsigned char* q = static_cast<const unsigned char*>(b);
    for (unsigned i = 0; i < n; i++) {
        int d = std::tolower(p[i]) - std::tolower(q[i]);
        if (d != 0) return d;
    }
    return 0;
}

int exist(const char* path) { return access(path, F_OK) == 0 ? 1 : 0; }

void checkdir(char* path) {
    // The root is refused with the rest: an empty SOUPDIR value gives "/",
    // and no packet belongs there.
    char* slash = std::strrchr(path, '/');
    if (slash) *slash = '\0';
    if (!exist(path)) {
        logprintf("FATAL ERROR: subdirectory %s does not exist\n", path);
        fflush(stdout);
        std::exit(1);
    }
    if (slash) *slash = '/';
}

int sock_init() { return 0; }

void sock_deinit() {}
