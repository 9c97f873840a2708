// The mail fetch phase: empties the folders of the account's mail sources
// (a POP3 mailbox, then the folders of an IMAP account) each into a new
// mail message file of the packet.
// Messages are deleted on the server only once the file holding them is
// synced, closed and listed in AREAS; their ids are recorded then, so that a
// run that ends before the server took QUIT, or in the middle of the fetch,
// is not followed by one that fetches them again. With POPKEEP, or from a
// source that does not delete, they stay there, and only those whose ids
// are not recorded yet are fetched. What is fetched, kept and removed is
// the plan's (soup/mailplan.h); every source is one row of kinds below.
#include <strings.h>

#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "core/progress.h"
#include "core/text.h"
#include "phases/mailfetch.h"
#include "phases/shared.h"
#include "proto/mailsource.h"
#include "soup/mailplan.h"
#include "soup/mailrecord.h"

namespace {

const char* const skipping = "(skipping email fetch)\n";

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
    size_t from = 5;
    while (from < len && (text[from] == ' ' || text[from] == '\t' || text[from] == '\r' || text[from] == '\n' ||
                          text[from] == '\v' || text[from] == '\f'))
        from++;
    // Up to the line end, and as "* Message from %s\n" would show it: up to
    // a NUL byte.
    size_t to = from;
    while (to < len && text[to] != '\n' && text[to] != '\0') to++;
    if ((to == len || text[to] == '\n') && to > from && text[to - 1] == '\r') to--;
    const char* value = text + from;
    const char* end = text + to;
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

}  // namespace

bool storefile(Report& out, IncomingFile& incoming, const std::string& soupdir, const char* area) {
    if (!incoming.finish()) {
        out.say("Cannot write to %s: %s\n", incoming.path, incoming.reason());
        return false;
    }
    // Unlisted, the file would be found by no reader, and the messages
    // stay on the server: the next run stores them again.
    if (!incoming.list(soupdir, area, "bn")) {
        out.say("Cannot append to %sAREAS: %s\n", soupdir.c_str(), incoming.reason());
        return false;
    }
    if (!syncdirof(soupdir.c_str())) {
        out.say("Cannot write to %s: %s\n", soupdir.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

namespace {

// Stores the messages of a retrieve into one message file, a record each,
// with the meter and the "From:" lines of their headers on the way, and
// their Message-IDs where asked (ids). What a retrieve that ends early
// keeps: the whole messages among the first keepable places, those a
// record can name.
class Store final : public MessageSink {
public:
    Store(const Context& run, IncomingFile& incoming, const MailList& list, const std::vector<uint32_t>& fetch,
          size_t keepable, MailPlan* ids)
        : run(run),
          out(run.report),
          incoming(incoming),
          list(list),
          fetch(fetch),
          keepable(keepable),
          ids(ids),
          delivered(fetch.size(), false),
          keptlength(incoming.file.position()),
          // No average before the first 10000 bytes: it would say little.
          progress(out, 10000) {}

    bool next(size_t k) override {
        if (run.interrupts.taken() != 0) return false;
        reportfetching(out, static_cast<int>(k) + 1, static_cast<int>(fetch.size()), list.messages[fetch[k]].size);
        return true;
    }

    bool take(size_t k, MessageText& text) override {
        uint32_t size = static_cast<uint32_t>(list.messages[fetch[k]].size);
        RecordWriter record;
        if (!record.begin(incoming.file, size)) return cannotwrite(true);
        progress.unit();
        uint64_t done = 0;
        bool inheader = true;
        bool folded = false;  // the Message-ID is on the next line
        auto percent = [&done, size] { return static_cast<int>(done * 100 / size); };
        progress.show(percent());
        std::string id;  // the Message-ID
        BodyEnd end = text.read([&](const char* line, size_t len, bool linestart, size_t received) {
            progress.received(static_cast<uint32_t>(received));
            done += len;
            if (record.unstuffed(line, len) < 0) return false;
            // Only the first piece of a line longer than the socket's
            // buffer can be a header line.
            if (inheader && linestart) {
                if ((len == 2 && std::memcmp(line, "\r\n", 2) == 0) || (len == 1 && line[0] == '\n'))
                    inheader = false;
                else if (len >= 5 && memicmp(line, "From:", 5) == 0)
                    reportfrom(progress, percent(), line, len);
                else if (ids && (folded || (len >= 11 && memicmp(line, "Message-ID:", 11) == 0))) {
                    size_t from = folded ? 0 : 11;
                    id = messageid(line + from, len - from);
                    folded = !folded && id.empty();
                }
            }
            progress.show(percent());
            return true;
        });
        if (end == BodyEnd::SinkFailed) return cannotwrite(true);
        if (end == BodyEnd::Lost) return false;
        progress.meter.erase();
        if (!record.end()) return cannotwrite(false);
        messages++;
        delivered[k] = true;
        if (ids) ids->found(k, id);
        if (k < keepable) {
            keptmessages = messages;
            keptlength = incoming.file.position();
        }
        return true;
    }

    const Context& run;
    Report& out;
    IncomingFile& incoming;
    const MailList& list;
    const std::vector<uint32_t>& fetch;
    const size_t keepable;
    MailPlan* const ids;
    std::vector<bool> delivered;  // per place of fetch: in the file whole
    size_t messages = 0;      // stored whole
    size_t keptmessages = 0;  // of them among the keepable
    long keptlength;          // the file's, after the last of those
    // The rest of a message could not be read: nothing of the file is
    // kept, and nothing more goes out on the connection.
    bool ended = false;
    Progress progress;

private:
    bool cannotwrite(bool midmessage) {
        out.say("Cannot write to %s: %s\n", incoming.path, incoming.file.reason());
        ended = midmessage;
        return false;
    }
};

// The messages fetched whole, then those stored as their text only (the
// last texts places of fetch), into the same file.
bool retrieveboth(MailSource& source, const MailList& list, const std::vector<uint32_t>& fetch, Store& store,
                  BigMail& big, size_t texts) {
    size_t whole = fetch.size() - texts;
    std::vector<uint32_t> first(fetch.begin(), fetch.begin() + static_cast<long>(whole));
    if (!source.retrieve(first, store, false)) return false;
    for (size_t k = whole; k < fetch.size(); k++) {
        if (store.run.interrupts.taken() != 0) return false;
        std::string id;
        BigMail::Took took = big.store(list, fetch[k], k, fetch.size(), store.incoming, id);
        if (took != BigMail::Took::Stored) {
            store.ended = took == BigMail::Took::Unwritten;
            return false;
        }
        store.messages++;
        store.delivered[k] = true;
        if (store.ids) store.ids->found(k, id);
        if (k < store.keepable) {
            store.keptmessages = store.messages;
            store.keptlength = store.incoming.file.position();
        }
    }
    return true;
}

const char* plural(size_t n) { return n == 1 ? "" : "s"; }

// Every kind of source, with what its settings ask.
const SourceKind kinds[] = {
    {Protocol::Pop3, pop3complain, "",
     [](const Account& a) { return SourceRules{{a.popkeep, a.popkeepdays, 0, true}, a.popmax, false, {}}; }},
    {Protocol::Imap, imapcomplain, "IMAP host does not offer UIDPLUS: no message is deleted\n",
     [](const Account& a) {
         std::vector<std::string> folders = a.imapfolders;
         if (folders.empty()) folders.push_back("INBOX");
         return SourceRules{{!a.imapdelete, a.imapkeepdays, a.imapfirst, false}, a.imapmax, a.imapseen, folders};
     }},
};

}  // namespace

MailFetch::MailFetch(const Context& run, const Server& server) : run(run), out(run.report), server(server) {
    for (const SourceKind& k : kinds)
        if (k.protocol == server.protocol) kind = &k;
    rules = kind->rules(run.account);
    rules.maxsize = run.account.maxsize;
    rules.text = run.account.bigmail != "skip";
    if (rules.most > 0) budget = static_cast<size_t>(rules.most);
}

void MailFetch::makesource() {
    // Nothing on the server changes where no rule flags or removes.
    bool readonly = run.options.test || run.options.check ||
                    !(rules.seen || !rules.plan.keep || rules.plan.keepdays > 0);
    source = mailsource(server, {run.account.cafile, run.account.tlsfingerprint, rules.folders, readonly}, *this);
    attend(out, source->connection(), run.options.check);
}

// The password command runs before the server waits for us.
bool MailFetch::prepare() {
    got = loginsecret(run, server, server.protocol == Protocol::Imap ? "IMAPPASSCMD" : "POPPASSCMD", secret);
    return got == Secret::Ready;
}

bool MailFetch::open() {
    makesource();
    endedby = Outcome();
    opened = source->open(secret);
    return opened;
}

Result MailFetch::fetch() {
    if (got != Secret::Ready) {
        if (got == Secret::Ended) return Result::Ended;
        out.say("%s", skipping);
        return got == Secret::Offline ? Result::Offline : Result::Ended;
    }
    bool ok = opened;
    std::vector<std::string> folders = source->folders();
    if (folders.size() > 1) ahead = source->survey({folders.begin() + 1, folders.end()}, selectahead(folders));
    for (const std::string& folder : folders) ok = ok && fetchfolder(folder);
    if (ok && source->close()) return missing ? Result::Kept : Result::Done;
    // The failure that ended the dialogue, not a QUIT refused after it.
    bool passing = endedby.passing();
    source->abandon();
    out.say("%s", skipping);
    return passing ? Result::Offline : Result::Ended;
}

void MailFetch::step(SourceStep step) {
    const Connection& c = source->connection();
    const char* name = c.protocol.name;
    switch (step) {
    case SourceStep::Connecting:
        announce(out, c,
                 phaseline(run, run.options.check ? "Checking email fetch from %s...\n" : "Fetching email from %s...\n",
                           "mail", true)
                     .c_str());
        return;
    case SourceStep::StartingTls:
        out.step("+ Starting TLS...\n");
        return;
    case SourceStep::SendingUser:
        // The warning of a password that goes in plain text.
        maysendsecret(out, c, false);
        out.step("+ Sending USER command...\n");
        return;
    case SourceStep::SendingPassword:
        out.step("+ Sending PASS command...\n");
        return;
    case SourceStep::Compressing:
        out.step("+ Starting compression...\n");
        return;
    case SourceStep::SendingLogin:
        maysendsecret(out, c, false);
        out.step("+ Sending LOGIN command...\n");
        return;
    case SourceStep::Counting:
        out.step("+ Getting message information...\n");
        return;
    case SourceStep::Removing:
        out.step("+ Deleting messages from %s server...\n", name);
        return;
    case SourceStep::SigningOff:
        out.step("+ Signing off...\n");
        return;
    case SourceStep::SignedOff:
        out.step("+ %s session successfully terminated\n", name);
        return;
    }
}

void MailFetch::loggingin(const SaslLogin& login) { saylogin(out, source->connection(), login, kind->complain); }

void MailFetch::refused(size_t, const Reply& reply) { kind->complain(out, reply, false); }

void MailFetch::failed(const SourceFailure& failure) {
    const Connection& c = failure.connection;
    const char* name = c.protocol.name;
    endedby = failure.outcome;
    switch (failure.fault) {
    case SourceFault::Step:
        sayfailure(out, c, failure.outcome, kind->complain);
        return;
    case SourceFault::SecretHeld:
        maysendsecret(out, c, false);
        return;
    case SourceFault::PlainRefused:
        out.say("%s host takes no password in plain text (LOGINDISABLED): set %sTLS starttls or on\n", name, name);
        return;
    case SourceFault::Login:
        saylogin(out, c, *failure.login, kind->complain);
        tokenrefused(run, *failure.login);
        return;
    case SourceFault::ShortList:
        out.say("Unable to retrieve list of messages\n");
        return;
    case SourceFault::LongList:
        out.say("List of messages not properly terminated\n");
        return;
    case SourceFault::HugeList:
        out.say("Out of memory reading message list\n");
        return;
    case SourceFault::LostMessage:
        out.say("Unable to fetch message\n");
        return;
    case SourceFault::Sink:
        // The sink said why.
        return;
    }
}

// A folder (or the mailbox) against its record: what the plan fetches is
// stored and recorded, also when the fetch ends early, then what is to go
// is removed. /test removes nothing and leaves the record as it is; /check
// says what a run would do. A mailbox is listed whole, its record read
// after the listing; a folder's listing starts where the record says,
// and its record goes first.
bool MailFetch::fetchfolder(const std::string& folder) {
    const Connection& c = source->connection();
    const char* name = c.protocol.name;
    const RunOptions& options = run.options;
    const Account& account = run.account;
    bool named = !folder.empty();
    std::string shown = safetext(folder);
    // A named account's mailbox record follows its name, however its host
    // is spelt.
    MailRecord record = named ? MailRecord::folder(account.newsgroups, account.name, folder)
                              : MailRecord::mailbox(account.newsgroups, run.named() ? account.name : "",
                                                    c.server.user, c.host, c.port);
    MailList list;
    MailPlan plan(list, rules.plan, source->removes());
    // A folder's record is read first, so that its listing may go with
    // the selection, and a folder surveyed with nothing for this run is not
    // selected at all.
    if (named && !readrecord(plan, record)) return false;
    FolderState state;
    spooling = false;
    listedat = 0;
    bool idle = named && source->surveyed(folder, state) && plan.idle(state.validity, state.next, state.messages);
    if (!idle) {
        if (named) source->foresee(foreseen(plan));
        // Bodies that come with the listing count for the average from the
        // flight that asks for them.
        listedat = spooling ? mtime() : 0;
        if (ahead && flightat == 0) flightat = listedat;
        if (ahead) listedat = flightat;
        if (!source->select(folder, state)) return false;
    }
    if (state.missing) {
        std::string others;
        for (const std::string& other : state.others) others += (others.empty() ? "" : ", ") + safetext(other);
        if (state.othercount > state.others.size()) others += ", ...";
        if (!others.empty()) others = " (its folders: " + others + ")";
        out.say("%s host has no folder %s%s: %s", name, shown.c_str(), others.c_str(),
                serverwords(c, state.reply).c_str());
        missing = true;
        return true;
    }
    if (named) {
        if (state.messages == 0) out.say("There are no messages in %s on the %s server.\n", shown.c_str(), name);
        else out.say("There are %ld messages in %s on the %s server.\n", state.messages, shown.c_str(), name);
    } else if (state.messages == 0) {
        out.say("There are no messages on the %s server.\n", name);
        // An empty mailbox lists none of the ids recorded: the record goes.
        if (!options.test && !options.check && !record.save([](MailRecord::Entry&) { return false; }))
            out.say("Cannot write to %s: %s\n", record.failedfile().c_str(), record.reason());
        return true;
    } else {
        out.say("There are %ld messages (%ld bytes) on the %s server.\n", state.messages, state.octets, name);
        // A check run with a keep rule tells what a run would do.
        if (options.check && !rules.plan.keep) return true;
    }
    ListAsk ask = plan.select(state.validity, state.next, state.messages, options.test);
    if (plan.renumbered) {
        out.say("UIDVALIDITY of %s changed: its messages are matched by Message-ID\n", shown.c_str());
        // A Message-ID proves little: what it matched is not taken from the
        // server before a run has seen the folder under its new numbers.
        if (rules.seen || !rules.plan.keep || rules.plan.keepdays > 0)
            out.say("UIDVALIDITY of %s changed: nothing in it is flagged or removed in this run\n", shown.c_str());
    }
    if ((ask.from != 0 || !ask.known.empty()) && !source->list(ask, list)) return false;
    if (!named) {
        if (!list.hasids && plan.keep)
            out.say("%s host does not know UIDL: every message is fetched, none deleted\n", name);
        // Taken for an empty one, the record would have every message it
        // names fetched again.
        if (list.hasids && !readrecord(plan, record)) return false;
    }
    long long now = static_cast<long long>(std::time(nullptr));
    plan.sort(now);
    if (named || (plan.keep && list.hasids)) out.say("%zu of them are new.\n", plan.fetch.size());
    if (!named && !plan.keep && plan.before > 0)
        out.say("%zu of them %s stored by an earlier run.\n", plan.before, plan.before == 1 ? "was" : "were");
    BigMail big(run, *source, folder, rules.maxsize, rules.text);
    if (!big.sort(plan, list)) return false;
    size_t left = plan.limit(budget);
    big.order(plan);
    if (budget != SIZE_MAX) budget -= plan.taking;
    // A mailbox's check says the fetch without its bound.
    if (left > 0 && (named || !options.check))
        out.say("Fetching %zu of them now, %zu in a later run.\n", plan.taking, left);
    if (options.check) {
        out.say("A run would fetch %zu of them and delete %zu.\n", plan.fetch.size(), plan.wouldremove());
        return true;
    }
    // The folder's name as configured; INBOX as the mailbox is named. A
    // named account's areas carry its name: the reader shows only the area.
    std::string area = !named || strcasecmp(folder.c_str(), "INBOX") == 0 ? "Email" : folder;
    if (run.named()) area += " (" + account.name + ")";
    // Nothing is deleted after the fetch where it keeps what it fetched and
    // no stored message is old enough to go.
    bool last = options.test || (plan.keep && plan.removals().empty());
    Fetched got{Step::Next, std::vector<bool>(plan.fetch.size(), true)};
    if (!plan.fetch.empty())
        got = retrieve(list, plan.fetch, plan.keepable(), area.c_str(), last, named ? &plan : nullptr, big, plan.texts);
    if (got.step == Step::End) return false;
    std::vector<uint32_t> stored;
    for (size_t k = 0; k < plan.fetch.size(); k++)
        if (got.stored[k]) stored.push_back(plan.fetch[k]);
    run.tally.mails += static_cast<long>(plan.stored(got.stored, got.step == Step::Next, now));
    big.tally(plan, got.stored);
    if (options.test) return got.step == Step::Next;
    if (plan.changed() && !plan.save(record)) {
        out.say("Cannot write to %s: %s\n", record.failedfile().c_str(), record.reason());
        // Without keep what is stored may go all the same: a mailbox's
        // record only guards against a run that ends before QUIT. A
        // folder's says where the next listing starts.
        if (plan.keep || got.step != Step::Next || named) return false;
    }
    return got.step == Step::Next && removefrom(plan, record, list, folder, stored);
}


// Where the plan takes every message new to it, the bodies may come with
// the listing, into the spool: not where a bound on the size or the count
// of messages would leave some on the server.
ListAsk MailFetch::foreseen(const MailPlan& plan) {
    ListAsk ask = plan.guess(run.options.test);
    if (rules.maxsize > 0 || budget != SIZE_MAX || run.options.check || !plan.takesnew()) return ask;
    if (!spool) spool.emplace(run.settings.soupdir);
    spool->clear();
    ask.spool = spool->fd();
    spooling = ask.spool >= 0;
    return ask;
}

// Where every folder takes all that is new with its listing and nothing is
// asked of it after (no flag, no removal), the folders after the first may
// be selected in its flight: their listings as the records ask them; none
// where any folder differs. Only folders fetched before: one the server
// does not have would have the others' answers passed over.
std::vector<ListAsk> MailFetch::selectahead(const std::vector<std::string>& folders) {
    if (!rules.plan.keep || rules.plan.keepdays > 0 || rules.seen || rules.maxsize > 0 || budget != SIZE_MAX ||
        run.options.check)
        return {};
    // With keep, each listing starts at its record's next UID: the first
    // line says it, and only it is read here.
    std::vector<ListAsk> asks;
    for (const std::string& folder : folders) {
        MailRecord record = MailRecord::folder(run.account.newsgroups, run.account.name, folder);
        if (record.numbering() != MailRecord::Ready) return {};
        asks.emplace_back();
        asks.back().from = record.next;
    }
    if (!spool) spool.emplace(run.settings.soupdir);
    if (spool->fd() < 0) return {};
    for (ListAsk& ask : asks) ask.spool = spool->fd();
    asks.erase(asks.begin());
    return asks;
}

bool MailFetch::readrecord(MailPlan& plan, MailRecord& record) {
    if (plan.load(record) == MailRecord::Failed) {
        out.say("Cannot read %s: %s\n", record.where().c_str(), record.reason());
        return false;
    }
    long ignored = record.ignored();
    if (ignored > 0)
        out.say("! Ignored %ld unreadable line%s of %s\n", ignored, plural(static_cast<size_t>(ignored)),
                record.where().c_str());
    return true;
}

// Flags and removals of what is safely stored and recorded (stored: this
// run's places). A folder's removals are done at once: they leave its
// record.
bool MailFetch::removefrom(MailPlan& plan, MailRecord& record, const MailList& list, const std::string& folder,
                           const std::vector<uint32_t>& stored) {
    if (plan.renumbered) return true;
    std::vector<uint32_t> removals = plan.removals();
    if ((!removals.empty() || (!rules.plan.keep && !stored.empty())) && !source->removes()) {
        if (!warnedremoval) out.say("%s", kind->cannotremove);
        warnedremoval = true;
        removals.clear();
    }
    bool deleting = !removals.empty() && !plan.keep && !stored.empty();
    if (rules.seen && !deleting && !stored.empty() && !source->markseen(list, stored)) return false;
    if (removals.empty()) return true;
    bool named = !folder.empty();
    long days = rules.plan.keepdays;
    // Kept messages go only by their age: the user is told.
    if (!named && plan.keep)
        out.say("Deleting %zu message%s fetched %ld or more days ago.\n", removals.size(), plural(removals.size()),
                days);
    if (!source->remove(list, removals)) return false;
    if (!named) return true;
    size_t earlier = plan.earlier();
    std::string shown = safetext(folder);
    if (earlier > 0 && plan.keep)
        out.say("Removed %zu message%s stored %ld days ago or more from %s\n", earlier, plural(earlier), days,
                shown.c_str());
    else if (earlier > 0)
        out.say("Removed %zu message%s stored earlier from %s\n", earlier, plural(earlier), shown.c_str());
    plan.removed();
    if (plan.save(record)) return true;
    out.say("Cannot write to %s: %s\n", record.failedfile().c_str(), record.reason());
    return false;
}

// Retrieves the messages at the places of fetch into a new message file
// and stores it. A fetch that ends early (the connection lost or silent, a
// message refused, a stop asked for) keeps the whole messages among its
// first keepable places: the file is cut after the last of them and stored,
// and only the message in flight comes again. A place of no size is
// stored where the fetch passed it.
Fetched MailFetch::retrieve(const MailList& list, const std::vector<uint32_t>& fetch, size_t keepable,
                            const char* area, bool last, MailPlan* ids, BigMail& big, size_t texts) {
    Fetched got{Step::Quit, std::vector<bool>(fetch.size(), false)};
    IncomingFile incoming;
    const char* name = incoming.path;
    if (!incoming.open(run.settings.soupdir)) {
        out.say("Cannot write to %s: %s\n", name, incoming.reason());
        return got;
    }
    Store store(run, incoming, list, fetch, keepable, ids);
    if (listedat != 0) store.progress.countfrom(listedat);
    auto passed = [&](size_t upto) {
        for (size_t k = 0; k < fetch.size(); k++)
            got.stored[k] = (store.delivered[k] && k < keepable) || (list.messages[fetch[k]].size <= 0 && k < upto);
    };
    bool through = texts == 0 ? source->retrieve(fetch, store, last)
                              : retrieveboth(*source, list, fetch, store, big, texts);
    if (through) {
        store.progress.finish();
        if (!storefile(out, incoming, run.settings.soupdir, area)) return got;
        if (store.progress.average() != 0) out.say("Average CPS fetching email: %u\n", store.progress.average());
        got.step = Step::Next;
        keepable = fetch.size();
        passed(fetch.size());
        return got;
    }
    if (store.ended) {
        got.step = Step::End;
        return got;
    }
    // A file that could not be written has been reported, and is lost.
    // The fetch passed the places before the first message it did not
    // store whole.
    size_t upto = 0;
    while (upto < fetch.size() && (store.delivered[upto] || list.messages[fetch[upto]].size <= 0)) upto++;
    size_t kept = upto < keepable ? upto : keepable;
    if (store.keptmessages == 0 || !incoming.file.ok()) return got;
    if (!incoming.file.cut(store.keptlength)) {
        out.say("Cannot write to %s: %s\n", name, incoming.reason());
        return got;
    }
    if (!storefile(out, incoming, run.settings.soupdir, area)) return got;
    out.say("Kept %zu whole message%s; the others come with the next run.\n", store.keptmessages,
            plural(store.keptmessages));
    if (kept > 0) passed(kept);
    return got;
}

namespace {

// Whether a setting the source needs is missing.
bool lacks(const Context& run, const Server& server) {
    return server.host.empty() || server.user.empty() ||
           (server.pass.empty() && server.passcmd.empty() && run.account.oauth2.empty());
}

const char* const popmissing = "POP3 hostname/username/password not defined\n";
const char* const imapmissing = "IMAP hostname/username/password not defined\n";

// One source, opened ahead for its turn, else now.
Result fetchfrom(const Context& run, const Server& server, Service service, const char* missing) {
    if (lacks(run, server)) {
        run.report.say("%s", missing);
        run.report.say("%s", skipping);
        return Result::Ended;
    }
    Opening* ahead = run.openings ? run.openings->find(run.account, service) : nullptr;
    if (ahead) {
        run.openings->take(*ahead);
        return static_cast<MailFetch&>(*ahead->opener).fetch();
    }
    MailFetch here(run, server);
    openhere(run, here);
    return here.fetch();
}

}  // namespace

Result fetchemail(const Context& run) {
    const Server& pop = run.account.pop;
    const Server& imap = run.account.imap;
    if (unconfigured(run, pop) && unconfigured(run, imap)) return Result::Done;
    run.tally.mailfetch = true;
    // What a run killed in the middle of a fetch, or of writing the record,
    // left behind.
    if (!run.options.test) {
        removeleftovers(run.settings.soupdir.c_str(), "PRT");
        removeleftovers(run.account.newsgroups.c_str(), "TMP");
    }
    if (imap.host.empty()) return fetchfrom(run, pop, Service::Pop3, popmissing);
    if (pop.host.empty()) return fetchfrom(run, imap, Service::Imap, imapmissing);
    // Both: POP3, then IMAP, whose connection opened ahead as well.
    Result popped = fetchfrom(run, pop, Service::Pop3, popmissing);
    if (run.interrupts.taken() != 0) return popped;
    Result imapped = fetchfrom(run, imap, Service::Imap, imapmissing);
    for (Result worse : {Result::Ended, Result::Kept, Result::Offline})
        if (popped == worse || imapped == worse) return worse;
    return Result::Done;
}

void openmailfetchahead(const Context& run) {
    const Account& account = run.account;
    for (const Server* server : {&account.pop, &account.imap}) {
        if (lacks(run, *server)) continue;
        run.openings->start(run, server == &account.pop ? Service::Pop3 : Service::Imap,
                            [server](const Context& own) { return std::make_unique<MailFetch>(own, *server); });
    }
}
