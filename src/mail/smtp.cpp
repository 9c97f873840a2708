// The mail post phase: every mail entry of REPLIES goes to the SMTP server
// through one connection, with the envelope addresses taken from each
// message's header.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/config.h"
#include "driver/driver.h"
#include "mail/mail.h"
#include "net/socket.h"
#include "soup/soup.h"

char* fromemail = nullptr;
char* emaillist[500];
int emailcount = 0;

namespace {

const unsigned short SMTPPORT = 25;
const int MAXRECIPIENTS = sizeof emaillist / sizeof emaillist[0];
const int SOCKBUFSIZE = 16384;
// A server that keeps sending continuation lines is not answering.
const int MAXREPLYLINES = 1000;

}  // namespace

int isdelimiter(int c) {
    switch (c) {
        case '\0':
        case ' ':
        case '\t':
        case '\r':
        case '\n':
        case '<':
        case '>':
        case '(':
        case ')':
            return 1;
        default:
            return 0;
    }
}

// Takes the run around the first "@" of each top-level comma-separated part
// of a header value: enough for the usual "Name <addr>", "addr (Name)" and
// lists of them, without the full address grammar.
void processemail(char* text, int isfrom) {
    char* part = text;
    int depth = 0;
    bool quoted = false;
    while (emailcount < MAXRECIPIENTS && *part) {
        char* end = part;
        for (; *end; end++) {
            char c = *end;
            if (c == ',' && depth == 0 && !quoted) break;
            if (c == '"' || c == '\'') quoted = !quoted;
            else if (c == '(' || c == '<') depth++;
            else if (c == ')' || c == '>') depth--;
        }
        char* next = nullptr;
        if (*end == ',') {
            *end = '\0';
            next = end + 1;
        }

        char* at = std::strchr(part, '@');
        if (at) {
            char* first = at;
            while (first > part && !isdelimiter(first[-1])) first--;
            char* last = at;
            while (!isdelimiter(*last)) last++;
            size_t len = static_cast<size_t>(last - first);
            char* copy = static_cast<char*>(std::malloc(len + 1));
            if (copy) {
                std::memcpy(copy, first, len);
                copy[len] = '\0';
                if (isfrom) {
                    std::free(fromemail);
                    fromemail = copy;
                } else {
                    emaillist[emailcount++] = copy;
                }
            }
        }

        if (!next) break;
        part = next;
    }
}

int getsmtpanswer(Socket& sock, int quiet) {
    const char* line = sock.pszBuf;
    for (int lines = 1;; lines++) {
        if (sock.RecvTeol() == -1) {
            syserror("Receive");
            return -1;
        }
        // "ddd-" continues a multi-line reply; its last line is judged.
        bool more = line[0] >= '0' && line[0] <= '9' && line[1] >= '0' && line[1] <= '9' &&
                    line[2] >= '0' && line[2] <= '9' && line[3] == '-';
        if (!more) break;
        if (lines == MAXREPLYLINES) {
            // The rest of the reply would be taken for the answers to the
            // next commands: the dialogue is lost, as with no answer.
            if (!quiet) logprintf("SMTP host returned error: %s", line);
            return -1;
        }
    }
    if (line[0] == '1' || line[0] == '2' || line[0] == '3') return 0;
    if (!quiet) logprintf("SMTP host returned error: %s", line);
    return 1;
}

namespace {

void releaseaddresses() {
    std::free(fromemail);
    fromemail = nullptr;
    for (int i = 0; i < emailcount; i++) {
        std::free(emaillist[i]);
        emaillist[i] = nullptr;
    }
    emailcount = 0;
}

// The envelope of the message being posted, released on every way out.
struct Envelope {
    Envelope() { releaseaddresses(); }
    ~Envelope() { releaseaddresses(); }
    Envelope(const Envelope&) = delete;
    Envelope& operator=(const Envelope&) = delete;
};

// Formats a command (a verb and an argument) into the socket's line buffer
// and sends it. A failure is reported; a command too long for the buffer is
// refused rather than cut.
int sendcommand(Socket& sock, const char* verb, const char* arg = "") {
    int n = snprintf(sock.pszBuf, SOCKBUFSIZE, "%s%s\r\n", verb, arg);
    if (n < 0 || n >= SOCKBUFSIZE) {
        errno = EMSGSIZE;
        syserror("Send");
        return -1;
    }
    if (sock.Send(sock.pszBuf) == -1) {
        syserror("Send");
        return -1;
    }
    return 0;
}

bool iswhite(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool startswith(const std::string& line, const char* prefix) {
    size_t len = std::strlen(prefix);
    return line.size() >= len && memicmp(line.data(), prefix, static_cast<unsigned>(len)) == 0;
}

// Fills the envelope from the message's header: "From:" gives the sender,
// "To:", "Cc:", "Bcc:" and their continuation lines the recipients.
void scanheader(FILE* file, long start, long length) {
    if (fseek(file, start, SEEK_SET) != 0) return;
    long left = length;
    bool addresses = false;
    std::string line;
    while (readmessageline(file, left, line)) {
        if (line == "\n" || line == "\r\n") break;
        if (startswith(line, "From:")) {
            processemail(&line[5], 1);
            addresses = false;
        } else if (startswith(line, "To:") || startswith(line, "Cc:")) {
            processemail(&line[3], 0);
            addresses = true;
        } else if (startswith(line, "Bcc:")) {
            processemail(&line[4], 0);
            addresses = true;
        } else if (addresses && iswhite(line[0])) {
            processemail(&line[0], 0);
        } else {
            addresses = false;
        }
    }
}

// Holds back "Bcc:" lines and their continuation lines: they name the
// blind recipients, whom every other recipient would otherwise see.
HeaderWatch withoutbcc() {
    return [inbcc = false](const char* line, size_t len) mutable {
        if (iswhite(line[0])) return !inbcc;
        inbcc = len >= 4 && memicmp(line, "Bcc:", 4) == 0;
        return !inbcc;
    };
}

PostStep opensession(Socket& sock) {
    if (sock.Create() == -1) {
        syserror("Open socket");
        return END;
    }
    sock.ulTimeout = 20;
    logprintf("Posting mail to %s...\n", smtphost);
    if (verbose) logprintf("+ Connecting to SMTP host %s...\n", smtphost);
    if (sock.Connect(smtphost, SMTPPORT) == -1) {
        logprintf("Cannot connect to host %s at port %d\n", smtphost, SMTPPORT);
        return END;
    }
    if (verbose) logprintf("+ Connected, sending HELO...\n");
    if (getsmtpanswer(sock, 0) != 0) return END;
    if (sendcommand(sock, "HELO ", hostname) == -1) return QUITANDEND;
    if (getsmtpanswer(sock, 0) != 0) return QUITANDEND;
    sock.ulTimeout = 90;
    return GOON;
}

// One message: envelope, DATA, the text. failed is set when the message is
// not sent, so that its file stays.
PostStep postmessage(Socket& sock, FILE* file, long start, long length, const char* path, bool& failed) {
    Envelope envelope;
    scanheader(file, start, length);
    if (!fromemail) {
        logprintf("! No From address specified in message - skipping\n");
        failed = true;
        return GOON;
    }
    if (emailcount == 0) {
        logprintf("! No To address specified in message - skipping\n");
        failed = true;
        return GOON;
    }

    logprintf("Mailing from %s\n", fromemail);
    if (sendcommand(sock, "MAIL FROM:", fromemail) == -1) return QUITANDEND;
    if (getsmtpanswer(sock, 0) != 0) {
        logprintf("! Posting to SMTP server failed\n");
        return QUITANDEND;
    }
    for (int i = 0; i < emailcount; i++) {
        logprintf("Mailing to %s\n", emaillist[i]);
        if (sendcommand(sock, "RCPT TO:", emaillist[i]) == -1) return QUITANDEND;
        int answer = getsmtpanswer(sock, 0);
        if (answer != 0) logprintf("! Recipient refused by SMTP server\n");
        // Without an answer the dialogue is out of step.
        if (answer == -1) return QUITANDEND;
    }
    releaseaddresses();

    if (sendcommand(sock, "DATA") == -1) return QUITANDEND;
    if (getsmtpanswer(sock, 0) != 0) {
        logprintf("! SMTP server won't accept message\n");
        return QUITANDEND;
    }
    int sent = sendmessagetext(sock, file, start, length, withoutbcc());
    if (sent == SENDTEXT_SENDFAILED) {
        syserror("Send");
        return QUITANDEND;
    }
    if (sent == SENDTEXT_READFAILED) {
        // The text is incomplete: only dropping the connection keeps the
        // server from delivering it.
        logprintf("! Error in message file %s\n", path);
        return END;
    }
    int answer = getsmtpanswer(sock, 0);
    if (answer != 0) {
        logprintf("! SMTP server did not accept message\n");
        failed = true;
        if (answer == -1) return QUITANDEND;
    }
    return GOON;
}

PostStep signoff(Socket& sock) {
    if (verbose) logprintf("+ Signing off...\n");
    if (sendcommand(sock, "QUIT") == -1) return END;
    if (getsmtpanswer(sock, 0) != 0) return END;
    sock.Close();
    if (verbose) logprintf("+ SMTP session successfully terminated\n");
    return GOON;
}

}  // namespace

int postemail() {
    Socket sock;
    bool ready = false;
    if (hostname[0] == '\0') {
        logprintf("Your hostname not defined\n");
    } else if (smtphost[0] == '\0') {
        logprintf("SMTP hostname not defined\n");
    } else {
        ready = true;
    }
    PostDialogue dialogue{
        [&sock] { return opensession(sock); },
        [&sock](FILE* file, long start, long length, const char* path, bool& failed) {
            return postmessage(sock, file, start, length, path, failed);
        },
        [&sock] { return signoff(sock); },
        [&sock] {
            if (sendcommand(sock, "QUIT") == 0) getsmtpanswer(sock, 0);
        },
        "+ No REPLIES file found, not posting any email\n",
        "+ No mail messages to be posted\n",
        "(skipping email post)\n"};
    return postphase(sock, ready, MAILKIND, transfer[POSTNEWS], dialogue);
}
