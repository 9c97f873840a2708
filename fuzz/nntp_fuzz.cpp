// NNTP replies to the end, each judged by its first character.
#include "fuzz.h"
#include "proto/nntp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Socket sock;
    Peer peer(sock, data, size);
    for (Reply reply = readnntp(sock); reply.status != Reply::Lost; reply = readnntp(sock)) {
        expect(!reply.text.empty());
        char code = reply.text[0];
        expect(reply.ok() == (code == '1' || code == '2' || code == '3'));
        isduplicate(reply);
    }
    return 0;
}
