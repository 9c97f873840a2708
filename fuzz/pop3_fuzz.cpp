// A POP3 server's answers to CAPA, STAT and LIST, then replies to the end.
#include <vector>

#include "fuzz.h"
#include "proto/pop3.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Server server{Protocol::Pop3};
    const std::string cafile, pin;
    const Wire pop3{"POP3", 110, 995, readpop3, nullptr};
    Connection session(pop3, server, cafile, pin);
    Peer peer(session.sock, data, size);

    Capabilities caps;
    pop3capa(session, caps);
    caps.offers("SASL", "PLAIN");
    Reply stat = session.ask("STAT\r\n").reply;
    if (stat.ok()) {
        long count = 0, total = 0;
        pop3stat(stat, &count, &total);
        std::vector<ListEntry> list;
        if (count > 0 && session.ask("LIST\r\n").done()) {
            ListResult result = pop3list(session.sock, list, count);
            expect(list.size() <= static_cast<unsigned long>(count));
            expect(result != ListResult::Whole || list.size() == static_cast<unsigned long>(count));
            for (const ListEntry& entry : list) expect(entry.size >= -1);
        }
    }
    for (Reply reply = readpop3(session.sock); reply.status != Reply::Lost; reply = readpop3(session.sock))
        expect(!reply.text.empty());
    return 0;
}
