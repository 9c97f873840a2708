#include "netns.h"

#include <fcntl.h>
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace {

bool writeproc(const char* path, const std::string& text) {
    int fd = open(path, O_WRONLY);
    if (fd < 0) return false;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

}  // namespace

bool enternetns() {
    uid_t uid = geteuid();
    gid_t gid = getegid();
    if (uid == 0) {
        if (unshare(CLONE_NEWNET) != 0) return false;
    } else {
        if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) return false;
        writeproc("/proc/self/setgroups", "deny");
        if (!writeproc("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1\n")) return false;
        if (!writeproc("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1\n")) return false;
    }
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0) return false;
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
    ok = ok && ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
    close(s);
    return ok;
}

bool addloopback(const char* ipv4) {
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0) return false;
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo:1", IFNAMSIZ - 1);
    auto* a = reinterpret_cast<sockaddr_in*>(&ifr.ifr_addr);
    a->sin_family = AF_INET;
    bool ok = inet_pton(AF_INET, ipv4, &a->sin_addr) == 1 && ioctl(s, SIOCSIFADDR, &ifr) == 0;
    close(s);
    return ok;
}
