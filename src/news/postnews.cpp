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

// "441 435 Duplicate" (INN), "441 Duplicate article": the server has an
// article of that Message-ID already.
bool isduplicate(const char* reply) {
    size_t len = std::strlen(reply);
    for (size_t i = 0; i + 9 <= len; i++)
        if (memicmp(reply + i, "duplicate", 9) == 0) return true;
    return false;
}

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

Step opensession(Session& session) {
    Step step = session.connect("Posting news to %s...\n");
    if (step == Step::Next) step = session.greet();
    if (step != Step::Next) return step;
    session.sock.ulTimeout = kReplyTimeout;
    return nntpbegin(session);
}

// One article: POST, the text, the server's verdict.
Step postarticle(Socket& sock, PostedFile& posted, long start, long length) {
    if (sendcommand(sock, "POST\r\n") == -1) return Step::Quit;
    // INN writes its replies in two parts and holds the second back until
    // the first is acknowledged (Nagle): acknowledge at once, or every
    // reply waits for our delayed acknowledgement.
    sock.AckNow();
    int answer = getnntpanswer(sock, 0);
    if (answer != 0) {
        // Console only: the server's own line or the receive error has
        // been reported already.
        fputs("! NNTP server doesn't allow us to post\n", stdout);
        return Step::End;
    }

    int sent = sendmessagetext(sock, posted.file, start, length, reportgroups());
    if (sent == SENDTEXT_SENDFAILED) {
        syserror("Send");
        return Step::Quit;
    }
    if (sent == SENDTEXT_READFAILED) {
        // The text is incomplete: only dropping the connection keeps the
        // server from posting it.
        logprintf("! Error in message file %s\n", posted.path);
        return Step::End;
    }

    sock.AckNow();
    answer = getnntpanswer(sock, 0);
    if (answer == 0) return posted.accepted(start, length) ? Step::Next : Step::Quit;
    // An article posted by a run that died before it could record so: it
    // is on the server, and would be refused every run.
    if (answer == 1 && isduplicate(sock.pszBuf)) {
        fputs("! Article already on the NNTP server\n", stdout);
        return posted.accepted(start, length) ? Step::Next : Step::Quit;
    }
    fputs("! NNTP server did not accept message\n", stdout);
    posted.refused();
    // Without an answer the dialogue is out of step and the article's fate
    // unknown: the connection is fit only for closing.
    return answer == -1 ? Step::End : Step::Next;
}

}  // namespace

int postnews() {
    const Service nntp{"NNTP", nntphost, nntptls, 119, 563, cafile, getnntpanswer, "(skipping news post)\n"};
    Session session(nntp);
    bool ready = nntphost[0] != '\0';
    if (!ready) logprintf("NNTP hostname not defined\n");
    Socket& sock = session.sock;
    PostDialogue dialogue{
        [&session] { return opensession(session); },
        [&sock](PostedFile& posted, long start, long length) { return postarticle(sock, posted, start, length); },
        nullptr,
        "+ No REPLIES file found, not posting any news\n",
        "+ No news messages to be posted\n"};
    return postphase(session, ready, NEWSKIND, transfer[POSTMAIL], dialogue);
}
