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

class NewsPost : private NewsWords {
public:
    explicit NewsPost(const Context& run)
        : NewsWords(run.report,
                    phaseline(run, run.options.check ? "Checking news post to %s...\n" : "Posting news to %s...\n",
                              "news", false)),
          client(run.account.nntp, run.account.cafile, run.account.tlsfingerprint, *this), tally(run.tally),
          check(run.options.check) {}

    Step open() { return nntpopen(out, client, check); }
    Step post(PostedFile& posted, long start, long length);
    Step signoff() { return nntpsignoff(out, client); }
    Result end(Step how) { return nntpend(out, client, how, "(skipping news post)\n"); }

private:
    void refused(Item item, size_t index, const Reply& reply) override;
    void failed(Item item, size_t index, const Connection& c) override;

    NntpClient client;
    Tally& tally;
    bool check;
    PostedFile* posting = nullptr;  // the file of the article being posted
};

// One article: POST, the text, the server's verdict.
Step NewsPost::post(PostedFile& posted, long start, long length) {
    posting = &posted;
    Verdict verdict;
    Step step = client.post(
        [&](Socket& sock) {
            int sent = sendmessagetext(sock, posted.file, start, length, reportgroups(out));
            if (sent == 0) return TextSent::Whole;
            if (sent == SENDTEXT_SENDFAILED) return TextSent::SendFailed;
            out.say("! Error in message file %s\n", posted.path);
            return TextSent::SourceFailed;
        },
        verdict);
    if (step != Step::Next) return step;
    if (verdict == Verdict::Refused) {
        out.console("! NNTP server did not accept message\n");
        posted.refused();
        return Step::Next;
    }
    if (verdict == Verdict::Duplicate) out.console("! Article already on the NNTP server\n");
    if (!recordsent(out, posted, start, length)) return Step::Quit;
    if (verdict != Verdict::Duplicate) tally.posted++;
    return Step::Next;
}

void NewsPost::refused(Item item, size_t, const Reply& reply) {
    nntpcomplain(out, reply, false);
    // Console only, after the server's own line.
    if (item == Item::Post) out.console("! NNTP server doesn't allow us to post\n");
}

void NewsPost::failed(Item item, size_t index, const Connection& c) {
    NewsWords::failed(item, index, c);
    if (c.stage != Stage::Reply) return;
    if (item == Item::Post) out.console("! NNTP server doesn't allow us to post\n");
    if (item == Item::Posted) {
        out.console("! NNTP server did not accept message\n");
        posting->refused();
    }
}

}  // namespace

Result postnews(const Context& run) {
    if (unconfigured(run, run.account.nntp) && !listsfiles(run, NEWSKIND)) return Result::Done;
    NewsPost news(run);
    bool ready = !run.account.nntp.host.empty();
    if (!ready) run.report.say("NNTP hostname not defined\n");
    PostDialogue dialogue{[&news] { return news.open(); },
                          [&news](PostedFile& posted, long start, long length) {
                              return news.post(posted, start, length);
                          },
                          nullptr,
                          "+ No REPLIES file found, not posting any news\n",
                          "+ No news messages to be posted\n",
                          [&news] { return news.signoff(); },
                          [&news](Step how) { return news.end(how); }};
    return postphase(run, ready, NEWSKIND, dialogue);
}
