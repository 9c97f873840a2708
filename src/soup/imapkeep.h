// The record of an IMAP folder's messages that a mail fetch stored: the
// folder's UIDVALIDITY, the first UID not looked at yet, and per message
// kept on the server its UID, when it was stored and its Message-ID. The
// messages stay on the server; those the record names are not fetched
// again. One file per folder, "imapkeep-<account>-<folder>" beside the
// newsgroups state file: a first line "<uidvalidity> <next>", then
// "<uid> <time> <message-id>" a line.
#ifndef VORPA_SOUP_IMAPKEEP_H
#define VORPA_SOUP_IMAPKEEP_H

#include <cstdint>
#include <string>
#include <vector>

class ImapRecord {
public:
    enum Loaded { Ready, Missing, Failed };

    struct Entry {
        uint32_t uid;
        long long time;
        std::string messageid;
    };

    ImapRecord(const std::string& statefile, const std::string& account, const std::string& folder);

    // Missing when there is none yet; Failed (reason() tells) when it
    // cannot be read or its first line is damaged: trusting it would fetch
    // the folder again. A damaged entry line is passed over and counted.
    // Lines may end in LF or CR LF.
    Loaded load();
    long ignored() const { return passedover; }
    // Replaces the record in one step (temporary file, sync, rename).
    bool save();
    const std::string& where() const { return path; }
    const char* reason() const;
    // After a failed save: the file it concerns, the temporary one written
    // first or the record.
    const std::string& failedfile() const { return failed; }

    uint32_t uidvalidity = 0;
    uint32_t next = 1;
    std::vector<Entry> entries;  // by UID, ascending

private:
    std::string path;
    std::string failed;
    long passedover = 0;
    int error = 0;
    const char* reasontext = "";
};

#endif
