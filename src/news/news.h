// The news phases: NNTP fetch (with the newsgroup list) and NNTP post.
#ifndef VORPA_NEWS_H
#define VORPA_NEWS_H

#include "net/session.h"

int fetchnews();
int postnews();
int getnntpanswer(Socket& s, int quiet);
// Whether the reply in s.pszBuf is 480, authentication required.
bool needslogin(const Socket& s);
// After the greeting: STARTTLS when so set, then AUTHINFO USER and PASS
// when a login is set.
Step nntpbegin(Session& session);

#endif
