// The record of what went out of an outgoing file, and REPLIES itself.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "core/text.h"
#include "soup/journal.h"
#include "soup/soup.h"

namespace {

// "<device> <inode> <size> <mtime seconds> <mtime nanoseconds>": what the
// record was made for. A file written anew under the same name differs.
std::string identity(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) return "";
    char text[160];
    std::snprintf(text, sizeof text, "%llu %llu %lld %lld %ld", static_cast<unsigned long long>(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino), static_cast<long long>(st.st_size),
                  static_cast<long long>(st.st_mtim.tv_sec), static_cast<long>(st.st_mtim.tv_nsec));
    return text;
}

// The message's digest: as read, else read now; empty when its bytes
// cannot be read.
std::string digestof(const OutgoingMessage& message) {
    if (!message.digest.empty()) return message.digest;
    OutgoingMessage whole;
    return readoutgoing(message.file, message.start, message.length, whole) ? whole.digest : "";
}

// errno as a failure's reason; some failures leave it unset.
int lasterror() { return errno != 0 ? errno : EIO; }

}  // namespace

namespace {

// A line of a record without its line end; false for one that is none.
bool parseline(const std::string& line, PostedFile::Entry& entry) {
    const char* p = line.c_str();
    entry.kind = PostedFile::Accepted;
    entry.since = 0;
    if (line.compare(0, 8, "givenup ") == 0) {
        entry.kind = PostedFile::GivenUp;
        p += 8;
    } else if (line.compare(0, 9, "deferred ") == 0) {
        entry.kind = PostedFile::Deferred;
        p += 9;
    } else if (line.compare(0, 6, "added ") == 0) {
        entry.kind = PostedFile::Added;
        p += 6;
    }
    char hex[65];
    int used = 0;
    entry.claimed = false;
    if (std::sscanf(p, "%ld %ld %64[0-9a-f]%n", &entry.start, &entry.length, hex, &used) != 3) return false;
    p += used;
    if (entry.kind == PostedFile::Deferred) {
        if (std::sscanf(p, " %ld%n", &entry.since, &used) != 1) return false;
        p += used;
    }
    entry.head.clear();
    if (entry.kind == PostedFile::Added) {
        if (*p++ != ' ') return false;
        for (; isxdigit(static_cast<unsigned char>(p[0])) && isxdigit(static_cast<unsigned char>(p[1])); p += 2)
            entry.head += static_cast<char>(std::stoi(std::string(p, 2), nullptr, 16));
        // Whole lines, as they were added: the size of the text sent
        // after them is known beforehand.
        if (entry.head.empty() || entry.head.back() != '\n') return false;
    }
    entry.digest = hex;
    return *p == '\0' && entry.start >= 0 && entry.length > 0 && entry.digest.size() == 64;
}

std::string recordline(const PostedFile::Entry& entry) {
    std::string line = entry.kind == PostedFile::GivenUp    ? "givenup "
                       : entry.kind == PostedFile::Deferred ? "deferred "
                       : entry.kind == PostedFile::Added    ? "added "
                                                            : "";
    line += std::to_string(entry.start) + " " + std::to_string(entry.length) + " " + entry.digest;
    if (entry.kind == PostedFile::Deferred) line += " " + std::to_string(entry.since);
    // The lines in hex: one line of the record, whatever they hold.
    if (entry.kind == PostedFile::Added) {
        static const char digits[] = "0123456789abcdef";
        line += ' ';
        for (unsigned char c : entry.head) {
            line += digits[c >> 4];
            line += digits[c & 15];
        }
    }
    return line + "\n";
}

// The whole lines of a record's text after the first, which names the
// file; at tells where the lines end.
std::vector<PostedFile::Entry> parserecord(const std::string& text, size_t& at) {
    std::vector<PostedFile::Entry> entries;
    at = 0;
    for (size_t lf; (lf = text.find('\n', at)) != std::string::npos; at = lf + 1) {
        PostedFile::Entry entry;
        if (at != 0 && parseline(text.substr(at, lf - at), entry)) entries.push_back(entry);
    }
    return entries;
}

bool sentany(const std::vector<PostedFile::Entry>& entries) {
    for (const PostedFile::Entry& e : entries)
        if (e.kind == PostedFile::Accepted || e.kind == PostedFile::GivenUp) return true;
    return false;
}

}  // namespace

PostedFile::PostedFile(FILE* file, const char* path) : file(file), path(path), record(sentrecordpath(path)) {
    std::string text;
    int error = 0;
    bool errors = false;
    if (!readtext(record, text, error, &errors) || errors) {
        // What it holds is not known: the file is sent whole, a duplicate
        // at worst.
        stale = error != ENOENT;
        missing = !stale;
        return;
    }
    // A line cut short by a crash was never synced: its message goes again.
    size_t end = 0;
    entries = parserecord(text, end);
    bool named = text.compare(0, text.find('\n'), "file " + identity(fileno(file))) == 0 && end > 0;
    appendable = named && end == text.size();
    changed = !named && sentany(entries);
}

PostedFile::Entry* PostedFile::find(bool sent, const OutgoingMessage& message, Kind other) {
    auto kind = [sent, other](const Entry& e) { return sent ? e.kind == Accepted || e.kind == GivenUp : e.kind == other; };
    const long start = message.start, length = message.length;
    // Each line vouches for one message: of two alike, one may be unsent.
    for (Entry& e : entries)
        if (e.claimed && e.start == start && e.length == length && kind(e)) return &e;
    std::string sum;
    for (Entry& e : entries) {
        if (e.claimed || !kind(e) || e.length != length) continue;
        if (sum.empty()) sum = digestof(message);
        if (sum.empty()) return nullptr;
        if (e.digest != sum) continue;
        // Written anew, the record says where it stands now.
        e.start = start;
        e.claimed = true;
        return &e;
    }
    return nullptr;
}

bool PostedFile::wassent(const OutgoingMessage& message) { return find(true, message) != nullptr; }

bool PostedFile::accepted(const OutgoingMessage& message) { return note(Accepted, message); }

bool PostedFile::givenup(const OutgoingMessage& message) { return note(GivenUp, message); }

std::string PostedFile::added(const OutgoingMessage& message) {
    const Entry* e = find(false, message, Added);
    return e ? e->head : "";
}

bool PostedFile::addheaders(const OutgoingMessage& message, const std::string& head) {
    return note(Added, message, 0, head);
}

long PostedFile::deferredsince(const OutgoingMessage& message) {
    if (const Entry* e = find(false, message)) return e->since;
    long now = static_cast<long>(std::time(nullptr));
    return note(Deferred, message, now) ? now : -1;
}

bool PostedFile::note(Kind kind, const OutgoingMessage& message, long since, const std::string& head) {
    errno = 0;
    std::string sum = digestof(message);
    fault = sum.empty() ? lasterror() : 0;
    // Also in a test run: what it sends is recorded anew.
    Entry entry{kind, message.start, message.length, sum, since, head, true};
    std::string line = recordline(entry);
    bool ok = fault == 0 && (out.isopen() ? out.write(line.data(), line.size()) && out.sync() : open(line));
    if (!ok) failed = true;
    if (ok && kind == Accepted) judged(message.start, Fate::Accepted);
    if (ok && kind == GivenUp) {
        judged(message.start, Fate::GivenUp);
        gaveup = true;
    }
    // A deferral holds for the rest of the run too; what was sent is told
    // by earlier runs only, so that a message twice in the file goes twice.
    if (ok && (kind == Deferred || kind == Added)) entries.push_back(entry);
    return ok;
}

bool PostedFile::open(const std::string& line) {
    if (appendable) return out.open(record.c_str(), "a") && out.write(line.data(), line.size()) && out.sync();
    std::string text = "file " + identity(fileno(file)) + "\n";
    for (const Entry& e : entries) text += recordline(e);
    text += line;
    // A new record cut short by a crash lacks at most its one line.
    if (missing) {
        if (out.open(record.c_str(), "a") && out.write(text.data(), text.size()) && out.sync() &&
            syncdirof(record.c_str()))
            return true;
        fault = out.ok() ? lasterror() : 0;
        return false;
    }
    Replacement anew;
    if (!anew.begin(record) || !anew.file.write(text.data(), text.size()) || !anew.commit()) {
        failure = anew.reason();
        return false;
    }
    return out.open(record.c_str(), "a");
}

PostedFile::Count PostedFile::count(char format) {
    Count count;
    OutgoingMessage message;
    for (long offset = 0;;) {
        if (fseek(file, offset, SEEK_SET) != 0 || readmessage(file, format, message, false) <= 0) return count;
        offset = message.start + message.length;
        count.messages++;
        if (!wassent(message)) count.unsent++;
    }
}

void PostedFile::refused(long start) {
    failed = true;
    judged(start, Fate::Refused);
}

void PostedFile::judged(long start, Fate fate) {
    for (auto& handed : fates)
        if (handed.first == start && handed.second == Fate::Awaited) {
            handed.second = fate;
            return;
        }
}

bool PostedFile::answered() const {
    return std::none_of(fates.begin(), fates.end(), [](const auto& f) { return f.second == Fate::Awaited; });
}

const char* PostedFile::reason() const {
    return !failure.empty() ? failure.c_str() : fault != 0 ? std::strerror(fault) : out.reason();
}

bool partlysent(const std::string& msgpath) {
    std::string text;
    int error = 0;
    size_t end = 0;
    return readtext(sentrecordpath(msgpath), text, error) && sentany(parserecord(text, end));
}

std::string sentrecordpath(const std::string& msgpath) { return msgpath.substr(0, msgpath.size() - 3) + "SNT"; }

Areas listedinareas(const std::string& soupdir, const char* prefix) {
    int error = 0;
    File areas(openregular((soupdir + "AREAS").c_str(), error));
    if (!areas) return error == ENOENT ? Areas::Unlisted : Areas::Unreadable;
    size_t len = std::strlen(prefix);
    std::string line;
    int c;
    do {
        c = getc(areas.get());
        if (c != EOF && c != '\n') {
            if (line.size() <= len) line.push_back(static_cast<char>(c));
            continue;
        }
        if (line.size() > len && line.compare(0, len, prefix) == 0 && line[len] == '\t') return Areas::Listed;
        line.clear();
    } while (c != EOF);
    return Areas::Unlisted;
}



RepliesFile::Load RepliesFile::load() {
    bool errors = false;
    int error = 0;
    if (!readtext(path, text, error, &errors)) return error == 0 ? NotRegular : Missing;
    for (size_t at = 0; at < text.size();) {
        size_t lf = text.find('\n', at);
        size_t end = lf == std::string::npos ? text.size() : lf + 1;
        lines.push_back(text.substr(at, end - at));
        at = end;
    }
    return errors ? ReadErrors : Read;
}

void RepliesFile::drop(size_t line, const std::string& msgpath) {
    lines[line].clear();
    finished.push_back(msgpath);
}

RepliesFile::Rewrite RepliesFile::rewrite(bool test) {
    std::string left;
    for (const std::string& line : lines) left += line;
    if (test || (left == text && !text.empty())) return Unchanged;
    std::string now;
    int error = 0;
    if (!readtext(path, now, error) || now != text) return Unchanged;
    if (!replace(left)) return Failed;
    for (const std::string& msgpath : finished) std::remove(sentrecordpath(msgpath).c_str());
    removeorphans(left);
    return Rewritten;
}

// Records whose message file is gone and that no line left names: those a
// killed run could not remove.
void RepliesFile::removeorphans(const std::string& left) {
    std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(soupdir.c_str()), closedir);
    if (!d) return;
    while (const dirent* entry = readdir(d.get())) {
        std::string name = entry->d_name;
        if (name.size() < 5 || name.compare(name.size() - 4, 4, ".SNT") != 0) continue;
        std::string prefix = name.substr(0, name.size() - 4);
        if (exist((soupdir + casedname(soupdir, prefix + ".MSG")).c_str()) ||
            ("\n" + left).find("\n" + prefix + "\t") != std::string::npos)
            continue;
        std::remove((soupdir + name).c_str());
    }
}

bool RepliesFile::replace(const std::string& left) {
    if (left.empty()) {
        errno = 0;
        if (std::remove(path.c_str()) == 0 && syncdirof(soupdir.c_str())) return true;
        reason = std::strerror(lasterror());
        return false;
    }
    Replacement f;
    if (f.begin(path) && f.file.write(left.data(), left.size()) && f.commit()) return true;
    reason = f.reason();
    return false;
}
