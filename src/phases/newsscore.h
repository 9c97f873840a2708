// What the news fetch adds for scored groups and cross-posts: the overview
// of a group scored before its articles are asked for, and what a run
// stored, so that an article cross-posted to several subscribed groups is
// stored in the first only.
#ifndef VORPA_PHASES_NEWSSCORE_H
#define VORPA_PHASES_NEWSSCORE_H

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/text.h"
#include "proto/nntp.h"
#include "score/score.h"

// The Message-IDs and Xref numbers of one run's articles, asked for or
// stored, with the group they went to first. Kept as 64-bit hashes: a
// day's hundred thousand articles take a few MB, and two of them share a
// hash about once in 10^9 runs.
class CrossPosts {
public:
    // An ARTICLE of group goes out for the article of that Message-ID.
    void asked(const std::string& group, const std::string& messageid);
    // Stored in group: its Message-ID, and the other groups' numbers its
    // Xref names ("host group:number ...").
    void stored(const std::string& group, const std::string& messageid, const std::string& xref);
    // Calls each(group, number) for the other groups' numbers xref names,
    // until it returns true; true then.
    template <class Each>
    static bool named(const std::string& xref, const std::string& group, Each&& each);
    // Whether number of group was asked for or stored in another group, by
    // its Message-ID (where known) or an Xref.
    bool elsewhere(const std::string& group, long number, const std::string& messageid) const;
    // Whether an article of that Message-ID was stored in another group.
    bool storedelsewhere(const std::string& group, const std::string& messageid) const;

private:
    struct Seen {
        uint64_t group;
        bool stored;
    };
    std::unordered_map<uint64_t, Seen> ids;
    std::unordered_set<uint64_t> numbers;  // of group and number
};

// Whether asked holds number.
bool holds(const ArticleNumbers& asked, long number);

// The Message-ID an ARTICLE answer names ("220 n <id>"); empty when none.
std::string answeredid(const Reply& reply);

// A scored group's overview: what each article offered scored, and what
// the scoring left to fetch.
struct Overview {
    struct Line {
        long number;
        long score;
        long bytes;
        std::string messageid;
        std::string xref;
    };
    GroupScore rules;         // empty: the group is not scored
    bool came = false;        // the server sent the overview
    bool onheaders = false;   // it did not: articles are scored on their headers
    std::vector<Line> lines;  // as they came; by number once kept
    long killed = 0;          // articles below the least score
    uint64_t killedbytes = 0;
    long passedhigh = 0;  // the highest number killed: the mark may move past it

    // One overview line of the range first to last, scored.
    void take(const char* line, size_t len, long first, long last, time_t now);
    // Keeps of asked the numbers whose overview line scored min or more;
    // the rest are killed or not there.
    void keep(ArticleNumbers& asked, long min);
    // "Killed 412 articles (1.9 MB) by score\n"; empty when none were.
    std::string said() const;
    // The line of number; null when none came.
    const Line* find(long number) const;
};

template <class Each>
bool CrossPosts::named(const std::string& xref, const std::string& group, Each&& each) {
    // "host group:number ...": every word with a colon but this group's.
    for (size_t at = xref.find(' '); at != std::string::npos && at < xref.size();) {
        at = xref.find_first_not_of(' ', at);
        if (at == std::string::npos) break;
        size_t end = std::min(xref.find(' ', at), xref.size());
        size_t colon = xref.rfind(':', end - 1);
        if (colon != std::string::npos && colon > at && xref.compare(at, colon - at, group) != 0) {
            long number = 0;
            const char* p = xref.c_str() + colon + 1;
            if (readlong(p, number) && each(xref.substr(at, colon - at), number)) return true;
        }
        at = end;
    }
    return false;
}

#endif
