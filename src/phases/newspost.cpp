// The news post phase: every news entry of REPLIES goes to the NNTP server
// of the account that reads its first group, one connection per account,
// one POST per article.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/text.h"
#include "phases/shared.h"
#include "proto/nntp.h"

namespace {

bool iswhite(char c) { return c == ' ' || c == '\t'; }

// The value of the article's "Newsgroups:" line, without its line end;
// empty when it has none.
std::string newsgroups(FILE* file, long start, long length) {
    if (fseek(file, start, SEEK_SET) != 0) return "";
    std::string line;
    while (readmessageline(file, length, line) && line != "\n" && line != "\r\n") {
        const size_t tag = 11;
        if (line.size() < tag || memicmp(line.c_str(), "Newsgroups:", tag) != 0) continue;
        size_t from = line.find_first_not_of(" \t", tag);
        if (from == std::string::npos) return "";
        return line.substr(from, line.find_last_not_of(" \t\r\n") + 1 - from);
    }
    return "";
}

// The first group of the article's "Newsgroups:" line; empty when it has
// none.
std::string firstgroup(FILE* file, long start, long length) {
    std::string groups = newsgroups(file, start, length);
    return groups.substr(0, groups.find_first_of(", \t"));
}

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

std::string postline(const Context& run) {
    return phaseline(run, run.options.check ? "Checking news post to %s...\n" : "Posting news to %s...\n", "news",
                     false);
}

class NewsPost : private NewsWords {
public:
    explicit NewsPost(const Context& run)
        : NewsWords(run.report, postline(run)), run(run),
          client(run.account.nntp, run.account.cafile, run.account.tlsfingerprint, *this), tally(run.tally) {}

    // The connection the news fetch of the account opened, where it did:
    // the fetch goes on with it. Else the one opened ahead for the post,
    // which says its opening's lines now.
    Step open() {
        NntpClient* lent = borrowed(run);
        Step step = Step::Next;
        if (!lent && run.turn && (lent = run.turn->claim(step))) fetches = false;
        if (!lent) return nntpopen(run, client);
        use = lent;
        use->tell(*this);
        attend(out, use->connection(), run.options.check);
        if (fetches) opening(Opening::Connect, use->connection());
        return step;
    }
    Step post(PostedFile& posted, long start, long length);
    Step signoff() { return use == &client || !fetches ? nntpsignoff(out, *use) : Step::Next; }
    Result end(Step how) { return nntpend(out, *use, how, "(skipping news post)\n"); }

private:
    void refused(Item item, size_t index, const Reply& reply) override;
    void failed(Item item, size_t index, const Connection& c) override;

    const Context& run;
    NntpClient client;
    NntpClient* use = &client;  // the connection posted to
    bool fetches = true;        // a connection lent is the news fetch's
    Tally& tally;
    PostedFile* posting = nullptr;  // the file of the article being posted
    Reply refusal;                  // of the article posted last
};

// One article: POST, the text, the server's verdict.
Step NewsPost::post(PostedFile& posted, long start, long length) {
    posting = &posted;
    Verdict verdict;
    Step step = use->post(
        [&](Socket& sock) {
            int sent = sendmessagetext(sock, posted.file, start, length, reportgroups(out));
            if (sent == 0) return TextSent::Whole;
            if (sent == SENDTEXT_SENDFAILED) return TextSent::SendFailed;
            out.say("! Error in message file %s\n", posted.path.c_str());
            return TextSent::SourceFailed;
        },
        verdict);
    if (step != Step::Next) return step;
    if (verdict == Verdict::Refused) {
        out.say("! %s NNTP server did not accept message\n",
                lettername(posted, start, length, firstgroup(posted.file, start, length)).c_str());
        // The article's own refusal: it is given up, and the post goes on.
        GivenUpLetter letter{run.account.nntp.host, replylines(refusal), {newsgroups(posted.file, start, length)}, "", 0};
        if (run.options.test || !givenup(run, posted, start, length, letter)) posted.refused(start);
        return Step::Next;
    }
    if (verdict == Verdict::Duplicate) out.say("! Article already on the NNTP server\n");
    if (!recordsent(out, posted, start, length)) return Step::Quit;
    if (verdict != Verdict::Duplicate) tally.posted++;
    return Step::Next;
}

void NewsPost::refused(Item item, size_t, const Reply& reply) {
    if (item == Item::Posted) refusal = reply;
    nntpcomplain(out, reply, false);
    // After the server's own line.
    if (item == Item::Post) out.say("! NNTP server doesn't allow us to post\n");
}

void NewsPost::failed(Item item, size_t index, const Connection& c) {
    NewsWords::failed(item, index, c);
    if (c.stage != Stage::Reply) return;
    // A connection lost before the answer refused nothing: the reason said
    // so, and the article's file stays all the same.
    bool said = c.failure != Failure::Network;
    if (item == Item::Post && said) out.say("! NNTP server doesn't allow us to post\n");
    if (item == Item::Posted) {
        if (said) out.say("! NNTP server did not accept message\n");
        posting->refused();
    }
}

// The groups each account's newsgroups state file lists, read at the first
// article that asks.
class NewsRoutes {
public:
    NewsRoutes(const Settings& settings, const std::vector<Context>& accounts)
        : settings(settings), accounts(accounts) {}
    int route(PostedFile& posted, long start, long length, std::string& why);

private:
    bool lists(const Account& account, const std::string& group);

    const Settings& settings;
    const std::vector<Context>& accounts;
    std::vector<std::vector<std::string>> groups;  // of settings.accounts, once read
};

bool NewsRoutes::lists(const Account& account, const std::string& group) {
    if (groups.empty()) {
        for (const Account& a : settings.accounts) {
            std::vector<std::string> names;
            StateFile state;
            std::string line;
            if (!a.nntp.host.empty() && state.open(a.newsgroups) == StateFile::Ready)
                while (state.next(line) == StateFile::Line) names.push_back(GroupLine(line).name);
            groups.push_back(std::move(names));
        }
    }
    const std::vector<std::string>& names = groups[static_cast<size_t>(&account - &settings.accounts.front())];
    for (const std::string& name : names)
        if (name == group) return true;
    return false;
}

// The first account with a news server whose state file lists the first
// group, else the default one.
int NewsRoutes::route(PostedFile& posted, long start, long length, std::string& why) {
    std::string group = firstgroup(posted.file, start, length);
    const Account* by = nullptr;
    int i = routeto(settings, accounts, [this, &group](const Account& a) { return !group.empty() && lists(a, group); },
                    by);
    if (i >= 0) return i;
    if (by->nntp.host.empty())
        why = "! " + lettername(posted, start, length, group) + " No account posts to " + group + " - article kept\n";
    else
        why = "! " + lettername(posted, start, length, group) + " Article to " + group + " goes by account " +
              by->name + ", not in this run - article kept\n";
    return -1;
}

// The run's route of articles through routes; empty where it does not
// route.
PostRoute newsroute(const Context& run, NewsRoutes& routes) {
    if (!run.accounts) return nullptr;
    return [&routes](PostedFile& posted, long start, long length, std::string& why) {
        return routes.route(posted, start, length, why);
    };
}

}  // namespace

Result postnews(const Context& run) {
    std::vector<Context> accounts = postaccounts(run, &Account::nntp);
    const Account& first = accounts.front().account;
    if (unconfigured(run, first.nntp) && !listsfiles(run, NEWSKIND)) return Result::Done;
    bool ready = !first.nntp.host.empty();
    if (!ready) run.report.say("NNTP hostname not defined\n");
    std::vector<std::unique_ptr<NewsPost>> news;
    for (const Context& account : accounts) news.push_back(std::make_unique<NewsPost>(account));
    NewsRoutes routes(run.settings, accounts);
    PostDialogue dialogue{accounts.size(),
                          nullptr,
                          [&news](size_t i) { return news[i]->open(); },
                          [&news](size_t i, PostedFile& posted, long start, long length) {
                              return news[i]->post(posted, start, length);
                          },
                          nullptr,
                          "+ No REPLIES file found, not posting any news\n",
                          "+ No news messages to be posted\n",
                          [&news](size_t i) { return news[i]->signoff(); },
                          [&news](size_t i, Step how) { return news[i]->end(how); },
                          nullptr};
    dialogue.route = newsroute(run, routes);
    // Every account that posts and has no news connection opened ahead
    // opens one now, claimed at its first article. After news: dropped
    // before it.
    std::vector<std::unique_ptr<Ahead>> aheads;
    dialogue.ahead = [&](const std::vector<size_t>& order) {
        for (size_t i : order) {
            Context& account = accounts[i];
            if (account.turn || lender(account)) continue;
            aheads.push_back(std::make_unique<Ahead>(account));
            aheads.back()->start([](const Context& own) { opennewspost(own); });
            account.turn = &aheads.back()->turn;
        }
    };
    return postphase(run, ready, NEWSKIND, dialogue);
}

namespace {

// Whether an article of REPLIES goes by the account of run.
bool postsnews(const Context& run) {
    std::vector<Context> accounts = postaccounts(run, &Account::nntp);
    NewsRoutes routes(run.settings, accounts);
    size_t mine = 0;
    while (mine < accounts.size() && &accounts[mine].account != &run.account) mine++;
    return poststo(run, NEWSKIND, newsroute(run, routes), mine);
}

}  // namespace

Result opennewspost(const Context& run) {
    if (run.account.nntp.host.empty() || (!run.options.check && !postsnews(run))) return Result::Done;
    NewsWords words(run.report, postline(run));
    NntpClient client(run.account.nntp, run.account.cafile, run.account.tlsfingerprint, words);
    Step step = nntpopen(run, client);
    // Dropped unclaimed: ended without a word.
    if (!run.turn->hand(client, step)) client.close(step == Step::Quit);
    return Result::Done;
}
