// The newsgroups state file of a news fetch: read a line at a time, the
// new lines of groups journaled as they come, and replaced at the end.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/text.h"
#include "soup/journal.h"
#include "soup/soup.h"

StateFile::Opened StateFile::open(const std::string& path) {
    this->path = path;
    marks = path + ".marks";
    int openerror = 0;
    in.reset(openregular(path.c_str(), openerror));
    // A final symbolic link is refused with ELOOP.
    if (!in) return openerror == 0 || openerror == ELOOP ? NotRegular : Missing;
    struct stat st;
    if (fstat(fileno(in.get()), &st) == 0) mode = st.st_mode & 07777;
    return Ready;
}

StateFile::Read StateFile::next(std::string& line) {
    line.clear();
    off_t start = offset;
    FILE* f = in.get();
    int c;
    bool any = false;
    while ((c = getc_unlocked(f)) != EOF) {
        offset++;
        any = true;
        if (c == '\n') break;
        // A longer line is passed over to its end, not held.
        if (line.size() <= kLineMax) line.push_back(static_cast<char>(c));
    }
    if (std::ferror(f)) return ReadError;
    if (!any) return End;
    waiting.emplace_back(start, offset);
    number++;
    return line.size() > kLineMax ? TooLong : Line;
}

void StateFile::replace(const std::string& text) {
    last = text;
    if (done.empty() || done.back().length != 0) done.emplace_back();
    done.back().text += text;
    rest = waiting.front().second;
    waiting.pop_front();
}

void StateFile::keep() {
    auto [start, end] = waiting.front();
    done.push_back(Piece{"", start, end - start});
    rest = end;
    waiting.pop_front();
}

bool StateFile::prepare() {
    failure.clear();
    if (out.begun()) return true;
    if (!out.begin(path)) return false;
    fchmod(out.file.descriptor(), mode);
    return true;
}

StateFile::Replaced StateFile::save() {
    if (!prepare()) return WriteFailed;
    for (const Piece& piece : done) {
        out.file.write(piece.text.data(), piece.text.size());
        if (!copy(piece.from, piece.length)) return ReadFailed;
    }
    if (!copy(rest, -1)) return ReadFailed;
    // Once renamed it is in place: whichever file a failed sync of the
    // directory leaves there is whole.
    if (!out.commit() && !out.inplace()) return WriteFailed;
    savedrest = rest;
    if (!journaled.isopen()) return Saved;
    // Its lines are in the file now.
    journaled.discard();
    return forget() ? Saved : JournalFailed;
}

namespace {

// A journal line of a group: its fetched file, and its new line.
struct Marked {
    long number = -1;
    long size = -1;
    std::string line;  // line end included

    // "%08lX\t<size>\t<line>", without its line end; number -1 when it
    // is none.
    explicit Marked(const std::string& text) {
        size_t tab = text.find('\t');
        size_t second = tab == std::string::npos ? tab : text.find('\t', tab + 1);
        if (tab != 8 || second == std::string::npos) return;
        char* end;
        long n = std::strtol(text.c_str(), &end, 16);
        if (end != text.c_str() + 8 || n < 0) return;
        long bytes = std::strtol(text.c_str() + 9, &end, 10);
        if (end != text.c_str() + second || bytes < 0) return;
        number = n;
        size = bytes;
        line = text.substr(second + 1) + "\n";
    }
    std::string group() const { return GroupLine(line.substr(0, line.size() - 1).c_str()).name; }
};

// What a run killed or crashed after it journaled the group and before it
// synced the journal may have left undone: the group's fetched file, whole
// as the line says, gets its name and its AREAS line where it lacks them.
// False when the file is not there whole (or cannot be listed, and goes):
// the line vouches for nothing then. areas is AREAS, read at the first
// need; listed tells that a line was appended.
bool complete(const Marked& m, const std::string& soupdir, std::string& areas, bool& read, bool& listed) {
    char name[32];
    std::snprintf(name, sizeof name, "%08lX", m.number);
    std::string part = soupdir + name + ".NWS", path = soupdir + name + ".MSG";
    long number = m.number;
    struct stat st;
    if (stat(part.c_str(), &st) == 0) {
        if (st.st_size != m.size || !syncpath(part.c_str())) return false;
        number = namefetched(soupdir, number);
        if (number < 0) return false;
        std::snprintf(name, sizeof name, "%08lX", number);
        path = soupdir + name + ".MSG";
    } else {
        if (stat(path.c_str(), &st) != 0 || st.st_size != m.size) return false;
        int error = 0;
        if (!read) read = readtext(soupdir + "AREAS", areas, error);
        std::string line = std::string(name) + "\t" + m.group() + "\tBn\n";
        if (areas.compare(0, line.size(), line) == 0 || areas.find("\n" + line) != std::string::npos) return true;
    }
    if (appendareas(soupdir, number, m.group().c_str(), "Bn", nullptr, false)) {
        listed = true;
        return true;
    }
    std::remove(path.c_str());
    return false;
}

}  // namespace

bool StateFile::journal(long number, long size) {
    if (!journaled.isopen()) {
        if (!journaled.open(marks.c_str(), "ab")) {
            failure = journaled.reason();
            return false;
        }
        fchmod(journaled.descriptor(), mode);
    }
    char head[64];
    int n = std::snprintf(head, sizeof head, "%08lX\t%ld\t", number, size);
    // Written at once, the line outlives a kill; the sync waits for the
    // packet's.
    if (journaled.write(head, static_cast<size_t>(n)) && journaled.write(last.data(), last.size()) &&
        journaled.writeout())
        return true;
    failure = journaled.reason();
    return false;
}

bool StateFile::commitjournal() {
    if (!journaled.isopen()) return true;
    // Made in this run, its name must last as its lines do.
    bool named = journalnamed || syncdirof(marks.c_str());
    if (!named) {
        failure = std::strerror(errno);
        return false;
    }
    journalnamed = true;
    if (journaled.write("synced\n", 7) && journaled.sync()) return true;
    failure = journaled.reason();
    return false;
}

// Removes the journal. Its removal need not last: what it holds, the file
// holds now.
bool StateFile::forget() {
    if (std::remove(marks.c_str()) == 0 || errno == ENOENT) return true;
    failure = std::strerror(errno);
    return false;
}

StateFile::Replaced StateFile::recover(const std::string& soupdir) {
    std::string text;
    int error = 0;
    if (!readtext(marks, text, error)) {
        if (error == ENOENT) return Saved;
        failure = openfailure(error);
        return JournalFailed;
    }
    // The last line of each group that vouches for it: those the journal
    // synced, and those after whose files are found whole. A line cut off
    // claims nothing.
    std::unordered_map<std::string, std::string> lines;
    std::vector<Marked> unsynced;
    for (size_t at = 0, lf; (lf = text.find('\n', at)) != std::string::npos; at = lf + 1) {
        std::string line = text.substr(at, lf - at);
        if (line == "synced") {
            for (const Marked& m : unsynced) lines[m.group()] = m.line;
            unsynced.clear();
            continue;
        }
        Marked marked(line);
        if (marked.number >= 0) unsynced.push_back(marked);
    }
    std::string areas;
    bool read = false, listed = false;
    for (const Marked& m : unsynced)
        if (complete(m, soupdir, areas, read, listed)) lines[m.group()] = m.line;
    // The files and lines completed stand before the marks claim them.
    std::string areaspath = soupdir + "AREAS";
    if (listed && !syncpath(areaspath.c_str())) {
        failure = std::strerror(errno);
        failedat = areaspath;
        return JournalFailed;
    }
    if (!unsynced.empty() && !syncdirof(soupdir.c_str())) {
        failure = std::strerror(errno);
        failedat = soupdir;
        return JournalFailed;
    }
    std::string old;
    if (!lines.empty() && !readtext(path, old, error)) return ReadFailed;
    std::string folded;
    for (size_t at = 0; at < old.size();) {
        size_t lf = old.find('\n', at);
        size_t end = lf == std::string::npos ? old.size() : lf + 1;
        size_t length = (lf == std::string::npos ? end : lf) - at;
        // A line too long names no group.
        auto line = length > kLineMax ? lines.end() : lines.find(GroupLine(old.substr(at, length).c_str()).name);
        if (line == lines.end()) {
            folded.append(old, at, end - at);
        } else {
            folded += line->second;
            lines.erase(line);
        }
        at = end;
    }
    if (!old.empty()) {
        if (!prepare()) return WriteFailed;
        out.file.write(folded.data(), folded.size());
        if (!out.commit() && !out.inplace()) return WriteFailed;
        int openerror = 0;
        in.reset(openregular(path.c_str(), openerror));
        if (!in) return ReadFailed;
    }
    return forget() ? Saved : JournalFailed;
}

// length bytes of the file as read from from, or all to its end (-1), into
// the temporary file. False when they cannot be read; the temporary file
// goes then.
bool StateFile::copy(off_t from, off_t length) {
    char buffer[65536];
    while (length != 0) {
        size_t want = length < 0 || length > off_t{sizeof buffer} ? sizeof buffer : static_cast<size_t>(length);
        ssize_t n = pread(fileno(in.get()), buffer, want, from);
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 && length < 0) return true;
        if (n <= 0) {
            out.abandon();
            return false;
        }
        out.file.write(buffer, static_cast<size_t>(n));
        from += n;
        if (length > 0) length -= n;
    }
    return true;
}

const char* StateFile::reason() const { return failure.empty() ? out.reason() : failure.c_str(); }
