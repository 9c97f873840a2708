// What a mail fetch stored of one mailbox or folder, and when, beside the
// newsgroups state file: per message its id, the time it was stored and,
// for a folder, its Message-ID. Its messages are not fetched again, and go
// from the server when the fetch's rules say so. A folder's ids are numbers
// that grow (IMAP's UIDs): its record also holds the folder's numbering
// (UIDVALIDITY) and the first id not looked at yet, where the next listing
// starts. Two forms on disk, one entry a line:
//   mailbox, "popkeep-<account>":         "<time> <id>"
//   folder, "imapkeep-<account>-<folder>": "<validity> <next>", then
//                                          "<id> <time> <message-id>", and
//                                          " text" after one stored as its
//                                          text only
// Entries pass through callbacks, one at a time: a mailbox's go straight
// against its listing, never all in memory, as a mailbox of 100,000
// messages is no rarity.
#ifndef VORPA_SOUP_MAILRECORD_H
#define VORPA_SOUP_MAILRECORD_H

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

class MailRecord {
public:
    enum Loaded { Ready, Missing, Failed };

    struct Entry {
        std::string_view id;
        long long time = 0;
        std::string_view messageid;  // empty for a mailbox's
        // A folder's message stored as its text only: its parts stay on the
        // server, and so does it.
        bool text = false;
    };

    // A mailbox's record is "popkeep-<account>" in the folder of
    // statefile; without an account name (the default account's)
    // "popkeep-<user>@<host>-<port>", as records were named before there
    // were accounts.
    static MailRecord mailbox(const std::string& statefile, const std::string& account, const std::string& user,
                              const std::string& host, unsigned short port);
    // A folder's is "imapkeep-<account>-<folder>", the folder's name, any
    // bytes, made a file name of its own.
    static MailRecord folder(const std::string& statefile, const std::string& account, const std::string& folder);

    // The folder form: ids are numbers, with a numbering and a next.
    bool numbered() const { return numbers; }
    // Hands every entry to take, in the record's order; lines may end in LF
    // or CR LF. Missing when there is none yet. A damaged entry line is
    // passed over and counted in ignored(). Failed (reason() tells) when
    // the record cannot be read, or (a folder's) its first line is
    // damaged, or (a mailbox's) it is empty or holds no entry that can be
    // read: trusting it would fetch every message again.
    Loaded load(const std::function<void(const Entry&)>& take) { return read(take, true); }
    // A folder's first line alone: its numbering and next, as load tells
    // them, the entries not read.
    Loaded numbering() {
        return read([](const Entry&) {}, false);
    }
    long ignored() const { return passedover; }
    // Replaces the record by the entries next gives until it returns false,
    // in one step (temporary file, sync, rename): a crash leaves the old
    // record or the new one. A mailbox's record without any entry goes, so
    // that an empty one is always damage. False after a failure (reason()
    // tells).
    bool save(const std::function<bool(Entry&)>& next);
    const std::string& where() const { return path; }
    const char* reason() const;
    // After a failed save: the file it concerns, the temporary one written
    // first or the record.
    const std::string& failedfile() const { return failed; }

    // A folder's numbering and the first id not looked at yet.
    uint32_t validity = 0;
    uint32_t next = 1;

private:
    MailRecord(std::string path, bool numbers) : path(std::move(path)), numbers(numbers) {}
    Loaded read(const std::function<void(const Entry&)>& take, bool whole);
    bool line(const std::string& text, bool fits, bool first, const std::function<void(const Entry&)>& take);

    std::string path;
    std::string failed;
    bool numbers;
    long passedover = 0;
    int error = 0;
    const char* reasontext = "";
};

#endif
