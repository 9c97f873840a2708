// The NNTP client: replies and the fields of the ones the news phases read.
#ifndef VORPA_PROTO_NNTP_H
#define VORPA_PROTO_NNTP_H

#include <cstddef>
#include <vector>

#include "proto/client.h"

// One reply line, judged by its first character: 1xx, 2xx and 3xx
// positive, anything else negative; no line (or an empty one) is lost.
Reply readnntp(Socket& sock);
// The same into reply, whose text keeps its room: for the answers that
// come once per article.
void readnntp(Socket& sock, Reply& reply);

// 480: authentication required.
inline bool needslogin(const Reply& reply) { return reply.is("480"); }

// "441 435 Duplicate" (INN), "441 Duplicate article": the server has an
// article of that Message-ID already.
bool isduplicate(const Reply& reply);

// The articles a GROUP reply offers beyond the stored high mark.
struct GroupRange {
    long count = 0;
    long first = 0;
    long last = 0;
    long estimate = 0;  // the server's count of the whole group
    // False when a number is negative or does not fit a long: no article
    // number is.
    bool valid = true;

    // "211 count first last group": fields that cannot be read are 0.
    GroupRange(const char* reply, long high);
};

// The body of a LISTGROUP answer, up to its ".": the article numbers from
// first to last, ascending, at most max of them (the oldest; the rest are
// read and passed over, as are numbers out of order). False when the
// connection failed.
bool readnumbers(Socket& sock, long first, long last, size_t max, std::vector<long>& numbers);

#endif
