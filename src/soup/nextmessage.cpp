// Splitting an outgoing message file into its messages, and reading each
// in the same pass into the value that posting works from.
//
// Lines are read whole and bytes are counted, never cut at a NUL, so that a
// "From " or "#! rnews " in the middle of a long line is not taken for a
// line start, and an MMDF delimiter is found wherever it stands. A message
// of length 0 is skipped: 0 means the end of the file, and a caller that
// took it early would leave the rest of the file unsent.
#include <openssl/evp.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "core/text.h"
#include "soup/soup.h"

namespace {

const char RNEWSHEADER[] = "#! rnews ";
const size_t RNEWSLEN = sizeof RNEWSHEADER - 1;
const char MBOXSEPARATOR[] = "From ";
const size_t MBOXLEN = sizeof MBOXSEPARATOR - 1;
// An rnews header is a short line; its number is looked for in this much.
const size_t RNEWSKEEP = 4096;

// Where a pass puts the bytes of the message it reads, in order, as it
// reads them.
class Sink {
public:
    virtual ~Sink() = default;
    virtual void put(const char* bytes, size_t n) = 0;
    // Whether it wants more: a reading of the header alone stops early
    // where the format allows.
    virtual bool more() const = 0;
};

// Gathers the bytes read one by one into pieces for a sink, if any.
class Pieces {
public:
    explicit Pieces(Sink* sink) : sink(sink) {}
    void put(char c) {
        if (!sink) return;
        if (len == sizeof buf) flush();
        buf[len++] = c;
    }
    void put(const std::string& text) {
        for (char c : text) put(c);
    }
    void flush() {
        if (sink && len > 0) sink->put(buf, len);
        len = 0;
    }

private:
    Sink* const sink;
    char buf[16384];
    size_t len = 0;
};

// The message of length bytes from the file's place: its start, and its
// bytes into the sink, up to the end of the file at most. Without a sink
// the file stays at the start.
long take(FILE* file, long length, long& start, Sink* sink) {
    start = ftell(file);
    if (start < 0) return -1;
    char buf[65536];
    for (long left = length; sink && left > 0 && sink->more();) {
        size_t want = static_cast<size_t>(std::min<long>(left, sizeof buf));
        size_t got = fread(buf, 1, want, file);
        sink->put(buf, got);
        left -= static_cast<long>(got);
        if (got < want) break;
    }
    return ferror(file) ? -1 : length;
}

// Reads one line, up to and including its "\n" or to the end of the file,
// and keeps at most keep of its first bytes in head. Returns the number of
// bytes read (0 at the end of the file), -1 on a read error.
long readline(FILE* file, std::string& head, size_t keep) {
    head.clear();
    long n = 0;
    int c;
    while ((c = getc(file)) != EOF) {
        n++;
        if (head.size() < keep) head.push_back(static_cast<char>(c));
        if (c == '\n') break;
    }
    return ferror(file) ? -1 : n;
}

bool startswith(const std::string& head, const char* prefix, size_t len) {
    return head.size() >= len && std::memcmp(head.data(), prefix, len) == 0;
}

// Reads one line of a mailbox as readline does, keeping its first bytes in
// head; separator tells whether it begins with "From ". The bytes of a line
// that does not begin so go to out.
long mboxline(FILE* file, std::string& head, Pieces& out, bool& separator) {
    head.clear();
    separator = false;
    bool known = false;
    long n = 0;
    int c;
    while ((c = getc(file)) != EOF) {
        n++;
        if (!known) {
            head.push_back(static_cast<char>(c));
            known = head.size() == MBOXLEN || c == '\n';
            separator = known && startswith(head, MBOXSEPARATOR, MBOXLEN);
            if (known && !separator) out.put(head);
        } else if (!separator) {
            out.put(static_cast<char>(c));
        }
        if (c == '\n') break;
    }
    if (!known) out.put(head);
    return ferror(file) ? -1 : n;
}

// A decimal length can be any size: one beyond the end of the file ends one
// byte past it, so that the caller sees the message is cut short and its
// next offset is one it can seek to.
long clamplength(FILE* file, long length) {
    long pos = ftell(file);
    if (pos < 0 || fseek(file, 0, SEEK_END) != 0) return -1;
    long size = ftell(file);
    if (size < 0 || fseek(file, pos, SEEK_SET) != 0) return -1;
    return length > size - pos ? size - pos + 1 : length;
}

// "#! rnews <length>" before each message.
long nextrnews(FILE* file, long& start, Sink* sink) {
    std::string line;
    for (;;) {
        long n = readline(file, line, RNEWSKEEP);
        if (n <= 0) return n;
        if (!startswith(line, RNEWSHEADER, RNEWSLEN)) return -1;
        size_t i = RNEWSLEN;
        while (i < line.size() && (line[i] == ' ' || (line[i] >= '\t' && line[i] <= '\r'))) i++;
        bool negative = false;
        if (i < line.size() && (line[i] == '+' || line[i] == '-')) negative = line[i++] == '-';
        if (i >= line.size() || line[i] < '0' || line[i] > '9') return -1;
        long length = 0;
        for (; i < line.size() && line[i] >= '0' && line[i] <= '9'; i++) {
            int digit = line[i] - '0';
            length = length > (LONG_MAX - digit) / 10 ? LONG_MAX : length * 10 + digit;
        }
        if (negative && length != 0) return -1;
        if (length == 0) continue;
        length = clamplength(file, length);
        return length < 0 ? length : take(file, length, start, sink);
    }
}

// Mailbox: a "From " envelope line, then the message up to the next line
// that begins with "From " or to the end of the file.
long nextmbox(FILE* file, long& start, Sink* sink) {
    std::string head;
    long n = readline(file, head, MBOXLEN);
    if (n <= 0) return n;
    if (!startswith(head, MBOXSEPARATOR, MBOXLEN)) return -1;
    for (;;) {
        start = ftell(file);
        if (start < 0) return -1;
        long length = 0;
        bool another = false;
        Pieces out(sink);
        while ((n = mboxline(file, head, out, another)) > 0 && !another) length += n;
        out.flush();
        if (n < 0) return -1;
        if (length > 0) return sink || fseek(file, start, SEEK_SET) == 0 ? length : -1;
        if (!another) return 0;
    }
}

// MMDF: runs of 0x01 bytes between messages; a message ends where the next
// group of four begins. A group written on a line of its own ends with a
// line end that belongs to it: kept, it would begin every message with an
// empty line (an empty header) and make a message of each pair of groups.
long nextmmdf(FILE* file, long& start, Sink* sink) {
    int c = getc(file);
    while (c == 0x01) {
        while ((c = getc(file)) == 0x01) {
        }
        if (c == '\r') {
            int next = getc(file);
            if (next == '\n') c = getc(file);
            else ungetc(next, file);
        } else if (c == '\n') {
            c = getc(file);
        }
    }
    if (c == EOF) return ferror(file) ? -1 : 0;
    start = ftell(file);
    if (start < 0) return -1;
    start--;
    Pieces out(sink);
    out.put(static_cast<char>(c));
    long length = 1;
    // The 0x01 bytes read last: the message's own, unless four of them.
    int run = 0;
    while ((c = getc(file)) != EOF) {
        length++;
        if (c == 0x01 && ++run == 4) {
            length -= 4;
            run = 0;
            break;
        }
        if (c == 0x01) continue;
        for (; run > 0; run--) out.put('\x01');
        out.put(static_cast<char>(c));
    }
    for (; run > 0; run--) out.put('\x01');
    out.flush();
    if (ferror(file)) return -1;
    return sink || fseek(file, start, SEEK_SET) == 0 ? length : -1;
}

// Binary: a 4-byte big-endian length before each message.
long nextbinary(FILE* file, long& start, Sink* sink) {
    for (;;) {
        unsigned char field[4];
        size_t got = fread(field, 1, sizeof field, file);
        if (ferror(file)) return -1;
        // A length field cut short begins a message cut short: one byte
        // past the end, as clamplength has it.
        if (got != sizeof field) return got == 0 ? 0 : take(file, 1, start, sink);
        uint32_t length = static_cast<uint32_t>(field[0]) << 24 | static_cast<uint32_t>(field[1]) << 16 |
                          static_cast<uint32_t>(field[2]) << 8 | field[3];
        // The field is read as signed: a set high bit would move the
        // caller backwards.
        if (length & 0x80000000u) return -1;
        if (length != 0) return take(file, static_cast<long>(length), start, sink);
    }
}

// The next message in format letter: its length, and its start; its bytes
// go to the sink as they are read.
long split(FILE* file, char letter, long& start, Sink* sink) {
    clearerr(file);
    switch (letter) {
        case 'u':
        case 'n':
            return nextrnews(file, start, sink);
        case 'm':
            return nextmbox(file, start, sink);
        case 'M':
            return nextmmdf(file, start, sink);
        case 'b':
        case 'B':
            return nextbinary(file, start, sink);
        default:
            return -1;
    }
}

bool iswhite(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool named(const std::string& line, const char* name) {
    size_t len = std::strlen(name);
    return line.size() >= len && memicmp(line.data(), name, static_cast<unsigned>(len)) == 0;
}

// The fields of the header that posting reads.
const char* const FIELDS[] = {"From:", "To:", "Cc:", "Bcc:", "Subject:", "Newsgroups:", "Date:", "Message-ID:"};
// More than the longest of their names: what tells a line of another field.
const size_t FIELDNAMEMAX = 16;

bool field(const std::string& line) {
    return std::any_of(std::begin(FIELDS), std::end(FIELDS), [&line](const char* f) { return named(line, f); });
}

// Makes the value of a message from its bytes as they pass.
class Taker final : public Sink {
public:
    // whole: the digest and the size on the wire too, else the header
    // alone.
    Taker(OutgoingMessage& message, bool whole)
        : m(message), whole(whole), ctx(whole ? EVP_MD_CTX_new() : nullptr, EVP_MD_CTX_free) {
        digesting = ctx && EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) == 1;
    }

    void put(const char* bytes, size_t n) override;
    bool more() const override { return whole || inheader; }
    // After the last byte; false when the digest could not be made.
    bool finish();

private:
    void headerline();

    OutgoingMessage& m;
    const bool whole;
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx;
    bool digesting = false;
    long size = 0;
    char last = '\0';  // the byte before
    bool inheader = true;
    std::string line;        // of the header, as far as read
    bool addresses = false;  // the field of the line before names recipients
    bool keeping = false;    // the field of the line before is one of fields
};

void Taker::put(const char* bytes, size_t n) {
    for (size_t at = 0; inheader && at < n;) {
        const char* lf = static_cast<const char*>(std::memchr(bytes + at, '\n', n - at));
        size_t end = lf ? static_cast<size_t>(lf - bytes) + 1 : n;
        // Of a line of another field its beginning is enough: a long one
        // is not held whole.
        if (line.size() < FIELDNAMEMAX || (iswhite(line[0]) ? keeping : field(line))) line.append(bytes + at, end - at);
        at = end;
        if (lf) headerline();
    }
    if (!whole || n == 0) return;
    if (digesting && EVP_DigestUpdate(ctx.get(), bytes, n) != 1) digesting = false;
    // Each "\n" without its "\r" gets one on the wire.
    size += static_cast<long>(n);
    const char* end = bytes + n;
    for (const char* p = bytes; (p = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p))));
         p++)
        if ((p == bytes ? last : p[-1]) != '\r') size++;
    last = bytes[n - 1];
}

void Taker::headerline() {
    if (line == "\n" || line == "\r\n") {
        inheader = false;
        return;
    }
    if (named(line, "From:")) {
        processemail(&line[5], 1, m.envelope);
        addresses = false;
    } else if (named(line, "To:") || named(line, "Cc:")) {
        processemail(&line[3], 0, m.envelope);
        addresses = true;
    } else if (named(line, "Bcc:")) {
        processemail(&line[4], 0, m.envelope);
        addresses = true;
    } else if (addresses && iswhite(line[0])) {
        processemail(&line[0], 0, m.envelope);
    } else {
        addresses = false;
    }
    if (!iswhite(line[0])) keeping = field(line);
    if (keeping) m.fields.push_back(line);
    line.clear();
}

bool Taker::finish() {
    // A header that the end of the message cuts short.
    if (inheader && !line.empty()) headerline();
    if (!whole) return true;
    // The last line gets its end.
    if (size > 0 && last != '\n') size += last == '\r' ? 1 : 2;
    m.wiresize = size;
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (!digesting || EVP_DigestFinal_ex(ctx.get(), md, &len) != 1) return false;
    static const char digits[] = "0123456789abcdef";
    for (unsigned int i = 0; i < len; i++) {
        m.digest += digits[md[i] >> 4];
        m.digest += digits[md[i] & 15];
    }
    return true;
}

}  // namespace

long nextmessage(FILE* file, char letter) {
    long start = 0;
    return split(file, letter, start, nullptr);
}

long readmessage(FILE* file, char letter, OutgoingMessage& message, bool whole) {
    message = OutgoingMessage();
    message.file = file;
    Taker taker(message, whole);
    long start = -1;
    long length = split(file, letter, start, &taker);
    if (length <= 0) return length;
    if (!taker.finish()) return -1;
    message.start = start;
    message.length = length;
    return length;
}

bool readoutgoing(FILE* file, long start, long length, OutgoingMessage& message, bool whole) {
    message = OutgoingMessage();
    message.file = file;
    Taker taker(message, whole);
    if (fseek(file, start, SEEK_SET) != 0 || take(file, length, start, &taker) < 0 || !taker.finish()) return false;
    message.start = start;
    message.length = length;
    return true;
}
