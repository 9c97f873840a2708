// Splitting an outgoing message file into its messages.
//
// Lines are read whole and bytes are counted, never cut at a NUL, so that a
// "From " or "#! rnews " in the middle of a long line is not taken for a
// line start, and an MMDF delimiter is found wherever it stands. A message
// of length 0 is skipped: 0 means the end of the file, and a caller that
// took it early would leave the rest of the file unsent.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "soup/soup.h"

namespace {

const char RNEWSHEADER[] = "#! rnews ";
const size_t RNEWSLEN = sizeof RNEWSHEADER - 1;
const char MBOXSEPARATOR[] = "From ";
const size_t MBOXLEN = sizeof MBOXSEPARATOR - 1;
// An rnews header is a short line; its number is looked for in this much.
const size_t RNEWSKEEP = 4096;

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
long nextrnews(FILE* file) {
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
        if (length != 0) return clamplength(file, length);
    }
}

// Mailbox: a "From " envelope line, then the message up to the next line
// that begins with "From " or to the end of the file.
long nextmbox(FILE* file) {
    std::string head;
    long n = readline(file, head, MBOXLEN);
    if (n <= 0) return n;
    if (!startswith(head, MBOXSEPARATOR, MBOXLEN)) return -1;
    for (;;) {
        long start = ftell(file);
        if (start < 0) return -1;
        long length = 0;
        bool another = false;
        while ((n = readline(file, head, MBOXLEN)) > 0) {
            if (startswith(head, MBOXSEPARATOR, MBOXLEN)) {
                another = true;
                break;
            }
            length += n;
        }
        if (n < 0) return -1;
        if (length > 0) return fseek(file, start, SEEK_SET) == 0 ? length : -1;
        if (!another) return 0;
    }
}

// MMDF: runs of 0x01 bytes between messages; a message ends where the next
// group of four begins. A group written on a line of its own ends with a
// line end that belongs to it: kept, it would begin every message with an
// empty line (an empty header) and make a message of each pair of groups.
long nextmmdf(FILE* file) {
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
    long start = ftell(file);
    if (start < 0) return -1;
    start--;
    long length = 1;
    int run = 0;
    while ((c = getc(file)) != EOF) {
        length++;
        run = c == 0x01 ? run + 1 : 0;
        if (run == 4) {
            length -= 4;
            break;
        }
    }
    if (ferror(file)) return -1;
    return fseek(file, start, SEEK_SET) == 0 ? length : -1;
}

// Binary: a 4-byte big-endian length before each message.
long nextbinary(FILE* file) {
    for (;;) {
        unsigned char field[4];
        size_t got = fread(field, 1, sizeof field, file);
        if (ferror(file)) return -1;
        // A length field cut short begins a message cut short: one byte
        // past the end, as clamplength has it.
        if (got != sizeof field) return got == 0 ? 0 : 1;
        uint32_t length = static_cast<uint32_t>(field[0]) << 24 | static_cast<uint32_t>(field[1]) << 16 |
                          static_cast<uint32_t>(field[2]) << 8 | field[3];
        // The field is read as signed: a set high bit would move the
        // caller backwards.
        if (length & 0x80000000u) return -1;
        if (length != 0) return static_cast<long>(length);
    }
}

}  // namespace

long nextmessage(FILE* file, char letter) {
    clearerr(file);
    switch (letter) {
        case 'u':
        case 'n':
            return nextrnews(file);
        case 'm':
            return nextmbox(file);
        case 'M':
            return nextmmdf(file);
        case 'b':
        case 'B':
            return nextbinary(file);
        default:
            return -1;
    }
}
