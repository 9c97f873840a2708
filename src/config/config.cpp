#include "config/config.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

char logfile[4095] = "";
char configfile[4095] = "";
char newsgroupsfile[4095] = "newsrc";
char soupdir[4095] = "";
char hostname[128] = "";
char pophost[128] = "";
char smtphost[128] = "";
char nntphost[128] = "";
char popuser[64] = "";
char poppass[64] = "";
int poptls = TLSOFF;
int smtptls = TLSOFF;
int nntptls = TLSOFF;
char smtpuser[128] = "";
char smtppass[256] = "";
char nntpuser[128] = "";
char nntppass[256] = "";
char cafile[4095] = "";

namespace {

// Files being read right now, outermost first: INCLUDE must neither loop
// nor nest without end.
constexpr int maxdepth = 16;
struct Reading {
    dev_t dev;
    ino_t ino;
};
Reading reading[maxdepth];
int depth = 0;

// A name with a "/" is taken as given; otherwise it lies in the folder of
// base. Reports a name that does not fit and returns -1.
int resolvepath(const char* name, const char* base, char* out, int size) {
    int r;
    if (std::strchr(name, '/')) {
        r = std::snprintf(out, size, "%s", name) < size ? 0 : -1;
    } else {
        r = joinprogramdir(base, name, out, size);
    }
    if (r != 0) std::fprintf(stderr, "Error: file name too long: %s\n", name);
    return r;
}

bool beingread(const char* path) {
    struct stat st;
    if (stat(path, &st) != 0) return false;
    for (int i = 0; i < depth; i++) {
        if (reading[i].dev == st.st_dev && reading[i].ino == st.st_ino) return true;
    }
    return false;
}

// Returns -1 when the included name does not fit a path: the run is
// refused rather than going on without that file's settings.
int include(const char* value, long line, const char* path, const char* base) {
    if (depth >= maxdepth) {
        configwarn("INCLUDE nested deeper than 16 files", line, path);
        return 0;
    }
    char target[4096];
    if (resolvepath(value, base, target, sizeof target) != 0) return -1;
    if (beingread(target)) {
        configwarn("INCLUDE of a file that is already being read", line, path);
        return 0;
    }
    return readconfigfile(value, base) < 0 ? -1 : 0;
}

void scanlogfile(const char* value, long line, const char* path, const char* base) {
    configscantext(value, line, path, logfile, sizeof logfile);
    if (std::strchr(logfile, '/')) return;
    char joined[sizeof logfile];
    if (joinprogramdir(base, value, joined, sizeof joined) != 0) {
        configwarn("LOGFILE path too long, no log is written", line, path);
        logfile[0] = '\0';
        return;
    }
    std::memcpy(logfile, joined, sizeof logfile);
}

// A TLS mode must be spelled out: a typo must not quietly mean plain text.
int scantls(const char* value, long line, const char* path, const char* key, int& mode) {
    if (!strcasecmp(value, "off")) {
        mode = TLSOFF;
    } else if (!strcasecmp(value, "starttls")) {
        mode = TLSSTART;
    } else if (!strcasecmp(value, "on")) {
        mode = TLSON;
    } else {
        std::fprintf(stderr, "Error: %s must be off, starttls or on in line %ld of %s\n", key, line, path);
        return -1;
    }
    return 0;
}

enum class Kind { Text, Dir, LogFile, Tls, Include };

struct Setting {
    const char* key;
    Kind kind;
    char* text;  // Text, Dir
    int size;
    int* mode;  // Tls
};

const Setting settings[] = {
    {"HOSTNAME", Kind::Text, hostname, sizeof hostname, nullptr},
    {"POPUSER", Kind::Text, popuser, sizeof popuser, nullptr},
    {"POPHOST", Kind::Text, pophost, sizeof pophost, nullptr},
    {"POPPASS", Kind::Text, poppass, sizeof poppass, nullptr},
    {"POPTLS", Kind::Tls, nullptr, 0, &poptls},
    {"SMTPHOST", Kind::Text, smtphost, sizeof smtphost, nullptr},
    {"SMTPTLS", Kind::Tls, nullptr, 0, &smtptls},
    {"SMTPUSER", Kind::Text, smtpuser, sizeof smtpuser, nullptr},
    {"SMTPPASS", Kind::Text, smtppass, sizeof smtppass, nullptr},
    {"NNTPHOST", Kind::Text, nntphost, sizeof nntphost, nullptr},
    {"NNTPTLS", Kind::Tls, nullptr, 0, &nntptls},
    {"NNTPUSER", Kind::Text, nntpuser, sizeof nntpuser, nullptr},
    {"NNTPPASS", Kind::Text, nntppass, sizeof nntppass, nullptr},
    {"CAFILE", Kind::Text, cafile, sizeof cafile, nullptr},
    {"SOUPDIR", Kind::Dir, soupdir, sizeof soupdir, nullptr},
    {"NEWSGROUPS", Kind::Text, newsgroupsfile, sizeof newsgroupsfile, nullptr},
    {"LOGFILE", Kind::LogFile, nullptr, 0, nullptr},
    {"INCLUDE", Kind::Include, nullptr, 0, nullptr},
};

// One keyword line, already stripped of its line end and known to be no
// comment. -1 when the run must be refused.
int scanline(char* text, long line, const char* path, const char* base) {
    char* value = std::strchr(text, ' ');
    if (value) {
        *value++ = '\0';
        while (*value == ' ') value++;
    } else {
        value = text + std::strlen(text);
    }
    for (const Setting& s : settings) {
        if (strcasecmp(text, s.key) != 0) continue;
        switch (s.kind) {
        case Kind::Text:
            configscantext(value, line, path, s.text, s.size);
            return 0;
        case Kind::Dir:
            configscandir(value, line, path, s.text);
            return 0;
        case Kind::LogFile:
            scanlogfile(value, line, path, base);
            return 0;
        case Kind::Tls:
            return scantls(value, line, path, s.key, *s.mode);
        case Kind::Include:
            return include(value, line, path, base);
        }
    }
    configwarn("unknown keyword", line, path);
    return 0;
}

// Closes the file and leaves the INCLUDE stack on every way out.
class OpenConfig {
public:
    explicit OpenConfig(FILE* file) : f(file) {}
    ~OpenConfig() {
        if (pushed) depth--;
        std::fclose(f);
    }
    OpenConfig(const OpenConfig&) = delete;
    OpenConfig& operator=(const OpenConfig&) = delete;
    void push(const struct stat& st) {
        reading[depth].dev = st.st_dev;
        reading[depth].ino = st.st_ino;
        depth++;
        pushed = true;
    }

private:
    FILE* f;
    bool pushed = false;
};

}  // namespace

int joinprogramdir(const char* base, const char* name, char* out, int size) {
    const char* slash = std::strrchr(base, '/');
    int dirlen = slash ? static_cast<int>(slash - base) + 1 : 0;
    if (dirlen > 4094) return -1;
    int n = std::snprintf(out, size, "%.*s%s", dirlen, base, name);
    return (n < 0 || n >= size) ? -1 : 0;
}

void configwarn(const char* message, long line, const char* path) {
    std::fprintf(stderr, "Warning: %s in line %ld of %s\n\n", message, line, path);
}

void configscantext(const char* value, long, const char*, char* dest, int size) {
    std::snprintf(dest, size, "%s", value);
}

void configscandir(const char* value, long, const char*, char* dest) {
    std::snprintf(dest, 4095, "%s", value);
    size_t len = std::strlen(dest);
    if ((len == 0 || dest[len - 1] != '/') && len <= 4093) {
        dest[len] = '/';
        dest[len + 1] = '\0';
    }
}

void configscanyesno(const char* value, long line, const char* path, int& result) {
    if (!strcasecmp(value, "Yes")) {
        result = 1;
    } else if (!strcasecmp(value, "No")) {
        result = 0;
    } else {
        result = 0;
        configwarn("invalid Yes/No parameter", line, path);
    }
}

int readconfigfile(const char* name, const char* base) {
    char path[4096];
    if (resolvepath(name, base, path, sizeof path) != 0) return -1;
    FILE* f = std::fopen(path, "r");
    if (!f) {
        std::fprintf(stderr, "Error: can't read %s\n", path);
        return 1;
    }
    OpenConfig guard(f);
    struct stat st;
    if (fstat(fileno(f), &st) != 0 || S_ISDIR(st.st_mode) || depth >= maxdepth) {
        std::fprintf(stderr, "Error: can't read %s\n", path);
        return 1;
    }
    guard.push(st);

    char buf[256];
    long line = 0;
    while (std::fgets(buf, sizeof buf, f)) {
        line++;
        size_t len = std::strlen(buf);
        while (len > 0 && (buf[len - 1] == '\r' || buf[len - 1] == '\n')) buf[--len] = '\0';
        if (len == 0 || buf[0] == ';') continue;
        if (scanline(buf, line, path, base) != 0) return -1;
    }
    if (std::ferror(f)) {
        std::fprintf(stderr, "Error: can't read %s\n", path);
        return 1;
    }
    return 0;
}

std::string programpath(const char* argv0) {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof path) return argv0;
    return std::string(path, static_cast<size_t>(n));
}

namespace {

// The user's configuration folder, as the XDG base directory rules name
// it: $XDG_CONFIG_HOME when it is an absolute path, else ~/.config. Empty
// when neither is known.
std::string userconfigdir() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/') return xdg;
    const char* home = std::getenv("HOME");
    if (home && home[0] != '\0') return std::string(home) + "/.config";
    return "";
}

}  // namespace

bool findconfigfile(std::string& base) {
    std::string beside = base.substr(0, base.rfind('/') + 1) + "vorpa.cfg";
    if (access(beside.c_str(), F_OK) == 0) {
        std::snprintf(configfile, sizeof configfile, "vorpa.cfg");
        return true;
    }
    std::string user = userconfigdir();
    if (!user.empty()) {
        user += "/vorpa/vorpa.cfg";
        if (user.size() < sizeof configfile && access(user.c_str(), F_OK) == 0) {
            std::snprintf(configfile, sizeof configfile, "%s", user.c_str());
            base = user;
            return true;
        }
    }
    std::fprintf(stderr, "Error: no configuration file at %s%s%s (or name one with /config=)\n", beside.c_str(),
                 user.empty() ? "" : " or ", user.c_str());
    return false;
}
