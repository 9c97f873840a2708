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
#include "net/session.h"
#include "soup/soup.h"

char* fromemail = nullptr;
char* emaillist[500];
int emailcount = 0;

namespace {

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

int getsmtpanswer(Socket& sock, int quiet) { return getsmtpreply(sock, quiet, nullptr); }

int getsmtpreply(Socket& sock, int quiet, std::string* text) {
    const char* line = sock.pszBuf;
    if (text) text->clear();
    for (int lines = 1;; lines++) {
        int len = sock.RecvTeol();
        if (len == -1) {
            syserror("Receive");
            return -1;
        }
        // "ddd-" continues a multi-line reply; its last line is judged.
        bool more = line[0] >= '0' && line[0] <= '9' && line[1] >= '0' && line[1] <= '9' &&
                    line[2] >= '0' && line[2] <= '9' && line[3] == '-';
        // The keywords of an EHLO reply, one line each, without line ends.
        if (text && len > 4) text->append(line + 4, std::strcspn(line + 4, "\r\n")).push_back('\n');
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

// Standard base64, for the AUTH exchanges.
std::string base64(const std::string& in) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < in.size(); i += 3) {
        unsigned long n = static_cast<unsigned char>(in[i]) << 16;
        if (i + 1 < in.size()) n |= static_cast<unsigned char>(in[i + 1]) << 8;
        if (i + 2 < in.size()) n |= static_cast<unsigned char>(in[i + 2]);
        out += digits[(n >> 18) & 63];
        out += digits[(n >> 12) & 63];
        out += i + 1 < in.size() ? digits[(n >> 6) & 63] : '=';
        out += i + 2 < in.size() ? digits[n & 63] : '=';
    }
    return out;
}

// Whether an EHLO reply (one keyword line each) has a line that starts
// with keyword and, when given, names word among its parameters.
bool offers(const std::string& ehlo, const char* keyword, const char* word = nullptr) {
    size_t klen = std::strlen(keyword);
    size_t at = 0;
    while (at < ehlo.size()) {
        size_t end = ehlo.find('\n', at);
        std::string line = ehlo.substr(at, end - at);
        at = end + 1;
        if (line.size() < klen || memicmp(line.data(), keyword, static_cast<unsigned>(klen)) != 0) continue;
        if (line.size() > klen && line[klen] != ' ') continue;
        if (!word) return true;
        std::string rest = " " + line.substr(klen) + " ";
        std::string wanted = std::string(" ") + word + " ";
        for (size_t i = 0; i + wanted.size() <= rest.size(); i++)
            if (memicmp(rest.data() + i, wanted.data(), static_cast<unsigned>(wanted.size())) == 0) return true;
    }
    return false;
}

// HELO, or EHLO with the reply's keywords kept.
Step hello(Socket& sock, const char* verb, std::string* keywords) {
    if (sendcommand(sock, verb, hostname) == -1) return Step::Quit;
    return getsmtpreply(sock, 0, keywords) == 0 ? Step::Next : Step::Quit;
}

// Sends one AUTH line and wants an answer of the class given ('2' done,
// '3' go on); anything else was reported or is refused here.
bool authstep(Socket& sock, const char* verb, const std::string& arg, char wanted) {
    if (sendcommand(sock, verb, arg.c_str()) == -1) return false;
    int answer = getsmtpanswer(sock, 0);
    if (answer != 0) return false;
    if (sock.pszBuf[0] == wanted) return true;
    logprintf("SMTP host returned error: %s", sock.pszBuf);
    return false;
}

// AUTH PLAIN, or AUTH LOGIN where only that is offered.
Step authenticate(Session& session, const std::string& keywords) {
    if (!session.maysendsecret()) return Step::Quit;
    Socket& sock = session.sock;
    bool plain = offers(keywords, "AUTH", "PLAIN");
    if (!plain && !offers(keywords, "AUTH", "LOGIN")) {
        logprintf("SMTP host does not offer AUTH PLAIN or LOGIN\n");
        return Step::Quit;
    }
    if (verbose) logprintf("+ Logging in as %s...\n", smtpuser);
    bool done = plain ? authstep(sock, "AUTH PLAIN ", base64(std::string(1, '\0') + smtpuser + '\0' + smtppass), '2')
                      : authstep(sock, "AUTH LOGIN", "", '3') && authstep(sock, "", base64(smtpuser), '3') &&
                            authstep(sock, "", base64(smtppass), '2');
    return done ? Step::Next : Step::Quit;
}

// The mail post's side of the dialogue. Where the server offers
// PIPELINING, each message's MAIL, RCPTs and DATA go out in one group, and
// its text is followed by the next message's group before the answer to the
// text is read: about one round trip per message.
class MailPost {
public:
    explicit MailPost(Session& session) : session(session), sock(session.sock) {}

    Step open();
    Step post(PostedFile& posted, long start, long length);
    // Reads the answer to the last text sent, if it is still to come.
    Step settle();

private:
    bool putgroup();
    Step envelope(bool sent);

    Session& session;
    Socket& sock;
    bool pipelining = false;
    // The message whose text was sent and whose answer is still to come.
    PostedFile* pending = nullptr;
    long pendingstart = 0;
    long pendinglength = 0;
};

// Greeting, HELO; or, with TLS or a login set, EHLO, STARTTLS and EHLO
// again, AUTH.
Step MailPost::open() {
    Step step = session.connect("Posting mail to %s...\n");
    if (step != Step::Next) return step;
    if (verbose) logprintf("+ Connected, sending HELO...\n");
    if (session.greet() != Step::Next) return Step::End;
    bool extended = smtptls != TLSOFF || *smtpuser;
    std::string keywords;
    step = hello(sock, extended ? "EHLO " : "HELO ", extended ? &keywords : nullptr);
    sock.ulTimeout = kReplyTimeout;
    if (!extended || step != Step::Next) return step;
    if (smtptls == TLSSTART) {
        if (!offers(keywords, "STARTTLS")) {
            logprintf("SMTP host does not offer STARTTLS\n");
            return Step::End;
        }
        step = session.starttls("STARTTLS\r\n");
        // The server forgets the first EHLO.
        if (step == Step::Next) step = hello(sock, "EHLO ", &keywords);
    }
    if (step == Step::Next && *smtpuser) step = authenticate(session, keywords);
    pipelining = offers(keywords, "PIPELINING");
    return step;
}

// MAIL, every RCPT and DATA into pszBuf, to go out in one send; false when
// they do not fit there (they then go one by one).
bool MailPost::putgroup() {
    char* end = sock.pszBuf;
    char* limit = sock.pszBuf + SOCKBUFSIZE - 1;
    auto put = [&](const char* verb, const char* arg) {
        size_t need = std::strlen(verb) + std::strlen(arg) + 2;
        if (static_cast<size_t>(limit - end) < need) return false;
        end = puttext(puttext(puttext(end, verb), arg), "\r\n");
        return true;
    };
    bool fits = put("MAIL FROM:", fromemail);
    for (int i = 0; fits && i < emailcount; i++) fits = put("RCPT TO:", emaillist[i]);
    if (!fits || !put("DATA", "")) return false;
    *end = '\0';
    return true;
}

// The answers to MAIL, every RCPT and DATA, each read after its report;
// unless sent already, each command goes out right before its answer.
Step MailPost::envelope(bool sent) {
    logprintf("Mailing from %s\n", fromemail);
    if (!sent && sendcommand(sock, "MAIL FROM:", fromemail) == -1) return Step::Quit;
    if (getsmtpanswer(sock, 0) != 0) {
        logprintf("! Posting to SMTP server failed\n");
        return Step::Quit;
    }
    for (int i = 0; i < emailcount; i++) {
        logprintf("Mailing to %s\n", emaillist[i]);
        if (!sent && sendcommand(sock, "RCPT TO:", emaillist[i]) == -1) return Step::Quit;
        int answer = getsmtpanswer(sock, 0);
        if (answer != 0) logprintf("! Recipient refused by SMTP server\n");
        // Without an answer the dialogue is out of step.
        if (answer == -1) return Step::Quit;
    }
    releaseaddresses();

    if (!sent && sendcommand(sock, "DATA") == -1) return Step::Quit;
    if (getsmtpanswer(sock, 0) != 0) {
        logprintf("! SMTP server won't accept message\n");
        return Step::Quit;
    }
    return Step::Next;
}

Step MailPost::settle() {
    if (!pending) return Step::Next;
    PostedFile& posted = *pending;
    pending = nullptr;
    // The end of the text, and the next group if one was sent, go now.
    sock.Cork(false);
    int answer = getsmtpanswer(sock, 0);
    if (answer == 0) return posted.accepted(pendingstart, pendinglength) ? Step::Next : Step::Quit;
    logprintf("! SMTP server did not accept message\n");
    posted.refused();
    return answer == -1 ? Step::Quit : Step::Next;
}

// One message: envelope, DATA, the text.
Step MailPost::post(PostedFile& posted, long start, long length) {
    Envelope addresses;
    scanheader(posted.file, start, length);
    if (!fromemail) {
        logprintf("! No From address specified in message - skipping\n");
        posted.refused();
        return Step::Next;
    }
    if (emailcount == 0) {
        logprintf("! No To address specified in message - skipping\n");
        posted.refused();
        return Step::Next;
    }

    bool grouped = pipelining && putgroup();
    if (grouped && sock.Send(sock.pszBuf) == -1) {
        syserror("Send");
        return Step::Quit;
    }
    // The answer to the last text comes before those to this group.
    Step step = settle();
    if (step == Step::Next) step = envelope(grouped);
    if (step != Step::Next) return step;

    // The end of the text waits for the next group, so that the server
    // reads both at once and answers them in one go.
    if (pipelining) sock.Cork(true);
    int sent = sendmessagetext(sock, posted.file, start, length, withoutbcc());
    if (sent == SENDTEXT_SENDFAILED) {
        syserror("Send");
        return Step::Quit;
    }
    if (sent == SENDTEXT_READFAILED) {
        // The text is incomplete: only dropping the connection keeps the
        // server from delivering it.
        logprintf("! Error in message file %s\n", posted.path);
        return Step::End;
    }
    pending = &posted;
    pendingstart = start;
    pendinglength = length;
    // Without pipelining nothing more may go out before the answer.
    return pipelining ? Step::Next : settle();
}

}  // namespace

int postemail() {
    const Service smtp{"SMTP", smtphost, smtptls, 25, 465, cafile, getsmtpanswer, "(skipping email post)\n"};
    Session session(smtp);
    bool ready = false;
    if (hostname[0] == '\0') {
        logprintf("Your hostname not defined\n");
    } else if (smtphost[0] == '\0') {
        logprintf("SMTP hostname not defined\n");
    } else {
        ready = true;
    }
    MailPost mail(session);
    PostDialogue dialogue{
        [&mail] { return mail.open(); },
        [&mail](PostedFile& posted, long start, long length) { return mail.post(posted, start, length); },
        [&mail] { return mail.settle(); },
        "+ No REPLIES file found, not posting any email\n",
        "+ No mail messages to be posted\n"};
    return postphase(session, ready, MAILKIND, transfer[POSTNEWS], dialogue);
}
