// The POP3 fetch phase: empties one mailbox into a new mail message file of
// the packet. Messages are deleted on the server only once the file holding
// them is synced, closed and listed in AREAS.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "core/text.h"
#include "phases/shared.h"
#include "proto/pop3.h"

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
    session.report.step("+ Sending USER command...\n");
    if (!session.ask("USER " + pop.user + "\r\n").ok()) return false;
    session.report.step("+ Sending PASS command...\n");
    return session.ask("PASS " + secret + "\r\n").ok();
}

// CAPA. A server that does not know it is an old one, not a failure.
bool capabilities(Session& session, Capabilities& caps) {
    Reply reply = pop3capa(session, caps);
    return reply.ok() || reply.refused();
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
bool readlist(Session& session, std::vector<ListEntry>& list, long count) {
    if (!session.ask("LIST\r\n").ok()) return false;
    ListResult result = pop3list(session.sock, list, count);
    if (result == ListResult::Short) session.report.say("Unable to retrieve list of messages\n");
    if (result == ListResult::Unterminated) session.report.say("List of messages not properly terminated\n");
    return result == ListResult::Whole;
}

// Progress of the whole phase: the meter, the current-rate window and the
// average over every byte received.
struct Progress {
    explicit Progress(Report& out) : meter(out) {}
    Meter meter;
    RateWindow window;
    uint32_t start = mtime();
    uint64_t bytes = 0;
    uint32_t average = 0;

    // The clock is read when a window closes (the window's new start is
    // that reading) and after the last message, not for every line: in a
    // virtual machine a reading is slow.
    void received(uint32_t len) {
        bytes += len;
        if (window.add(len) != 0) updateaverage(window.start);
    }
    void updateaverage(uint32_t now) {
        if (bytes > 10000 && now > start) average = ratecps(bytes, now - start);
    }
};

// Commands of one kind (RETR or DELE) for the list entries that take it,
// sent ahead of their answers where the server allows it.
Pipeline commands(Session& session, int window, const std::vector<ListEntry>& list, const char* verb,
                  int32_t minsize) {
    return Pipeline(session, window, [&list, verb, minsize, i = size_t{0}](char* at) mutable -> char* {
        while (i < list.size() && list[i].size < minsize) i++;
        if (i == list.size()) return nullptr;
        at = puttext(at, verb);
        *at++ = ' ';
        at = putlong(at, list[i++].number);
        return puttext(at, "\r\n");
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
    size_t shown = static_cast<size_t>(end - value);
    char small[256];
    std::string large;
    char* line = small;
    if (shown + 16 > sizeof small) {
        large.resize(shown + 16);
        line = &large[0];
    }
    char* cursor = puttext(line, "* Message from ");
    std::memcpy(cursor, value, shown);
    cursor[shown] = '\n';
    progress.meter.report(percent, line, static_cast<size_t>(cursor + shown + 1 - line));
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
    progress.meter.forget();
    progress.window.restart();
    uint64_t done = 0;
    bool inheader = true;
    for (;;) {
        int percent = static_cast<int>(done * 100 / static_cast<uint64_t>(entry.size));
        progress.meter.show(percent, progress.window.rate, progress.average);
        const char* text = nullptr;
        int len = session.sock.RecvLine(&text);
        if (len == -1) {
            out.say("Unable to fetch message\n");
            return Step::Quit;
        }
        // A line longer than the socket's buffer arrives in pieces; only the
        // first piece starts a line (terminator, dot-stuffing, headers).
        bool linestart = record.atlinestart();
        if (linestart && pop3terminator(text, len)) break;
        progress.received(static_cast<uint32_t>(len));
        const char* rest = linestart && text[0] == '.' ? text + 1 : text;
        size_t restlen = len - (rest - text);
        done += restlen;
        if (record.line(text, len) < 0) {
            out.say("Cannot write to %s: %s\n", name, file.reason());
            return Step::End;
        }
        if (!inheader || !linestart) continue;
        if ((restlen == 2 && std::memcmp(rest, "\r\n", 2) == 0) || (restlen == 1 && rest[0] == '\n')) {
            inheader = false;
        } else if (restlen >= 5 && memicmp(rest, "From:", 5) == 0) {
            reportfrom(progress, static_cast<int>(done * 100 / static_cast<uint64_t>(entry.size)), rest,
                       restlen);
        }
    }
    progress.meter.erase();
    if (!record.end()) {
        out.say("Cannot write to %s: %s\n", name, file.reason());
        return Step::Quit;
    }
    return Step::Next;
}

// Retrieves every listed message into a new message file, then syncs it,
// gives it its name and lists it in AREAS. After a reported failure no
// part of it stays, also when AREAS could not take its line.
Step retrieveall(Session& session, const std::string& soupdir, int window, const std::vector<ListEntry>& list) {
    Report& out = session.report;
    IncomingFile incoming;
    const char* name = incoming.path;
    if (!incoming.open(soupdir)) {
        out.say("Cannot write to %s: %s\n", name, incoming.reason());
        return Step::Quit;
    }
    Progress progress(out);
    Pipeline retr = commands(session, window, list, "RETR", 1);
    int count = static_cast<int>(list.size());
    for (int i = 0; i < count; i++) {
        const ListEntry& entry = list[i];
        if (entry.size <= 0) continue;
        reportfetching(out, i + 1, count, entry.size);
        if (!retr.fill() || !session.read().ok()) return Step::Quit;
        retr.answered();
        Step step = receivemessage(session, incoming.file, name, entry, progress);
        if (step != Step::Next) return step;
    }
    progress.updateaverage(mtime());
    if (!incoming.finish()) {
        out.say("Cannot write to %s: %s\n", name, incoming.reason());
        return Step::Quit;
    }
    if (progress.average != 0) out.say("Average CPS fetching email: %u\n", progress.average);
    // Unlisted, the file would be found by no reader, and the messages
    // stay on the server: the next run stores them again.
    if (!incoming.list(soupdir, "Email", "bn")) {
        out.say("Cannot append to %sAREAS: %s\n", soupdir.c_str(), incoming.reason());
        return Step::Quit;
    }
    // The new file's name and the AREAS line must survive a crash too
    // before the server forgets the messages.
    if (!syncdirof(soupdir.c_str())) {
        out.say("Cannot write to %s: %s\n", soupdir.c_str(), std::strerror(errno));
        return Step::Quit;
    }
    return Step::Next;
}

// Every message is stored and listed by now, so the DELEs already sent
// when one is refused may take effect as well.
bool deleteall(Session& session, int window, const std::vector<ListEntry>& list) {
    session.report.step("+ Deleting messages from POP3 server...\n");
    Pipeline dele = commands(session, window, list, "DELE", 0);
    for (const ListEntry& entry : list) {
        if (entry.size < 0) continue;
        if (!dele.fill()) return false;
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
    if (!readlist(session, list, count)) return Step::Quit;
    step = retrieveall(session, run.settings.soupdir, window, list);
    if (step != Step::Next || run.options.test) return step;
    return deleteall(session, window, list) ? Step::Next : Step::Quit;
}

}  // namespace

Result fetchemail(const Context& run) {
    const Server& pop = run.settings.pop;
    const Service pop3{"POP3", pop, 110, 995, run.settings.cafile, readpop3, pop3complain, "(skipping email fetch)\n"};
    Session session(pop3, run.report);
    if (pop.host.empty() || pop.user.empty() || (pop.pass.empty() && pop.passcmd.empty())) {
        run.report.say("POP3 hostname/username/password not defined\n");
        session.end(Step::End);
        return Result::Ended;
    }
    // What a run killed in the middle of a fetch left behind.
    if (!run.options.test) removeleftovers(run.settings.soupdir.c_str(), "PRT");
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
    session.end(step);
    return Result::Ended;
}
