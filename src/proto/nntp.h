// The NNTP client: replies and the fields of the ones the news phases read.
#ifndef VORPA_PROTO_NNTP_H
#define VORPA_PROTO_NNTP_H

#include "net/session.h"

// One reply line, judged by its first character: 1xx, 2xx and 3xx
// positive, anything else negative; no line (or an empty one) is lost.
Reply readnntp(Socket& sock);

// 480: authentication required.
inline bool needslogin(const Reply& reply) { return reply.is("480"); }

// "441 435 Duplicate" (INN), "441 Duplicate article": the server has an
// article of that Message-ID already.
bool isduplicate(const Reply& reply);

// Reads a signed number after optional white space, as "%ld" does; a
// number too large for a long saturates instead of wrapping. False when
// there is no number, leaving value alone.
bool readlong(const char*& p, long& value);

#endif
