// An IMAP server's answers to SELECT, the check of known messages and the
// list of new ones, their bodies, a STORE with its UID EXPUNGE, another
// folder surveyed or selected ahead, and LOGOUT, then responses to the end.
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "source.h"
#include "proto/imap.h"

namespace {

struct Quiet final : QuietEvents, MessageSink {
    bool next(size_t) override { return true; }
    bool take(size_t, MessageText& text) override {
        readwhole(text);
        return true;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Server server(Protocol::Imap);
    std::string none;
    Quiet quiet;
    ImapClient client(server, none, none, {"Lists/dev"}, false, quiet);
    Peer peer(client.connection().sock, data, size);

    // The listing sent ahead brings the bodies into a spool; every other
    // input asks the listing anew, with Message-IDs and checks. Another
    // folder's STATUS goes with the selection.
    int spool = memfd_create("spool", 0);
    ListAsk ahead;
    ahead.from = 3;
    ahead.spool = spool;
    client.foresee(ahead);
    // Another folder: its STATUS, or its selection and listing, goes with
    // the selection.
    bool selectsahead = size > 1 && data[1] % 2 == 1;
    client.survey({"Other"}, selectsahead ? std::vector<ListAsk>{ahead} : std::vector<ListAsk>());
    FolderState folder;
    if (client.select("Lists/dev", folder) && !folder.missing) {
        ListAsk ask = ahead;
        if (size > 0 && data[0] % 2 == 0) {
            ask.messageids = true;
            ask.known = {1, 2};
        }
        MailList list;
        if (client.list(ask, list)) {
            expect(list.hasids && list.ids.size() == list.messages.size());
            expect(list.messageids.size() == (ask.messageids ? list.messages.size() : 0));
            std::vector<uint32_t> places;
            unsigned long previous = 0;
            for (uint32_t i = 0; i < list.messages.size(); i++) {
                unsigned long uid = std::stoul(std::string(list.id(list.messages[i].id)));
                expect(uid > previous && list.messages[i].size >= 0);
                expect(uid >= 3 || uid == 1 || uid == 2);
                previous = uid;
                places.push_back(i);
            }
            if (client.retrieve(places, quiet, false)) client.remove(list, places);
        }
    }
    FolderState other;
    if (selectsahead) {
        MailList list;
        client.foresee(ahead);
        if (client.select("Other", other) && !other.missing) client.list(ahead, list);
    } else if (client.surveyed("Other", other)) {
        expect(other.messages >= 0 && other.validity != 0 && other.next != 0);
    }
    client.close();
    if (spool >= 0) close(spool);
    for (Reply reply = readimap(client.connection().sock); reply.status != Reply::Lost;
         reply = readimap(client.connection().sock))
        expect(!reply.text.empty());
    return 0;
}
