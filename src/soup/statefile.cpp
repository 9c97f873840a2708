// The newsgroups state file of a news fetch: read a line at a time, and
// replaced after every group that added to the packet.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/text.h"
#include "soup/soup.h"

StateFile::~StateFile() { drop(); }

StateFile::Opened StateFile::open(const std::string& path) {
    this->path = path;
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
    if (made) return true;
    // The name comes from the directory's free numbers; only a path too
    // long for one leaves none.
    if (createnew(out, path.c_str(), "TMP", temp) < 0) {
        error = errno;
        std::snprintf(temp, sizeof temp, "%s", path.c_str());
        return false;
    }
    made = true;
    fchmod(out.descriptor(), mode);
    return true;
}

StateFile::Replaced StateFile::save() {
    error = 0;
    if (!prepare()) return WriteFailed;
    for (const Piece& piece : done) {
        out.write(piece.text.data(), piece.text.size());
        if (!copy(piece.from, piece.length)) return ReadFailed;
    }
    if (!copy(rest, -1)) return ReadFailed;
    // Once renamed it is in place: whichever file a failed sync of the
    // directory leaves there is whole.
    if (!out.commitas(path.c_str()) && exist(temp)) return WriteFailed;
    made = false;
    savedrest = rest;
    return Saved;
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
            drop();
            return false;
        }
        out.write(buffer, static_cast<size_t>(n));
        from += n;
        if (length > 0) length -= n;
    }
    return true;
}

const char* StateFile::reason() const { return error != 0 ? std::strerror(error) : out.reason(); }

void StateFile::drop() {
    if (!made) return;
    out.discard();
    std::remove(temp);
    made = false;
}
