// The body of a multi-line answer of POP3 or NNTP (a message, an article, a
// list), read up to the line "." that ends it; and a literal of IMAP, read
// by its byte count.
#ifndef VORPA_PROTO_BODY_H
#define VORPA_PROTO_BODY_H

#include <cstddef>
#include <cstdint>

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

#endif
