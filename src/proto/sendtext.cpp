// Sending one message text of an outgoing message file, for the mail post
// (after DATA or BDAT) and the news post (after POST) alike.
#include "proto/sendtext.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <string>

#include "core/text.h"

namespace {

// Collects the outgoing bytes and sends them in large pieces; the bytes on
// the wire are the same as line by line, with far fewer system calls.
// Without a socket it only counts them. No more than limit bytes go out:
// a text that grew beyond the size announced for it fails whole.
class Output {
public:
    Output(Socket* sock, long limit) : sock(sock), limit(limit) {}

    void put(char c) {
        if (len == sizeof buf) flush();
        buf[len++] = c;
    }
    bool flush() {
        if (!failed && static_cast<long>(len) > limit - total) overrun = failed = true;
        if (failed || len == 0) {
            len = 0;
            return !failed;
        }
        int n = sock ? sock->Send(buf, static_cast<int>(len)) : static_cast<int>(len);
        if (n != static_cast<int>(len)) {
            // A short count leaves the text incomplete as surely as -1.
            if (n >= 0) errno = EIO;
            failed = true;
        }
        total += static_cast<long>(len);
        len = 0;
        return !failed;
    }
    bool ok() const { return !failed; }

    long total = 0;
    bool overrun = false;

private:
    Socket* sock;
    const long limit;
    char buf[16384];
    size_t len = 0;
    bool failed = false;
};

// Turns stored lines into lines on the wire: "\r\n" line ends and, when
// stuffing, a "." put before a line that begins with one.
class Stuffer {
public:
    Stuffer(Output& out, bool stuffing) : out(out), stuffing(stuffing) {}

    void put(char c) {
        if (stuffing && linestart && c == '.') out.put('.');
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
    const bool stuffing;
    bool linestart = true;
    bool aftercr = false;
};

// The text through the transformation into out: stuffed and ended with
// ".\r\n" for DATA and POST, plain for BDAT.
int writetext(Output& out, FILE* file, long start, long length, HeaderWatch& watch, bool stuffed,
              const std::string& head) {
    if (fseek(file, start, SEEK_SET) != 0) return SENDTEXT_READFAILED;
    Stuffer text(out, stuffed);
    text.put(head);
    long left = length;

    std::string line;
    while (readmessageline(file, left, line)) {
        if (line == "\n" || line == "\r\n") {
            text.put(line);
            break;
        }
        if (!watch || watch(line.data(), line.size())) text.put(line);
        if (!out.ok()) break;
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
    if (stuffed) {
        out.put('.');
        out.put('\r');
        out.put('\n');
    }
    bool flushed = out.flush();
    if (out.overrun) return SENDTEXT_READFAILED;
    return flushed ? 0 : SENDTEXT_SENDFAILED;
}

}  // namespace

int sendmessagetext(Socket& sock, FILE* file, long start, long length, HeaderWatch watch, long plain,
                    const std::string& head) {
    Output out(&sock, plain < 0 ? LONG_MAX : plain);
    int result = writetext(out, file, start, length, watch, plain < 0, head);
    // Fewer bytes than announced: the server would wait for the rest.
    if (result == 0 && plain >= 0 && out.total != plain) return SENDTEXT_READFAILED;
    return result;
}

long plainsize(const OutgoingMessage& message, HeaderWatch watch, const std::string& head) {
    // A line's size on the wire: a bare "\n" gets its "\r", a last line
    // without its end gets one.
    auto wire = [](const std::string& line) {
        size_t n = line.size();
        if (n > 0 && line[n - 1] == '\n') return static_cast<long>(n) + (n > 1 && line[n - 2] == '\r' ? 0 : 1);
        return static_cast<long>(n) + (n > 0 && line[n - 1] == '\r' ? 1 : 2);
    };
    long size = message.wiresize;
    for (const std::string& line : message.fields)
        if (watch && !watch(line.data(), line.size())) size -= wire(line);
    for (size_t at = 0; at < head.size();) {
        size_t end = std::min(head.find('\n', at), head.size() - 1) + 1;
        size += wire(head.substr(at, end - at));
        at = end;
    }
    return size;
}

HeaderWatch withoutbcc() {
    return [inbcc = false](const char* line, size_t len) mutable {
        if (line[0] == ' ' || (line[0] >= '\t' && line[0] <= '\r')) return !inbcc;
        inbcc = len >= 4 && memicmp(line, "Bcc:", 4) == 0;
        return !inbcc;
    };
}
