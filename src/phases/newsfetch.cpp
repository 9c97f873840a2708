// The news fetch phase: the new articles of every group named in the
// newsgroups state file go into one packet message file per group, the
// newsgroup list is saved first on request, and the state file is replaced
// by one with the new marks after every group that added a file, and once
// more at the end. Over a slow link the waiting is what costs: every
// group's GROUP goes out in one flight, then the GROUPs and ARTICLEs of all
// groups with something to fetch as one pipelined stream. A group whose
// range is mostly gaps has its article numbers listed in between, so that
// only the articles present are asked for.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/progress.h"
#include "core/text.h"
#include "phases/shared.h"
#include "proto/body.h"
#include "proto/nntp.h"

namespace {

// Commands in flight, GROUP or ARTICLE: 256 at most, and no more bytes
// than Pipeline allows.
const int commandwindow = 256;

// A server's count above this keeps no more article numbers of one
// LISTGROUP answer.
const long maxlisted = 1L << 24;

// done * 100 / size for done < size, free of overflow.
int percentof(uint64_t done, uint64_t size) {
    return static_cast<int>(static_cast<unsigned __int128>(done) * 100 / size);
}

// The article numbers of a group asked for in this run: a range, or the
// numbers a LISTGROUP answer listed.
struct Numbers {
    long first = 0;
    long last = -1;
    bool listing = false;
    std::vector<long> listed;

    uint64_t size() const {
        if (listing) return listed.size();
        return last < first ? 0 : static_cast<uint64_t>(last) - static_cast<uint64_t>(first) + 1;
    }
    long at(uint64_t i) const { return listing ? listed[i] : first + static_cast<long>(i); }
    // Keeps count (at least 1) numbers from index from on.
    void keep(uint64_t from, uint64_t count) {
        if (listing) {
            listed.erase(listed.begin() + static_cast<long>(from + count), listed.end());
            listed.erase(listed.begin(), listed.begin() + static_cast<long>(from));
            return;
        }
        first = at(from);
        last = at(count - 1);
    }
};

// NEWSFIRST and NEWSMAX: the part of the numbers asked for in this run. A
// group's first fetch (fresh) takes only its newest newsfirst numbers, and
// at most newsmax numbers are asked for, the oldest first. Writes what was
// left out into said for the group's report line; true when newsmax cut
// them, so that the mark follows what was asked.
bool boundrange(Numbers& asked, bool fresh, long newsfirst, long newsmax, std::string& said) {
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
    Numbers asked;            // of the range, those asked for in this run
    bool cut = false;         // NEWSMAX cut asked
    std::string said;         // what NEWSFIRST and NEWSMAX left out, in words
    std::string unlisted;     // the line that says LISTGROUP was refused
    bool streamed = false;    // its commands are in the stream
    bool groupsent = false;   // the stream selects it with a GROUP of its own
};

// Where the stream's commands have got to.
struct Cursor {
    size_t entry = 0;
    uint64_t index = 0;  // of the next article in the entry's numbers
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
    Step listsparse();
    void bound(Entry& entry);
    Step lost(const Entry& entry, const Reply& reply, bool sent, const char* what);
    void startstream();
    bool nextcommand(Cursor& cursor, std::string& command);
    Step fetchgroup(Entry& entry);
    Reply reselect();
    Step fetcharticles(const Numbers& asked, long& high, IncomingFile& message);
    Step nextanswer(Reply& reply);
    Step receivearticle(IncomingFile& message);
    Step discard(const Numbers& asked);
    void writestate(const GroupLine& group, long high);
    Result signoff();
    Result keepfinished(Step how);
    Step replacestate();
    Result cleanup(Step how);
    Step cannotwrite(const char* path, const char* reason, Step how = Step::Quit);

    const Context& run;
    const RunOptions& options = run.options;
    const std::string& soupdir = run.settings.soupdir;
    const std::string& newsgroupsfile = run.account.newsgroups;
    Report& out;
    const Service nntp{"NNTP", run.account.nntp, 119, 563, run.account.cafile, readnntp, nntpcomplain,
                       "(skipping news fetch)\n"};
    Session session{nntp, out};
    Socket& s = session.sock;
    StateFile state;
    bool replacing = true;  // false after a failed replacement: no second try
    bool unsynced = false;  // a file was added since the packet directory was synced
    std::vector<Entry> entries;
    // The entries before the first whose GROUP asks for a login: the fetch
    // ends there.
    size_t stop = 0;
    // The entry whose group the server has selected when the stream begins.
    const Entry* selected = nullptr;
    // GROUP and ARTICLEs of every group with something to fetch, in order.
    std::optional<Pipeline> stream;

    // Progress of the current group, its average from the first byte on.
    Progress progress{out, 0};
};

Result NewsFetch::fetch() {
    if (!preconditions()) return cleanup(Step::End);
    Step step = nntpopen(session, options.check ? "Checking news fetch from %s...\n" : "Fetching news from %s...\n");
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

bool NewsFetch::preconditions() {
    if (run.account.nntp.host.empty()) {
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
    BodyEnd end = readbody(s, [&list](const char* p, size_t n, bool linestart) {
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
    if (end != BodyEnd::Whole) {
        out.say("Error fetching newsgroup list\n");
        list.commit();
        return Step::Quit;
    }
    if (!list.commit()) out.say("Cannot write to newsgroup list file %s\n", listfile);
    return Step::Next;
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
    Pipeline flight(s, commandwindow, [this, i = size_t{0}](std::string& command) mutable {
        while (i < entries.size() && !entries[i].selects()) i++;
        if (i == entries.size()) return false;
        command += "GROUP " + entries[i++].group.name + "\r\n";
        return true;
    });
    for (Entry& entry : entries) {
        if (!entry.selects()) continue;
        // A failed send was reported, and its reply stays lost.
        bool sent = filled(flight, out);
        if (sent) {
            readnntp(s, entry.reply);
            flight.answered();
        }
        if (entry.reply.status == Reply::Lost) return lost(entry, entry.reply, sent, "select newsgroup");
        plan(entry);
        selected = &entry;
    }
    stop = 0;
    while (stop < entries.size() && !(entries[stop].reply.refused() && needslogin(entries[stop].reply))) stop++;
    return Step::Next;
}

// What the group's answer offers beyond its mark.
void NewsFetch::plan(Entry& entry) {
    if (!entry.reply.ok()) return;
    entry.range = GroupRange(entry.reply.text.c_str(), entry.group.high);
    const GroupRange& range = entry.range;
    if (!range.valid || range.count == 0) return;
    __int128 span = static_cast<__int128>(range.last) - range.first + 1;
    entry.sparse = span > static_cast<__int128>(range.estimate) * 2 + 1000;
}

// LISTGROUP for every group whose range is mostly gaps, in one flight
// between the GROUPs and the stream; then what each group asks for.
Step NewsFetch::listsparse() {
    Pipeline flight(s, commandwindow, [this, i = size_t{0}](std::string& command) mutable {
        while (i < stop && !entries[i].sparse) i++;
        if (i == stop) return false;
        const Entry& entry = entries[i++];
        command += "LISTGROUP " + entry.group.name + " " + std::to_string(entry.range.first) + "-" +
                   std::to_string(entry.range.last) + "\r\n";
        return true;
    });
    for (size_t i = 0; i < stop; i++) {
        Entry& entry = entries[i];
        if (!entry.sparse) continue;
        Reply reply;
        bool sent = filled(flight, out);
        if (sent) readnntp(s, reply);
        const GroupRange& range = entry.range;
        // More numbers than that would not have made the range sparse; the
        // rest waits for the next run.
        size_t most = static_cast<size_t>(std::min(range.estimate, maxlisted)) * 2 + 1000;
        bool whole = reply.ok() ? readnumbers(s, range.first, range.last, most, entry.asked.listed)
                                : reply.status != Reply::Lost;
        if (sent) flight.answered();
        if (!whole) return lost(entry, reply, sent && !reply.ok(), "list the articles of newsgroup");
        entry.asked.listing = reply.ok();
        selected = reply.ok() ? &entry : nullptr;
    }
    for (Entry& entry : entries) bound(entry);
    return Step::Next;
}

// The numbers of the group's range asked for in this run: the articles
// present when they were listed, else the newest of the range, as many as
// the server's count when the range is mostly gaps; bound by NEWSFIRST and
// NEWSMAX.
void NewsFetch::bound(Entry& entry) {
    GroupRange& range = entry.range;
    if (!entry.reply.ok() || !range.valid || range.count == 0) return;
    Numbers& asked = entry.asked;
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
    // A check run only counts.
    entry.streamed = !options.check && asked.size() > 0;
}

// No answer before anything was fetched: only that group is reported, and
// every line stays as it is.
Step NewsFetch::lost(const Entry& entry, const Reply& reply, bool sent, const char* what) {
    const char* name = entry.group.name.c_str();
    out.say(options.check ? "* Checking %s\n" : "* Fetching %s\n", name);
    if (sent) nntpcomplain(out, reply, false);
    out.say("! Wasn't able to %s %s - skipping\n", what, name);
    return Step::Quit;
}

// The stream ends before a group that asks for a login: the fetch ends
// there. The group selected last needs no GROUP again when the stream
// begins with it.
void NewsFetch::startstream() {
    bool first = true;
    for (size_t i = 0; i < entries.size(); i++) {
        Entry& entry = entries[i];
        entry.streamed = entry.streamed && i < stop;
        if (!entry.streamed) continue;
        entry.groupsent = !first || &entry != selected;
        first = false;
    }
    stream.emplace(s, commandwindow, [this, cursor = Cursor()](std::string& command) mutable {
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
        cursor.index = 0;
        if (entry.groupsent) {
            command += "GROUP " + entry.group.name + "\r\n";
            return true;
        }
    }
    const Entry& entry = entries[cursor.entry];
    char article[40];
    char* end = puttext(article, "ARTICLE ");
    end = putlong(end, entry.asked.at(cursor.index));
    end = puttext(end, "\r\n");
    command.append(article, static_cast<size_t>(end - article));
    if (++cursor.index == entry.asked.size()) {
        cursor.entry++;
        cursor.begun = false;
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
    if (range.count == 0) {
        out.say("There are no new messages in this newsgroup.\n");
        writestate(group, group.high);
        return Step::Next;
    }
    out.say("There are %ld new messages (%ld-%ld) in this newsgroup%s.\n", range.count, range.first, range.last,
            entry.said.c_str());
    if (!entry.unlisted.empty()) out.write(entry.unlisted.data(), entry.unlisted.size());
    if (options.check) return Step::Next;

    IncomingFile incoming;
    if (!incoming.open(soupdir))
        return cannotwrite(incoming.number < 0 ? soupdir.c_str() : incoming.path, incoming.reason());
    long high = group.high;
    const Numbers& asked = entry.asked;
    Step step = fetcharticles(asked, high, incoming);
    if (step != Step::Next) return step;
    // The next run goes on after the numbers asked for, missing ones too;
    // after an interrupt, right after the last article stored.
    if (entry.cut && !run.interrupts.taken() && high < asked.at(asked.size() - 1)) high = asked.at(asked.size() - 1);
    // On disk before the state file can claim these articles as fetched.
    if (!incoming.finish()) return cannotwrite(incoming.path, incoming.reason());
    progress.meter.erase();
    if (progress.average() != 0) out.say("Average CPS fetching news: %u\n", progress.average());
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
    if (!filled(*stream, out)) return Reply();
    Reply reply = session.read();
    stream->answered();
    return reply;
}

// ARTICLE for every number of the range; the high mark follows the last
// article stored whole. Missing or refused articles are passed over. An
// interrupt ends the group after the article stored last.
Step NewsFetch::fetcharticles(const Numbers& asked, long& high, IncomingFile& message) {
    progress.start();
    Reply reply;  // one for every answer: its text keeps its room
    for (uint64_t i = 0, size = asked.size(); i < size && !run.interrupts.taken(); i++) {
        progress.show(percentof(i, size));
        Step step = nextanswer(reply);
        if (step != Step::Next) return step;
        if (reply.ok()) {
            step = receivearticle(message);
            if (step != Step::Next) return step;
            high = asked.at(i);
        }
    }
    return Step::Next;
}

// The stream's next answer to an ARTICLE; Quit when none came.
Step NewsFetch::nextanswer(Reply& reply) {
    if (!filled(*stream, out)) return Step::Quit;
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
    progress.meter.erase();
    out.say("Unable to fetch message\n");
    return Step::Quit;
}

// One article into one record of the message file, up to the line ".".
Step NewsFetch::receivearticle(IncomingFile& message) {
    RecordWriter record;
    if (!record.begin(message.file, 0)) return cannotwrite(message.path, message.reason(), Step::End);
    BodyEnd end = readbody(s, [this, &record](const char* text, size_t len, bool) {
        progress.received(static_cast<uint32_t>(len));
        return record.line(text, len) >= 0;
    });
    if (end == BodyEnd::Lost) {
        progress.meter.erase();
        out.say("Unable to fetch message\n");
        return Step::Quit;
    }
    // The rest of the article would be read as answers: close.
    if (end == BodyEnd::SinkFailed) return cannotwrite(message.path, message.reason(), Step::End);
    if (!record.end()) return cannotwrite(message.path, message.reason());
    return Step::Next;
}

// The answers to the ARTICLEs of a group, read to their ends and thrown
// away.
Step NewsFetch::discard(const Numbers& asked) {
    Reply reply;
    for (uint64_t i = 0, size = asked.size(); i < size; i++) {
        Step step = nextanswer(reply);
        if (step != Step::Next) return step;
        if (reply.ok() && readbody(s, [](const char*, size_t, bool) { return true; }) != BodyEnd::Whole) {
            out.say("Unable to fetch message\n");
            return Step::Quit;
        }
    }
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
