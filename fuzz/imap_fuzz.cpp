// An IMAP server's answers to SELECT, the list of new messages, their
// bodies, a STORE with its UID EXPUNGE and LOGOUT, then responses to the
// end.
#include <vector>

#include "fuzz.h"
#include "proto/imap.h"

namespace {

struct Quiet final : SourceEvents, MessageSink {
    void step(SourceStep) override {}
    void loggingin(const SaslLogin&) override {}
    void refused(size_t, const Reply&) override {}
    void failed(const SourceFailure&) override {}
    bool next(size_t) override { return true; }
    bool take(size_t, MessageText& text) override {
        size_t bytes = 0;
        text.read([&bytes](const char*, size_t len, bool, size_t) {
            bytes += len;
            return true;
        });
        expect(bytes <= kFedMax);
        return true;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Account account;
    Quiet quiet;
    ImapClient client(account, false, quiet);
    Peer peer(client.connection().sock, data, size);

    FolderSize folder;
    if (client.select("Lists/dev", folder) && !client.selected().missing) {
        client.since(3, true);
        MailList list;
        if (client.list(list)) {
            const std::vector<ImapMessage>& listed = client.listed();
            expect(listed.size() == list.messages.size());
            std::vector<uint32_t> places;
            for (uint32_t i = 0; i < listed.size(); i++) {
                expect(listed[i].uid >= 3 && listed[i].size >= 0);
                expect(i == 0 || listed[i].uid > listed[i - 1].uid);
                places.push_back(i);
            }
            if (client.retrieve(places, quiet, false)) client.expunge({1, 2, 3, 7});
        }
    }
    client.close();
    for (Reply reply = readimap(client.connection().sock); reply.status != Reply::Lost;
         reply = readimap(client.connection().sock))
        expect(!reply.text.empty());
    return 0;
}
