// The offline reader's archives: the fetched files packed for its download
// folder, and its reply archives taken into the packet. libarchive writes
// and reads them; an archive that comes from the reader is untrusted.
#ifndef VORPA_SOUP_ARCHIVES_H
#define VORPA_SOUP_ARCHIVES_H

#include <string>
#include <vector>

// What went wrong: the file it concerns and why.
struct ArchiveFault {
    std::string path;
    std::string reason;
};

// A packet packed for the reader.
struct Packed {
    std::string archive;  // where it lies
    long mails = 0;       // messages of the mail files packed
    long articles = 0;    // messages of the news files packed
};

enum class Packing { Nothing, Packed, Failed };

// Packs every fetched file that soupdir's AREAS lists, with its line, into
// a new archive "vorpaNNNN.zip" (format "zip") or "vorpaNNNN.tgz" (format
// "tgz") in dir, at the number after the highest in use there, its files
// numbered anew inside it: "AREAS", "00000000.MSG", ... It is written
// under a temporary name in dir, synced and renamed into place without
// replacing a file; only then do the files and their lines leave the
// packet, as a journal in soupdir names them, so that finishpacking()
// completes a packing killed at any point. A line whose file is gone goes
// with them. Nothing: AREAS names no file. Failed: fault says why; the
// packet is as it was.
Packing pack(const std::string& soupdir, const std::string& dir, const std::string& format, Packed& packed,
             ArchiveFault& fault);

// Completes a packing that a run killed left behind, if any: once the
// archive had its name, the files packed leave the packet; before, the
// temporary archive goes. False when that failed (fault says why).
bool finishpacking(const std::string& soupdir, ArchiveFault& fault);

// The bounds on a reply archive, whose expansion we do not choose.
constexpr long long kLetterMax = 64ll << 20;
constexpr long long kExpansionMax = 1ll << 30;

// The files of dir that may be reply archives, whatever their names, in
// the order of their names: neither hidden files nor folders. False when
// dir cannot be read (fault).
bool replyarchives(const std::string& dir, std::vector<std::string>& names, ArchiveFault& fault);

// A reply archive taken into the packet.
struct TakenIn {
    std::string moved;  // where the archive lies now, in "imported/"
    long files = 0;     // message files taken in
    long letters = 0;   // their messages
    bool before = false;  // its bytes were taken in before: it was only moved
};

enum class Taking { Taken, Refused, Failed };

// Takes in the reply archive at path (a zip or a tar, gzipped or not):
// every file its REPLIES lists goes into soupdir under a fresh name that
// nothing in the packet has, found whatever the case of its name, with
// its line in soupdir's REPLIES; then the SHA-256 of the archive goes into
// record and the archive into "imported/" beside it (made when missing),
// never replacing a file. A journal in soupdir lets
// finishtakingin() complete what a killed run began. An archive whose
// digest record holds is only moved. Refused: the archive is damaged, or
// holds a name with "/" or "..", a link, a device or other odd entry, a
// file over kLetterMax or more than kExpansionMax in all, or its REPLIES
// names a file it lacks; nothing was written and it stays where it is.
// Failed: the system failed (fault says where); nothing of the archive was
// taken in unless the journal holds it for the next run.
Taking takein(const std::string& soupdir, const std::string& path, const std::string& record, TakenIn& taken,
              ArchiveFault& fault);

// Completes a take-in that a run killed left behind, if any. False when
// that failed (fault says why).
bool finishtakingin(const std::string& soupdir, ArchiveFault& fault);

#endif
