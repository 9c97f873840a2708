// Files written so that they are whole on disk before anything relies on
// them: checked writes, sync, rename into place, the directory synced.
#ifndef VORPA_CORE_DURABLE_H
#define VORPA_CORE_DURABLE_H

#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

// A file of the packet or beside it that must be whole on disk before
// anything relies on it, closed exactly once on every way out. Writes are
// checked and gathered in a buffer of its own, so that a record length can
// be patched there without a system call; commit() flushes, syncs and
// closes, and fails if any earlier write or any of those steps failed.
class DurableFile {
public:
    DurableFile() = default;
    DurableFile(const DurableFile&) = delete;
    DurableFile& operator=(const DurableFile&) = delete;
    ~DurableFile();

    // mode as for fopen: "w" or "wb" truncate, "a" or "ab" append, "wx"
    // makes a new file and fails (EEXIST) where one is.
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
    // Cuts the file back to its first length bytes, at most what was
    // written: the part of a record that will not be completed goes.
    bool cut(long length);
    // Flush and fsync, staying open; false on failure (including any
    // earlier write).
    bool sync();
    // Flush without the sync: what was written outlives the process, not a
    // crash. False on failure (including any earlier write).
    bool writeout() { return flush() && good; }
    // Flush, fsync, close; false on failure (including any earlier write).
    bool commit();
    // Flush and close, checked, without the sync: for a file synced later
    // (syncpath), with others.
    bool end();
    // commit(), then the file takes the name final in one step, and the
    // directory entry is synced: one of the two files is whole on disk
    // whatever happens.
    bool commitas(const char* final);
    // The system's reason for the first failure.
    const char* reason() const;
    // Writes out what is buffered and closes, without checking: a file
    // being abandoned keeps what it was given.
    void discard();

private:
    static constexpr size_t kBufferSize = 131072;
    bool flush();
    // Notes errno as the reason, unless an earlier failure has one.
    bool fail();
    bool writelong(const void* data, size_t len);

    std::unique_ptr<char[]> buffer = std::make_unique<char[]>(kBufferSize);
    size_t used = 0;     // bytes in buffer
    uint64_t flushed = 0;  // file offset of buffer[0]
    int fd = -1;
    bool good = false;  // open, and every write so far succeeded
    int error = 0;      // errno of the first failure
    std::string path;
};

// Opens a file to read that must be a regular file: a final symbolic link
// is not followed (unless followlink) and a FIFO or device does not block
// the open. Null when it cannot be opened or is no regular file; error then
// holds errno, or 0 for a file that is not a regular one, a final symbolic
// link included ("... is not a regular file").
FILE* openregular(const char* path, int& error, bool followlink = false);

// The words of such an error: the system's, or "not a regular file".
const char* openfailure(int error);

// Closes a file that is only read.
struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// The whole regular file into text, opened as openregular does; false
// when it cannot be opened or read (error: errno, or 0 for a file that is
// no regular one, or EIO for a read that failed). With errors, a file that
// could not be read to its end is true too, and says so there.
bool readtext(const std::string& path, std::string& text, int& error, bool* errors = nullptr,
              bool followlink = false);

// Makes durable the entries of the directory that holds path (a path
// ending in "/" names the directory itself), so that a file just made there
// survives a crash. False when that fails.
bool syncdirof(const char* path);
// Makes durable what was written to the file at path. False when that fails.
bool syncpath(const char* path);

#endif
