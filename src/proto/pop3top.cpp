#include <string>
#include <vector>

#include "proto/pop3.h"

namespace {

// Of a header longer than this only the start is kept: the fields named
// come first in any header worth naming.
constexpr size_t maxheader = 65536;

}  // namespace

// The TOPs go ahead of their answers where the server pipelines.
bool Pop3Client::describe(const MailList&, const std::vector<uint32_t>& places, bool, std::vector<Described>& out) {
    out.assign(places.size(), Described());
    size_t next = 0;
    Pipeline top(conn.sock, window, [this, &places, &next](std::string& line) {
        if (next == places.size()) return false;
        line += "TOP " + std::to_string(entries[places[next++]].number) + " 0\r\n";
        return true;
    });
    for (size_t k = 0; k < places.size(); k++) {
        if (!refill(top)) return false;
        Outcome answer = conn.read();
        top.answered();
        // A server without TOP: the message is named by its size alone.
        if (answer.reply.refused()) continue;
        if (!answer.done()) return fail(SourceFault::Step, answer);
        std::string& header = out[k].header;
        MessageText text(conn.sock);
        text.read([&header](const char* line, size_t len, bool, size_t) {
            if (header.size() + len <= maxheader) header.append(line, len);
            return true;
        });
        if (text.end != BodyEnd::Whole)
            return fail(SourceFault::LostMessage, conn.failed(Failure::Network, Stage::Text));
        out[k].known = true;
    }
    return true;
}
