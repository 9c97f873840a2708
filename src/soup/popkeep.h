// The record of the messages a mail fetch has stored, by their unique ids
// (UIDL), and when: with POPKEEP the messages stay on the server and these
// are not fetched again; without, they are deleted there by a later run if
// this one ended before the server took QUIT. It lies beside the
// newsgroups state file, one line per id: seconds since the epoch, a space,
// the id. Neither reading nor writing holds the record in memory: a mailbox
// of 100,000 messages is no rarity.
#ifndef VORPA_SOUP_POPKEEP_H
#define VORPA_SOUP_POPKEEP_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/maillist.h"

class KeepRecord {
public:
    enum Loaded { Ready, Missing, Failed };

    // "popkeep-<account>" in the folder of statefile; without an account
    // name (the default account's) "popkeep-<user>@<host>-<port>", as
    // records were named before there were accounts.
    KeepRecord(const std::string& statefile, const std::string& account, const std::string& user,
               const std::string& host, unsigned short port);

    // Hands every line of the record (LF or CR LF line ends) to take;
    // Missing when there is none yet. A line that is not a time and an id
    // is passed over and counted in ignored(). Failed (reason() tells) when the record cannot be read,
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
    // After a failed save: the file it concerns, the temporary one written
    // first or the record.
    const std::string& failedfile() const { return failed; }

private:
    std::string path;
    std::string failed;
    long passedover = 0;
    int error = 0;
    const char* reasontext = "";
};

// What a fetch does with each message a mail source listed, against the
// record of those stored before: fetch it, pass over it, delete it. Per id
// of the list, in its order: when it was stored, unseen, or one of an id
// listed more than once by a broken server: with keep the first is fetched
// once and the others are passed over (again); without, all of them are
// fetched and deleted as those of a source without ids are (duplicate).
class FetchPlan {
public:
    FetchPlan(const MailList& list, bool keep);
    // Takes the times of the ids the record holds; notes those the source
    // no longer lists.
    KeepRecord::Loaded load(KeepRecord& record);
    // A message stored before is not fetched again: without keep it is
    // deleted now, with it once days let it go. Without keep the others
    // are fetched as they come, those of size 0 (skipped, but deleted) and
    // those without a size (neither) included.
    void sort(long days, long long now);
    // At most most messages are fetched (0: all); returns how many are
    // left for a later run.
    size_t limit(long most);
    // How many places of fetch, from the first, have an id to record.
    size_t keepable() const;
    // The first count places of fetch are stored now, to be deleted unless
    // kept; true when one of them has an id to record.
    bool stored(size_t count, long long now);
    // The record becomes the ids stored.
    bool save(KeepRecord& record) const;
    // The places to delete, in list order.
    std::vector<uint32_t> removals() const;

    // To be fetched: places in the list, in its order.
    std::vector<uint32_t> fetch;
    size_t before = 0;    // listed messages stored by an earlier run
    bool forgot = false;  // recorded ids the source no longer lists

private:
    static constexpr long long unseen = -1;
    static constexpr long long again = -2;
    static constexpr long long duplicate = -3;

    std::string_view id(uint32_t i) const { return list.id(i); }
    // The id's index, the first of the ids equal to it; MailList::noid if
    // not listed.
    uint32_t find(std::string_view id) const;

    const MailList& list;
    const bool keep;
    std::vector<long long> fetched;  // per id
    std::vector<uint32_t> byid;      // indexes into the ids, sorted by id
    std::vector<uint32_t> fetchids;  // per place of fetch: its id to record, or none
    std::vector<bool> drop;          // per place in the list
};

#endif
