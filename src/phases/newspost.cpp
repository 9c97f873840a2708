// The news post phase: every news entry of REPLIES goes to the NNTP server
// of the account that reads its first group, one connection per account,
// one POST per article, sent right behind the text of the article before.
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
std::string newsgroups(const OutgoingMessage& message) {
    for (const std::string& line : message.fields) {
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
std::string firstgroup(const OutgoingMessage& message) {
    std::string groups = newsgroups(message);
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

class NewsPost : private NewsWords {
public:
    explicit NewsPost(const Context& run) : NewsWords(run.report, newspostline(run)), run(run), tally(run.tally) {}
    ~NewsPost() override {
        if (line) line->home();
    }

    Step open();
    Step post(PostedFile& posted, const OutgoingMessage& message);
    // The verdict on the article sent last, where it is still to come.
    Step settle();
    Step signoff();
    void quitahead();
    Result end(Step how);

private:
    Step judge(PostedFile& posted, const OutgoingMessage& message, Verdict verdict);

    void refused(Item item, size_t index, const Reply& reply) override;
    void failed(Item item, size_t index, const Connection& c, const Outcome& failure) override;

    const Context& run;
    std::unique_ptr<NewsOpening> own;
    NewsOpening* line = nullptr;  // the connection posted to, once opened
    NntpClient* use = nullptr;    // its client
    bool borrowed = false;        // the news fetch's, which goes on with it
    Tally& tally;
    PostedFile* posting = nullptr;  // the file of the article being posted
    Reply refusal;                  // of the article posted last
    OutgoingMessage sent;           // the article whose verdict is still to come
};

// The connection the news fetch of the account opened, where it did: the
// fetch goes on with it, and what its opening said is kept for it. Where
// its login was refused the post names that in its own words: the same
// password would only be refused again. Else the one opened ahead for the
// post, which says its lines now, or one opened now.
Step NewsPost::open() {
    ::Opening* ahead = run.openings ? run.openings->find(run.account, Service::Nntp) : nullptr;
    if (ahead && !ahead->shared) {
        line = static_cast<NewsOpening*>(ahead->opener.get());
        run.openings->take(*ahead);
    } else if (ahead) {
        run.openings->borrow(*ahead);
        NewsOpening& fetches = static_cast<NewsOpening&>(*ahead->opener);
        // Failed for another reason, it is tried again on the post's own.
        borrowed = fetches.step == Step::Next || fetches.words.ended().failure == Failure::Login;
        if (borrowed) line = &fetches;
    }
    if (!line) {
        own = std::make_unique<NewsOpening>(run, newspostline(run));
        line = own.get();
        openhere(run, *line);
    }
    use = &line->client;
    use->tell(*this);
    if (!borrowed) {
        // Its opening's failure, told in the opening's words, ends the post.
        last = line->words.ended();
        return line->step;
    }
    const Connection& c = use->connection();
    attend(out, use->connection(), run.options.check);
    opening(Opening::Connect, c);
    if (line->step != Step::Next) failed(Item::Opening, 0, c, line->words.ended());
    return line->step;
}

Result NewsPost::end(Step how) {
    // A connection of the news fetch's whose opening failed is the fetch's
    // to end.
    if (!use || (borrowed && line->step != Step::Next)) {
        out.say("(skipping news post)\n");
        return ended().passing() ? Result::Offline : Result::Ended;
    }
    // Its answer would be taken for QUIT's; a broken connection gives none.
    if (how == Step::Quit && use->awaiting() && !use->connection().sock.Broken()) settle();
    return nntpend(out, *use, how, ended().passing(), "(skipping news post)\n");
}

// One article: its POST (behind the text before, whose verdict comes
// first), the text; its verdict comes with the next article's or at
// settle().
Step NewsPost::post(PostedFile& posted, const OutgoingMessage& message) {
    std::string head;
    if (!addedheaders(run, posted, message, "", head)) return Step::Quit;
    Step step = use->pipelines() ? Step::Next : settle();
    if (step == Step::Next) step = use->askpost();
    if (step == Step::Next) step = settle();
    if (step != Step::Next) return step;
    posting = &posted;
    sent = message;
    return use->sendtext([&](Socket& sock) {
        int result = sendmessagetext(sock, message.file, message.start, message.length, reportgroups(out), -1, head);
        if (result == 0) return TextSent::Whole;
        if (result == SENDTEXT_SENDFAILED) return TextSent::SendFailed;
        out.say("! Error in message file %s\n", posted.path.c_str());
        return TextSent::SourceFailed;
    });
}

Step NewsPost::settle() {
    if (!use || !use->awaiting()) return Step::Next;
    Verdict verdict;
    Step step = use->verdict(verdict);
    return step == Step::Next ? judge(*posting, sent, verdict) : step;
}

// QUIT goes behind the last text where the server takes commands ahead.
// The news fetch goes on with a borrowed connection.
void NewsPost::quitahead() {
    if (!borrowed && use && use->awaiting() && use->pipelines()) use->quitahead();
}

Step NewsPost::signoff() {
    quitahead();
    Step step = settle();
    return borrowed || step != Step::Next ? step : nntpsignoff(out, *use);
}

// What the server said to the article.
Step NewsPost::judge(PostedFile& posted, const OutgoingMessage& message, Verdict verdict) {
    if (verdict == Verdict::Refused) {
        out.say("! %s NNTP server did not accept message\n",
                lettername(posted, message, firstgroup(message)).c_str());
        // The article's own refusal: it is given up, and the post goes on.
        GivenUpLetter letter{run.account.nntp.host, replylines(refusal), {newsgroups(message)}, "", 0};
        if (run.options.test || !givenup(run, posted, message, letter)) posted.refused(message.start);
        return Step::Next;
    }
    if (verdict == Verdict::Duplicate) out.say("! Article already on the NNTP server\n");
    if (!recordsent(out, posted, message)) return Step::Quit;
    if (verdict != Verdict::Duplicate) tally.posted++;
    return Step::Next;
}

void NewsPost::refused(Item item, size_t, const Reply& reply) {
    if (item == Item::Posted) refusal = reply;
    nntpcomplain(out, reply, false);
    // After the server's own line.
    if (item == Item::Post) out.say("! NNTP server doesn't allow us to post\n");
}

void NewsPost::failed(Item item, size_t index, const Connection& c, const Outcome& failure) {
    NewsWords::failed(item, index, c, failure);
    if (failure.stage != Stage::Reply) return;
    // A connection lost before the answer refused nothing: the reason said
    // so, and the article's file stays all the same.
    bool said = failure.failure != Failure::Network;
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
    int route(PostedFile& posted, const OutgoingMessage& message, std::string& why);

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
int NewsRoutes::route(PostedFile& posted, const OutgoingMessage& message, std::string& why) {
    std::string group = firstgroup(message);
    const Account* by = nullptr;
    int i = routeto(settings, accounts, [this, &group](const Account& a) { return !group.empty() && lists(a, group); },
                    by);
    if (i >= 0) return i;
    if (by->nntp.host.empty())
        why = "! " + lettername(posted, message, group) + " No account posts to " + group + " - article kept\n";
    else
        why = "! " + lettername(posted, message, group) + " Article to " + group + " goes by account " +
              by->name + ", not in this run - article kept\n";
    return -1;
}

// The run's route of articles through routes; empty where it does not
// route.
PostRoute newsroute(const Context& run, NewsRoutes& routes) {
    if (!run.accounts) return nullptr;
    return [&routes](PostedFile& posted, const OutgoingMessage& message, std::string& why) {
        return routes.route(posted, message, why);
    };
}

// The news post's dialogues: an NNTP client for each account that posts,
// articles routed by their first group; one article at a time.
class NewsDialogue final : public PostDialogue {
public:
    NewsDialogue(std::vector<std::unique_ptr<NewsPost>>& news, PostRoute routing)
        : news(news), routing(std::move(routing)) {}
    size_t accounts() const override { return news.size(); }
    const PostRoute& route() const override { return routing; }
    Step open(size_t i) override { return news[i]->open(); }
    Step post(size_t i, PostedFile& posted, const OutgoingMessage& message) override {
        return news[i]->post(posted, message);
    }
    const char* noreplies() const override { return "+ No REPLIES file found, not posting any news\n"; }
    const char* nothingposted() const override { return "+ No news messages to be posted\n"; }
    Step settle(size_t i) override { return news[i]->settle(); }
    Step signoff(size_t i) override { return news[i]->signoff(); }
    void quitahead(size_t i) override { news[i]->quitahead(); }
    Result end(size_t i, Step how) override { return news[i]->end(how); }

private:
    std::vector<std::unique_ptr<NewsPost>>& news;
    PostRoute routing;
};

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
    NewsDialogue dialogue(news, newsroute(run, routes));
    return postphase(run, ready, NEWSKIND, dialogue);
}

// Every account an article goes by (a check run: every one) whose news
// fetch opens no connection opens one for the post.
void opennewspostahead(const Context& run) {
    std::vector<Context> accounts = postaccounts(run, &Account::nntp);
    NewsRoutes routes(run.settings, accounts);
    std::vector<size_t> order;
    if (run.options.check)
        for (size_t i = 0; i < accounts.size(); i++) order.push_back(i);
    else
        order = postplan(run, NEWSKIND, newsroute(run, routes));
    for (size_t i : order) {
        if (accounts[i].account.nntp.host.empty()) continue;
        run.openings->start(accounts[i], Service::Nntp,
                            [](const Context& own) { return std::make_unique<NewsOpening>(own, newspostline(own)); });
    }
}
