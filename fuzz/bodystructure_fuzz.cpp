// A message too big to fetch whole, as an IMAP server answers for it: the
// answers to SELECT and the list, then the header and BODYSTRUCTURE of every
// message listed, then the text parts of the first, streamed. The same
// bytes are read as one response's values too.
#include <string>
#include <vector>

#include "source.h"
#include "proto/imap.h"

namespace {

struct Quiet final : QuietEvents, PartSink {
    bool part(const std::string&, MessageText& text) override {
        readwhole(text);
        return true;
    }
    bool part(const std::string&, const std::string& text) override { return text.size() <= kFedMax; }
};

void values(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    size_t at = 0, count = 0;
    ImapValue value;
    if (!imapvalue(text, at, value, count)) return;
    expect(at <= text.size() && count <= maxvalues);
    std::vector<MimePart> parts;
    if (!mimeparts(value, parts)) return;
    expect(!parts.empty() && parts.size() <= maxparts);
    for (const MimePart& part : parts) expect(!part.section.empty() && part.section.size() < 4 * maxnesting);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    values(data, size);
    Server server(Protocol::Imap);
    std::string none;
    Quiet quiet;
    ImapClient client(server, none, none, {"INBOX"}, true, quiet);
    Peer peer(client.connection().sock, data, size);
    FolderState folder;
    MailList list;
    if (client.select("INBOX", folder) && !folder.missing && client.list(ListAsk(), list) && !list.messages.empty()) {
        std::vector<uint32_t> places;
        for (uint32_t i = 0; i < list.messages.size(); i++) places.push_back(i);
        std::vector<Described> told;
        if (client.describe(list, places, true, told)) {
            expect(told.size() == places.size());
            std::vector<std::string> sections;
            for (const MimePart& part : told[0].parts) {
                expect(part.size <= (1ULL << 50));
                if (part.text()) sections.push_back(part.section);
            }
            expect(told[0].parts.size() <= maxparts && told[0].header.size() <= (1u << 20));
            if (!sections.empty()) client.retrieveparts(list, 0, sections, quiet);
        }
    }
    client.abandon();
    return 0;
}
