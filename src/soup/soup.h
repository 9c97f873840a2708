// The SOUP packet: file names, AREAS, fetched records, REPLIES lines, and the
// outgoing message files.
#ifndef VORPA_SOUP_H
#define VORPA_SOUP_H

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/durable.h"
#include "core/outgoing.h"

// Writes the first free "%08lX.<ext>" path in the directory of base into
// out (4096 bytes) and returns its number; -1 when there is none (past
// FFFFFFFF) or the path would not fit. Callers report -1 like a file that
// cannot be made. With reserved, a number whose "%08lX.<reserved>" exists
// is not free either. The search begins at from: a caller that makes many
// files goes on after the number it took last, where every number below
// was taken, so that a file costs one look and not one per file before it.
long genfname(const char* base, const char* ext, char* out, const char* reserved = nullptr, long from = 0);

// The exclusive locks of one run, held until it is destroyed or the process
// ends: on the packet directory, then on each folder that holds state files
// (the newsgroups files and the records beside them), so that a second run
// on another packet still keeps off this one's state.
class RunLock {
public:
    enum Taken { Mine, Held, Unlockable };
    RunLock() = default;
    RunLock(const RunLock&) = delete;
    RunLock& operator=(const RunLock&) = delete;
    ~RunLock();

    // dir with or without its trailing "/"; a directory this lock already
    // holds, under any name, is Mine again. Held: another process has it
    // (holder is its pid when known, else 0); Unlockable: the system
    // refused (error tells why).
    Taken take(const std::string& dir);
    long holder = 0;
    int error = 0;

private:
    struct Lock {
        int fd;
        dev_t dev;
        ino_t ino;
    };
    std::vector<Lock> locks;
};

// Makes a new file "%08lX.<ext>" in the directory of base, exclusively, at
// the first number from from on free as genfname finds them (path as its out), and
// opens it in file: a number another process took meanwhile is passed
// over, and nobody's file is ever truncated. Returns the number, or -1
// with errno set and path the file that could not be made (empty when
// no name fits).
long createnew(DurableFile& file, const char* base, const char* ext, char* path, const char* reserved = nullptr,
               long from = 0);

// The new text of a file that is replaced whole. It goes to a temporary
// file "%08lX.TMP" beside it, made with createnew, and may be written in
// pieces while other work goes on; commit() syncs it and renames it into
// place, the directory synced, so that a crash leaves one of the two files
// whole. A temporary file that does not take the file's place is removed.
class Replacement {
public:
    Replacement() = default;
    Replacement(const Replacement&) = delete;
    Replacement& operator=(const Replacement&) = delete;
    ~Replacement() { abandon(); }

    // Makes the temporary file beside path, the file to replace, unless it
    // is made; false when it cannot.
    bool begin(const std::string& path);
    bool begun() const { return made; }
    // False when a write, the sync or the rename failed, or the sync of
    // the directory after it: inplace() tells which.
    bool commit();
    bool inplace() const { return renamed; }
    // Removes the temporary file, if there is one.
    void abandon();
    // The system's reason for a failure of begin() or commit().
    const char* reason() const;
    // The temporary file, also one that could not be made; the file itself
    // when no name fits.
    const char* temppath() const { return temp; }
    // The file a failure concerns: the temporary file until it took the
    // file's place, the file after.
    const char* failedpath() const { return renamed ? path.c_str() : temp; }

    DurableFile file;  // the temporary file, written to

private:
    std::string path;
    char temp[4096] = "";
    bool made = false;
    bool renamed = false;
    int error = 0;  // errno of a failure outside file
};

// One length-prefixed record of a fetched message file: a 4-byte big-endian
// length, then the text with "\n" line ends.
class RecordWriter {
public:
    // Notes the position and writes the placeholder length.
    bool begin(DurableFile& file, uint32_t placeholder);
    // Stores one received line of len bytes (line end included), or one
    // piece of a line longer than the receive buffer, as RecvTeol delivers
    // them (an LF only at the end): a leading "." of a line is dropped and
    // a final "\r\n" becomes "\n".
    // Returns the number of bytes stored, or -1 on a write failure. Called
    // for every line of every message: inline.
    long line(const char* text, size_t len) {
        // The rest of an over-long line keeps its dots: they are text.
        size_t stuffed = linestart && len > 0 && text[0] == '.' ? 1 : 0;
        return unstuffed(text + stuffed, len - stuffed);
    }
    // The same for a line whose leading "." was dropped already, or that
    // never had one (a line of a message as its source holds it).
    long unstuffed(const char* text, size_t len) {
        if (!file) return -1;
        linestart = len > 0 && text[len - 1] == '\n';
        // A received line holds an LF only at its end.
        bool crlf = linestart && len >= 2 && text[len - 2] == '\r';
        size_t stored = crlf ? len - 1 : len;
        if (!(crlf ? file->writelf(text, stored) : file->write(text, stored))) return -1;
        return static_cast<long>(stored);
    }
    // Patches the length.
    bool end();

private:
    static constexpr size_t kRecordRoom = 16384;
    DurableFile* file = nullptr;
    long start = 0;
    bool linestart = true;
};

// An unlinked file in the packet directory for the bodies a source sends
// with its listing, until the retrieve takes them: nothing of it stays,
// whatever becomes of the run. fd() is -1 where none could be made.
class Spool {
public:
    explicit Spool(const std::string& soupdir);
    ~Spool();
    Spool(const Spool&) = delete;
    Spool& operator=(const Spool&) = delete;
    int fd() const { return file; }
    // Empties it for the next folder.
    void clear();

private:
    int file = -1;
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

    // Picks the number in soupdir, the first free from from on, and makes
    // the file; false when it cannot (path names the message file for the
    // report all the same).
    bool open(const std::string& soupdir, long from = 0);
    // Flush, fsync, close, and the message file's name; false on failure.
    bool finish();
    // Flush and close, without the sync or the message file's name: the
    // file waits as "%08lX.NWS", out of the way of the removal of what
    // killed fetches left, until the news fetch gives many files their
    // names together (syncfetched, namefetched), or the next run does.
    // False on failure.
    bool setaside();
    // Lists the finished file in soupdir's AREAS. When the line cannot be
    // appended the file is removed again, its removal synced: no file stays
    // that AREAS does not list, to be fetched once more into another.
    bool list(const std::string& soupdir, const char* area, const char* encoding);
    // The system's reason for the failure of open, finish or list.
    const char* reason() const;

    DurableFile file;
    long number = -1;
    char path[4096] = "";  // the message file it becomes

private:
    char temp[4096] = "";
    bool made = false;
    std::string failure;  // the reason for a failure outside file
};

// Gives from the name to without replacing a file there; -1 with EEXIST
// when one is. A file system that cannot tell is given a plain rename.
int renamenew(const char* from, const char* to);

// Syncs the files set aside "%08lX.NWS" of soupdir of the numbers, all
// written out before the first is waited for. False when one fails: path
// names it, errno says why.
bool syncfetched(const std::string& soupdir, const std::vector<long>& numbers, std::string& path);
// Gives the file set aside "%08lX.NWS" of soupdir its message file name:
// that number's where it is free, else the next free one, never replacing
// a file. Returns the number, or -1 with errno set.
long namefetched(const std::string& soupdir, long number);

// Removes the "%08lX.<ext>" files in the directory of base that a run
// killed while writing them left behind.
void removeleftovers(const char* base, const char* ext);

// Appends "%08lX\t<area>\t<encoding>\n" to soupdir + "AREAS", synced unless
// sync is false. False on failure, with AREAS cut back to its old length and
// reason, when given, set to the system's reason.
bool appendareas(const std::string& soupdir, long number, const char* area, const char* encoding,
                 std::string* reason = nullptr, bool sync = true);
// The same for lines made so, any number of them, in one write.
bool appendareas(const std::string& soupdir, const std::string& lines, std::string* reason, bool sync);

// One line of the newsgroups state file: the name before the last colon,
// then "low-high". What is missing or unreadable counts as 0.
struct GroupLine {
    std::string name;
    long low = 0;
    long high = 0;

    // line without its line end.
    explicit GroupLine(const std::string& line);
};

// The newsgroups state file of a news fetch, read a line at a time, and its
// lines done with in the order read, at once or after more were read. It can
// be replaced, as often as asked, by the lines done with so far followed by
// the rest of the file as it was read: written under a temporary name
// beside it, synced and renamed into place, so that one of the two files is
// whole on disk whatever happens. The new file keeps the old one's
// permissions. Between replacements the new lines of groups go to a journal
// beside it, "<path>.marks", a line each, with the fetched file that holds
// the group's articles: a run killed before the replacement keeps them at
// the cost of a line each, not of the whole file, and the next run folds
// them into the file. The lines are written at once and synced together
// (commitjournal) once the files they name are named and listed, all
// synced: the next run completes what a line after the last sync names,
// and where it cannot, the line vouches for nothing.
class StateFile {
public:
    StateFile() = default;
    StateFile(const StateFile&) = delete;
    StateFile& operator=(const StateFile&) = delete;

    enum Opened { Ready, Missing, NotRegular };
    Opened open(const std::string& path);
    enum Read { Line, TooLong, End, ReadError };
    // The next line, without its line end; a line longer than kLineMax
    // is TooLong and not handed out.
    Read next(std::string& line);
    // The number of the line read last, from 1.
    long lineno() const { return number; }
    // The oldest line read and not yet done with is done with now: text
    // (line end included) takes its place, or it stays as it is.
    void replace(const std::string& text);
    void keep();
    // Whether a replacement would change anything: a line was done with
    // since the last one, or there was none yet.
    bool changed() const { return rest != savedrest; }

    // Makes the temporary file unless one is open.
    bool prepare();
    enum Replaced { Saved, WriteFailed, ReadFailed, JournalFailed };
    // Replaces the file, and the journal goes. WriteFailed: the temporary
    // file temppath() could not be made or written, for reason().
    // ReadFailed: the rest of the file could not be read.
    Replaced save();
    // Before the first line is read: the lines a killed run left in the
    // journal that still vouch for their group (the packet is soupdir; a
    // fetched file a line names and finds whole gets its name and AREAS
    // line where it lacks them) take the place of the first line of their
    // group each, the file is replaced, and the journal goes. Saved also when there is no journal;
    // JournalFailed: it could not be read or removed (journalpath() and
    // reason() tell).
    Replaced recover(const std::string& soupdir);
    // The line that replace() took last goes to the journal too, written
    // out (it outlives a kill), with the number and size of the fetched
    // file set aside, "%08lX.NWS", that holds the group's articles. False
    // when it cannot: journalpath() and reason() tell.
    bool journal(long number, long size);
    // What the journal holds is synced, to stand after a crash: call once
    // the files it names have their names and AREAS lines, all synced.
    bool commitjournal();
    const char* reason() const;
    const char* temppath() const { return out.temppath(); }
    // The journal, or the file whose failure a recovery met.
    const std::string& journalpath() const { return failedat.empty() ? marks : failedat; }

private:
    // Text, then a stretch of the file as read.
    struct Piece {
        std::string text;
        off_t from = 0;
        off_t length = 0;
    };
    bool copy(off_t from, off_t length);
    bool forget();

    std::string path;
    File in;
    mode_t mode = 0600;
    long number = 0;
    off_t offset = 0;         // bytes read
    std::deque<std::pair<off_t, off_t>> waiting;  // lines read, not done with: start, end
    off_t rest = 0;           // where the lines not done with begin
    off_t savedrest = -1;     // rest at the last replacement
    std::vector<Piece> done;  // what takes the place of the lines before rest
    std::string last;         // the text replace() took last
    Replacement out;
    std::string marks;        // the journal's path
    DurableFile journaled;    // the journal, once made
    bool journalnamed = false;  // its directory entry synced
    std::string failure;      // the reason of a failure of the journal
    std::string failedat;     // the file of a recovery's failure, if not the journal
};

// What a posting phase does with one REPLIES line.
enum class ReplyAction { Post, Pass, Keep };
enum ReplyKind { MAILKIND = 0, NEWSKIND = 1 };

struct ReplyEntry {
    const char* prefix = nullptr;  // base name of the message file
    const char* kind = nullptr;
    char format = 0;               // "u", "m", "M", "b" or "B"; "n" is "u"
    const char* report = nullptr;  // for Keep: what to say, if anything
    // For Keep: a line of the other kind, whose posting phase is not part
    // of this run; not a failure of this run.
    bool unasked = false;
};

// Splits a whole REPLIES line (modified in place) and judges it for the
// posting phase of kind `mine`; `otherruns` tells whether the other posting
// phase is part of this run.
ReplyAction judgereply(std::string& line, int mine, int otherruns, ReplyEntry& entry);

// The name of the entry of dir (ending in "/") that is name whatever its
// case: name itself when dir has it, else the first that differs from it
// only in case, else name. Readers unpacked by hand write "replies" and
// "r0000000.msg".
std::string casedname(const std::string& dir, const std::string& name);

// The message files of soupdir (".MSG" in any case) that neither AREAS nor
// REPLIES names, compared without regard to case, sorted into names. False
// when AREAS or REPLIES is there but cannot be read: nothing tells.
bool unnamedfiles(const std::string& soupdir, std::vector<std::string>& names);

// Length of the next message of an outgoing message file in format
// letter ("n" is read as "u"), with the file at its first byte; 0 only at the end of the file
// (messages of length 0 are skipped); -1 on a format error, a negative
// length or a read error. A length may reach past the end of the file: the
// message is cut short. A "u" length then reaches one byte past it (its
// decimal number could overflow the caller's offset), and so does a "b" or
// "B" length field that the end of the file cuts short. In "M" the
// line end of a delimiter line belongs to the delimiter.
long nextmessage(FILE* file, char letter);

// Reads the next message as nextmessage finds it, in the same pass, into
// message: its place, and what its header and (whole) its bytes tell. Returns
// as nextmessage; the file is left anywhere. A message cut short by the end
// of the file has the value of the bytes there are.
long readmessage(FILE* file, char letter, OutgoingMessage& message, bool whole = true);
// Reads the message at [start, start + length) of the file so. False on a
// read error.
bool readoutgoing(FILE* file, long start, long length, OutgoingMessage& message, bool whole = true);

// One outgoing message file being posted, and which of its messages a
// server has accepted. Those are remembered in "<prefix>.SNT" beside it:
// a line "file <device> <inode> <size> <mtime>" naming the file, then a line
// "<offset> <length> <sha256>" each, written and synced before the next
// message goes out, so that no later run sends them again. Messages are
// known by their digest: one whose bytes are recorded is not sent again
// wherever it stands now, so that editing a file partly sent sends only
// what is new in it. Lines "givenup <offset> <length> <sha256>" name
// messages moved out for good, "deferred <offset> <length> <sha256>
// <time>" those that failed for now. Reading the record changes nothing.
// A test run records too: what it sent is not sent again.
class PostedFile {
public:
    PostedFile(FILE* file, const char* path);
    PostedFile(const PostedFile&) = delete;
    PostedFile& operator=(const PostedFile&) = delete;

    // Each message is one of the file as readmessage() read it; one read
    // without its digest is read again where that is wanted.
    // Whether an earlier run had the message accepted, or gave it up.
    bool wassent(const OutgoingMessage& message);
    // The server accepted the message. False when that could not be
    // recorded (reason() tells why): the phase must stop before the next
    // message.
    bool accepted(const OutgoingMessage& message);
    // The message was refused for good and moved out of the packet: it is
    // never sent again. False as for accepted().
    bool givenup(const OutgoingMessage& message);
    // When the message first failed for now (seconds since the epoch),
    // recorded now if it had not; -1 when that could not be recorded.
    long deferredsince(const OutgoingMessage& message);
    // The header lines put before the message's own when it first went,
    // or none; a message sent again goes with the same bytes.
    std::string added(const OutgoingMessage& message);
    // Records them before the message goes. False as for accepted().
    bool addheaders(const OutgoingMessage& message, const std::string& head);
    const char* reason() const;
    // The message was not sent: the file stays.
    void refused() { failed = true; }

    // A message of the file went to a server in this run; its verdict
    // comes with the answers to its own commands.
    void handed(long start) { fates.push_back({start, Fate::Awaited}); }
    // The server refused the message handed at start, or it could not go
    // whole: the file stays.
    void refused(long start);
    // Every message handed in this run has its verdict.
    bool answered() const;

    // The messages of the file in format letter, and how many of them no
    // earlier run sent or gave up.
    struct Count {
        long messages = 0;
        long unsent = 0;
    };
    Count count(char format);

    FILE* const file;
    const std::string path;
    bool failed = false;
    // The record cannot be read: the file is sent whole, and a new record
    // takes its place at the first message recorded.
    bool stale = false;
    // The file changed since a message of it was sent or given up.
    bool changed = false;
    // A message of it was given up in this run.
    bool gaveup = false;
    const std::string record;  // the "<prefix>.SNT" path

    // A line of the record.
    enum Kind { Accepted, GivenUp, Deferred, Added };
    struct Entry {
        Kind kind;
        long start;
        long length;
        std::string digest;
        long since;  // Deferred: the first failure
        std::string head;  // Added: the header lines put before the message's own
        bool claimed = false;  // a message of the file was found to be it
    };

private:
    // The entry for the message's bytes, sent (accepted or given up) or
    // deferred, or null.
    Entry* find(bool sent, const OutgoingMessage& message, Kind other = Deferred);
    // Records a line.
    bool note(Kind kind, const OutgoingMessage& message, long since = 0, const std::string& head = "");
    // Opens the record with the first line of the run. One that cannot
    // take lines at its end as it is (none yet, unreadable, naming the file
    // as it was, cut short) is written anew, with the lines it holds.
    bool open(const std::string& line);
    enum class Fate { Awaited, Accepted, Refused, GivenUp };
    void judged(long start, Fate fate);

    std::vector<Entry> entries;  // as read
    std::vector<std::pair<long, Fate>> fates;  // of the messages handed
    // The record names the file as it is and ends with a whole line.
    bool appendable = false;
    bool missing = false;  // there is no record yet
    DurableFile out;
    int fault = 0;        // errno of a failure outside out
    std::string failure;  // the reason the record could not be written anew
};

// Whether the record of the message file names a message sent or given up.
bool partlysent(const std::string& msgpath);

// Stores the message, a letter given up, as a file of its own in soupdir's "refused/" (made with mode 0700
// when missing, and never cleaned): "<prefix>-<n>.eml" at the first n from
// 1 that is free, never replacing a file, synced with its directory. False
// when it cannot: path names the folder or file that failed and reason
// says why; no part of the copy stays.
bool storerefused(const std::string& soupdir, const char* prefix, const OutgoingMessage& message, std::string& path,
                  std::string& reason);

// The "<prefix>.SNT" record of a message file.
std::string sentrecordpath(const std::string& msgpath);

// Whether AREAS in soupdir names the file prefix: a fetch takes the first
// free name, so a file sent while REPLIES was kept may have been replaced
// by fetched mail or news, which is the reader's. Unreadable when AREAS is
// there but cannot be read as a regular file: nothing tells.
enum class Areas { Unlisted, Listed, Unreadable };
Areas listedinareas(const std::string& soupdir, const char* prefix);

// REPLIES as read, in its whole lines, and which of them are done with.
class RepliesFile {
public:
    // REPLIES is found whatever the case of its name.
    explicit RepliesFile(const std::string& soupdir)
        : soupdir(soupdir), path(soupdir + casedname(soupdir, "REPLIES")) {}
    enum Load { Missing, NotRegular, Read, ReadErrors };
    // Missing when there is no REPLIES; NotRegular when it is something
    // else than a regular file (a FIFO, a device, a symbolic link), which is
    // not read; ReadErrors when it could not be read to its end (what was
    // read is judged).
    Load load();
    // The line leaves REPLIES: its message file was sent whole.
    void drop(size_t line, const std::string& msgpath);
    enum Rewrite { Unchanged, Rewritten, Failed };
    // Writes what is left, atomically, or removes REPLIES when nothing is;
    // then the records of the finished files go, and those a killed run
    // left. A REPLIES that changed since it was read (the reader added a
    // line) stays as it is (Unchanged), as it does in test mode.
    Rewrite rewrite(bool test);

    const std::string soupdir;
    const std::string path;
    std::vector<std::string> lines;  // each with its line end, if any
    std::string reason;  // the system's, when rewrite() Failed

private:
    bool replace(const std::string& left);
    void removeorphans(const std::string& left);

    std::string text;
    std::vector<std::string> finished;  // message files of the lines that go
};

#endif
