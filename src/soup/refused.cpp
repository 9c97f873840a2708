// Letters refused for good, moved out of the outgoing files into a folder
// of their own in the packet, where the user finds them.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "soup/soup.h"

bool storerefused(const std::string& soupdir, const char* prefix, const OutgoingMessage& message, std::string& path,
                  std::string& reason) {
    const long start = message.start, length = message.length;
    const std::string dir = soupdir + "refused";
    path = dir;
    errno = 0;
    // A new folder must survive a crash as much as the file in it.
    bool made = mkdir(dir.c_str(), 0700) == 0;
    if ((!made && errno != EEXIST) || (made && !syncdirof(dir.c_str()))) {
        reason = std::strerror(errno != 0 ? errno : EIO);
        return false;
    }
    DurableFile out;
    for (long n = 1;; n++) {
        path = dir + "/" + prefix + "-" + std::to_string(n) + ".eml";
        if (out.open(path.c_str(), "wx")) break;
        if (errno != EEXIST) {
            reason = std::strerror(errno);
            return false;
        }
    }
    char buf[65536];
    int error = 0;
    for (long at = start; at < start + length;) {
        size_t want = static_cast<size_t>(std::min<long>(start + length - at, sizeof buf));
        ssize_t n = pread(fileno(message.file), buf, want, at);
        if (n <= 0) error = n == 0 ? EIO : errno;
        if (n <= 0 || !out.write(buf, static_cast<size_t>(n))) break;
        at += n;
    }
    if (error == 0 && out.ok() && out.commit()) {
        if (syncdirof(path.c_str())) return true;
        error = errno != 0 ? errno : EIO;
    }
    // A copy cut short would be taken for the letter.
    reason = error != 0 ? std::strerror(error) : out.reason();
    out.discard();
    std::remove(path.c_str());
    return false;
}
