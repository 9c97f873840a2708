// What every layer does unless it knows better, and the descriptor.
#include "net/layer.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

int Layer::flush() {
    return below ? below->flush() : 0;
}

bool Layer::pending() const {
    return handedtaken < handed.size() || (below && below->pending());
}

short Layer::wants(short events) const {
    return below ? below->wants(events) : events;
}

int Layer::readbelow(char* buf, int len) {
    size_t left = handed.size() - handedtaken;
    if (left == 0) return below->read(buf, len);
    size_t n = left < static_cast<size_t>(len) ? left : static_cast<size_t>(len);
    std::memcpy(buf, handed.data() + handedtaken, n);
    handedtaken += n;
    if (handedtaken == handed.size()) {
        handed.clear();
        handedtaken = 0;
    }
    return static_cast<int>(n);
}

int Layer::writebelow(const char* data, int len) {
    return below->write(data, len);
}

int Descriptor::read(char* buf, int len) {
    if (fd < 0) {
        errno = EAGAIN;
        return -1;
    }
    return static_cast<int>(recv(fd, buf, len, MSG_DONTWAIT));
}

int Descriptor::write(const char* data, int len) {
    return static_cast<int>(send(fd, data, len, MSG_NOSIGNAL | MSG_DONTWAIT));
}
