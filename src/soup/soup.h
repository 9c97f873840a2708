// The SOUP packet: file names, AREAS, fetched records, REPLIES lines, and the
// outgoing message files.
#ifndef VORPA_SOUP_H
#define VORPA_SOUP_H

#include <cstdint>
#include <cstdio>

class Socket;

// Writes the first free "%08lX.<ext>" path in the directory of base into
// out (4096 bytes) and returns its number; -1 when there is none (past
// FFFFFFFF) or the path would not fit. Callers report -1 like a file that
// cannot be made.
long genfname(const char* base, const char* ext, char* out);

// A packet or state file that is closed exactly once on every way out.
// Writes are checked; commit() flushes, syncs and closes, and fails if any
// earlier write or any of those steps failed.
class PacketFile {
public:
    PacketFile() = default;
    PacketFile(const PacketFile&) = delete;
    PacketFile& operator=(const PacketFile&) = delete;
    ~PacketFile();

    bool open(const char* path, const char* mode);
    bool isopen() const { return f != nullptr; }
    FILE* get() const { return f; }
    bool write(const void* data, size_t len);
    bool ok() const { return good; }
    // Flush, fsync, fclose; false on failure (including any earlier write).
    bool commit();
    // Close without caring (a file being abandoned).
    void discard();

private:
    FILE* f = nullptr;
    bool good = true;
};

// One length-prefixed record of a fetched message file: a 4-byte big-endian
// length, then the text with "\n" line ends.
class RecordWriter {
public:
    // Notes the position and writes the placeholder length.
    bool begin(PacketFile& file, uint32_t placeholder);
    // Stores one received line of len bytes (line end included): a leading
    // "." is dropped and the first "\r\n" becomes "\n", ending the line.
    // Returns the number of bytes stored, or -1 on a write failure.
    long line(const char* text, size_t len);
    // Patches the length and returns to the end of the file.
    bool end();

private:
    PacketFile* file = nullptr;
    long start = 0;
};

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
// letter, with the file at its first byte; 0 at the end; -1 on a format
// error or a negative length.
long nextmessage(FILE* file, char letter);

#endif
