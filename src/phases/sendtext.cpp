// Sending one message text of an outgoing message file, for the mail post
// (after DATA) and the news post (after POST) alike.
#include <cerrno>
#include <cstdio>
#include <string>

#include "net/socket.h"
#include "phases/shared.h"
#include "soup/soup.h"

namespace {

// Collects the outgoing bytes and sends them in large pieces; the bytes on
// the wire are the same as line by line, with far fewer system calls.
class Output {
public:
    explicit Output(Socket& sock) : sock(sock) {}

    void put(char c) {
        if (len == sizeof buf) flush();
        buf[len++] = c;
    }
    bool flush() {
        if (failed || len == 0) {
            len = 0;
            return !failed;
        }
        int n = sock.Send(buf, static_cast<int>(len));
        if (n != static_cast<int>(len)) {
            // A short count leaves the text incomplete as surely as -1.
            if (n >= 0) errno = EIO;
            failed = true;
        }
        len = 0;
        return !failed;
    }
    bool ok() const { return !failed; }

private:
    Socket& sock;
    char buf[16384];
    size_t len = 0;
    bool failed = false;
};

// Turns stored lines into lines on the wire: "\r\n" line ends, a "." put
// before a line that begins with one.
class Stuffer {
public:
    explicit Stuffer(Output& out) : out(out) {}

    void put(char c) {
        if (linestart && c == '.') out.put('.');
        linestart = false;
        if (c == '\n') {
            if (!aftercr) out.put('\r');
            linestart = true;
        }
        out.put(c);
        aftercr = c == '\r';
    }
    void put(const std::string& line) {
        for (char c : line) put(c);
    }
    // Ends a last line that has no line end; a trailing "\r" is taken as
    // the first half of its "\r\n".
    void finish() {
        if (!linestart) {
            if (!aftercr) out.put('\r');
            out.put('\n');
        }
        linestart = true;
        aftercr = false;
    }

private:
    Output& out;
    bool linestart = true;
    bool aftercr = false;
};

}  // namespace

int sendmessagetext(Socket& sock, FILE* file, long start, long length, const HeaderWatch& watch) {
    if (fseek(file, start, SEEK_SET) != 0) return SENDTEXT_READFAILED;
    Output out(sock);
    Stuffer text(out);
    long left = length;

    std::string line;
    while (readmessageline(file, left, line)) {
        if (line == "\n" || line == "\r\n") {
            text.put(line);
            break;
        }
        if (!watch || watch(line.data(), line.size())) text.put(line);
        if (!out.ok()) return SENDTEXT_SENDFAILED;
    }

    char chunk[16384];
    while (left > 0 && out.ok()) {
        size_t want = left < static_cast<long>(sizeof chunk) ? static_cast<size_t>(left) : sizeof chunk;
        size_t got = fread(chunk, 1, want, file);
        left -= static_cast<long>(got);
        for (size_t i = 0; i < got; i++) text.put(chunk[i]);
        if (got < want) break;
    }
    if (ferror(file)) return SENDTEXT_READFAILED;
    text.finish();
    out.put('.');
    out.put('\r');
    out.put('\n');
    return out.flush() ? 0 : SENDTEXT_SENDFAILED;
}

Step posttext(Session& session, PostedFile& posted, long start, long length, const HeaderWatch& watch) {
    int sent = sendmessagetext(session.sock, posted.file, start, length, watch);
    if (sent == SENDTEXT_SENDFAILED) {
        session.report.syserror("Send");
        return Step::Quit;
    }
    if (sent == SENDTEXT_READFAILED) {
        session.report.say("! Error in message file %s\n", posted.path);
        return Step::End;
    }
    return Step::Next;
}
