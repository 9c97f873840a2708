// A server's bytes after 206 inflated into lines to the end: a stream that
// is no deflate, or ends early, must end the reception, not loop or read
// out of bounds.
#include "fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Socket sock;
    Peer peer(sock, data, size);
    expect(sock.Deflate());
    for (int len = sock.RecvTeol(); len > 0; len = sock.RecvTeol()) expect(len < 16384);
    const Carried* carried = sock.Compression();
    expect(carried && carried->wirereceived <= size);
    return 0;
}
