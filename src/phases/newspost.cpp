// The news post phase: every news entry of REPLIES goes to the NNTP server
// through one connection, one POST per article.
#include <cstdio>
#include <cstring>

#include "core/text.h"
#include "phases/shared.h"
#include "proto/nntp.h"

namespace {

bool iswhite(char c) { return c == ' ' || c == '\t'; }

// Reports the groups of each article from its "Newsgroups:" header line;
// every header line goes out.
HeaderWatch reportgroups(Report& out) {
    return [&out](const char* line, size_t len) {
        const size_t tag = 11;
        if (len >= tag && memicmp(line, "Newsgroups:", tag) == 0) {
            size_t from = tag;
            while (from < len && iswhite(line[from])) from++;
            size_t to = from;
            while (to < len && line[to] != '\r' && line[to] != '\n') to++;
            out.say("* Posting article to %.*s\n", static_cast<int>(to - from), line + from);
        }
        return true;
    };
}

// One article: POST, the text, the server's verdict.
Step postarticle(Session& session, PostedFile& posted, long start, long length) {
    Socket& sock = session.sock;
    Report& out = session.report;
    if (!session.send("POST\r\n")) return Step::Quit;
    // INN writes its replies in two parts and holds the second back until
    // the first is acknowledged (Nagle): acknowledge at once, or every
    // reply waits for our delayed acknowledgement.
    sock.AckNow();
    if (!session.read().ok()) {
        // Console only: the server's own line or the receive error has
        // been reported already.
        out.console("! NNTP server doesn't allow us to post\n");
        return Step::End;
    }

    Step step = posttext(session, posted, start, length, reportgroups(out));
    if (step != Step::Next) return step;

    sock.AckNow();
    Reply reply = session.read();
    if (reply.ok()) return recordsent(out, posted, start, length) ? Step::Next : Step::Quit;
    // An article posted by a run that died before it could record so: it
    // is on the server, and would be refused every run.
    if (reply.refused() && isduplicate(reply)) {
        out.console("! Article already on the NNTP server\n");
        return recordsent(out, posted, start, length) ? Step::Next : Step::Quit;
    }
    out.console("! NNTP server did not accept message\n");
    posted.refused();
    // Without an answer the dialogue is out of step and the article's fate
    // unknown: the connection is fit only for closing.
    return reply.refused() ? Step::Next : Step::End;
}

}  // namespace

Result postnews(const Context& run) {
    const Service nntp{"NNTP", run.account.nntp, 119, 563, run.account.cafile, readnntp, nntpcomplain,
                       "(skipping news post)\n"};
    Session session(nntp, run.report);
    bool ready = !run.account.nntp.host.empty();
    if (!ready) run.report.say("NNTP hostname not defined\n");
    PostDialogue dialogue{
        [&session, &run] {
            return nntpopen(session, run.options.check ? "Checking news post to %s...\n" : "Posting news to %s...\n");
        },
        [&session](PostedFile& posted, long start, long length) {
            return postarticle(session, posted, start, length);
        },
        nullptr,
        "+ No REPLIES file found, not posting any news\n",
        "+ No news messages to be posted\n"};
    return postphase(run, session, ready, NEWSKIND, dialogue);
}
