// The news fetch phase: the new articles of every group named in the
// newsgroups state file go into one packet message file per group, the
// newsgroup list is saved first on request, the new mark of every group that
// added a file goes to the state file's journal, and the state file is
// replaced by one with the new marks at the end. Over a slow link the
// waiting is what costs: every group's GROUP goes out in one flight, then
// the GROUPs and ARTICLEs of all groups with something to fetch as one
// pipelined stream. A group whose range is mostly gaps has its article
// numbers listed in between, so that only the articles present are asked
// for.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/progress.h"
#include "core/text.h"
#include "phases/newsscore.h"
#include "phases/shared.h"
#include "proto/nntp.h"

namespace {

// A server's count above this keeps no more article numbers of one
// LISTGROUP answer.
const long maxlisted = 1L << 24;

// The files fetched get their names and AREAS lines, and the marks
// journaled are synced, this often, or for this many groups, not after
// every group: a sync costs more than a group of a few articles. A kill
// loses none of them (the next run completes them); a crash at most these.
const std::chrono::milliseconds kCommitEvery{1000};
const size_t kCommitGroups = 256;

// done * 100 / size for done < size, free of overflow.
int percentof(uint64_t done, uint64_t size) {
    return static_cast<int>(static_cast<unsigned __int128>(done) * 100 / size);
}

// NEWSFIRST and NEWSMAX: the part of the numbers asked for in this run. A
// group's first fetch (fresh) takes only its newest newsfirst numbers, and
// at most newsmax numbers are asked for, the oldest first. Writes what was
// left out into said for the group's report line; true when newsmax cut
// them, so that the mark follows what was asked.
bool boundrange(ArticleNumbers& asked, bool fresh, long newsfirst, long newsmax, std::string& said) {
    uint64_t n = asked.size();
    if (n == 0) return false;
    bool newest = fresh && newsfirst > 0 && n > static_cast<uint64_t>(newsfirst);
    if (newest) {
        asked.keep(n - static_cast<uint64_t>(newsfirst), static_cast<uint64_t>(newsfirst));
        n = static_cast<uint64_t>(newsfirst);
    }
    bool cut = newsmax > 0 && n > static_cast<uint64_t>(newsmax);
    if (cut) {
        asked.keep(0, static_cast<uint64_t>(newsmax));
        said = ", fetching " + std::to_string(newsmax) + " of them (" + std::to_string(asked.at(0)) + "-" +
               std::to_string(asked.at(asked.size() - 1)) + ")";
    } else if (newest) {
        said = ", fetching the newest " + std::to_string(newsfirst);
    }
    return cut;
}

// One line of the state file, and what the first flight learnt of its
// group.
struct Entry {
    Entry(long lineno, bool toolong, const std::string& line) : lineno(lineno), toolong(toolong), group(line) {}

    // Whether its group is selected: a line of its own naming a group.
    bool selects() const { return !toolong && twinof == 0; }

    long lineno;
    bool toolong;     // longer than kLineMax: names no group, kept as it is
    long twinof = 0;  // the earlier line naming the same group, merged into it
    GroupLine group;
    Reply reply;              // to the first flight's GROUP
    GroupRange range{"", 0};  // what the reply offers beyond the mark
    bool sparse = false;      // far more numbers than articles: LISTGROUP asked
    ArticleNumbers asked;     // of the range, those asked for in this run
    bool cut = false;         // NEWSMAX cut asked
    std::string said;         // what NEWSFIRST and NEWSMAX left out, in words
    std::string unlisted;     // the line that says LISTGROUP was refused
    bool streamed = false;    // its commands are in the stream
    bool groupsent = false;   // the stream selects it with a GROUP of its own
    long lastasked = 0;       // the last number asked for before scoring
    Overview overview;        // of a scored group
};

class NewsFetch : private NewsWords {
public:
    // line: the connection, opened ahead where ahead is its opening.
    NewsFetch(const Context& run, NewsOpening& line, ::Opening* ahead)
        : NewsWords(run.report, newsfetchline(run)), run(run), line(line), ahead(ahead) {}
    ~NewsFetch() override { client.tellhome(); }
    Result fetch();

private:
    Step open();
    void done(Item item, size_t index, const Reply& reply) override;
    void refused(Item item, size_t index, const Reply& reply) override;
    void failed(Item item, size_t index, const Connection& c, const Outcome& failure) override;

    bool preconditions();
    Step fetchlist();
    bool readstate();
    Step selectall();
    void plan(Entry& entry);
    Step listsparse();
    void bound(Entry& entry);
    void lost(const Entry& entry, const Connection& c, const Outcome& failure, const char* what);
    void startstream();
    Step fetchgroup(Entry& entry);
    Step fetcharticles(Entry& entry, long& high, IncomingFile& message);
    Step receivearticle(IncomingFile& message, Entry& entry, const Reply& reply, bool& stored);
    NntpClient::Listing overviewof(Entry& entry, long first, long last, size_t most);
    void score(Entry& entry);
    bool skip(size_t group, long number);
    void writestate(const GroupLine& group, long high);
    Step markstate(long number, long size);
    Step commit(bool last = false);
    bool syncpacket();
    void saystate(StateFile::Replaced failed);
    Result signoff();
    Result keepfinished(Step how);
    Step replacestate();
    Result cleanup(Step how);
    Step cannotwrite(const char* path, const char* reason, Step how = Step::Quit);

    const Context& run;
    const RunOptions& options = run.options;
    const std::string& soupdir = run.settings.soupdir;
    const std::string& newsgroupsfile = run.account.newsgroups;
    NewsOpening& line;
    ::Opening* const ahead;
    NntpClient& client = line.client;
    StateFile state;
    bool replacing = true;  // false after a failed replacement: no second try
    bool unsynced = false;  // a file was added since the packet directory was synced
    long nextnumber = 0;    // of the packet's files: those below are taken
    // The files fetched since the last commit, set aside as "%08lX.NWS",
    // and their groups.
    struct Fetched {
        long number;
        std::string area;
    };
    std::vector<Fetched> pending;
    // The last commit.
    std::chrono::steady_clock::time_point committed = std::chrono::steady_clock::now();
    std::vector<Entry> entries;
    // The entries of the flight under way, in the order of its commands.
    std::vector<Entry*> flight;
    // The entries before the first whose GROUP asks for a login: the fetch
    // ends there.
    size_t stop = 0;
    // The entry whose group the server has selected when the stream begins.
    const Entry* selected = nullptr;
    // The entry whose group the stream is at.
    const Entry* current = nullptr;
    bool listed = false;  // the server sends the newsgroup list
    bool listcut = false;  // the list was cut off
    long articles = 0;    // stored of the current group
    long dropped = 0;     // of the current group, killed or stored in another
    // CROSSPOSTS once: what this run asked for and stored, by Message-ID
    // and Xref.
    const bool once = run.account.crossposts != "each";
    bool registering = false;  // once, and more than one group in the stream
    CrossPosts crossposts;
    std::vector<Entry*> streamed;  // the stream's groups, in its order
    const time_t now = std::time(nullptr);

    // Progress of the current group, its average from the first byte on.
    Progress progress{out, 0};
};

Result NewsFetch::fetch() {
    // Nothing was opened here: one opened ahead is the run's to end.
    if (!preconditions()) {
        out.say("(skipping news fetch)\n");
        return Result::Ended;
    }
    Step step = open();
    if (step != Step::Next) return cleanup(step);
    if (options.list && !options.check && fetchlist() != Step::Next) return cleanup(Step::Quit);
    if (!readstate()) return cleanup(Step::Quit);
    step = selectall();
    if (step == Step::Next) step = listsparse();
    if (step != Step::Next) return cleanup(step);
    startstream();
    for (Entry& entry : entries) {
        step = fetchgroup(entry);
        // Interrupted: the commands in flight are not worth their answers.
        if (step == Step::Next && run.interrupts.taken()) step = Step::End;
        if (step != Step::Next) return keepfinished(step);
    }
    return signoff();
}

// Taken at the phase's turn where it was opened ahead, else opened now;
// from then on what the server answers is the fetch's.
Step NewsFetch::open() {
    if (ahead) run.openings->take(*ahead);
    else openhere(run, line);
    client.tell(*this);
    // Its opening's failure, told in the opening's words, ends the fetch.
    last = line.words.ended();
    return line.step;
}

bool NewsFetch::preconditions() {
    if (run.account.nntp.host.empty()) {
        out.say("NNTP hostname not defined\n");
        return false;
    }
    if (!options.test) removeleftovers(newsgroupsfile.c_str(), "TMP");
    StateFile::Opened opened = state.open(newsgroupsfile);
    if (opened != StateFile::Ready) {
        out.say(opened == StateFile::Missing ? "Newsgroups list file %s not found\n"
                                             : "Newsgroups list file %s is not a regular file\n",
                newsgroupsfile.c_str());
        return false;
    }
    if (options.test) return true;
    // The marks of a run killed before it replaced the state file.
    StateFile::Replaced recovered = state.recover(soupdir);
    if (recovered != StateFile::Saved) {
        saystate(recovered);
        return false;
    }
    // What a run killed in the middle of a fetch left behind, and its
    // journal did not claim.
    removeleftovers(soupdir.c_str(), "PRT");
    removeleftovers(soupdir.c_str(), "NWS");
    // A state file that cannot be replaced is found out before anything is
    // fetched.
    if (!state.prepare()) {
        out.say("Temporary file %s can't be written: %s\n", state.temppath(), state.reason());
        return false;
    }
    return true;
}

// LIST or NEWGROUPS into the list file: one group name a line, marked when
// the server's flag says posting is not allowed.
Step NewsFetch::fetchlist() {
    const char* listfile = options.listfile.c_str();
    DurableFile list;
    if (!list.open(listfile, "w")) {
        out.say("Cannot write to newsgroup list file %s\n", listfile);
        return Step::Next;
    }
    if (options.listyear == 0) {
        out.say("* Fetching newsgroup list into %s\n", listfile);
    } else {
        out.say("* Fetching new newsgroups since %02u-%02u-%02u %02u:%02u:%02u into %s\n", options.listyear % 100,
                options.listmonth, options.listday, options.listhour, options.listmin, options.listsec, listfile);
    }
    NewsDate since{options.listyear, options.listmonth, options.listday,
                   options.listhour, options.listmin,   options.listsec};
    Step step = client.newsgroups(since, [&list](const char* p, size_t n, bool linestart) {
        // The rest of a line longer than the line buffer: its name is stored.
        if (!linestart) return true;
        if (*p == '.') {
            p++;
            n--;
        }
        bool noposting = false;
        if (const char* cr = static_cast<const char*>(std::memchr(p, '\r', n))) {
            n = static_cast<size_t>(cr - p);
            noposting = n > 0 && (p[n - 1] == 'n' || p[n - 1] == 'N');
        } else if (const char* lf = static_cast<const char*>(std::memchr(p, '\n', n))) {
            n = static_cast<size_t>(lf - p);
        }
        if (const char* blank = static_cast<const char*>(std::memchr(p, ' ', n))) n = static_cast<size_t>(blank - p);
        list.write(p, n);
        if (noposting) list.write(" [no posting]", 13);
        list.write("\n", 1);
        return true;
    });
    // What came of a list cut off is kept.
    if (listcut) list.commit();
    else if (listed && !list.commit()) out.say("Cannot write to newsgroup list file %s\n", listfile);
    return step;
}

// The whole state file, before the first GROUP goes out. A group named
// again is fetched once: its first line takes the lowest and the highest
// mark of all, and the later lines go.
bool NewsFetch::readstate() {
    std::string line;
    std::unordered_map<std::string, size_t> first;
    for (;;) {
        StateFile::Read read = state.next(line);
        if (read == StateFile::End) return true;
        if (read == StateFile::ReadError) {
            // A state file read only in part must not be replaced by its first half.
            out.say("Newsgroups list file %s can't be read\n", newsgroupsfile.c_str());
            return false;
        }
        // A name ends at a NUL byte, as it always did.
        bool toolong = read == StateFile::TooLong;
        entries.emplace_back(state.lineno(), toolong, toolong ? "" : line.c_str());
        if (toolong) continue;
        Entry& entry = entries.back();
        auto [named, fresh] = first.emplace(entry.group.name, entries.size() - 1);
        if (fresh) continue;
        Entry& earlier = entries[named->second];
        entry.twinof = earlier.lineno;
        earlier.group.low = std::min(earlier.group.low, entry.group.low);
        earlier.group.high = std::max(earlier.group.high, entry.group.high);
    }
}

// The first flight: GROUP of every group sent ahead, each answer kept for
// the group's turn. Without an answer nothing was fetched yet: only that
// group is reported, and every line stays as it is.
Step NewsFetch::selectall() {
    std::vector<std::string> names;
    flight.clear();
    for (Entry& entry : entries) {
        if (!entry.selects()) continue;
        names.push_back(entry.group.name);
        flight.push_back(&entry);
    }
    Step step = client.select(names);
    if (step != Step::Next) return step;
    stop = 0;
    while (stop < entries.size() && !(entries[stop].reply.refused() && needslogin(entries[stop].reply))) stop++;
    return Step::Next;
}

// What the group's answer offers beyond its mark.
void NewsFetch::plan(Entry& entry) {
    if (!entry.reply.ok()) return;
    if (run.account.scores) entry.overview.rules = run.account.scores->forgroup(entry.group.name);
    entry.range = GroupRange(entry.reply.text.c_str(), entry.group.high);
    const GroupRange& range = entry.range;
    if (!range.valid || range.count == 0) return;
    __int128 span = static_cast<__int128>(range.last) - range.first + 1;
    entry.sparse = span > static_cast<__int128>(range.estimate) * 2 + 1000;
}

// LISTGROUP for every group whose range is mostly gaps, and the overview
// of every scored group (of the numbers it asks for, or of its range when
// that is mostly gaps), in one flight between the GROUPs and the stream;
// then what each group asks for.
Step NewsFetch::listsparse() {
    std::vector<NntpClient::Listing> listings;
    flight.clear();
    for (size_t i = 0; i < stop; i++) {
        Entry& entry = entries[i];
        const GroupRange& range = entry.range;
        bool scored = !entry.overview.rules.empty() && !options.check;
        if (scored && !entry.sparse && entry.reply.ok() && range.valid && range.count > 0) {
            bound(entry);
            const ArticleNumbers& asked = entry.asked;
            if (asked.size() == 0) continue;
            listings.push_back(overviewof(entry, asked.at(0), asked.at(asked.size() - 1), 0));
            flight.push_back(&entry);
            continue;
        }
        if (!entry.sparse) continue;
        // More numbers than that would not have made the range sparse; the
        // rest waits for the next run.
        size_t most = static_cast<size_t>(std::min(range.estimate, maxlisted)) * 2 + 1000;
        if (scored) listings.push_back(overviewof(entry, range.first, range.last, most));
        else listings.push_back({entry.group.name, range.first, range.last, most, &entry.asked.listed});
        flight.push_back(&entry);
    }
    Step step = client.list(listings);
    if (step != Step::Next) return step;
    for (Entry& entry : entries) {
        bound(entry);
        score(entry);
    }
    return Step::Next;
}

// The overview of first to last of a scored group, each line scored as
// it comes; of a range that is mostly gaps, the numbers listed too (at
// most most of them).
NntpClient::Listing NewsFetch::overviewof(Entry& entry, long first, long last, size_t most) {
    auto take = [this, &entry, first, last, most](const char* line, size_t len) {
        Overview& overview = entry.overview;
        size_t before = overview.lines.size();
        overview.take(line, len, first, last, now);
        std::vector<long>& listed = entry.asked.listed;
        if (!entry.sparse || overview.lines.size() == before || listed.size() >= most) return;
        long number = overview.lines.back().number;
        if (listed.empty() || number > listed.back()) listed.push_back(number);
    };
    return {entry.group.name, first, last, most, nullptr, take};
}

// Of a scored group's numbers only those the overview scored high enough
// are asked for; without an overview, the articles are scored on their
// headers as they come.
void NewsFetch::score(Entry& entry) {
    Overview& overview = entry.overview;
    if (!entry.streamed || overview.rules.empty()) return;
    if (!overview.came) {
        overview.onheaders = true;
        return;
    }
    overview.keep(entry.asked, run.account.scoremin);
    entry.streamed = entry.asked.size() > 0;
}

void NewsFetch::done(Item item, size_t index, const Reply& reply) {
    if (item == Item::Newsgroups) listed = true;
    if (item == Item::Select) {
        Entry& entry = *flight[index];
        entry.reply = reply;
        plan(entry);
        selected = &entry;
    }
    if (item == Item::Listing) {
        flight[index]->asked.listing = true;
        selected = flight[index];
    }
    if (item == Item::Overview) {
        Entry& entry = *flight[index];
        entry.overview.came = true;
        if (entry.sparse) entry.asked.listing = true;
        selected = &entry;
    }
}

void NewsFetch::refused(Item item, size_t index, const Reply& reply) {
    switch (item) {
    case Item::Newsgroups:
        nntpcomplain(out, reply, false);
        if (!needslogin(reply)) out.say("! Wasn't able to retrieve newsgroup list - skipping\n");
        return;
    case Item::Select:
        // Reported at the group's turn.
        flight[index]->reply = reply;
        selected = flight[index];
        return;
    case Item::Listing:
        selected = nullptr;
        return;
    case Item::Overview:
        // No overview here: the articles are scored on their headers.
        selected = flight[index];
        return;
    case Item::Reselect:
        nntpcomplain(out, reply, false);
        return;
    default:
        // A missing article is passed over.
        return;
    }
}

void NewsFetch::failed(Item item, size_t index, const Connection& c, const Outcome& failure) {
    last = failure;
    switch (item) {
    case Item::Newsgroups:
        if (failure.stage == Stage::Text) {
            listcut = true;
            out.say("Error fetching newsgroup list\n");
            return;
        }
        sayfailure(out, c, failure, nntpcomplain);
        out.say("! Wasn't able to retrieve newsgroup list - skipping\n");
        return;
    case Item::Select:
        lost(*flight[index], c, failure, "select newsgroup");
        return;
    case Item::Listing:
        lost(*flight[index], c, failure, "list the articles of newsgroup");
        return;
    case Item::Overview:
        lost(*flight[index], c, failure, "get the overview of newsgroup");
        return;
    case Item::Reselect:
        sayfailure(out, c, failure, nntpcomplain);
        out.say("! Wasn't able to select newsgroup %s - skipping\n", current->group.name.c_str());
        return;
    case Item::Article:
    case Item::Discarded:
        // A failed send is said at once; the meter was not erased for it.
        sayfailure(out, c, failure, nntpcomplain);
        if (failure.stage == Stage::Send) return;
        // The answers of a refused group run no meter of their own.
        if (item == Item::Article || failure.stage != Stage::Text) progress.meter.erase();
        out.say("Unable to fetch message\n");
        return;
    default:
        NewsWords::failed(item, index, c, failure);
    }
}

// The numbers of the group's range asked for in this run: the articles
// present when they were listed, else the newest of the range, as many as
// the server's count when the range is mostly gaps; bound by NEWSFIRST and
// NEWSMAX.
void NewsFetch::bound(Entry& entry) {
    GroupRange& range = entry.range;
    if (!entry.reply.ok() || !range.valid || range.count == 0) return;
    ArticleNumbers& asked = entry.asked;
    if (asked.listing) {
        range.count = static_cast<long>(asked.listed.size());
    } else {
        asked.first = range.first;
        asked.last = range.last;
        if (entry.sparse) {
            range.count = std::min(range.count, range.estimate);
            if (range.count == 0) return;
            asked.keep(asked.size() - static_cast<uint64_t>(range.count), static_cast<uint64_t>(range.count));
            entry.unlisted = "! The server lists no article numbers of " + entry.group.name +
                             ": asking only for the newest " + std::to_string(range.count) + " (" +
                             std::to_string(asked.first) + "-" + std::to_string(asked.last) + ")\n";
        }
    }
    const GroupLine& group = entry.group;
    // No mark, or one below the server's first article: a first fetch.
    bool fresh = group.high == 0 || range.first > group.high + 1;
    entry.cut = boundrange(asked, fresh, run.account.newsfirst, run.account.newsmax, entry.said);
    if (asked.size() > 0) entry.lastasked = asked.at(asked.size() - 1);
    // A check run only counts.
    entry.streamed = !options.check && asked.size() > 0;
}

// No answer before anything was fetched: only that group is reported, and
// every line stays as it is. A failed send was said at once.
void NewsFetch::lost(const Entry& entry, const Connection& c, const Outcome& failure, const char* what) {
    const char* name = entry.group.name.c_str();
    bool send = failure.stage == Stage::Send;
    if (send) sayfailure(out, c, failure, nntpcomplain);
    out.say(options.check ? "* Checking %s\n" : "* Fetching %s\n", name);
    if (!send) sayfailure(out, c, failure, nntpcomplain);
    out.say("! Wasn't able to %s %s - skipping\n", what, name);
}

// The stream ends before a group that asks for a login: the fetch ends
// there. The group selected last needs no GROUP again when the stream
// begins with it.
void NewsFetch::startstream() {
    std::vector<NntpClient::Streamed> groups;
    for (size_t i = 0; i < entries.size(); i++) {
        Entry& entry = entries[i];
        entry.streamed = entry.streamed && i < stop;
        if (!entry.streamed) continue;
        entry.groupsent = !groups.empty() || &entry != selected;
        groups.push_back({entry.group.name, entry.groupsent, &entry.asked});
        streamed.push_back(&entry);
    }
    // One group has no cross-posts to another.
    registering = once && streamed.size() > 1;
    NntpClient::Skip skipping = nullptr;
    if (registering) skipping = [this](size_t group, long number) { return skip(group, number); };
    client.stream(std::move(groups), std::move(skipping));
}

// As its ARTICLE is due: an article asked for or stored in another group
// of this run is passed over.
// So is one whose overview's Xref names it in a group the stream asked
// for it before.
bool NewsFetch::skip(size_t group, long number) {
    const Entry& entry = *streamed[group];
    const std::string& name = entry.group.name;
    const Overview::Line* line = entry.overview.came ? entry.overview.find(number) : nullptr;
    if (!line) return crossposts.elsewhere(name, number, "");
    auto before = [this, group](const std::string& other, long n) {
        for (size_t i = 0; i < group; i++)
            if (streamed[i]->group.name == other && holds(streamed[i]->asked, n)) return true;
        return false;
    };
    if (crossposts.elsewhere(name, number, line->messageid) || CrossPosts::named(line->xref, name, before))
        return true;
    crossposts.asked(name, line->messageid);
    return false;
}

Step NewsFetch::fetchgroup(Entry& entry) {
    if (entry.toolong) {
        out.say("! Line %ld of %s is longer than %zu bytes - kept as it is\n", entry.lineno, newsgroupsfile.c_str(),
                kLineMax);
        state.keep();
        return Step::Next;
    }
    const GroupLine& group = entry.group;
    const char* name = group.name.c_str();
    if (entry.twinof != 0) {
        out.say("! Line %ld of %s names %s again - merged into line %ld\n", entry.lineno, newsgroupsfile.c_str(),
                name, entry.twinof);
        state.replace("");
        return Step::Next;
    }
    out.say(options.check ? "* Checking %s\n" : "* Fetching %s\n", name);

    const Reply& reply = entry.reply;
    if (!reply.ok()) nntpcomplain(out, reply, false);
    // Every other group would be refused the same way.
    if (reply.refused() && needslogin(reply)) return Step::Quit;
    // A refusal may be temporary: the group keeps its line and mark.
    if (!reply.ok()) {
        out.say("! Wasn't able to select newsgroup %s - skipping\n", name);
        if (reply.is("411") && !group.name.empty()) run.tally.unknown.push_back(group.name);
        writestate(group, group.high);
        return Step::Next;
    }
    current = &entry;
    // Refused now though the first flight took it: its ARTICLEs' answers
    // are another group's articles.
    if (entry.groupsent) {
        const Reply& again = client.reselect();
        if (again.status == Reply::Lost) return Step::Quit;
        if (!again.ok()) {
            out.say("! Wasn't able to select newsgroup %s - skipping\n", name);
            Step step = client.discard(entry.asked.size());
            if (step == Step::Next) writestate(group, group.high);
            return step;
        }
    }
    const GroupRange& range = entry.range;
    if (!range.valid) {
        out.say("! The server's article numbers of newsgroup %s are not valid: %.*s - skipping\n", name,
                static_cast<int>(reply.text.find_last_not_of("\r\n") + 1), reply.text.c_str());
        writestate(group, group.high);
        return Step::Next;
    }
    // A new server or a renumbered group: nothing would be fetched there
    // again until the user mends the mark.
    if (group.high > range.last)
        out.say("! Mark %ld of %s lies above the server's last article %ld - left as it is\n", group.high,
                name, range.last);
    if (!options.check) run.tally.groups++;
    if (range.count == 0) {
        out.say("There are no new messages in this newsgroup.\n");
        writestate(group, group.high);
        return Step::Next;
    }
    out.say("There are %ld new messages (%ld-%ld) in this newsgroup%s.\n", range.count, range.first, range.last,
            entry.said.c_str());
    if (!entry.unlisted.empty()) out.write(entry.unlisted.data(), entry.unlisted.size());
    if (options.check) return Step::Next;
    const Overview& overview = entry.overview;
    std::string killed = overview.said();
    out.write(killed.data(), killed.size());
    long high = group.high;
    // Every article killed: nothing to fetch, and the mark moves on.
    if (!entry.streamed) {
        writestate(group, std::max(high, overview.passedhigh));
        return Step::Next;
    }

    IncomingFile incoming;
    if (!incoming.open(soupdir, nextnumber)) return cannotwrite(incoming.path, incoming.reason());
    articles = 0;
    dropped = 0;
    Step step = fetcharticles(entry, high, incoming);
    if (step != Step::Next) return step;
    // The next run goes on after the numbers asked for, missing ones too,
    // and after those killed; after an interrupt, right after the last
    // article stored.
    bool whole = !run.interrupts.taken();
    if (entry.cut && whole && high < entry.lastasked) high = entry.lastasked;
    if (whole && high < overview.passedhigh) high = overview.passedhigh;
    // Nothing of its own stored: no empty file for the reader.
    bool empty = articles == 0 && dropped > 0;
    // Named, listed and synced with the others of its commit, before the
    // state file can claim these articles as fetched. A test run keeps no
    // journal that would name it after a kill: it is named at once.
    long size = incoming.file.position();
    if (!empty && !(options.test ? incoming.finish() : incoming.setaside()))
        return cannotwrite(incoming.path, incoming.reason());
    progress.meter.erase();
    if (!empty && progress.average() != 0) out.say("Average CPS fetching news: %u\n", progress.average());
    if (overview.onheaders) {
        killed = overview.said();
        out.write(killed.data(), killed.size());
    }
    if (empty) {
        writestate(group, high);
        return Step::Next;
    }
    nextnumber = incoming.number + 1;
    if (options.test && !incoming.list(soupdir, name, "Bn")) {
        out.say("Cannot append to %sAREAS: %s\n", soupdir.c_str(), incoming.reason());
        return Step::Quit;
    }
    if (!options.test) pending.push_back({incoming.number, group.name});
    run.tally.articles += articles;
    writestate(group, high);
    // A run killed from now on does not fetch this group again.
    return markstate(incoming.number, size);
}

// ARTICLE for every number of the range; the high mark follows the last
// article stored whole, or passed over as stored in another group, or
// killed. Missing or refused articles are passed over. An interrupt ends
// the group after the article stored last. Every fetched line passes this
// loop: in a function of its own it keeps its registers, where inlined
// into the whole fetch it took 2% more instructions.
__attribute__((noinline)) Step NewsFetch::fetcharticles(Entry& entry, long& high, IncomingFile& message) {
    const ArticleNumbers& asked = entry.asked;
    progress.start();
    for (uint64_t i = 0, size = asked.size(); i < size && !run.interrupts.taken(); i++) {
        progress.show(percentof(i, size));
        const Reply& reply = client.article();
        if (reply.status == Reply::Lost) return Step::Quit;
        if (client.passed()) {
            run.tally.crossposts++;
            dropped++;
            high = asked.at(i);
            continue;
        }
        if (reply.ok()) {
            bool stored = false;
            Step step = receivearticle(message, entry, reply, stored);
            if (step != Step::Next) return step;
            high = asked.at(i);
            if (stored) articles++;
        }
    }
    return Step::Next;
}

// One article into one record of the message file, up to the line ".".
// Stored in another group since it was asked for, it is read and dropped.
// In a group scored on headers the header is held until its score says
// whether the article is stored at all.
Step NewsFetch::receivearticle(IncomingFile& message, Entry& entry, const Reply& reply, bool& stored) {
    // More of a header is not held: it is scored on what came.
    constexpr size_t heldmax = 256 * 1024;
    const std::string& name = entry.group.name;
    std::string id = registering ? answeredid(reply) : std::string();
    if (!id.empty() && crossposts.storedelsewhere(name, id)) {
        BodyEnd end = client.text([this](const char*, size_t len, bool) {
            progress.received(static_cast<uint32_t>(len));
            return true;
        });
        if (end == BodyEnd::Lost) return Step::Quit;
        run.tally.crossposts++;
        dropped++;
        return Step::Next;
    }
    Overview& overview = entry.overview;
    bool watch = registering || overview.onheaders;
    bool decided = !overview.onheaders;
    bool killed = false;
    HeaderFields head(overview.onheaders);
    std::string held;
    uint64_t size = 0;
    RecordWriter record;
    if (decided && !record.begin(message.file, 0)) return cannotwrite(message.path, message.reason(), Step::End);
    // Scored on the header held: killed, or stored from its first line.
    auto decide = [&]() {
        decided = true;
        killed = overview.rules.score(head.fields, now) < run.account.scoremin;
        if (killed) return true;
        if (!record.begin(message.file, 0)) return false;
        for (size_t at = 0; at < held.size();) {
            size_t end = std::min(held.find('\n', at), held.size() - 1) + 1;
            if (record.line(held.data() + at, end - at) < 0) return false;
            at = end;
        }
        return true;
    };
    BodyEnd end = client.text([&](const char* text, size_t len, bool linestart) {
        progress.received(static_cast<uint32_t>(len));
        size += len;
        if (killed) return true;
        if (watch && !head.done()) {
            head.line(text, len, linestart);
            if (!decided) {
                held.append(text, len);
                return head.done() || held.size() >= heldmax ? decide() : true;
            }
        }
        return record.line(text, len) >= 0;
    });
    if (end == BodyEnd::Lost) return Step::Quit;
    // The rest of the article would be read as answers: close.
    if (end == BodyEnd::SinkFailed) return cannotwrite(message.path, message.reason(), Step::End);
    // A header without a body is scored at its end.
    if (!decided && !decide()) return cannotwrite(message.path, message.reason());
    if (killed) {
        dropped++;
        overview.killed++;
        overview.killedbytes += size;
        return Step::Next;
    }
    if (!record.end()) return cannotwrite(message.path, message.reason());
    stored = true;
    if (registering) crossposts.stored(name, id.empty() ? head.fields.messageid : id, head.fields.xref);
    return Step::Next;
}

// The group's line in the next state file.
void NewsFetch::writestate(const GroupLine& group, long high) {
    state.replace(group.name + ": " + std::to_string(group.low) + "-" + std::to_string(high) + "\n");
}

Step NewsFetch::cannotwrite(const char* path, const char* reason, Step how) {
    progress.meter.erase();
    out.say("Cannot write to %s: %s\n", path, reason);
    return how;
}

Result NewsFetch::signoff() {
    Step step = nntpsignoff(out, client);
    // Every group is finished, whatever the server said to QUIT.
    if ((state.changed() && replacestate() != Step::Next) || step != Step::Next) return cleanup(Step::End);
    return Result::Done;
}

// After a failure in a group the groups before it keep their new marks;
// the failed group and those after it keep their lines as they stand.
Result NewsFetch::keepfinished(Step how) {
    if (replacing && state.changed()) replacestate();
    return cleanup(how);
}

// The new marks claim the fetched files: their names must survive a crash
// first. Marks that claim none need no sync, nor a second report of the
// failure that stopped the fetch.
bool NewsFetch::syncpacket() {
    if (!unsynced) return true;
    std::string areas = soupdir + "AREAS";
    const char* failed = !syncpath(areas.c_str())          ? areas.c_str()
                         : !syncdirof(soupdir.c_str()) ? soupdir.c_str()
                                                       : nullptr;
    if (failed) {
        out.say("Cannot write to %s: %s\n", failed, std::strerror(errno));
        return false;
    }
    unsynced = false;
    return true;
}

// The group's new line goes to the state file's journal, with the file that
// holds its articles: one line, where replacing the state file would write
// all of them.
Step NewsFetch::markstate(long number, long size) {
    if (!options.test && !state.journal(number, size)) {
        replacing = false;
        out.say("Cannot write to %s: %s\n", state.journalpath().c_str(), state.reason());
        return Step::Quit;
    }
    bool due = pending.size() >= kCommitGroups || std::chrono::steady_clock::now() - committed >= kCommitEvery;
    return due ? commit() : Step::Next;
}

// The files fetched since the last commit are synced, named and listed in
// AREAS, AREAS and the packet's directory synced, and then the journal,
// unless the state file takes its place now (last). After a failure the
// files not named go, and the state file is not replaced: the next run
// completes what the journal names.
Step NewsFetch::commit(bool last) {
    replacing = false;
    std::vector<long> numbers;
    for (const Fetched& fetched : pending) numbers.push_back(fetched.number);
    std::string path;
    bool whole = syncfetched(soupdir, numbers, path);
    if (!whole) out.say("Cannot write to %s: %s\n", path.c_str(), std::strerror(errno));
    // Named one by one, listed in one write.
    std::vector<std::string> names;
    std::string lines;
    size_t named = 0;
    for (; whole && named < pending.size(); named++) {
        const Fetched& fetched = pending[named];
        char name[32];
        long number = namefetched(soupdir, fetched.number);
        std::snprintf(name, sizeof name, "%08lX.MSG", number < 0 ? fetched.number : number);
        if (number < 0) {
            out.say("Cannot write to %s%s: %s\n", soupdir.c_str(), name, std::strerror(errno));
            whole = false;
            break;
        }
        names.push_back(soupdir + name);
        lines += std::string(name, 8) + "\t" + fetched.area + "\tBn\n";
    }
    std::string reason;
    if (whole && !lines.empty() && !appendareas(soupdir, lines, &reason, false)) {
        out.say("Cannot append to %sAREAS: %s\n", soupdir.c_str(), reason.c_str());
        whole = false;
    }
    if (!whole) {
        // Unlisted, no reader would find them, and their groups are fetched
        // again.
        for (const std::string& name : names) std::remove(name.c_str());
        for (size_t i = named; i < pending.size(); i++) {
            char name[32];
            std::snprintf(name, sizeof name, "%08lX.NWS", pending[i].number);
            std::remove((soupdir + name).c_str());
        }
        pending.clear();
        syncdirof(soupdir.c_str());
        return Step::Quit;
    }
    pending.clear();
    unsynced = unsynced || !names.empty();
    if (!syncpacket()) return Step::Quit;
    if (!last && !options.test && !state.commitjournal()) {
        out.say("Cannot write to %s: %s\n", state.journalpath().c_str(), state.reason());
        return Step::Quit;
    }
    committed = std::chrono::steady_clock::now();
    replacing = true;
    return Step::Next;
}

// Puts the state file as it stands in place of the old one, once the files
// fetched are in the packet.
Step NewsFetch::replacestate() {
    Step step = commit(true);
    if (step != Step::Next || options.test) return step;
    replacing = false;
    StateFile::Replaced replaced = state.save();
    if (replaced != StateFile::Saved) {
        saystate(replaced);
        return Step::Quit;
    }
    replacing = true;
    return Step::Next;
}

void NewsFetch::saystate(StateFile::Replaced failed) {
    // A state file read only in part must not be replaced by its first half.
    if (failed == StateFile::ReadFailed) out.say("Newsgroups list file %s can't be read\n", newsgroupsfile.c_str());
    if (failed == StateFile::WriteFailed)
        out.say("Temporary file %s can't be written: %s\n", state.temppath(), state.reason());
    if (failed == StateFile::JournalFailed)
        out.say("Cannot write to %s: %s\n", state.journalpath().c_str(), state.reason());
}

Result NewsFetch::cleanup(Step how) { return nntpend(out, client, how, ended().passing(), "(skipping news fetch)\n"); }

}  // namespace

Result fetchnews(const Context& run) {
    // A newsgroup list asked for needs the server.
    if (unconfigured(run, run.account.nntp) && !run.options.list) return Result::Done;
    run.tally.newsfetch = true;
    Opening* ahead = run.openings ? run.openings->find(run.account, Service::Nntp) : nullptr;
    // One the news post opened for itself is done with.
    if (ahead && !ahead->shared) ahead = nullptr;
    std::unique_ptr<NewsOpening> own;
    if (!ahead) own = std::make_unique<NewsOpening>(run, newsfetchline(run));
    NewsFetch news(run, ahead ? static_cast<NewsOpening&>(*ahead->opener) : *own, ahead);
    return news.fetch();
}

void opennewsfetchahead(const Context& run) {
    const Account& account = run.account;
    if (account.nntp.host.empty()) return;
    // Without its state file the fetch asks the server nothing.
    StateFile state;
    if (state.open(account.newsgroups) != StateFile::Ready) return;
    run.openings->start(
        run, Service::Nntp, [](const Context& own) { return std::make_unique<NewsOpening>(own, newsfetchline(own)); },
        true);
}
