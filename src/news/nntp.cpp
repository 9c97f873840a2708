// What both news phases share: the reply reader and the steps between the
// greeting and the first command (STARTTLS, the login).
#include <cstdio>
#include <cstring>

#include "config/config.h"
#include "driver/driver.h"
#include "net/session.h"
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
    if (quiet) return 1;
    if (needslogin(s)) {
        logprintf("NNTP host requires a login (NNTPUSER, NNTPPASS): %s", s.pszBuf);
    } else {
        logprintf("NNTP host returned error: %s", s.pszBuf);
    }
    return 1;
}

bool needslogin(const Socket& s) { return std::strncmp(s.pszBuf, "480", 3) == 0; }

Step nntpbegin(Session& session) {
    Step step = Step::Next;
    if (nntptls == TLSSTART) step = session.starttls("STARTTLS\r\n");
    if (step != Step::Next || !*nntpuser) return step;
    if (!session.maysendsecret()) return Step::Quit;
    Socket& sock = session.sock;
    if (verbose) logprintf("+ Logging in as %s...\n", nntpuser);
    std::snprintf(sock.pszBuf, 16384, "AUTHINFO USER %s\r\n", nntpuser);
    int answer = session.askbuf();
    // 281 right away: no password wanted.
    if (answer == 0 && std::strncmp(sock.pszBuf, "381", 3) == 0) {
        std::snprintf(sock.pszBuf, 16384, "AUTHINFO PASS %s\r\n", nntppass);
        answer = session.askbuf();
    }
    return answer == 0 ? Step::Next : Step::Quit;
}
