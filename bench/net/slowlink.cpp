// A slow link in front of a server on this machine, for measuring vorpa
// against the real servers: `slowlink PORT [MS [KBITS]]` passes every
// connection made to the port it prints on to 127.0.0.1:PORT, delaying each
// direction by MS milliseconds (100 by default), at KBITS kilobits a second
// each way (any rate by default), until its standard input ends.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "benchkit.h"

int main(int argc, char** argv) {
    long target = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 0;
    long delay = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 100;
    long kbits = argc > 3 ? std::strtol(argv[3], nullptr, 10) : 0;
    if (argc > 4 || target <= 0 || target > 65535 || delay < 0 || kbits < 0) {
        std::fprintf(stderr, "usage: slowlink PORT [MS [KBITS]]\n");
        return 2;
    }
    Relay relay(static_cast<unsigned short>(target), std::chrono::milliseconds(delay), kbits);
    std::printf("%u\n", relay.port);
    std::fflush(stdout);
    char c;
    while (read(0, &c, 1) > 0) {
    }
    // Links still open would hold the relay's threads: leave at once.
    std::_Exit(0);
}
