// What the fuzz targets share: a rule check that survives an optimised
// build, and a socket that reads the input as a server's bytes.
#ifndef VORPA_FUZZ_H
#define VORPA_FUZZ_H

#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "net/socket.h"

// assert() is gone under NDEBUG; a broken rule must stop the fuzzer.
inline void expect(bool ok) {
    if (!ok) std::abort();
}

// The input goes into the socket's buffer whole, so that writing it never
// waits for a reader: longer inputs are cut.
constexpr size_t kFedMax = 65536;

// The server's end of sock: it has written the input and shut its sending
// side, so every read ends at once; it stays open to take what sock sends.
class Peer {
public:
    Peer(Socket& sock, const uint8_t* data, size_t size) {
        int fds[2];
        expect(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0);
        sock.adopt(fds[0]);
        sock.settimeout(1);
        fd = fds[1];
        if (size > kFedMax) size = kFedMax;
        expect(write(fd, data, size) == static_cast<ssize_t>(size));
        expect(shutdown(fd, SHUT_WR) == 0);
    }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;
    ~Peer() { close(fd); }

private:
    int fd = -1;
};

#endif
