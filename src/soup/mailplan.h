// What a mail fetch does with the messages of one mailbox or folder, against
// the record of those it stored before: which to fetch, which to pass
// over, which to remove, and what the record becomes. It knows no source:
// only a listing (ids, sizes, Message-IDs), the record's entries (ids,
// times, Message-IDs), a folder's numbering where its ids are numbers, and
// the rules.
//
// A mailbox is listed whole: a recorded id it no longer lists is
// forgotten. A folder's listing starts where the last one ended (the
// record's next): what it recorded below that stays recorded unless the
// folder was asked whether it still has it. After a new numbering a
// recorded Message-ID vouches for one message, which counts as stored now;
// the others are fetched, and nothing is removed in that run.
#ifndef VORPA_SOUP_MAILPLAN_H
#define VORPA_SOUP_MAILPLAN_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/maillist.h"
#include "soup/mailrecord.h"

struct MailRules {
    // What was fetched stays on the server.
    bool keep = false;
    // What was stored at least that many days ago goes (0: never).
    long keepdays = 0;
    // A first fetch takes only the newest that many (0: all).
    long first = 0;
    // Without keep the mailbox is emptied: a message without text counts
    // as fetched, and goes with the others. Otherwise it stays untouched.
    bool empties = false;
};

class MailPlan {
public:
    // list: the source's, given before the record's entries for a
    // mailbox, after them for a folder. removes: the source deletes what it
    // is asked to; where it cannot, everything stays.
    MailPlan(MailList& list, const MailRules& rules, bool removes);

    // Takes the record's entries.
    MailRecord::Loaded load(MailRecord& record);
    // A folder's numbering and the number its next message gets (0: not
    // told), as its source tells them, and how many messages it holds:
    // what its listing asks for. test: a run that removes nothing asks
    // nothing only a removal needs.
    ListAsk select(uint32_t validity, uint32_t next, long messages, bool test);
    // What select will most likely ask, before the folder tells its
    // numbering: the record's.
    ListAsk guess(bool test) const;
    // Whether a folder of that numbering, next number and count leaves a
    // run nothing to list, fetch, check or remove.
    bool idle(uint32_t validity, uint32_t next, long messages) const;
    // Whether a folder's every message new to the record is fetched,
    // whatever the listing: not on a first fetch bounded by first.
    bool takesnew() const { return numbered && (loaded == MailRecord::Ready || rules.first == 0); }
    // The listing came (or none was needed): decides what is fetched and
    // what goes. A message stored before is not fetched again: without
    // keep it goes now, with it once keepdays let it go. The others are
    // fetched, but those of no size; where the mailbox is emptied they are
    // fetched too, those of size 0 (skipped, but removed) and those without
    // a size (neither). Of ids listed
    // more than once (a broken server) with keep the first is fetched once
    // and the others are passed over; without, all are fetched and removed
    // as those of a source without ids are.
    void sort(long long now);
    // The places of fetch of messages larger than most.
    std::vector<uint32_t> over(int64_t most) const;
    // Before limit: those places are not fetched, nor recorded; a folder's
    // next listing starts at the first of them, so that a later run finds
    // them again.
    void leave(const std::vector<uint32_t>& places);
    // After limit: those places, where still fetched, are stored as their
    // text only, and go last in fetch (texts tells how many); they stay on
    // the server whatever the rules say.
    void textonly(const std::vector<uint32_t>& places);
    // At most most messages with a size are fetched (SIZE_MAX: no bound);
    // returns how many are left for a later run, and taking tells how many
    // are fetched now.
    size_t limit(size_t most);
    // How many places of fetch, from the first, have an id to record.
    size_t keepable() const;
    // What a run would remove, as a run that removes nothing can tell: of
    // what was stored before, what is old enough (whether the rest is still
    // there is not asked), and what it fetches where nothing is kept.
    size_t wouldremove() const;
    // The Message-ID found in the header of the k-th message of fetch, stored
    // whole: recorded with it where the listing named none.
    void found(size_t k, std::string_view messageid);
    // The places of fetch that were stored; whole: the fetch went through
    // (else the next listing starts at the first not stored). Returns how
    // many were stored.
    size_t stored(const std::vector<bool>& places, bool whole, long long now);
    // Whether the record is to be written.
    bool changed() const;
    bool save(MailRecord& record) const;
    // The places to remove, in list order.
    std::vector<uint32_t> removals() const;
    // Of them, those stored by an earlier run.
    size_t earlier() const;
    // The removals are done, at once: they leave the record.
    void removed();

    // To be fetched: places in the list, in its order.
    std::vector<uint32_t> fetch;
    size_t before = 0;        // listed messages stored by an earlier run
    size_t taking = 0;        // of fetch, those with a size
    size_t texts = 0;         // the last places of fetch, stored as their text only
    bool renumbered = false;  // a folder's numbering is new
    bool keep;                // nothing fetched goes

private:
    static constexpr long long unseen = -1;
    static constexpr long long again = -2;
    static constexpr long long duplicate = -3;

    // An entry of a folder's record, held until its listing comes.
    struct Held {
        MailList::Id id;
        long long time;
        MailList::Id messageid;
        bool text;
    };

    bool nothingnew(uint32_t validity, uint32_t next, long messages) const;
    void index();
    // The id's index, the first of the ids equal to it; MailList::noid if
    // not listed.
    uint32_t find(std::string_view id) const;
    void take(const MailRecord::Entry& entry);
    void match(long long now);
    std::string_view heldpiece(MailList::Id at) const {
        return std::string_view(heldtext).substr(at.offset, at.length);
    }
    uint32_t number(uint32_t place) const;
    bool old(long long time, long long now) const;

    MailList& list;
    const MailRules rules;
    bool numbered = false;
    MailRecord::Loaded loaded = MailRecord::Missing;
    size_t listed = 0;                // places the source listed; those after are held ones
    std::vector<long long> fetched;   // per id
    std::vector<uint32_t> byid;       // indexes into the ids, sorted by id
    std::vector<uint32_t> fetchids;   // per place of fetch: its id to record, or none
    std::vector<bool> drop;           // per place in the list
    Texts messageids;                    // per id, a folder's
    std::vector<bool> textids;           // per id, a folder's: stored as its text only
    std::vector<Held> held;
    std::string heldtext;
    bool indexed = false;
    bool checked = false;   // the folder was asked for every held entry
    bool forgot = false;    // recorded ids gone
    bool recorded = false;  // an id stored now
    size_t vouched = 0;
    uint32_t validity = 0;  // the folder's
    uint32_t recordvalidity = 0;
    size_t dropped = 0;     // places to remove that were stored before
    size_t aged = 0;        // places stored before that are old enough to go
    uint32_t foldernext = 0;
    uint32_t mark = 1;      // where the next listing starts
    uint32_t leftmark = 0;  // the first number left on the server, 0: none
    uint32_t recordnext = 1;
};

#endif
