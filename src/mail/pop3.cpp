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

#include "config/config.h"
#include "driver/driver.h"
#include "mail/mail.h"
#include "net/session.h"
#include "soup/soup.h"

namespace {

// One LIST entry. A size that could not be read, or a negative one, is
// stored as -1: such a message is neither retrieved nor deleted.
struct ListEntry {
    int32_t number;
    int32_t size;
};

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

// Reads a signed 32-bit number as "%ld" would, from *pos on; advances *pos
// past it. False when there is no number or it does not fit.
bool parsenumber(const char** pos, int32_t* value) {
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(*pos, &end, 10);
    if (end == *pos) return false;
    *pos = end;
    if (errno == ERANGE || v < INT32_MIN || v > INT32_MAX) return false;
    *value = static_cast<int32_t>(v);
    return true;
}

// A server that keeps sending capability lines is not answering.
constexpr int maxcapalines = 1000;
// Commands in flight where the server takes them so: at most 4608 bytes,
// which pszBuf holds.
constexpr int pipelinewindow = 256;

bool isterminator(const char* line, int len) {
    return len == 3 && std::memcmp(line, ".\r\n", 3) == 0;
}

bool login(Session& session) {
    Socket& sock = session.sock;
    if (verbose) logprintf("+ Sending USER command...\n");
    snprintf(sock.pszBuf, 16384, "USER %s\r\n", popuser);
    if (session.askbuf() != 0) return false;
    if (verbose) logprintf("+ Sending PASS command...\n");
    snprintf(sock.pszBuf, 16384, "PASS %s\r\n", poppass);
    return session.askbuf() == 0;
}

// CAPA: whether the server takes commands sent ahead of their answers. A
// server that does not know CAPA is an old one, not a failure.
bool canpipeline(Session& session, bool* pipelining) {
    Socket& sock = session.sock;
    *pipelining = false;
    int answer = session.ask("CAPA\r\n", 1);
    if (answer != 0) return answer == 1;
    for (int lines = 0; lines < maxcapalines; lines++) {
        int len = sock.RecvTeol();
        if (len == -1) {
            syserror("Receive");
            return false;
        }
        if (isterminator(sock.pszBuf, len)) return true;
        if (len >= 10 && memicmp(sock.pszBuf, "PIPELINING", 10) == 0 &&
            (len == 10 || sock.pszBuf[10] == ' ' || sock.pszBuf[10] == '\r' || sock.pszBuf[10] == '\n'))
            *pipelining = true;
    }
    logprintf("POP3 host did not send valid answer\n");
    return false;
}

// STAT: the message count (0 when none could be read) and the total size,
// read as "%ld" reads them: a mailbox of more than 2 GiB is no rarity, and a
// count too large for any list must not pass for an empty mailbox.
bool mailboxsize(Session& session, long* count, long* total) {
    Socket& sock = session.sock;
    if (verbose) logprintf("+ Getting message information...\n");
    if (session.ask("STAT\r\n") != 0) return false;
    const char* pos = sock.pszBuf + 4;
    char* end = nullptr;
    *count = std::strtol(pos, &end, 10);
    *total = end == pos ? 0 : std::strtol(end, &end, 10);
    return true;
}

// LIST: fills one entry per announced message and checks the terminator.
bool readlist(Session& session, std::vector<ListEntry>& list, long count) {
    Socket& sock = session.sock;
    if (session.ask("LIST\r\n") != 0) return false;
    for (int32_t i = 0; i < count; i++) {
        int len = sock.RecvTeol();
        // A terminator among the entries means a short list; reading on
        // would only wait for lines that never come.
        if (len == -1 || isterminator(sock.pszBuf, len)) {
            logprintf("Unable to retrieve list of messages\n");
            return false;
        }
        ListEntry entry{i + 1, -1};
        const char* pos = sock.pszBuf;
        int32_t number = 0;
        int32_t size = 0;
        if (parsenumber(&pos, &number)) {
            entry.number = number;
            if (parsenumber(&pos, &size) && size >= 0) entry.size = size;
        }
        list.push_back(entry);
    }
    int len = sock.RecvTeol();
    if (len == -1 || !isterminator(sock.pszBuf, len)) {
        logprintf("List of messages not properly terminated\n");
        return false;
    }
    return true;
}

// Progress of the whole phase: the meter, the current-rate window and the
// average over every byte received.
struct Progress {
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
Pipeline commands(Socket& sock, int window, const std::vector<ListEntry>& list, const char* verb,
                  int32_t minsize) {
    return Pipeline(sock, window, [&list, verb, minsize, i = size_t{0}](char* at) mutable -> char* {
        while (i < list.size() && list[i].size < minsize) i++;
        if (i == list.size()) return nullptr;
        at = puttext(at, verb);
        *at++ = ' ';
        at = putlong(at, list[i++].number);
        return puttext(at, "\r\n");
    });
}

// "Fetching message %d of %d (%ld bytes)...\n" on the console.
void reportfetching(int number, int count, long size) {
    char line[96];
    char* end = puttext(line, "Fetching message ");
    end = putlong(end, number);
    end = puttext(end, " of ");
    end = putlong(end, count);
    end = puttext(end, " (");
    end = putlong(end, size);
    end = puttext(end, " bytes)...\n");
    fwrite(line, 1, static_cast<size_t>(end - line), stdout);
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
Step receivemessage(Socket& sock, PacketFile& file, const char* name, const ListEntry& entry,
                    Progress& progress) {
    RecordWriter record;
    if (!record.begin(file, static_cast<uint32_t>(entry.size))) {
        logprintf("Cannot write to %s\n", name);
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
        int len = sock.RecvLine(&text);
        if (len == -1) {
            logprintf("Unable to fetch message\n");
            return Step::Quit;
        }
        // A line longer than the socket's buffer arrives in pieces; only the
        // first piece starts a line (terminator, dot-stuffing, headers).
        bool linestart = record.atlinestart();
        if (linestart && isterminator(text, len)) break;
        progress.received(static_cast<uint32_t>(len));
        const char* rest = linestart && text[0] == '.' ? text + 1 : text;
        size_t restlen = len - (rest - text);
        done += restlen;
        if (record.line(text, len) < 0) {
            logprintf("Cannot write to %s\n", name);
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
        logprintf("Cannot write to %s\n", name);
        return Step::Quit;
    }
    return Step::Next;
}

// Retrieves every listed message into a new message file, then syncs it,
// gives it its name and lists it in AREAS. After a reported failure no
// part of it stays.
Step retrieveall(Socket& sock, int window, const std::vector<ListEntry>& list) {
    IncomingFile incoming;
    const char* name = incoming.path;
    if (!incoming.open()) {
        logprintf("Cannot write to %s\n", name);
        return Step::Quit;
    }
    Progress progress;
    Pipeline retr = commands(sock, window, list, "RETR", 1);
    int count = static_cast<int>(list.size());
    for (int i = 0; i < count; i++) {
        const ListEntry& entry = list[i];
        if (entry.size <= 0) continue;
        reportfetching(i + 1, count, entry.size);
        if (!retr.fill() || getpopanswer(sock) != 0) return Step::Quit;
        retr.answered();
        Step step = receivemessage(sock, incoming.file, name, entry, progress);
        if (step != Step::Next) return step;
    }
    progress.updateaverage(mtime());
    if (!incoming.finish()) {
        logprintf("Cannot write to %s\n", name);
        return Step::Quit;
    }
    if (progress.average != 0) logprintf("Average CPS fetching email: %u\n", progress.average);
    if (appendareas(incoming.number, "Email", "bn") != 0) return Step::Quit;
    // The new file's name and the AREAS line must survive a crash too
    // before the server forgets the messages.
    if (!syncdirof(soupdir)) {
        logprintf("Cannot write to %s\n", soupdir);
        return Step::Quit;
    }
    return Step::Next;
}

// Every message is stored and listed by now, so the DELEs already sent
// when one is refused may take effect as well.
bool deleteall(Socket& sock, int window, const std::vector<ListEntry>& list) {
    if (verbose) logprintf("+ Deleting messages from POP3 server...\n");
    Pipeline dele = commands(sock, window, list, "DELE", 0);
    for (const ListEntry& entry : list) {
        if (entry.size < 0) continue;
        if (!dele.fill()) return false;
        int answer = getpopanswer(sock);
        int unanswered = dele.answered();
        if (answer == 0) continue;
        if (answer == 1) {
            // The server is still in step: take the answers to the DELEs
            // already sent, so that the answer read after QUIT is its own.
            for (; unanswered > 0; unanswered--)
                if (getpopanswer(sock) == -1) break;
        }
        return false;
    }
    return true;
}

// The mailbox part of the dialogue, from USER to the last DELE.
Step emptymailbox(Session& session) {
    Socket& sock = session.sock;
    if (!login(session)) return Step::Quit;
    bool pipelining = false;
    if (!canpipeline(session, &pipelining)) return Step::Quit;
    int window = pipelining ? pipelinewindow : 1;
    long count = 0;
    long total = 0;
    if (!mailboxsize(session, &count, &total)) return Step::Quit;
    if (count == 0) {
        logprintf("There are no messages on the POP3 server.\n");
        return Step::Next;
    }
    if (count < 0) {
        logprintf("POP3 host did not send valid answer\n");
        return Step::Quit;
    }
    logprintf("There are %ld messages (%ld bytes) on the POP3 server.\n", count, total);
    std::vector<ListEntry> list;
    if (!allocatelist(list, count)) {
        logprintf("Out of memory reading message list\n");
        return Step::Quit;
    }
    if (!readlist(session, list, count)) return Step::Quit;
    Step step = retrieveall(sock, window, list);
    if (step != Step::Next || testmode) return step;
    return deleteall(sock, window, list) ? Step::Next : Step::Quit;
}

}  // namespace

int getpopanswer(Socket& sock, int quiet) {
    int len = sock.RecvTeol();
    if (len == -1) {
        syserror("Receive");
        return -1;
    }
    if (len >= 3 && memicmp(sock.pszBuf, "+OK", 3) == 0) return 0;
    if (len >= 4 && memicmp(sock.pszBuf, "-ERR", 4) == 0) {
        if (!quiet) logprintf("POP3 host returned error: %s", sock.pszBuf);
        return 1;
    }
    logprintf("POP3 host did not send valid answer\n");
    return -1;
}

int fetchemail() {
    const Service pop3{"POP3", pophost, poptls, 110, 995, cafile, getpopanswer, "(skipping email fetch)\n"};
    Session session(pop3);
    if (!*pophost || !*popuser || !*poppass) {
        logprintf("POP3 hostname/username/password not defined\n");
        return session.end(Step::End);
    }
    // What a run killed in the middle of a fetch left behind.
    if (!testmode) removeleftovers(soupdir, "PRT");
    Step step = session.connect("Fetching email from %s...\n");
    if (step == Step::Next) step = session.greet();
    if (step != Step::Next) return session.end(step);
    session.sock.ulTimeout = kReplyTimeout;
    if (poptls == TLSSTART && session.starttls("STLS\r\n") != Step::Next) return session.end(Step::End);

    step = emptymailbox(session);
    if (step != Step::Next) return session.end(step);
    if (session.signoff() != Step::Next) return session.end(Step::End);
    return 1;
}
