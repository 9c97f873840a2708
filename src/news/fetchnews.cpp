// The news fetch phase: the new articles of every group named in the
// newsgroups state file go into one packet message file per group, the
// newsgroup list is saved first on request, and the state file is replaced
// by one with the new marks once the server has accepted QUIT.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "config/config.h"
#include "driver/driver.h"
#include "net/session.h"
#include "news/news.h"
#include "soup/soup.h"

namespace {

const size_t LINEBUF = 16384;  // Socket::pszBuf
const size_t PATHBUF = 4096;
// ARTICLE commands in flight: at most 5120 bytes, which pszBuf holds.
const int articlewindow = 256;

// Reads a signed number after optional white space, as "%ld" does; a
// number too large for a long saturates instead of wrapping. False when
// there is no number, leaving value alone.
bool readlong(const char*& p, long& value) {
    char* end;
    long v = std::strtol(p, &end, 10);
    if (end == p) return false;
    value = v;
    p = end;
    return true;
}

// One line of the newsgroups state file: the name before the last colon,
// then "low-high". What is missing or unreadable counts as 0.
struct GroupLine {
    char name[256];
    long low = 0;
    long high = 0;

    explicit GroupLine(char* line) {
        if (char* colon = std::strrchr(line, ':')) {
            *colon = '\0';
            const char* p = colon + 1;
            if (readlong(p, low) && *p == '-') readlong(++p, high);
        }
        std::snprintf(name, sizeof name, "%s", line);
    }
};

// The articles a GROUP reply offers beyond the stored high mark.
struct Range {
    long count = 0;
    long first = 0;
    long last = 0;

    // "211 count first last group": fields that cannot be read are 0.
    Range(const char* reply, long high) {
        if (std::strlen(reply) > 4) {
            const char* p = reply + 4;
            if (readlong(p, count) && readlong(p, first)) readlong(p, last);
        }
        if (high >= last) {
            count = 0;
        } else if (high >= first) {
            // first <= high < last: the difference is positive, but may not
            // fit a long when the numbers are extreme.
            unsigned long n = static_cast<unsigned long>(last) - static_cast<unsigned long>(high);
            count = n > LONG_MAX ? LONG_MAX : static_cast<long>(n);
            first = high + 1;
        }
    }
};

// (n - first) * 100 / (last - first + 1) for first <= n <= last, exact and
// free of overflow for any longs.
int percentof(long n, long first, long last) {
    __int128 done = static_cast<__int128>(n) - first;
    __int128 span = static_cast<__int128>(last) - first + 1;
    return static_cast<int>(done * 100 / span);
}

class NewsFetch {
public:
    int run();

private:
    bool preconditions();
    Step connect();
    Step fetchlist();
    Step fetchgroup(char* line);
    Step fetcharticles(const Range& range, long& high, IncomingFile& message);
    Step receivearticle(IncomingFile& message);
    Step writestate(const GroupLine& group, long high);
    void countline(uint32_t len);
    int signoff();
    int keepfinished(const char* line, Step how);
    bool replacestate();
    int cleanup(Step how);
    Step cannotwrite(const char* path, Step how = Step::Quit);

    const Service nntp{"NNTP", nntphost, nntptls, 119, 563, cafile, getnntpanswer, "(skipping news fetch)\n"};
    Session session{nntp};
    Socket& s = session.sock;
    File state;
    PacketFile temp;
    bool tempmade = false;  // temppath names a file of ours to remove on failure
    char temppath[PATHBUF] = "";

    // Progress of the current group.
    Meter meter;
    RateWindow window;
    uint32_t groupstart = 0;
    uint64_t groupbytes = 0;
    uint32_t average = 0;
};

int NewsFetch::run() {
    if (!preconditions()) return cleanup(Step::End);
    Step step = connect();
    if (step != Step::Next) return cleanup(step);
    if (listnews && fetchlist() != Step::Next) return cleanup(Step::Quit);
    char line[256];
    while (std::fgets(line, sizeof line, state.get())) {
        char original[sizeof line];
        std::memcpy(original, line, sizeof line);
        Step step = fetchgroup(line);
        if (step != Step::Next) return keepfinished(original, step);
    }
    if (std::ferror(state.get())) {
        // A state file read only in part must not be replaced by its first half.
        logprintf("Newsgroups list file %s can't be read\n", newsgroupsfile);
        return cleanup(Step::Quit);
    }
    return signoff();
}

bool NewsFetch::preconditions() {
    if (nntphost[0] == '\0') {
        logprintf("NNTP hostname not defined\n");
        return false;
    }
    // What a run killed in the middle of a fetch left behind.
    if (!testmode) {
        removeleftovers(soupdir, "PRT");
        removeleftovers(newsgroupsfile, "TMP");
    }
    state.reset(std::fopen(newsgroupsfile, "r"));
    if (!state) {
        logprintf("Newsgroups list file %s not found\n", newsgroupsfile);
        return false;
    }
    if (!testmode) {
        long number = genfname(newsgroupsfile, "TMP", temppath);
        if (number < 0 || !temp.open(temppath, "w")) {
            logprintf("Temporary file %s can't be written\n", number < 0 ? newsgroupsfile : temppath);
            return false;
        }
        tempmade = true;
        // The new state file replaces the old one: it keeps its permissions.
        struct stat st;
        if (fstat(fileno(state.get()), &st) == 0) fchmod(temp.descriptor(), st.st_mode & 07777);
    }
    return true;
}

Step NewsFetch::connect() {
    Step step = session.connect("Fetching news from %s...\n");
    if (step == Step::Next) step = session.greet();
    if (step != Step::Next) return step;
    s.ulTimeout = kReplyTimeout;
    return nntpbegin(session);
}

// LIST or NEWGROUPS into the list file: one group name a line, marked when
// the server's flag says posting is not allowed.
Step NewsFetch::fetchlist() {
    PacketFile list;
    if (!list.open(listfilename, "w")) {
        logprintf("Cannot write to newsgroup list file %s\n", listfilename);
        return Step::Next;
    }
    if (listyear == 0) {
        logprintf("* Fetching newsgroup list into %s\n", listfilename);
        std::snprintf(s.pszBuf, LINEBUF, "LIST\r\n");
    } else {
        unsigned yy = listyear % 100;
        logprintf("* Fetching new newsgroups since %02u-%02u-%02u %02u:%02u:%02u into %s\n", yy, listmonth,
                  listday, listhour, listmin, listsec, listfilename);
        std::snprintf(s.pszBuf, LINEBUF, "NEWGROUPS %02u%02u%02u %02u%02u%02u\r\n", yy, listmonth, listday,
                      listhour, listmin, listsec);
    }
    int answer = session.askbuf();
    if (answer == 1 && needslogin(s)) return Step::Quit;
    if (answer != 0) logprintf("! Wasn't able to retrieve newsgroup list - skipping\n");
    // Without the reply every later reply would be read out of step.
    if (answer == -1) return Step::Quit;
    if (answer != 0) return Step::Next;
    bool linestart = true;
    for (;;) {
        int len = s.RecvTeol();
        if (len < 1) {
            logprintf("Error fetching newsgroup list\n");
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
    if (!list.commit()) logprintf("Cannot write to newsgroup list file %s\n", listfilename);
    return Step::Next;
}

Step NewsFetch::fetchgroup(char* line) {
    if (char* lf = std::strchr(line, '\n')) *lf = '\0';
    GroupLine group(line);
    logprintf("* Fetching %s\n", group.name);

    std::snprintf(s.pszBuf, LINEBUF, "GROUP %s\r\n", group.name);
    int answer = session.askbuf();
    // Every other group would be refused the same way.
    if (answer == 1 && needslogin(s)) return Step::Quit;
    if (answer != 0) logprintf("! Wasn't able to select newsgroup %s - skipping\n", group.name);
    // Without a reply the connection is fit only for closing.
    if (answer == -1) return Step::Quit;
    // A refusal may be temporary: the group keeps its line and mark.
    if (answer != 0) return writestate(group, group.high);
    Range range(s.pszBuf, group.high);
    // A new server or a renumbered group: nothing would be fetched there
    // again until the user mends the mark.
    if (group.high > range.last)
        logprintf("! Mark %ld of %s lies above the server's last article %ld - left as it is\n", group.high,
                  group.name, range.last);
    if (range.count == 0) {
        logprintf("There are no new messages in this newsgroup.\n");
        return writestate(group, group.high);
    }
    logprintf("There are %ld new messages (%ld-%ld) in this newsgroup.\n", range.count, range.first, range.last);

    IncomingFile incoming;
    if (!incoming.open()) return cannotwrite(incoming.number < 0 ? soupdir : incoming.path);
    long high = group.high;
    Step step = fetcharticles(range, high, incoming);
    if (step != Step::Next) return step;
    // On disk before the state file can claim these articles as fetched.
    if (!incoming.finish()) return cannotwrite(incoming.path);
    meter.erase();
    if (average != 0) logprintf("Average CPS fetching news: %u\n", average);
    if (appendareas(incoming.number, group.name, "Bn") != 0) return Step::Quit;
    if (writestate(group, high) == Step::Quit) return Step::Quit;
    return Step::Next;
}

// ARTICLE for every number of the range; the high mark follows the last
// article stored whole. Missing or refused articles are passed over.
Step NewsFetch::fetcharticles(const Range& range, long& high, IncomingFile& message) {
    meter.forget();
    window.restart();
    groupstart = window.start;
    groupbytes = 0;
    average = 0;
    if (range.first > range.last) return Step::Next;
    // ARTICLE for every number, sent ahead up to the window; the answers
    // come back in order.
    Pipeline articles(s, articlewindow, [&range, next = range.first, more = true](char* at) mutable -> char* {
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
        int answer = getnntpanswer(s, 1);
        articles.answered();
        if (answer == -1) {
            // The connection is fit only for closing now.
            meter.erase();
            logprintf("Unable to fetch message\n");
            return Step::Quit;
        }
        if (answer == 0) {
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
    if (!record.begin(message.file, 0)) return cannotwrite(message.path, Step::End);
    for (;;) {
        int len = s.RecvTeol();
        if (len < 1) {
            meter.erase();
            logprintf("Unable to fetch message\n");
            return Step::Quit;
        }
        // A line longer than the line buffer arrives in pieces: only a
        // piece that starts a line can be the terminator.
        if (record.atlinestart() && len == 3 && std::memcmp(s.pszBuf, ".\r\n", 3) == 0) break;
        countline(static_cast<uint32_t>(len));
        // The rest of the article would be read as answers: close.
        if (record.line(s.pszBuf, static_cast<size_t>(len)) < 0) return cannotwrite(message.path, Step::End);
    }
    if (!record.end()) return cannotwrite(message.path);
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

Step NewsFetch::writestate(const GroupLine& group, long high) {
    if (testmode) return Step::Next;
    char line[320];
    int n = std::snprintf(line, sizeof line, "%s: %ld-%ld\n", group.name, group.low, high);
    if (!temp.write(line, static_cast<size_t>(n))) {
        logprintf("Temporary file %s can't be written\n", temppath);
        return Step::Quit;
    }
    return Step::Next;
}

Step NewsFetch::cannotwrite(const char* path, Step how) {
    meter.erase();
    logprintf("Cannot write to %s\n", path);
    return how;
}

int NewsFetch::signoff() {
    Step step = session.signoff();
    // Every group is finished, whatever the server said to QUIT.
    if (!replacestate() || step != Step::Next) return cleanup(Step::End);
    return 1;
}

// After a failure in a group the groups before it keep their new marks;
// the failed group and those after it keep their lines as they stand.
int NewsFetch::keepfinished(const char* line, Step how) {
    if (!testmode) {
        bool copied = temp.write(line, std::strlen(line));
        char rest[4096];
        size_t n;
        while (copied && (n = std::fread(rest, 1, sizeof rest, state.get())) > 0) copied = temp.write(rest, n);
        // A state file read only in part must not be replaced by its first half.
        if (copied && !std::ferror(state.get())) replacestate();
    }
    return cleanup(how);
}

// Puts the new state file in place of the old one.
bool NewsFetch::replacestate() {
    state.reset();
    if (testmode) return true;
    // The new marks claim the fetched files: their names must survive a
    // crash first.
    if (!syncdirof(soupdir)) {
        logprintf("Cannot write to %s\n", soupdir);
        return false;
    }
    // Written, synced and closed before it replaces the old file in one
    // step, so that one of the two is always whole on disk.
    if (!temp.commit() || std::rename(temppath, newsgroupsfile) != 0) {
        logprintf("Temporary file %s can't be written\n", temppath);
        return false;
    }
    tempmade = false;
    // Whichever file a failure here leaves in place is whole.
    syncdirof(newsgroupsfile);
    return true;
}

int NewsFetch::cleanup(Step how) {
    state.reset();
    if (tempmade) {
        temp.discard();
        std::remove(temppath);
        tempmade = false;
    }
    return session.end(how);
}

}  // namespace

int fetchnews() {
    NewsFetch session;
    return session.run();
}
