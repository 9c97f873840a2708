// The mail fetch phase: empties the folders of the account's mail sources
// (a POP3 mailbox, then the folders of an IMAP account) each into a new
// mail message file of the packet.
// Messages are deleted on the server only once the file holding them is
// synced, closed and listed in AREAS; their ids are recorded then, so that a
// run that ends before the server took QUIT, or in the middle of the fetch,
// is not followed by one that fetches them again. With POPKEEP, or from a
// source that does not delete, they stay there, and only those whose ids
// are not recorded yet are fetched.
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
#include "proto/imap.h"
#include "proto/mailsource.h"
#include "soup/popkeep.h"

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
          size_t keepable, std::vector<std::string>* ids)
        : run(run),
          out(run.report),
          incoming(incoming),
          list(list),
          fetch(fetch),
          keepable(keepable),
          ids(ids),
          keptlength(incoming.file.position()),
          // No average before the first 10000 bytes: it would say little.
          progress(out, 10000) {}

    bool next(size_t k) override {
        inflight = k;
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
                    (*ids)[k] = messageid(line + from, len - from);
                    folded = !folded && (*ids)[k].empty();
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
    std::vector<std::string>* const ids;
    size_t inflight = 0;      // the place of fetch asked for last
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

// A named account's record follows its name, however its host is spelt.
KeepRecord keeprecord(const Context& run, const Connection& c) {
    return KeepRecord(run.account.newsgroups, run.named() ? run.account.name : "", c.server.user, c.host, c.port);
}

}  // namespace

void MailFetch::makesource() {
    if (server.protocol == Protocol::Imap) {
        const Account& a = run.account;
        bool readonly = run.options.test || run.options.check || !(a.imapseen || a.imapdelete || a.imapkeepdays > 0);
        auto client = std::make_unique<ImapClient>(a, readonly, *this);
        imap = client.get();
        source = std::move(client);
        complain = imapcomplain;
    } else {
        source = mailsource(server, run.account.cafile, run.account.tlsfingerprint, *this);
    }
    attend(out, source->connection(), run.options.check);
}

// The password command runs before the server waits for us.
bool MailFetch::prepare() {
    got = loginsecret(run, server, server.protocol == Protocol::Imap ? "IMAPPASSCMD" : "POPPASSCMD", secret);
    return got == Secret::Ready;
}

bool MailFetch::open() {
    makesource();
    opened = source->open(secret);
    return opened;
}

Result MailFetch::fetch() {
    if (got != Secret::Ready) {
        if (got == Secret::Ended) return Result::Ended;
        out.say("%s", skipping);
        return got == Secret::Offline ? Result::Offline : Result::Ended;
    }
    Connection& c = source->connection();
    bool ok = opened;
    for (const std::string& folder : source->folders()) ok = ok && (imap ? imapfolder(folder) : fetchfolder(folder));
    if (ok && source->close()) return missing ? Result::Kept : Result::Done;
    bool passing = c.passing();
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

void MailFetch::loggingin(const SaslLogin& login) { saylogin(out, source->connection(), login, complain); }

void MailFetch::refused(size_t, const Reply& reply) { complain(out, reply, false); }

void MailFetch::failed(const SourceFailure& failure) {
    const Connection& c = failure.connection;
    const char* name = c.protocol.name;
    switch (failure.fault) {
    case SourceFault::Step:
        sayfailure(out, c, complain);
        return;
    case SourceFault::SecretHeld:
        maysendsecret(out, c, false);
        return;
    case SourceFault::PlainRefused:
        out.say("%s host takes no password in plain text (LOGINDISABLED): set %sTLS starttls or on\n", name, name);
        return;
    case SourceFault::Login:
        saylogin(out, c, *failure.login, complain);
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

bool MailFetch::fetchfolder(const std::string& folder) {
    FolderSize size;
    if (!source->select(folder, size)) return false;
    const char* name = source->connection().protocol.name;
    if (size.messages == 0) {
        out.say("There are no messages on the %s server.\n", name);
        if (!run.options.test && !run.options.check) forget();
        return true;
    }
    out.say("There are %ld messages (%ld bytes) on the %s server.\n", size.messages, size.octets, name);
    // A check run with a keep rule tells what a run would do.
    if (run.options.check && !run.account.popkeep) return true;
    MailList list;
    return source->list(list) && fetchlisted(list);
}

// An empty mailbox lists none of the ids recorded: the record goes.
void MailFetch::forget() {
    KeepRecord record = keeprecord(run, source->connection());
    if (!record.save([](std::string_view&, long long&) { return false; }))
        out.say("Cannot write to %s: %s\n", record.where().c_str(), record.reason());
}

// The messages of the list, against the record of those stored before:
// the others are fetched, at most POPMAX of them, and recorded once stored,
// also when the fetch ends early. Then what is to go is deleted. /test
// deletes nothing and leaves the record as it is.
bool MailFetch::fetchlisted(const MailList& list) {
    const Account& account = run.account;
    const Connection& c = source->connection();
    bool keep = account.popkeep || !source->removes();
    if (!list.hasids && keep)
        out.say("%s host does not know UIDL: every message is fetched, none deleted\n", c.protocol.name);
    KeepRecord record = keeprecord(run, c);
    FetchPlan plan(list, keep);
    if (list.hasids) {
        // Taken for an empty one, the record would have every message it
        // names fetched again.
        if (plan.load(record) == KeepRecord::Failed) {
            out.say("Cannot read %s: %s\n", record.where().c_str(), record.reason());
            return false;
        }
        long ignored = record.ignored();
        if (ignored > 0)
            out.say("! Ignored %ld unreadable line%s of %s\n", ignored, ignored == 1 ? "" : "s",
                    record.where().c_str());
    }
    long long now = static_cast<long long>(std::time(nullptr));
    plan.sort(account.popkeepdays, now);
    if (keep && list.hasids) out.say("%zu of them are new.\n", plan.fetch.size());
    if (!keep && plan.before > 0)
        out.say("%zu of them %s stored by an earlier run.\n", plan.before, plan.before == 1 ? "was" : "were");
    size_t left = plan.limit(account.popmax);
    if (run.options.check) {
        size_t removals = plan.removals().size();
        out.say("A run would fetch %zu of them and delete %zu.\n", plan.fetch.size(), removals);
        return true;
    }
    if (left > 0) out.say("Fetching %ld of them now, %zu in a later run.\n", account.popmax, left);
    Fetched got{Step::Next, 0};
    // Nothing is deleted after the fetch where it keeps what it fetched and
    // no stored message is old enough to go.
    bool last = run.options.test || (keep && plan.removals().empty());
    if (!plan.fetch.empty()) got = retrieve(list, plan.fetch, plan.keepable(), "Email", last);
    if (got.step == Step::End) return false;
    run.tally.mails += static_cast<long>(got.stored);
    bool recorded = plan.stored(got.stored, now);
    if (!run.options.test && (recorded || plan.forgot) && !plan.save(record)) {
        out.say("Cannot write to %s: %s\n", record.failedfile().c_str(), record.reason());
        // Without POPKEEP what is stored may go all the same: the record
        // only guards against a run that ends before QUIT.
        if (keep || got.step != Step::Next) return false;
    }
    if (got.step != Step::Next || run.options.test) return got.step == Step::Next;
    std::vector<uint32_t> removals = plan.removals();
    if (removals.empty()) return true;
    // Kept messages go only by POPKEEPDAYS: the user is told.
    if (keep)
        out.say("Deleting %zu message%s fetched %ld or more days ago.\n", removals.size(),
                removals.size() == 1 ? "" : "s", account.popkeepdays);
    return source->remove(removals);
}

// Retrieves the messages at the places of fetch into a new message file
// and stores it. A fetch that ends early (the connection lost or silent, a
// message refused, a stop asked for) keeps the whole messages among its
// first keepable places: the file is cut after the last of them and stored,
// and only the message in flight comes again.
Fetched MailFetch::retrieve(const MailList& list, const std::vector<uint32_t>& fetch, size_t keepable,
                            const char* area, bool last, std::vector<std::string>* ids) {
    IncomingFile incoming;
    const char* name = incoming.path;
    if (!incoming.open(run.settings.soupdir)) {
        out.say("Cannot write to %s: %s\n", name, incoming.reason());
        return {Step::Quit, 0};
    }
    if (ids) ids->assign(fetch.size(), std::string());
    Store store(run, incoming, list, fetch, keepable, ids);
    if (source->retrieve(fetch, store, last)) {
        store.progress.finish();
        if (!storefile(out, incoming, run.settings.soupdir, area)) return {Step::Quit, 0};
        if (store.progress.average() != 0) out.say("Average CPS fetching email: %u\n", store.progress.average());
        return {Step::Next, fetch.size()};
    }
    if (store.ended) return {Step::End, 0};
    // A file that could not be written has been reported, and is lost.
    size_t kept = store.inflight < keepable ? store.inflight : keepable;
    if (store.keptmessages == 0 || !incoming.file.ok()) return {Step::Quit, 0};
    if (!incoming.file.cut(store.keptlength)) {
        out.say("Cannot write to %s: %s\n", name, incoming.reason());
        return {Step::Quit, 0};
    }
    if (!storefile(out, incoming, run.settings.soupdir, area)) return {Step::Quit, 0};
    out.say("Kept %zu whole message%s; the others come with the next run.\n", store.keptmessages,
            store.keptmessages == 1 ? "" : "s");
    return {Step::Quit, kept};
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
    openhere(here);
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
