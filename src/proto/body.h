// The body of a multi-line answer of POP3 or NNTP (a message, an article, a
// list), read up to the line "." that ends it; and a literal of IMAP, read
// by its byte count.
#ifndef VORPA_PROTO_BODY_H
#define VORPA_PROTO_BODY_H

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "net/reply.h"
#include "net/socket.h"

enum class BodyEnd {
    Whole,       // the terminator came
    Lost,        // the connection failed or went silent first
    SinkFailed,  // the sink refused a piece: the rest is not read
};

// Hands every line of the body to sink(text, len, linestart), line end
// included and as received, dot-stuffing and all; text is valid only during
// the call. A line longer than the socket's buffer comes in pieces, and only
// the first is at a line start, where the terminator and the dot of
// dot-stuffing count. sink returns false to stop. Every fetched byte passes
// here: the sink is inlined.
template <class Sink>
BodyEnd readbody(Socket& sock, Sink&& sink) {
    for (bool linestart = true;;) {
        const char* text = nullptr;
        int len = sock.RecvLine(&text);
        if (len < 1) return BodyEnd::Lost;
        if (linestart && isterminator(text, len)) return BodyEnd::Whole;
        bool starts = linestart;
        linestart = sock.iEol == 1;
        if (!sink(text, static_cast<size_t>(len), starts)) return BodyEnd::SinkFailed;
    }
}

// Hands the size bytes of a literal to sink(text, len, linestart) as
// readbody hands a body, nothing stuffed: straight from the connection's
// buffer, however large the literal. Whole once the last byte came.
template <class Sink>
BodyEnd readliteral(Socket& sock, uint64_t size, Sink&& sink) {
    constexpr uint64_t piece = 1 << 30;
    for (bool linestart = true; size > 0;) {
        const char* text = nullptr;
        int len = sock.RecvLine(&text, static_cast<int>(size < piece ? size : piece));
        if (len < 1) return BodyEnd::Lost;
        size -= static_cast<uint64_t>(len);
        bool starts = linestart;
        linestart = sock.iEol == 1;
        if (!sink(text, static_cast<size_t>(len), starts)) return BodyEnd::SinkFailed;
    }
    return BodyEnd::Whole;
}

// Hands the size bytes at offset of the file fd to sink as readliteral
// hands a literal of the same bytes: whole lines, and pieces of those
// longer than a connection's. A file that cannot be read counts as Lost.
template <class Sink>
BodyEnd readspooled(int fd, uint64_t offset, uint64_t size, Sink&& sink) {
    // No more room than the text needs: most are a few KB, and each takes
    // a buffer of its own.
    const size_t room = size < 16383 ? static_cast<size_t>(size) : 16383;
    std::vector<char> buf(room);
    size_t have = 0;
    for (bool linestart = true; size > 0 || have > 0;) {
        if (size > 0 && have < room) {
            size_t want = room - have < size ? room - have : static_cast<size_t>(size);
            ssize_t n = pread(fd, buf.data() + have, want, static_cast<off_t>(offset));
            if (n <= 0) return BodyEnd::Lost;
            have += static_cast<size_t>(n);
            offset += static_cast<uint64_t>(n);
            size -= static_cast<uint64_t>(n);
        }
        size_t at = 0;
        while (at < have) {
            const void* eol = std::memchr(buf.data() + at, '\n', have - at);
            size_t len = 0;
            if (eol) len = static_cast<size_t>(static_cast<const char*>(eol) - (buf.data() + at)) + 1;
            else if (size == 0 || (at == 0 && have == room)) len = have - at;
            else break;
            if (!sink(buf.data() + at, len, linestart)) return BodyEnd::SinkFailed;
            linestart = eol != nullptr;
            at += len;
        }
        std::memmove(buf.data(), buf.data() + at, have - at);
        have -= at;
    }
    return BodyEnd::Whole;
}

#endif
