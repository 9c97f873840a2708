// The POP3 fetch phase: empties one mailbox into a new mail message file of
// the packet. Messages are deleted on the server only once the file holding
// them is synced, closed and listed in AREAS; their ids are recorded then,
// so that a run that ends before the server took QUIT, or in the middle of
// the fetch, is not followed by one that fetches them again. With POPKEEP
// they stay there, and only those whose ids are not recorded yet are
// fetched.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <climits>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/progress.h"
#include "core/text.h"
#include "phases/shared.h"
#include "proto/body.h"
#include "proto/pop3.h"
#include "soup/popkeep.h"

namespace {

// The list is allocated in one piece from the server's STAT count; beyond
// this many entries the count is treated as one that cannot be allocated.
constexpr long maxlistentries = 1L << 24;

// Room for the whole list in one piece; false when it cannot be had.
bool allocatelist(std::vector<ListEntry>& list, long count) {
    if (count > maxlistentries) return false;
    try {
        list.reserve(static_cast<size_t>(count));
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

// Commands in flight where the server takes them so: at most 4608 bytes,
// which pszBuf holds.
constexpr int pipelinewindow = 256;

bool login(Session& session, const std::string& secret) {
    const Server& pop = session.service.server;
    if (!session.maysendsecret()) return false;
    session.report.step("+ Sending USER command...\n");
    if (!session.ask("USER " + pop.user + "\r\n").ok()) return false;
    session.report.step("+ Sending PASS command...\n");
    return session.ask("PASS " + secret + "\r\n").ok();
}

// CAPA. A server that does not know it is an old one, not a failure.
bool capabilities(Session& session, Capabilities& caps) {
    Reply reply = pop3capa(session.conn, caps);
    if (reply.ok() || reply.refused()) return true;
    if (session.conn.stage == Stage::Send) sayfailure(session.report, session.conn, session.service.complain);
    else session.service.complain(session.report, reply, false);
    return false;
}

// USER and PASS, then CAPA; for a SASL mechanism CAPA first, whose SASL
// line lists the mechanisms, then AUTH. CAPA is asked once either way, and
// tells whether the server takes commands sent ahead of their answers.
Step signin(Session& session, const std::string& secret, bool* pipelining) {
    AuthMode mode = session.service.server.auth;
    Capabilities caps;
    Step step = Step::Quit;
    if (mode == AuthMode::Auto || mode == AuthMode::User) {
        if (login(session, secret) && capabilities(session, caps)) step = Step::Next;
    } else if (capabilities(session, caps)) {
        step = sasllogin(session, caps, "SASL", secret, pop3auth);
    }
    *pipelining = caps.has("PIPELINING");
    return step;
}

// STAT: the message count (0 when none could be read) and the total size,
// read as "%ld" reads them: a mailbox of more than 2 GiB is no rarity, and a
// count too large for any list must not pass for an empty mailbox.
bool mailboxsize(Session& session, long* count, long* total) {
    session.report.step("+ Getting message information...\n");
    Reply reply = session.ask("STAT\r\n");
    if (!reply.ok()) return false;
    pop3stat(reply, count, total);
    return true;
}

// LIST: fills one entry per announced message and checks the terminator.
// With uidlahead, UIDL goes out with it, to be answered right after.
bool readlist(Session& session, std::vector<ListEntry>& list, long count, bool uidlahead) {
    bool listed = uidlahead ? session.send("LIST\r\nUIDL\r\n") && session.read().ok() : session.ask("LIST\r\n").ok();
    if (!listed) return false;
    ListResult result = pop3list(session.sock, list, count);
    if (result == ListResult::Short) session.report.say("Unable to retrieve list of messages\n");
    if (result == ListResult::Unterminated) session.report.say("List of messages not properly terminated\n");
    return result == ListResult::Whole;
}

// Commands of one kind (RETR or DELE) for the list entries that take it,
// sent ahead of their answers where the server allows it.
Pipeline commands(Session& session, int window, const std::vector<ListEntry>& list, const char* verb,
                  int32_t minsize) {
    return Pipeline(session.sock, window, [&list, verb, minsize, i = size_t{0}](std::string& out) mutable {
        while (i < list.size() && list[i].size < minsize) i++;
        if (i == list.size()) return false;
        char command[32];
        char* end = puttext(command, verb);
        *end++ = ' ';
        end = putlong(end, list[i++].number);
        end = puttext(end, "\r\n");
        out.append(command, static_cast<size_t>(end - command));
        return true;
    });
}

// "Fetching message %d of %d (%ld bytes)...\n" on the console.
void reportfetching(Report& out, int number, int count, long size) {
    char line[96];
    char* end = puttext(line, "Fetching message ");
    end = putlong(end, number);
    end = puttext(end, " of ");
    end = putlong(end, count);
    end = puttext(end, " (");
    end = putlong(end, size);
    end = puttext(end, " bytes)...\n");
    out.show(line, static_cast<size_t>(end - line));
}

// Reports a "From:" header line, given without its line end.
void reportfrom(Progress& progress, int percent, const char* text, size_t len) {
    const char* value = text + 5;
    const char* end = text + len;
    while (value < end && (*value == ' ' || *value == '\t' || *value == '\r' || *value == '\n' ||
                           *value == '\v' || *value == '\f'))
        value++;
    const char* cut = static_cast<const char*>(std::memchr(value, '\n', end - value));
    if (cut) end = cut;
    if (end > value && end[-1] == '\r') end--;
    // As "* Message from %s\n" would show it: up to a NUL byte.
    const char* nul = static_cast<const char*>(std::memchr(value, '\0', end - value));
    if (nul) end = nul;
    // Put together on the stack unless it is long: an allocation would
    // cost more than the rest of the report.
    size_t shown = kSafeGrowth * static_cast<size_t>(end - value);
    char small[1024];
    std::string large;
    char* line = small;
    if (shown + 16 > sizeof small) {
        large.resize(shown + 16);
        line = &large[0];
    }
    char* cursor = putsafe(puttext(line, "* Message from "), value, static_cast<size_t>(end - value));
    *cursor++ = '\n';
    progress.meter.report(percent, line, static_cast<size_t>(cursor - line));
}

// Stores the lines of one message, after RETR was accepted, up to its
// terminator, as one record. End after a local write failure: the rest of
// the message would be read as answers.
Step receivemessage(Session& session, DurableFile& file, const char* name, const ListEntry& entry,
                    Progress& progress) {
    Report& out = session.report;
    RecordWriter record;
    if (!record.begin(file, static_cast<uint32_t>(entry.size))) {
        out.say("Cannot write to %s: %s\n", name, file.reason());
        return Step::End;
    }
    progress.unit();
    uint64_t done = 0;
    bool inheader = true;
    auto percent = [&done, &entry] { return static_cast<int>(done * 100 / static_cast<uint64_t>(entry.size)); };
    progress.show(percent());
    BodyEnd end = readbody(session.sock, [&](const char* text, size_t len, bool linestart) {
        progress.received(static_cast<uint32_t>(len));
        const char* rest = linestart && text[0] == '.' ? text + 1 : text;
        size_t restlen = len - (rest - text);
        done += restlen;
        if (record.line(text, len) < 0) return false;
        // Only the first piece of a line longer than the socket's buffer
        // can be a header line.
        if (inheader && linestart) {
            if ((restlen == 2 && std::memcmp(rest, "\r\n", 2) == 0) || (restlen == 1 && rest[0] == '\n'))
                inheader = false;
            else if (restlen >= 5 && memicmp(rest, "From:", 5) == 0)
                reportfrom(progress, percent(), rest, restlen);
        }
        progress.show(percent());
        return true;
    });
    if (end == BodyEnd::Lost) {
        out.say("Unable to fetch message\n");
        return Step::Quit;
    }
    if (end == BodyEnd::SinkFailed) {
        out.say("Cannot write to %s: %s\n", name, file.reason());
        return Step::End;
    }
    progress.meter.erase();
    if (!record.end()) {
        out.say("Cannot write to %s: %s\n", name, file.reason());
        return Step::Quit;
    }
    return Step::Next;
}

// Syncs the file, gives it its name and lists it in AREAS, then syncs the
// directory: the name and the AREAS line must survive a crash too before
// the server forgets the messages. False after a reported failure; no part
// of the file stays then, also when AREAS could not take its line.
bool storefile(Report& out, IncomingFile& incoming, const std::string& soupdir) {
    if (!incoming.finish()) {
        out.say("Cannot write to %s: %s\n", incoming.path, incoming.reason());
        return false;
    }
    // Unlisted, the file would be found by no reader, and the messages
    // stay on the server: the next run stores them again.
    if (!incoming.list(soupdir, "Email", "bn")) {
        out.say("Cannot append to %sAREAS: %s\n", soupdir.c_str(), incoming.reason());
        return false;
    }
    if (!syncdirof(soupdir.c_str())) {
        out.say("Cannot write to %s: %s\n", soupdir.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

// How a fetch went: the first `stored` entries of its list are in the
// packet.
struct Fetched {
    Step step;
    size_t stored;
};

bool stopasked(const Context& run) { return run.interrupts.taken() != 0; }

// Retrieves the messages of fetch into a new message file and stores it.
// A fetch that ends early (the connection lost or silent, a RETR refused, a
// stop asked for) keeps the whole messages among its first keepable
// entries, those a record can name: the file is cut after the last of them
// and stored, and only the message in flight comes again.
Fetched retrieve(const Context& run, Session& session, int window, const std::vector<ListEntry>& fetch,
                 size_t keepable) {
    Report& out = session.report;
    IncomingFile incoming;
    const char* name = incoming.path;
    if (!incoming.open(run.settings.soupdir)) {
        out.say("Cannot write to %s: %s\n", name, incoming.reason());
        return {Step::Quit, 0};
    }
    // No average before the first 10000 bytes: it would say little.
    Progress progress(out, 10000);
    Pipeline retr = commands(session, window, fetch, "RETR", 1);
    int count = static_cast<int>(fetch.size());
    size_t messages = 0;
    // What an early end keeps: entries, whole messages, the file's length.
    size_t kept = 0;
    size_t keptmessages = 0;
    long keptlength = 0;
    Step step = Step::Next;
    for (size_t i = 0; i < fetch.size() && step == Step::Next; i++) {
        if (i <= keepable) {
            kept = i;
            keptmessages = messages;
            keptlength = incoming.file.position();
        }
        const ListEntry& entry = fetch[i];
        if (entry.size <= 0) continue;
        if (stopasked(run)) {
            step = Step::Quit;
            break;
        }
        reportfetching(out, static_cast<int>(i) + 1, count, entry.size);
        if (!filled(retr, session.report) || !session.read().ok()) {
            step = Step::Quit;
            break;
        }
        retr.answered();
        step = receivemessage(session, incoming.file, name, entry, progress);
        if (step == Step::Next) messages++;
    }
    if (step == Step::Next) {
        progress.finish();
        if (!storefile(out, incoming, run.settings.soupdir)) return {Step::Quit, 0};
        if (progress.average() != 0) out.say("Average CPS fetching email: %u\n", progress.average());
        return {Step::Next, fetch.size()};
    }
    // A file that could not be written has been reported, and is lost.
    if (step == Step::End || keptmessages == 0 || !incoming.file.ok()) return {step, 0};
    if (!incoming.file.cut(keptlength)) {
        out.say("Cannot write to %s: %s\n", name, incoming.reason());
        return {step, 0};
    }
    if (!storefile(out, incoming, run.settings.soupdir)) return {step, 0};
    out.say("Kept %zu whole message%s; the others come with the next run.\n", keptmessages,
            keptmessages == 1 ? "" : "s");
    return {step, kept};
}

// Every message is stored and listed by now, so the DELEs already sent
// when one is refused may take effect as well.
bool deleteall(Session& session, int window, const std::vector<ListEntry>& list) {
    session.report.step("+ Deleting messages from POP3 server...\n");
    Pipeline dele = commands(session, window, list, "DELE", 0);
    for (const ListEntry& entry : list) {
        if (entry.size < 0) continue;
        if (!filled(dele, session.report)) return false;
        Reply reply = session.read();
        int unanswered = dele.answered();
        if (reply.ok()) continue;
        if (reply.refused()) {
            // The server is still in step: take the answers to the DELEs
            // already sent, so that the answer read after QUIT is its own.
            for (; unanswered > 0; unanswered--) {
                Reply next = session.read();
                if (next.status == Reply::Lost || next.status == Reply::Invalid) break;
            }
        }
        return false;
    }
    return true;
}

// The server's ids against the record: what this run does with each
// listed message. Per id of the UIDL list, in its order: when it was
// stored, unseen, or one of an id listed more than once by a broken server:
// with POPKEEP the first is fetched once and the others are passed over
// (again); without, all of them are fetched and deleted as on a server
// without UIDL (noid).
struct Plan {
    static constexpr long long unseen = -1;
    static constexpr long long again = -2;
    static constexpr long long noid = -3;
    static constexpr uint32_t nouid = UINT32_MAX;

    const UidList& uids;
    std::vector<long long> fetched;
    std::vector<uint32_t> byid;  // indexes into uids, sorted by id
    // (number, index) sorted, unless the ids come in the order of the
    // messages, as servers list them: then the index is number - 1.
    std::vector<std::pair<int32_t, uint32_t>> numbers;
    bool forgot = false;  // recorded ids the server no longer lists
    // To be fetched, in list order: the entry, its place in the list, and
    // the index of its id (nouid: none to record).
    std::vector<ListEntry> fetch;
    std::vector<uint32_t> fetchat;
    std::vector<uint32_t> fetchids;
    std::vector<bool> drop;  // by place in the list: deleted after the fetch
    size_t before = 0;       // listed messages stored by an earlier run

    std::string_view id(uint32_t i) const { return uids.id(uids.uids[i]); }
    Plan(const UidList& uids, bool keep);
    // The id's index, the first of the ids equal to it; nouid if not listed.
    uint32_t find(std::string_view id) const;
    // The index of the id of the message of that number; nouid for none.
    uint32_t bynumber(int32_t number) const;
    void sort(const std::vector<ListEntry>& list, bool keep, long days, long long now);
    // At most most messages are fetched (0: all); returns how many are
    // left for a later run.
    size_t limit(long most);
    // How many entries of fetch, from the first, have an id to record.
    size_t keepable() const;
    // The record becomes the ids stored.
    bool save(KeepRecord& record) const;
};

Plan::Plan(const UidList& uids, bool keep)
    : uids(uids), fetched(uids.uids.size(), unseen), byid(uids.uids.size()) {
    for (size_t i = 0; i < byid.size(); i++) byid[i] = static_cast<uint32_t>(i);
    std::stable_sort(byid.begin(), byid.end(), [this](uint32_t a, uint32_t b) { return id(a) < id(b); });
    for (size_t k = 1; k < byid.size(); k++) {
        if (id(byid[k]) != id(byid[k - 1])) continue;
        fetched[byid[k]] = keep ? again : noid;
        if (!keep) fetched[byid[k - 1]] = noid;
    }
    bool inorder = true;
    for (size_t i = 0; i < uids.uids.size() && inorder; i++)
        inorder = uids.uids[i].number == static_cast<int32_t>(i + 1);
    if (inorder) return;
    for (size_t i = 0; i < uids.uids.size(); i++) numbers.emplace_back(uids.uids[i].number, static_cast<uint32_t>(i));
    std::sort(numbers.begin(), numbers.end());
}

uint32_t Plan::find(std::string_view wanted) const {
    auto at = std::lower_bound(byid.begin(), byid.end(), wanted,
                               [this](uint32_t i, std::string_view v) { return id(i) < v; });
    return at != byid.end() && id(*at) == wanted ? *at : nouid;
}

uint32_t Plan::bynumber(int32_t number) const {
    const std::vector<UidList::Uid>& all = uids.uids;
    if (numbers.empty()) {
        size_t i = static_cast<size_t>(number) - 1;
        return number > 0 && i < all.size() ? static_cast<uint32_t>(i) : nouid;
    }
    auto at = std::lower_bound(numbers.begin(), numbers.end(), std::make_pair(number, uint32_t{0}));
    return at != numbers.end() && at->first == number ? at->second : nouid;
}

// A message stored before is not fetched again: without POPKEEP it is
// deleted now, with it once POPKEEPDAYS let it go. Without POPKEEP the
// others are fetched as they come, those of size 0 (skipped, but deleted)
// and those without a size (neither) included.
void Plan::sort(const std::vector<ListEntry>& list, bool keep, long days, long long now) {
    drop.assign(list.size(), false);
    for (size_t at = 0; at < list.size(); at++) {
        const ListEntry& entry = list[at];
        uint32_t i = bynumber(entry.number);
        long long time = i == nouid ? unseen : fetched[i];
        if (time >= 0 && entry.size >= 0) {
            before++;
            drop[at] = !keep || (days > 0 && now - time >= days * 86400LL);
            continue;
        }
        if (keep && (entry.size <= 0 || time == again)) continue;
        fetch.push_back(entry);
        fetchat.push_back(static_cast<uint32_t>(at));
        fetchids.push_back(time == unseen ? i : nouid);
    }
}

size_t Plan::limit(long most) {
    size_t taken = 0;
    size_t cut = fetch.size();
    size_t left = 0;
    for (size_t k = 0; most > 0 && k < fetch.size(); k++) {
        if (fetch[k].size <= 0) continue;
        if (taken < static_cast<size_t>(most)) {
            taken++;
        } else if (left++ == 0) {
            cut = k;
        }
    }
    fetch.resize(cut);
    fetchat.resize(cut);
    fetchids.resize(cut);
    return left;
}

size_t Plan::keepable() const {
    size_t k = 0;
    while (k < fetch.size() && (fetchids[k] != nouid || fetch[k].size <= 0)) k++;
    return k;
}

bool Plan::save(KeepRecord& record) const {
    size_t next = 0;
    return record.save([this, &next](std::string_view& text, long long& time) {
        for (; next < fetched.size(); next++) {
            if (fetched[next] < 0) continue;
            text = id(static_cast<uint32_t>(next));
            time = fetched[next++];
            return true;
        }
        return false;
    });
}

// UIDL and its list; Refused for a server without it.
enum class UidlResult { Listed, Refused, Failed };
UidlResult readuidl(Session& session, UidList& uids, size_t count, bool sent) {
    uids.uids.reserve(count);
    Reply reply = sent ? session.read(true) : session.ask("UIDL\r\n", true);
    if (reply.refused()) return UidlResult::Refused;
    if (!reply.ok()) return UidlResult::Failed;
    ListResult result = pop3uidl(session.sock, uids);
    if (result == ListResult::Short) session.report.say("Unable to retrieve list of messages\n");
    if (result == ListResult::Unterminated) session.report.say("List of messages not properly terminated\n");
    return result == ListResult::Whole ? UidlResult::Listed : UidlResult::Failed;
}

// The messages of the list, against the record of those stored before:
// the others are fetched, at most POPMAX of them, and recorded once stored,
// also when the fetch ends early. Then what is to go is deleted. /test
// deletes nothing and leaves the record as it is.
Step fetchmailbox(const Context& run, Session& session, int window, const std::vector<ListEntry>& list,
                  bool uidlsent) {
    Report& out = run.report;
    const Account& account = run.account;
    bool keep = account.popkeep;
    UidList uids;
    UidlResult listed = readuidl(session, uids, list.size(), uidlsent);
    if (listed == UidlResult::Failed) return Step::Quit;
    if (listed == UidlResult::Refused && keep)
        out.say("POP3 host does not know UIDL: every message is fetched, none deleted\n");
    const Server& pop = account.pop;
    std::string host;
    unsigned short port = 0;
    splithost(pop.host, pop.tls == TLSON ? 995 : 110, host, &port);
    KeepRecord record(account.newsgroups, pop.user, host, port);
    Plan plan(uids, keep);
    if (listed == UidlResult::Listed) {
        KeepRecord::Loaded loaded = record.load([&plan](std::string_view id, long long time) {
            uint32_t i = plan.find(id);
            if (i == Plan::nouid) plan.forgot = true;
            else if (plan.fetched[i] >= Plan::unseen) plan.fetched[i] = time;
        });
        // Taken for an empty one, the record would have every message it
        // names fetched again.
        if (loaded == KeepRecord::Failed) {
            out.say("Cannot read %s: %s\n", record.where().c_str(), record.reason());
            return Step::Quit;
        }
        long ignored = record.ignored();
        if (ignored > 0)
            out.say("! Ignored %ld unreadable line%s of %s\n", ignored, ignored == 1 ? "" : "s",
                    record.where().c_str());
    }
    long long now = static_cast<long long>(std::time(nullptr));
    plan.sort(list, keep, account.popkeepdays, now);
    if (keep && listed == UidlResult::Listed) out.say("%zu of them are new.\n", plan.fetch.size());
    if (!keep && plan.before > 0)
        out.say("%zu of them %s stored by an earlier run.\n", plan.before, plan.before == 1 ? "was" : "were");
    size_t left = plan.limit(account.popmax);
    if (left > 0) out.say("Fetching %ld of them now, %zu in a later run.\n", account.popmax, left);
    Fetched got{Step::Next, 0};
    if (!plan.fetch.empty()) got = retrieve(run, session, window, plan.fetch, plan.keepable());
    if (got.step == Step::End) return got.step;
    bool recorded = false;
    for (size_t k = 0; k < got.stored; k++) {
        uint32_t i = plan.fetchids[k];
        if (i != Plan::nouid) {
            plan.fetched[i] = now;
            recorded = true;
        }
        plan.drop[plan.fetchat[k]] = !keep && plan.fetch[k].size >= 0;
    }
    if (!run.options.test && (recorded || plan.forgot) && !plan.save(record)) {
        out.say("Cannot write to %s: %s\n", record.where().c_str(), record.reason());
        // Without POPKEEP what is stored may go all the same: the record
        // only guards against a run that ends before QUIT.
        if (keep || got.step != Step::Next) return Step::Quit;
    }
    if (got.step != Step::Next || run.options.test) return got.step;
    std::vector<ListEntry> dele;
    for (size_t at = 0; at < list.size(); at++)
        if (plan.drop[at]) dele.push_back(list[at]);
    if (dele.empty()) return Step::Next;
    return deleteall(session, window, dele) ? Step::Next : Step::Quit;
}

// The mailbox part of the dialogue, from the login to the last DELE.
Step emptymailbox(const Context& run, Session& session, const std::string& secret) {
    Report& out = run.report;
    bool pipelining = false;
    Step step = signin(session, secret, &pipelining);
    if (step != Step::Next) return step;
    int window = pipelining ? pipelinewindow : 1;
    long count = 0;
    long total = 0;
    if (!mailboxsize(session, &count, &total)) return Step::Quit;
    if (count == 0) {
        out.say("There are no messages on the POP3 server.\n");
        return Step::Next;
    }
    if (count < 0) {
        out.say("POP3 host did not send valid answer\n");
        return Step::Quit;
    }
    out.say("There are %ld messages (%ld bytes) on the POP3 server.\n", count, total);
    if (run.options.check) return Step::Next;
    std::vector<ListEntry> list;
    if (!allocatelist(list, count)) {
        out.say("Out of memory reading message list\n");
        return Step::Quit;
    }
    // Where the server pipelines, UIDL costs no round trip of its own.
    if (!readlist(session, list, count, pipelining)) return Step::Quit;
    return fetchmailbox(run, session, window, list, pipelining);
}

}  // namespace

Result fetchemail(const Context& run) {
    const Server& pop = run.account.pop;
    const Service pop3{"POP3", pop, 110, 995, run.account.cafile, readpop3, pop3complain, "(skipping email fetch)\n"};
    Session session(pop3, run.report);
    if (pop.host.empty() || pop.user.empty() || (pop.pass.empty() && pop.passcmd.empty())) {
        run.report.say("POP3 hostname/username/password not defined\n");
        session.end(Step::End);
        return Result::Ended;
    }
    // What a run killed in the middle of a fetch, or of writing the record,
    // left behind.
    if (!run.options.test) {
        removeleftovers(run.settings.soupdir.c_str(), "PRT");
        removeleftovers(run.account.newsgroups.c_str(), "TMP");
    }
    // The password command runs before the server waits for us.
    std::string secret;
    Step step = loginsecret(run.report, pop, "POPPASSCMD", secret) ? Step::Next : Step::End;
    const char* announce = run.options.check ? "Checking email fetch from %s...\n" : "Fetching email from %s...\n";
    if (step == Step::Next) step = session.connect(announce);
    if (step == Step::Next) step = session.greet();
    if (step == Step::Next) {
        session.sock.ulTimeout = kReplyTimeout;
        if (pop.tls == TLSSTART && session.starttls("STLS\r\n") != Step::Next) step = Step::End;
    }
    if (step == Step::Next) step = emptymailbox(run, session, secret);
    if (step == Step::Next && session.signoff() != Step::Next) step = Step::End;
    if (step == Step::Next) return Result::Done;
    return endphase(session, step);
}
