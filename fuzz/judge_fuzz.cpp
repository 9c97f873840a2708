// The judge of a REPLIES line, for both posting phases, with and without
// the other phase in the run: the four verdicts must agree.
#include <cstring>
#include <string>
#include <strings.h>

#include "fuzz.h"
#include "soup/soup.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    ReplyAction verdict[2][2];
    for (int mine : {MAILKIND, NEWSKIND}) {
        for (int otherruns : {0, 1}) {
            std::string line = input;  // judged in place
            ReplyEntry entry;
            ReplyAction action = judgereply(line, mine, otherruns, entry);
            verdict[mine][otherruns] = action;
            if (action == ReplyAction::Keep) {
                // Only a line of an unknown kind may go unreported, and
                // only once per run: in the news phase beside mail.
                expect(entry.report || (mine == NEWSKIND && otherruns));
                continue;
            }
            expect(entry.report == nullptr);
            expect(entry.prefix && !std::strchr(entry.prefix, '/'));
            bool mail = !strcasecmp(entry.kind, "mail");
            expect(mail || !strcasecmp(entry.kind, "news"));
            if (action == ReplyAction::Pass) {
                expect(otherruns && mail == (mine == NEWSKIND));
            } else {
                expect(mail == (mine == MAILKIND));
                expect(entry.format != '\0' && std::strchr("umMbBn", entry.format));
            }
        }
    }
    // A line one phase posts, the other passes over when both run, and
    // keeps (saying why) when it runs alone.
    for (int mine : {MAILKIND, NEWSKIND}) {
        if (verdict[mine][0] != ReplyAction::Post) continue;
        expect(verdict[mine][1] == ReplyAction::Post);
        expect(verdict[1 - mine][1] == ReplyAction::Pass);
        expect(verdict[1 - mine][0] == ReplyAction::Keep);
    }
    return 0;
}
