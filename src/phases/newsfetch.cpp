// The news fetch phase: the new articles of every group named in the
// newsgroups state file go into one packet message file per group, the
// newsgroup list is saved first on request, and the state file is replaced
// by one with the new marks after every group that added a file, and once
// more at the end. Over a slow link the waiting is what costs: every
// group's GROUP goes out in one flight, then the GROUPs and ARTICLEs of all
// groups with something to fetch as one pipelined stream.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/text.h"
#include "phases/shared.h"
#include "proto/nntp.h"

namespace {

// Commands in flight, GROUP or ARTICLE: 256 at most, and no more bytes
// than Pipeline allows.
const int commandwindow = 256;

// (n - first) * 100 / (last - first + 1) for first <= n <= last, exact and
// free of overflow for any longs.
int percentof(long n, long first, long last) {
    __int128 done = static_cast<__int128>(n) - first;
    __int128 span = static_cast<__int128>(last) - first + 1;
    return static_cast<int>(done * 100 / span);
}

// NEWSFIRST and NEWSMAX: the part of range asked for in this run. A
// group's first fetch (fresh) takes only its newest newsfirst numbers, and
// at most newsmax numbers are asked for, the oldest first. Writes what was
// left out into said for the group's report line; true when newsmax cut
// the range, so that the mark follows what was asked.
bool boundrange(GroupRange& range, bool fresh, long newsfirst, long newsmax, std::string& said) {
    __int128 span = static_cast<__int128>(range.last) - range.first + 1;
    if (span <= 0) return false;
    bool newest = fresh && newsfirst > 0 && span > newsfirst;
    if (newest) {
        range.first = range.last - newsfirst + 1;
        span = newsfirst;
    }
    bool cut = newsmax > 0 && span > newsmax;
    if (cut) {
        range.last = range.first + newsmax - 1;
        said = ", fetching " + std::to_string(newsmax) + " of them (" + std::to_string(range.first) + "-" +
               std::to_string(range.last) + ")";
    } else if (newest) {
        said = ", fetching the newest " + std::to_string(newsfirst);
    }
    return cut;
}

// One line of the state file, and what the first flight learnt of its
// group.
struct Entry {
    Entry(long lineno, bool toolong, const std::string& line) : lineno(lineno), toolong(toolong), group(line) {}

    long lineno;
    bool toolong;  // longer than kLineMax: names no group, kept as it is
    GroupLine group;
    Reply reply;              // to the first flight's GROUP
    GroupRange range{"", 0};  // what the reply offers beyond the mark
    GroupRange asked{"", 0};  // the part of it asked for in this run
    bool cut = false;         // NEWSMAX cut asked
    std::string said;         // what NEWSFIRST and NEWSMAX left out, in words
    bool streamed = false;    // its commands are in the stream
    bool groupsent = false;   // the stream selects it with a GROUP of its own
};

// Where the stream's commands have got to.
struct Cursor {
    size_t entry = 0;
    long article = 0;
    bool begun = false;  // the entry's GROUP, or its first ARTICLE, went out
};

class NewsFetch {
public:
    explicit NewsFetch(const Context& run) : run(run), out(run.report) {}
    Result fetch();

private:
    bool preconditions();
    Step fetchlist();
    bool readstate();
    Step selectall();
    void plan(Entry& entry);
    void startstream();
    bool nextcommand(Cursor& cursor, std::string& command);
    Step fetchgroup(Entry& entry);
    Reply reselect();
    Step fetcharticles(const GroupRange& range, long& high, IncomingFile& message);
    Step nextanswer(Reply& reply);
    Step receivearticle(IncomingFile& message);
    Step discard(const GroupRange& range);
    void writestate(const GroupLine& group, long high);
    void countline(uint32_t len);
    Result signoff();
    Result keepfinished(Step how);
    Step replacestate();
    Result cleanup(Step how);
    Step cannotwrite(const char* path, const char* reason, Step how = Step::Quit);

    const Context& run;
    const RunOptions& options = run.options;
    const std::string& soupdir = run.settings.soupdir;
    const std::string& newsgroupsfile = run.settings.newsgroups;
    Report& out;
    const Service nntp{"NNTP", run.settings.nntp, 119, 563, run.settings.cafile, readnntp, nntpcomplain,
                       "(skipping news fetch)\n"};
    Session session{nntp, out};
    Socket& s = session.sock;
    StateFile state;
    bool replacing = true;  // false after a failed replacement: no second try
    bool unsynced = false;  // a file was added since the packet directory was synced
    std::vector<Entry> entries;
    // GROUP and ARTICLEs of every group with something to fetch, in order.
    std::optional<Pipeline> stream;

    // Progress of the current group.
    Meter meter{out};
    RateWindow window;
    uint32_t groupstart = 0;
    uint64_t groupbytes = 0;
    uint32_t average = 0;
};

Result NewsFetch::fetch() {
    if (!preconditions()) return cleanup(Step::End);
    Step step = nntpopen(session, options.check ? "Checking news fetch from %s...\n" : "Fetching news from %s...\n");
    if (step != Step::Next) return cleanup(step);
    if (options.list && !options.check && fetchlist() != Step::Next) return cleanup(Step::Quit);
    if (!readstate()) return cleanup(Step::Quit);
    step = selectall();
    if (step != Step::Next) return cleanup(step);
    startstream();
    for (Entry& entry : entries) {
        step = fetchgroup(entry);
        if (step != Step::Next) return keepfinished(step);
    }
    return signoff();
}

bool NewsFetch::preconditions() {
    if (run.settings.nntp.host.empty()) {
        out.say("NNTP hostname not defined\n");
        return false;
    }
    // What a run killed in the middle of a fetch left behind.
    if (!options.test) {
        removeleftovers(soupdir.c_str(), "PRT");
        removeleftovers(newsgroupsfile.c_str(), "TMP");
    }
    StateFile::Opened opened = state.open(newsgroupsfile);
    if (opened != StateFile::Ready) {
        out.say(opened == StateFile::Missing ? "Newsgroups list file %s not found\n"
                                             : "Newsgroups list file %s is not a regular file\n",
                newsgroupsfile.c_str());
        return false;
    }
    // A state file that cannot be replaced is found out before anything is
    // fetched.
    if (!options.test && !state.prepare()) {
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
    char command[64];
    if (options.listyear == 0) {
        out.say("* Fetching newsgroup list into %s\n", listfile);
        std::snprintf(command, sizeof command, "LIST\r\n");
    } else {
        unsigned yy = options.listyear % 100;
        out.say("* Fetching new newsgroups since %02u-%02u-%02u %02u:%02u:%02u into %s\n", yy, options.listmonth,
                options.listday, options.listhour, options.listmin, options.listsec, listfile);
        std::snprintf(command, sizeof command, "NEWGROUPS %02u%02u%02u %02u%02u%02u\r\n", yy, options.listmonth,
                      options.listday, options.listhour, options.listmin, options.listsec);
    }
    Reply reply = session.ask(command);
    if (reply.refused() && needslogin(reply)) return Step::Quit;
    if (!reply.ok()) out.say("! Wasn't able to retrieve newsgroup list - skipping\n");
    // Without the reply every later reply would be read out of step.
    if (reply.status == Reply::Lost) return Step::Quit;
    if (!reply.ok()) return Step::Next;
    bool linestart = true;
    for (;;) {
        int len = s.RecvTeol();
        if (len < 1) {
            out.say("Error fetching newsgroup list\n");
            list.commit();
            return Step::Quit;
        }
        const char* p = s.pszBuf;
        bool whole = linestart;
        linestart = s.iEol == 1;
        // The rest of a line longer than the line buffer: its name is stored.
        if (!whole) continue;
        if (isterminator(p, len)) break;
        size_t n = static_cast<size_t>(len);
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
    }
    if (!list.commit()) out.say("Cannot write to newsgroup list file %s\n", listfile);
    return Step::Next;
}

// The whole state file, before the first GROUP goes out.
bool NewsFetch::readstate() {
    std::string line;
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
    }
}

// The first flight: GROUP of every group sent ahead, each answer kept for
// the group's turn. Without an answer nothing was fetched yet: only that
// group is reported, and every line stays as it is.
Step NewsFetch::selectall() {
    Pipeline flight(session, commandwindow, [this, i = size_t{0}](std::string& command) mutable {
        while (i < entries.size() && entries[i].toolong) i++;
        if (i == entries.size()) return false;
        command += "GROUP " + entries[i++].group.name + "\r\n";
        return true;
    });
    for (Entry& entry : entries) {
        if (entry.toolong) continue;
        // A failed send was reported, and its reply stays lost.
        bool sent = flight.fill();
        if (sent) {
            readnntp(s, entry.reply);
            flight.answered();
        }
        if (entry.reply.status != Reply::Lost) {
            plan(entry);
            continue;
        }
        const char* name = entry.group.name.c_str();
        out.say(options.check ? "* Checking %s\n" : "* Fetching %s\n", name);
        if (sent) nntpcomplain(out, entry.reply, false);
        out.say("! Wasn't able to select newsgroup %s - skipping\n", name);
        return Step::Quit;
    }
    return Step::Next;
}

// What the group's answer offers beyond its mark, and the part of it asked
// for in this run.
void NewsFetch::plan(Entry& entry) {
    if (!entry.reply.ok()) return;
    const GroupLine& group = entry.group;
    entry.range = GroupRange(entry.reply.text.c_str(), group.high);
    if (entry.range.count == 0) return;
    // No mark, or one below the server's first article: a first fetch.
    bool fresh = group.high == 0 || entry.range.first > group.high + 1;
    entry.asked = entry.range;
    entry.cut = boundrange(entry.asked, fresh, run.settings.newsfirst, run.settings.newsmax, entry.said);
    // A check run only counts.
    entry.streamed = !options.check && entry.asked.first <= entry.asked.last;
}

// The stream ends before a group that asks for a login: the fetch ends
// there. The group the first flight selected last needs no GROUP again
// when the stream begins with it.
void NewsFetch::startstream() {
    const Entry* last = nullptr;
    for (const Entry& entry : entries)
        if (!entry.toolong) last = &entry;
    bool login = false;
    bool first = true;
    for (Entry& entry : entries) {
        login = login || (entry.reply.refused() && needslogin(entry.reply));
        entry.streamed = entry.streamed && !login;
        if (!entry.streamed) continue;
        entry.groupsent = !first || &entry != last;
        first = false;
    }
    stream.emplace(session, commandwindow, [this, cursor = Cursor()](std::string& command) mutable {
        return nextcommand(cursor, command);
    });
}

bool NewsFetch::nextcommand(Cursor& cursor, std::string& command) {
    while (!cursor.begun) {
        if (cursor.entry == entries.size()) return false;
        const Entry& entry = entries[cursor.entry];
        if (!entry.streamed) {
            cursor.entry++;
            continue;
        }
        cursor.begun = true;
        cursor.article = entry.asked.first;
        if (entry.groupsent) {
            command += "GROUP " + entry.group.name + "\r\n";
            return true;
        }
    }
    const Entry& entry = entries[cursor.entry];
    char article[40];
    char* end = puttext(article, "ARTICLE ");
    end = putlong(end, cursor.article);
    end = puttext(end, "\r\n");
    command.append(article, static_cast<size_t>(end - article));
    if (cursor.article == entry.asked.last) {
        cursor.entry++;
        cursor.begun = false;
    } else {
        cursor.article++;
    }
    return true;
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
    out.say(options.check ? "* Checking %s\n" : "* Fetching %s\n", name);

    const Reply& reply = entry.reply;
    if (!reply.ok()) nntpcomplain(out, reply, false);
    // Every other group would be refused the same way.
    if (reply.refused() && needslogin(reply)) return Step::Quit;
    // A refusal may be temporary: the group keeps its line and mark.
    if (!reply.ok()) {
        out.say("! Wasn't able to select newsgroup %s - skipping\n", name);
        writestate(group, group.high);
        return Step::Next;
    }
    // Refused now though the first flight took it: its ARTICLEs' answers
    // are another group's articles.
    Reply again = entry.groupsent ? reselect() : reply;
    if (!again.ok()) {
        out.say("! Wasn't able to select newsgroup %s - skipping\n", name);
        if (again.status == Reply::Lost) return Step::Quit;
        Step step = discard(entry.asked);
        if (step == Step::Next) writestate(group, group.high);
        return step;
    }
    const GroupRange& range = entry.range;
    // A new server or a renumbered group: nothing would be fetched there
    // again until the user mends the mark.
    if (group.high > range.last)
        out.say("! Mark %ld of %s lies above the server's last article %ld - left as it is\n", group.high,
                name, range.last);
    if (range.count == 0) {
        out.say("There are no new messages in this newsgroup.\n");
        writestate(group, group.high);
        return Step::Next;
    }
    out.say("There are %ld new messages (%ld-%ld) in this newsgroup%s.\n", range.count, range.first, range.last,
            entry.said.c_str());
    if (options.check) return Step::Next;

    IncomingFile incoming;
    if (!incoming.open(soupdir))
        return cannotwrite(incoming.number < 0 ? soupdir.c_str() : incoming.path, incoming.reason());
    long high = group.high;
    const GroupRange& asked = entry.asked;
    Step step = fetcharticles(asked, high, incoming);
    if (step != Step::Next) return step;
    // The next run goes on after the numbers asked for, missing ones too.
    if (entry.cut && high < asked.last) high = asked.last;
    // On disk before the state file can claim these articles as fetched.
    if (!incoming.finish()) return cannotwrite(incoming.path, incoming.reason());
    meter.erase();
    if (average != 0) out.say("Average CPS fetching news: %u\n", average);
    if (!incoming.list(soupdir, name, "Bn")) {
        out.say("Cannot append to %sAREAS: %s\n", soupdir.c_str(), incoming.reason());
        return Step::Quit;
    }
    unsynced = true;
    writestate(group, high);
    // A run killed from now on does not fetch this group again.
    return replacestate();
}

// The answer to the stream's GROUP; lost after a failed send.
Reply NewsFetch::reselect() {
    if (!stream->fill()) return Reply();
    Reply reply = session.read();
    stream->answered();
    return reply;
}

// ARTICLE for every number of the range; the high mark follows the last
// article stored whole. Missing or refused articles are passed over.
Step NewsFetch::fetcharticles(const GroupRange& range, long& high, IncomingFile& message) {
    meter.forget();
    window.restart();
    groupstart = window.start;
    groupbytes = 0;
    average = 0;
    if (range.first > range.last) return Step::Next;
    Reply reply;  // one for every answer: its text keeps its room
    for (long n = range.first;; n++) {
        meter.show(percentof(n, range.first, range.last), window.rate, average);
        Step step = nextanswer(reply);
        if (step != Step::Next) return step;
        if (reply.ok()) {
            step = receivearticle(message);
            if (step != Step::Next) return step;
            high = n;
        }
        if (n == range.last) break;
    }
    return Step::Next;
}

// The stream's next answer to an ARTICLE; Quit when none came.
Step NewsFetch::nextanswer(Reply& reply) {
    if (!stream->fill()) return Step::Quit;
    // Servers that write a reply in two parts (INN's nnrpd does) hold the
    // second back until the first is acknowledged (Nagle). Asked now, the
    // kernel acknowledges at once and an article takes well under a
    // millisecond; the socket would do so only after waiting a
    // millisecond, once per article.
    s.AckNow();
    readnntp(s, reply);
    if (!reply.ok()) nntpcomplain(out, reply, true);
    stream->answered();
    if (reply.status != Reply::Lost) return Step::Next;
    // The connection is fit only for closing now.
    meter.erase();
    out.say("Unable to fetch message\n");
    return Step::Quit;
}

// One article into one record of the message file, up to the line ".".
Step NewsFetch::receivearticle(IncomingFile& message) {
    RecordWriter record;
    if (!record.begin(message.file, 0)) return cannotwrite(message.path, message.reason(), Step::End);
    for (;;) {
        int len = s.RecvTeol();
        if (len < 1) {
            meter.erase();
            out.say("Unable to fetch message\n");
            return Step::Quit;
        }
        // A line longer than the line buffer arrives in pieces: only a
        // piece that starts a line can be the terminator.
        if (record.atlinestart() && isterminator(s.pszBuf, len)) break;
        countline(static_cast<uint32_t>(len));
        // The rest of the article would be read as answers: close.
        if (record.line(s.pszBuf, static_cast<size_t>(len)) < 0)
            return cannotwrite(message.path, message.reason(), Step::End);
    }
    if (!record.end()) return cannotwrite(message.path, message.reason());
    return Step::Next;
}

// The answers to the ARTICLEs of a range, read to their ends and thrown
// away.
Step NewsFetch::discard(const GroupRange& range) {
    Reply reply;
    for (long n = range.first;; n++) {
        Step step = nextanswer(reply);
        if (step != Step::Next) return step;
        for (bool linestart = true; reply.ok();) {
            int len = s.RecvTeol();
            if (len < 1) {
                out.say("Unable to fetch message\n");
                return Step::Quit;
            }
            if (linestart && isterminator(s.pszBuf, len)) break;
            linestart = s.iEol == 1;
        }
        if (n == range.last) break;
    }
    return Step::Next;
}

// Feeds the rate window. Every closed window adds to the group's average,
// also one too short for the clock to move: leaving those out would
// understate the average of a fast transfer many times over.
void NewsFetch::countline(uint32_t len) {
    uint32_t closed = window.add(len);
    if (closed == 0) return;
    groupbytes += closed;
    uint32_t now = mtime();
    if (now > groupstart) average = ratecps(groupbytes, now - groupstart);
}

// The group's line in the next state file.
void NewsFetch::writestate(const GroupLine& group, long high) {
    state.replace(group.name + ": " + std::to_string(group.low) + "-" + std::to_string(high) + "\n");
}

Step NewsFetch::cannotwrite(const char* path, const char* reason, Step how) {
    meter.erase();
    out.say("Cannot write to %s: %s\n", path, reason);
    return how;
}

Result NewsFetch::signoff() {
    Step step = session.signoff();
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

// Puts the state file as it stands in place of the old one.
Step NewsFetch::replacestate() {
    if (options.test) return Step::Next;
    replacing = false;
    // The new marks claim the fetched files: their names must survive a
    // crash first. Marks that claim none need no sync, nor a second report
    // of the failure that stopped the fetch.
    if (unsynced && !syncdirof(soupdir.c_str())) {
        out.say("Cannot write to %s: %s\n", soupdir.c_str(), std::strerror(errno));
        return Step::Quit;
    }
    unsynced = false;
    StateFile::Replaced replaced = state.save();
    // A state file read only in part must not be replaced by its first half.
    if (replaced == StateFile::ReadFailed) out.say("Newsgroups list file %s can't be read\n", newsgroupsfile.c_str());
    if (replaced == StateFile::WriteFailed)
        out.say("Temporary file %s can't be written: %s\n", state.temppath(), state.reason());
    if (replaced != StateFile::Saved) return Step::Quit;
    replacing = true;
    return Step::Next;
}

Result NewsFetch::cleanup(Step how) { return endphase(session, how); }

}  // namespace

Result fetchnews(const Context& run) {
    NewsFetch news(run);
    return news.fetch();
}
