// The news phases: NNTP fetch (with the newsgroup list) and NNTP post.
#ifndef VORPA_NEWS_H
#define VORPA_NEWS_H

class Socket;

int fetchnews();
int postnews();
int getnntpanswer(Socket& s, int quiet);

#endif
