// The newsgroups state file of a news fetch: read a line at a time, the
// new lines of groups journaled as they come, and replaced at the end.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unordered_map>

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

bool StateFile::journal() {
    if (!journaled.isopen()) {
        if (!journaled.open(marks.c_str(), "ab")) {
            failure = journaled.reason();
            return false;
        }
        fchmod(journaled.descriptor(), mode);
        // Made now, its name must last as its lines do.
        if (!syncdirof(marks.c_str())) {
            failure = std::strerror(errno);
            return false;
        }
    }
    if (journaled.write(last.data(), last.size()) && journaled.sync()) return true;
    failure = journaled.reason();
    return false;
}

// Removes the journal for good.
bool StateFile::forget() {
    ArchiveFault fault;
    if (removesynced(marks, fault)) return true;
    failure = fault.reason;
    return false;
}

StateFile::Replaced StateFile::recover() {
    std::string text;
    int error = 0;
    if (!readtext(marks, text, error)) {
        if (error == ENOENT) return Saved;
        failure = error != 0 ? std::strerror(error) : "not a regular file";
        return JournalFailed;
    }
    // The last whole line of each group: one cut off by the kill claims
    // nothing.
    std::unordered_map<std::string, std::string> lines;
    for (size_t at = 0, lf; (lf = text.find('\n', at)) != std::string::npos; at = lf + 1)
        lines[GroupLine(text.substr(at, lf - at).c_str()).name] = text.substr(at, lf + 1 - at);
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
