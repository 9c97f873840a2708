// The news post phase: every news entry of REPLIES goes to the NNTP server
// through one connection, one POST per article.
#include <cstdio>
#include <cstring>

#include "config/config.h"
#include "driver/driver.h"
#include "net/socket.h"
#include "news/news.h"
#include "soup/soup.h"

namespace {

const unsigned short NNTPPORT = 119;
const int SOCKBUFSIZE = 16384;

// Sends a fixed command; a failure is reported.
int sendcommand(Socket& sock, const char* command) {
    snprintf(sock.pszBuf, SOCKBUFSIZE, "%s", command);
    if (sock.Send(sock.pszBuf) == -1) {
        syserror("Send");
        return -1;
    }
    return 0;
}

bool iswhite(char c) { return c == ' ' || c == '\t'; }

// Reports the groups of each article from its "Newsgroups:" header line;
// every header line goes out.
HeaderWatch reportgroups() {
    return [](const char* line, size_t len) {
        const size_t tag = 11;
        if (len >= tag && memicmp(line, "Newsgroups:", tag) == 0) {
            size_t from = tag;
            while (from < len && iswhite(line[from])) from++;
            size_t to = from;
            while (to < len && line[to] != '\r' && line[to] != '\n') to++;
            logprintf("* Posting article to %.*s\n", static_cast<int>(to - from), line + from);
        }
        return true;
    };
}

PostStep opensession(Socket& sock) {
    if (sock.Create() == -1) {
        syserror("Open socket");
        return END;
    }
    sock.ulTimeout = 20;
    logprintf("Posting news to %s...\n", nntphost);
    if (verbose) logprintf("+ Connecting to NNTP host %s...\n", nntphost);
    if (sock.Connect(nntphost, NNTPPORT) == -1) {
        logprintf("Cannot connect to host %s at port %d\n", nntphost, NNTPPORT);
        return END;
    }
    if (getnntpanswer(sock, 0) != 0) return END;
    sock.ulTimeout = 90;
    return GOON;
}

// One article: POST, the text, the server's verdict. failed is set when the
// server did not take it, so that its file stays.
PostStep postarticle(Socket& sock, FILE* file, long start, long length, const char* path, bool& failed) {
    if (sendcommand(sock, "POST\r\n") == -1) return QUITANDEND;
    int answer = getnntpanswer(sock, 0);
    if (answer != 0) {
        // Console only: the server's own line or the receive error has
        // been reported already.
        fputs("! NNTP server doesn't allow us to post\n", stdout);
        return END;
    }

    int sent = sendmessagetext(sock, file, start, length, reportgroups());
    if (sent == SENDTEXT_SENDFAILED) {
        syserror("Send");
        return QUITANDEND;
    }
    if (sent == SENDTEXT_READFAILED) {
        // The text is incomplete: only dropping the connection keeps the
        // server from posting it.
        logprintf("! Error in message file %s\n", path);
        return END;
    }

    answer = getnntpanswer(sock, 0);
    if (answer != 0) {
        fputs("! NNTP server did not accept message\n", stdout);
        failed = true;
        // Without an answer the dialogue is out of step and the article's
        // fate unknown: the connection is fit only for closing.
        if (answer == -1) return END;
    }
    return GOON;
}

PostStep signoff(Socket& sock) {
    if (verbose) logprintf("+ Signing off...\n");
    if (sendcommand(sock, "QUIT\r\n") == -1) return END;
    if (getnntpanswer(sock, 0) != 0) return END;
    sock.Close();
    if (verbose) logprintf("+ NNTP session successfully terminated\n");
    return GOON;
}

}  // namespace

int postnews() {
    Socket sock;
    bool ready = nntphost[0] != '\0';
    if (!ready) logprintf("NNTP hostname not defined\n");
    PostDialogue dialogue{
        [&sock] { return opensession(sock); },
        [&sock](FILE* file, long start, long length, const char* path, bool& failed) {
            return postarticle(sock, file, start, length, path, failed);
        },
        [&sock] { return signoff(sock); },
        [&sock] {
            if (sendcommand(sock, "QUIT\r\n") == 0) getnntpanswer(sock, 0);
        },
        "+ No REPLIES file found, not posting any news\n",
        "+ No news messages to be posted\n",
        "(skipping news post)\n"};
    return postphase(sock, ready, NEWSKIND, transfer[POSTMAIL], dialogue);
}
