// The news fetch phase: the new articles of every group named in the
// newsgroups state file go into one packet message file per group, the
// newsgroup list is saved first on request, and the state file is replaced
// by one with the new marks after every group that added a file, and once
// more at the end.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "core/text.h"
#include "phases/shared.h"
#include "proto/nntp.h"

namespace {

// ARTICLE commands in flight: at most 5120 bytes, which pszBuf holds.
const int articlewindow = 256;

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

class NewsFetch {
public:
    explicit NewsFetch(const Context& run) : run(run), out(run.report) {}
    Result fetch();

private:
    bool preconditions();
    Step fetchlist();
    Step fetchgroup(const std::string& line);
    Step fetcharticles(const GroupRange& range, long& high, IncomingFile& message);
    Step receivearticle(IncomingFile& message);
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
    std::string line;
    for (;;) {
        StateFile::Read read = state.next(line);
        if (read == StateFile::End) return signoff();
        if (read == StateFile::ReadError) {
            // A state file read only in part must not be replaced by its first half.
            out.say("Newsgroups list file %s can't be read\n", newsgroupsfile.c_str());
            return cleanup(Step::Quit);
        }
        if (read == StateFile::TooLong) {
            out.say("! Line %ld of %s is longer than %zu bytes - kept as it is\n", state.lineno(),
                    newsgroupsfile.c_str(), kLineMax);
            state.keep();
            continue;
        }
        step = fetchgroup(line);
        if (step != Step::Next) return keepfinished(step);
    }
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
        if (len == 3 && std::memcmp(p, ".\r\n", 3) == 0) break;
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

Step NewsFetch::fetchgroup(const std::string& line) {
    // A name ends at a NUL byte, as it always did.
    GroupLine group(line.c_str());
    const char* name = group.name.c_str();
    out.say(options.check ? "* Checking %s\n" : "* Fetching %s\n", name);

    Reply reply = session.ask(std::string("GROUP ") + group.name + "\r\n");
    // Every other group would be refused the same way.
    if (reply.refused() && needslogin(reply)) return Step::Quit;
    if (!reply.ok()) out.say("! Wasn't able to select newsgroup %s - skipping\n", name);
    // Without a reply the connection is fit only for closing.
    if (reply.status == Reply::Lost) return Step::Quit;
    // A refusal may be temporary: the group keeps its line and mark.
    if (!reply.ok()) {
        writestate(group, group.high);
        return Step::Next;
    }
    GroupRange range(reply.text.c_str(), group.high);
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
    // No mark, or one below the server's first article: a first fetch.
    bool fresh = group.high == 0 || range.first > group.high + 1;
    GroupRange asked = range;
    std::string said;
    bool cut = boundrange(asked, fresh, run.settings.newsfirst, run.settings.newsmax, said);
    out.say("There are %ld new messages (%ld-%ld) in this newsgroup%s.\n", range.count, range.first, range.last,
            said.c_str());
    // A check run only counts.
    if (options.check) return Step::Next;

    IncomingFile incoming;
    if (!incoming.open(soupdir))
        return cannotwrite(incoming.number < 0 ? soupdir.c_str() : incoming.path, incoming.reason());
    long high = group.high;
    Step step = fetcharticles(asked, high, incoming);
    if (step != Step::Next) return step;
    // The next run goes on after the numbers asked for, missing ones too.
    if (cut && high < asked.last) high = asked.last;
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

// ARTICLE for every number of the range; the high mark follows the last
// article stored whole. Missing or refused articles are passed over.
Step NewsFetch::fetcharticles(const GroupRange& range, long& high, IncomingFile& message) {
    meter.forget();
    window.restart();
    groupstart = window.start;
    groupbytes = 0;
    average = 0;
    if (range.first > range.last) return Step::Next;
    // ARTICLE for every number, sent ahead up to the window; the answers
    // come back in order.
    Reply reply;  // one for every answer: its text keeps its room
    Pipeline articles(session, articlewindow, [&range, next = range.first, more = true](char* at) mutable -> char* {
        if (!more) return nullptr;
        at = puttext(at, "ARTICLE ");
        at = putlong(at, next);
        more = next != range.last;
        if (more) next++;
        return puttext(at, "\r\n");
    });
    for (long n = range.first;; n++) {
        meter.show(percentof(n, range.first, range.last), window.rate, average);
        if (!articles.fill()) return Step::Quit;
        // Servers that write a reply in two parts (INN's nnrpd does) hold
        // the second back until the first is acknowledged (Nagle). Asked
        // now, the kernel acknowledges at once and an article takes well
        // under a millisecond; the socket would do so only after waiting a
        // millisecond, once per article.
        s.AckNow();
        readnntp(s, reply);
        if (!reply.ok()) nntpcomplain(out, reply, true);
        articles.answered();
        if (reply.status == Reply::Lost) {
            // The connection is fit only for closing now.
            meter.erase();
            out.say("Unable to fetch message\n");
            return Step::Quit;
        }
        if (reply.ok()) {
            Step step = receivearticle(message);
            if (step != Step::Next) return step;
            high = n;
        }
        if (n == range.last) break;
    }
    return Step::Next;
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
        if (record.atlinestart() && len == 3 && std::memcmp(s.pszBuf, ".\r\n", 3) == 0) break;
        countline(static_cast<uint32_t>(len));
        // The rest of the article would be read as answers: close.
        if (record.line(s.pszBuf, static_cast<size_t>(len)) < 0)
            return cannotwrite(message.path, message.reason(), Step::End);
    }
    if (!record.end()) return cannotwrite(message.path, message.reason());
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

Result NewsFetch::cleanup(Step how) {
    session.end(how);
    return Result::Ended;
}

}  // namespace

Result fetchnews(const Context& run) {
    NewsFetch news(run);
    return news.fetch();
}
