// The SOUP packet: file names, AREAS, fetched records, REPLIES lines, and the
// outgoing message files.
#ifndef VORPA_SOUP_H
#define VORPA_SOUP_H

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "net/session.h"

// Writes the first free "%08lX.<ext>" path in the directory of base into
// out (4096 bytes) and returns its number; -1 when there is none (past
// FFFFFFFF) or the path would not fit. Callers report -1 like a file that
// cannot be made. With reserved, a number whose "%08lX.<reserved>" exists
// is not free either.
long genfname(const char* base, const char* ext, char* out, const char* reserved = nullptr);

// A packet or state file that is closed exactly once on every way out.
// Writes are checked and gathered in a buffer of its own, so that a record
// length can be patched there without a system call; commit() flushes,
// syncs and closes, and fails if any earlier write or any of those steps
// failed.
class PacketFile {
public:
    PacketFile() = default;
    PacketFile(const PacketFile&) = delete;
    PacketFile& operator=(const PacketFile&) = delete;
    ~PacketFile();

    // mode as for fopen: "w" or "wb" truncate, "a" or "ab" append.
    bool open(const char* path, const char* mode);
    bool isopen() const { return fd != -1; }
    int descriptor() const { return fd; }
    // Fetched text comes a line at a time: the common case is inline.
    bool write(const void* data, size_t len) {
        if (used + len > kBufferSize || !good) return writelong(data, len);
        std::memcpy(buffer.get() + used, data, len);
        used += len;
        return true;
    }
    // The offset the next write goes to.
    long position() const { return static_cast<long>(flushed + used); }
    bool ok() const { return good; }
    bool put(char c) {
        if (used == kBufferSize || !good) return writelong(&c, 1);
        buffer[used++] = c;
        return true;
    }
    // The first n - 1 bytes of data, then an LF (n at least 1): a line
    // whose CR LF end is stored as LF.
    bool writelf(const void* data, size_t n) {
        if (used + n > kBufferSize || !good) return writelong(data, n - 1) && put('\n');
        std::memcpy(buffer.get() + used, data, n);
        buffer[used + n - 1] = '\n';
        used += n;
        return true;
    }
    // Writes out the buffer unless len more bytes fit in it.
    bool makeroom(size_t len) { return used + len <= kBufferSize || flush(); }
    // Overwrites len bytes at offset, leaving the position where it is.
    bool patch(long offset, const void* data, size_t len);
    // Flush, fsync, close; false on failure (including any earlier write).
    bool commit();
    // Writes out what is buffered and closes, without checking: a file
    // being abandoned keeps what it was given.
    void discard();

private:
    static constexpr size_t kBufferSize = 131072;
    bool flush();
    bool writelong(const void* data, size_t len);

    std::unique_ptr<char[]> buffer = std::make_unique<char[]>(kBufferSize);
    size_t used = 0;     // bytes in buffer
    uint64_t flushed = 0;  // file offset of buffer[0]
    int fd = -1;
    bool good = false;  // open, and every write so far succeeded
};

// One length-prefixed record of a fetched message file: a 4-byte big-endian
// length, then the text with "\n" line ends.
class RecordWriter {
public:
    // Notes the position and writes the placeholder length.
    bool begin(PacketFile& file, uint32_t placeholder);
    // Stores one received line of len bytes (line end included), or one
    // piece of a line longer than the receive buffer, as RecvTeol delivers
    // them (an LF only at the end): a leading "." of a line is dropped and
    // a final "\r\n" becomes "\n".
    // Returns the number of bytes stored, or -1 on a write failure. Called
    // for every line of every message: inline.
    long line(const char* text, size_t len) {
        if (!file) return -1;
        bool starts = linestart;
        // The rest of an over-long line keeps its dots: they are text.
        linestart = len > 0 && text[len - 1] == '\n';
        if (starts && len > 0 && text[0] == '.') {
            text++;
            len--;
        }
        // A received line holds an LF only at its end.
        bool crlf = linestart && len >= 2 && text[len - 2] == '\r';
        size_t stored = crlf ? len - 1 : len;
        if (!(crlf ? file->writelf(text, stored) : file->write(text, stored))) return -1;
        return static_cast<long>(stored);
    }
    // Whether the next piece starts a line (the last one ended in "\n"):
    // only there do the terminator "." and dot-stuffing count.
    bool atlinestart() const { return linestart; }
    // Patches the length.
    bool end();

private:
    static constexpr size_t kRecordRoom = 16384;
    PacketFile* file = nullptr;
    long start = 0;
    bool linestart = true;
};

// A fetched message file in the making. It is written under a name of our
// own, "%08lX.PRT", whose number no message file takes meanwhile, and gets
// its "%08lX.MSG" name only once complete and synced: the packet never holds
// part of a fetch. One that is not finished is removed.
class IncomingFile {
public:
    IncomingFile() = default;
    IncomingFile(const IncomingFile&) = delete;
    IncomingFile& operator=(const IncomingFile&) = delete;
    ~IncomingFile();

    // Picks the number and makes the file; false when it cannot (path
    // names the message file for the report).
    bool open();
    // Flush, fsync, close, and the message file's name; false on failure.
    bool finish();

    PacketFile file;
    long number = -1;
    char path[4096] = "";  // the message file it becomes

private:
    char temp[4096] = "";
    bool made = false;
};

// Removes the "%08lX.<ext>" files in the directory of base that a run
// killed while writing them left behind.
void removeleftovers(const char* base, const char* ext);

// Makes durable the entries of the directory that holds path (a path
// ending in "/" names the directory itself), so that a file just made there
// survives a crash. False when that fails.
bool syncdirof(const char* path);

// Closes a file that is only read.
struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// Appends "%08lX\t<area>\t<encoding>\n" to soupdir + "AREAS" (mode "ab").
// On failure reports "Cannot append to %s\n" and returns -1.
int appendareas(long number, const char* area, const char* encoding);

// What a posting phase does with one REPLIES line.
enum class ReplyAction { Post, Pass, Keep };
enum ReplyKind { MAILKIND = 0, NEWSKIND = 1 };

struct ReplyEntry {
    const char* prefix = nullptr;  // base name of the message file
    const char* kind = nullptr;
    char format = 0;               // "u", "m", "M", "b" or "B"
};

// Splits a REPLIES line (modified in place) and judges it for the posting
// phase of kind `mine`; `otherruns` tells whether the other posting phase
// is part of this run. Reports and sets killreplies to 0 for Keep.
ReplyAction judgereply(char* line, int mine, int otherruns, ReplyEntry& entry);

// Length of the next message of an outgoing message file in format
// letter, with the file at its first byte; 0 only at the end of the file
// (messages of length 0 are skipped); -1 on a format error, a negative
// length or a read error. A length may reach past the end of the file: the
// message is cut short. A "u" length then reaches one byte past it (its
// decimal number could overflow the caller's offset). In "M" the
// line end of a delimiter line belongs to the delimiter.
long nextmessage(FILE* file, char letter);

// Reads one line of a message, whole and up to and including its "\n", but
// never more than left bytes, which it counts down. False at the end of the
// file or when left is 0 (line then empty), or on a read error (ferror).
bool readmessageline(FILE* file, long& left, std::string& line);

// Sees each header line of a message text (up to the first empty line,
// line end included as stored) before it is sent; returns false to hold the
// line back. The empty line ending the header is not shown.
using HeaderWatch = std::function<bool(const char* line, size_t len)>;

// Sends the message text that starts at start and is length bytes long (or
// runs to the end of the file, if that comes first), followed by ".\r\n":
// every line goes out ending in "\r\n" and a line beginning with "." gets
// another in front. Every byte is sent, NUL bytes included. watch may be
// empty. Returns 0 when all was sent, SENDTEXT_SENDFAILED when a send
// failed (errno tells why; nothing is reported), SENDTEXT_READFAILED when
// the file could not be read (the text went out incomplete and without
// its ".\r\n": the caller must drop the connection so that the server
// discards it).
enum { SENDTEXT_SENDFAILED = -1, SENDTEXT_READFAILED = -2 };
int sendmessagetext(Socket& sock, FILE* file, long start, long length, const HeaderWatch& watch);

// One outgoing message file being posted, and which of its messages a
// server has accepted. Those are remembered in "<prefix>.SNT" beside it:
// a line "file <device> <inode> <size> <mtime>" naming the file, then a line
// "<offset> <length> <sha256>" each, written and synced before the next
// message goes out, so that no later run sends them again. A record that
// does not match the file as it is now is discarded (reported), and the
// file sent whole. Nothing is recorded in test mode.
class PostedFile {
public:
    PostedFile(FILE* file, const char* path);
    PostedFile(const PostedFile&) = delete;
    PostedFile& operator=(const PostedFile&) = delete;
    ~PostedFile();

    // Whether an earlier run had the message accepted.
    bool wassent(long start, long length) const;
    // The server accepted the message. False, reported, when that could not
    // be recorded: the phase must stop before the next message.
    bool accepted(long start, long length);
    // The message was not sent: the file stays.
    void refused() { failed = true; }

    FILE* const file;
    const char* const path;
    bool failed = false;

private:
    std::string record;                        // the "<prefix>.SNT" path
    std::vector<std::pair<long, long>> sent;   // as read from it
    int fd = -1;
};

// The record of a message file sent whole goes with the REPLIES line that
// named it; the name is that of the message file.
void removesentrecord(const std::string& msgpath);

// The dialogue of a posting phase with its server, and its reports.
struct PostDialogue {
    // Connects and greets; called at the first entry to be posted.
    std::function<Step()> open;
    // Sends the message at [start, start + length) of the file, and tells
    // the file whether the server accepted it, now or (pipelined) at the
    // next call or at settle().
    std::function<Step(PostedFile& posted, long start, long length)> post;
    // Reads what is still outstanding of the file's last message (may be
    // empty); called before the file's fate is decided.
    std::function<Step()> settle;
    // Reported in verbose mode when there is no REPLIES file.
    const char* noreplies;
    // Reported in verbose mode when nothing was to be posted.
    const char* nothingposted;
};

// Runs a posting phase whose settings were checked (ready false: a missing
// setting was reported): reads REPLIES, judges each line for the phase of
// kind mine and posts every message of the files to be posted through the
// session, which it signs off at the end. Messages sent in earlier runs are
// not sent again. A file is removed (not in test mode) once all its
// messages were sent, and its line leaves REPLIES, which goes when no line
// is left; REPLIES is left alone when the reader changed it meanwhile. A
// file that AREAS lists is fetched mail or news that took a name REPLIES
// still holds: it is neither sent nor removed. Anything listed but not sent
// sets killreplies to 0; a regular end turns -1 into 1. Returns 1 after a
// regular end (or without REPLIES), 0 after a failure.
int postphase(Session& session, bool ready, int mine, int otherruns, const PostDialogue& dialogue);

#endif
