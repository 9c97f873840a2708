// The record of the messages a mail fetch has stored, by their unique ids
// (UIDL), and when: with POPKEEP the messages stay on the server and these
// are not fetched again; without, they are deleted there by a later run if
// this one ended before the server took QUIT. It lies beside the
// newsgroups state file, one line per id: seconds since the epoch, a space,
// the id. Neither reading nor writing holds the record in memory: a mailbox
// of 100,000 messages is no rarity.
#ifndef VORPA_SOUP_POPKEEP_H
#define VORPA_SOUP_POPKEEP_H

#include <functional>
#include <string>
#include <string_view>

class KeepRecord {
public:
    enum Loaded { Ready, Missing, Failed };

    // "popkeep-<user>@<host>-<port>" in the folder of statefile.
    KeepRecord(const std::string& statefile, const std::string& user, const std::string& host, unsigned short port);

    // Hands every line of the record to take; Missing when there is none
    // yet. A line that is not a time and an id is passed over and counted
    // in ignored(). Failed (reason() tells) when the record cannot be read,
    // is empty or holds no line that can be: trusting it would fetch every
    // message again.
    Loaded load(const std::function<void(std::string_view id, long long time)>& take);
    long ignored() const { return passedover; }
    // Replaces the record by the lines next gives until it returns false,
    // in one step: a crash leaves the old record or the new one. Without
    // any line the record goes, so that an empty one is always damage.
    // False after a failure (reason() tells).
    bool save(const std::function<bool(std::string_view& id, long long& time)>& next);
    const std::string& where() const { return path; }
    const char* reason() const;

private:
    std::string path;
    long passedover = 0;
    int error = 0;
    const char* reasontext = "";
};

#endif
