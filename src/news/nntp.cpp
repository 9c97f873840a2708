// The NNTP reply reader shared by the news fetch and the news post.
#include <cstdio>

#include "driver/driver.h"
#include "net/socket.h"
#include "news/news.h"

// Reads one reply line into s.pszBuf and judges it by its first character:
// 0 for 1xx, 2xx and 3xx, 1 for anything else (logged with the server's own
// line unless quiet), -1 when no line arrived. The line stays in pszBuf for
// the caller's further fields.
int getnntpanswer(Socket& s, int quiet) {
    if (s.RecvTeol() < 1) {
        syserror("Receive");
        return -1;
    }
    char code = s.pszBuf[0];
    if (code == '1' || code == '2' || code == '3') return 0;
    if (!quiet) logprintf("NNTP host returned error: %s", s.pszBuf);
    return 1;
}
