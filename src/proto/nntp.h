// The NNTP client: replies and the fields of the ones the news phases read.
#ifndef VORPA_PROTO_NNTP_H
#define VORPA_PROTO_NNTP_H

#include "net/session.h"

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

    // "211 count first last group": fields that cannot be read are 0.
    GroupRange(const char* reply, long high);
};

#endif
