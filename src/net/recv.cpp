// Line and block reception under time-outs, with a read-ahead store of two
// buffers shared by RecvTeol and Recv.
#include <poll.h>
#include <sys/socket.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "net/socket.h"

#include "core/report.h"

// How far lineBuf may hold non-zero bytes. Only the part the last line or
// block used can (all of it once a command was sent from it), unless a
// caller built a longer text in it without sending it, which the byte just
// past that part shows.
size_t Socket::BufExtent() const {
    size_t used = iBufUsed;
    if (used < static_cast<size_t>(kBufSize) && lineBuf[used] != 0) {
        used += strnlen(lineBuf + used, kBufSize - used);
        if (used < static_cast<size_t>(kBufSize)) used++;
    }
    return used;
}

// Makes lineBuf all zero again.
void Socket::ClearBuf() {
    std::memset(lineBuf, 0, BufExtent());
    iBufUsed = 0;
}

// Ends a line of len characters in lineBuf, which held non-zero bytes up to
// stale before: the terminator and zeros beyond, so that the whole buffer
// reads as if cleared before the line was put in.
void Socket::EndLine(int len, size_t stale) {
    lineBuf[len] = '\0';
    size_t end = static_cast<size_t>(len) + 1;
    if (stale > end) std::memset(lineBuf + end, 0, stale - end);
    iBufUsed = static_cast<int>(end);
}

static int pollfor(pollfd& pfd, long long ms) {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ms / 1000);
    ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    return ppoll(&pfd, 1, &ts, nullptr);
}

// Waits up to ms for the socket to be ready for events (data or a close
// for POLLIN, room for POLLOUT): >0 ready, 0 timed out, -1 failed. poll
// has no descriptor limit, unlike select.
int Socket::WaitReady(short events, long long totalms) {
    // poll would silently wait out the time on a missing descriptor.
    if (sockfd < 0) {
        errno = EBADF;
        return -1;
    }
    pollfd pfd{};
    pfd.fd = sockfd;
    pfd.events = PollEvents(events);
    if (pfd.events == 0) return 1;
    // Most waits in a transfer end within a millisecond. One that does not
    // may be a server holding back a small write until its last one is
    // acknowledged (Nagle: INN's two-part replies, answers to pipelined
    // commands), so the acknowledgement goes out now; and what has been
    // reported is shown. Doing so for every wait would cost system calls,
    // and an acknowledgement for every segment of a stream.
    long long briefms = totalms < 1 ? totalms : 1;
    int r = pollfor(pfd, briefms);
    if (r != 0 || totalms == briefms) return r;
    if (events & POLLIN) AckNow();
    if (report) report->flush();
    return pollfor(pfd, totalms - briefms);
}

static long long nowms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

long long Socket::TimeoutMs() const {
    const unsigned long maxseconds = 0x7fffffffUL;
    return static_cast<long long>(timeoutSeconds < maxseconds ? timeoutSeconds : maxseconds) * 1000;
}

int Socket::WaitPaced(short events) {
    long long limit = TimeoutMs();
    long long waited = paceReply.waitedms > paceLine.waitedms ? paceReply.waitedms : paceLine.waitedms;
    // With no time left, still a look whether it is ready now.
    long long left = limit > waited ? limit - waited : 0;
    long long start = nowms();
    int r = WaitReady(events, left);
    long long took = nowms() - start;
    paceReply.waitedms += took;
    paceLine.waitedms += took;
    return r;
}

// A layer may hold bytes already decoded (ready now), or need to write
// before it can read; bytes it holds that cannot be decoded yet (part of a
// TLS record) need the descriptor, as plain data does.
short Socket::PollEvents(short events) const {
    if ((events & POLLIN) && top->pending()) return 0;
    return top->wants(events);
}

int Socket::RecvWaiting(char* buf, int len) {
    for (;;) {
        int r = RawRecv(buf, len);
        if (r >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return r;
        int ready = WaitPaced(POLLIN);
        if (ready <= 0) {
            if (ready == 0) errno = ETIMEDOUT;
            return -1;
        }
    }
}

// Ends a failed reception: a call that gave 0 ended by when (ETIMEDOUT
// for a wait, kPeerClosed for a read), other failures keep the system's
// reason.
static int failreception(int callresult, int savederrno, int when) {
    errno = callresult == 0 ? when : savederrno;
    return -1;
}

static bool nothingyet(int r) {
    return r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

// Fills buffer 1 from the network, and buffer 2 as well when buffer 1 came
// back full and more data is already waiting. Returns 0, or -1 after
// reporting the reason. Data already waiting is taken without a wait first, which
// spares a system call per read in a long transfer.
int Socket::ReadPortions() {
    // Without a descriptor nothing is found, and the wait reports why.
    int r = RawRecv(pcRecvBuf1, kLineMax);
    if (nothingyet(r)) {
        r = WaitPaced(POLLIN);
        iResult = r;
        if (r <= 0) {
            int e = errno;
            if (report) report->say("!!! Error %d on select() nr 1 -- ulTimeout = %lu\n", r, timeoutSeconds);
            return failreception(r, e, ETIMEDOUT);
        }
        r = RecvWaiting(pcRecvBuf1, kLineMax);
    }
    iResult = r;
    if (r <= 0) {
        int e = errno;
        if (report) report->say("!!! Error %d on recv() nr 1\n", r);
        return failreception(r, e, kPeerClosed);
    }
    Moved(r);
    iRecvPos1 = 0;
    iRecvLen1 = r;
    iCurBuf = 1;
    if (r < kLineMax) return 0;

    // A full first portion may already hold complete lines: never wait for
    // more, since the server may be waiting for our next command.
    r = RawRecv(pcRecvBuf2, kLineMax);
    if (nothingyet(r)) return 0;
    if (r < 0) {
        int e = errno;
        iResult = r;
        if (report) report->say("!!! Error %d on recv() nr 2\n", r);
        return failreception(r, e, kPeerClosed);
    }
    // r == 0: the peer closed right after the full portion. Deliver what came;
    // the next read meets the close again and reports it.
    if (r > 0) {
        Moved(r);
        iResult = r;
        iRecvPos2 = 0;
        iRecvLen2 = r;
    }
    return 0;
}

// The first CR or LF in [p, end), or null. Every received byte passes
// here, so sixteen are looked at together where the processor can.
static const char* findcrlf(const char* p, const char* end) {
#if defined(__SSE2__)
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i cr = _mm_set1_epi8('\r');
    for (; end - p >= 16; p += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        int hits = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, lf), _mm_cmpeq_epi8(v, cr)));
        if (hits != 0) return p + __builtin_ctz(static_cast<unsigned>(hits));
    }
#endif
    for (; p < end; p++)
        if (*p == '\n' || *p == '\r') return p;
    return nullptr;
}

// What of the n bytes at src belongs to the current line: up to and
// including the first LF (then eol is set), else all. lonecr is set when a
// CR that is not part of a CR LF lies before that end; a CR in the last
// place is not counted, as what arrives next decides about it.
struct LinePart {
    int len;
    bool eol;
    bool lonecr;
};

static inline LinePart linepart(const char* src, int n) {
    const char* end = src + n;
    LinePart part{n, false, false};
    for (const char* p = src;;) {
        const char* hit = findcrlf(p, end);
        if (!hit || (*hit == '\r' && hit + 1 == end)) return part;
        if (*hit == '\n' || hit[1] == '\n') {
            part.len = static_cast<int>(hit - src) + (*hit == '\n' ? 1 : 2);
            part.eol = true;
            return part;
        }
        part.lonecr = true;
        p = hit + 1;
    }
}

// A CR survives only as the last character so far or right before the LF;
// any other CR of the n bytes at text becomes a space.
static void blanklonecrs(char* text, int n) {
    for (int i = 0; i + 1 < n; i++)
        if (text[i] == '\r' && text[i + 1] != '\n') text[i] = ' ';
}

// The read-ahead portion being taken from: its next byte, and in *count
// how many are left (0 when it is empty).
inline char* Socket::Ahead(int* count) {
    if (iCurBuf == 1) {
        *count = iRecvLen1 - iRecvPos1;
        return pcRecvBuf1 + iRecvPos1;
    }
    *count = iRecvLen2 - iRecvPos2;
    return pcRecvBuf2 + iRecvPos2;
}

// Takes n bytes of that portion; once it is empty, the other one is next.
inline void Socket::Take(int n) {
    int& pos = iCurBuf == 1 ? iRecvPos1 : iRecvPos2;
    int& len = iCurBuf == 1 ? iRecvLen1 : iRecvLen2;
    pos += n;
    if (pos >= len) {
        pos = len = 0;
        iCurBuf = 3 - iCurBuf;
    }
}

void Socket::Push(std::unique_ptr<Layer> layer) {
    layer->below = top;
    int n = 0;
    for (const char* ahead = Ahead(&n); n > 0; ahead = Ahead(&n)) {
        layer->handed.append(ahead, n);
        Take(n);
    }
    top = layer.get();
    layers.push_back(std::move(layer));
}

int Socket::RecvTeol(int strip) { return RecvUpTo(strip, kLineMax); }

int Socket::RecvUpTo(int strip, int limit) {
    // The line overwrites the last one; what lies beyond it is cleared at
    // the end, which spares clearing the same bytes twice.
    size_t stale = BufExtent();
    iEol = 0;
    iResult = 0;
    paceLine.restart();
    int idx = 0;
    for (;;) {
        int avail = 0;
        const char* src = Ahead(&avail);
        if (avail == 0) {
            if (ReadPortions() < 0) {
                bBroken = true;
                EndLine(idx, stale);
                iResult = -1;
                return -1;
            }
            continue;
        }

        int room = limit - idx;
        LinePart part = linepart(src, avail < room ? avail : room);
        int seg = part.len;
        bool lf = part.eol;
        char* dst = lineBuf + idx;
        std::memcpy(dst, src, seg);
        // A CR that ended the last portion was kept for this decision.
        if (idx > 0 && dst[-1] == '\r' && src[0] != '\n') dst[-1] = ' ';
        if (part.lonecr) blanklonecrs(dst, seg);
        idx += seg;

        int consumed = seg;
        bool done = lf;
        if (lf) {
            iEol = 1;
        } else if (idx == limit) {
            // Cut the over-long line, but never between the CR and LF of a
            // line end: a CR in the last place starts the next delivery.
            // At a literal's end the CR is its last byte.
            if (lineBuf[idx - 1] == '\r' && limit == kLineMax) {
                lineBuf[--idx] = '\0';
                consumed--;
            }
            done = true;
        }
        Take(consumed);
        if (done) break;
    }

    EndLine(idx, stale);
    if (strip > 0) {
        while (idx > 0 && (lineBuf[idx - 1] == '\r' || lineBuf[idx - 1] == '\n')) lineBuf[--idx] = '\0';
    }
    return idx;
}

int Socket::RecvLine(const char** line, int limit) {
    if (limit < 1 || limit > kLineMax) limit = kLineMax;
    int avail = 0;
    char* src = Ahead(&avail);
    if (avail != 0) {
        LinePart part = linepart(src, avail < limit ? avail : limit);
        if (part.eol) {
            // Its bytes are taken: a lone CR may become a space there.
            if (part.lonecr) blanklonecrs(src, part.len);
            Take(part.len);
            iEol = 1;
            iResult = 0;
            *line = src;
            return part.len;
        }
    }
    *line = lineBuf;
    return RecvUpTo(0, limit);
}

int Socket::Recv(int n) {
    if (n < 1 || n > kBufSize) {
        iResult = -1;
        return -1;
    }
    ClearBuf();
    iResult = 0;
    paceLine.restart();

    int avail = 0;
    const char* ahead = Ahead(&avail);
    if (avail != 0) {
        int take = n < avail ? n : avail;
        std::memcpy(lineBuf, ahead, take);
        Take(take);
        iBufUsed = take < kBufSize ? take + 1 : take;
        iResult = take;
        return take;
    }

    int r = RawRecv(lineBuf, n);
    if (nothingyet(r)) {
        r = WaitPaced(POLLIN);
        if (r == 0) {
            bBroken = true;
            errno = ETIMEDOUT;
            iResult = ETIMEDOUT;
            return -1;
        }
        if (r < 0) {
            bBroken = true;
            iResult = -1;
            return -1;
        }
        r = RecvWaiting(lineBuf, n);
    }
    iResult = r;
    if (r <= 0) bBroken = true;
    if (r == 0) {
        errno = kPeerClosed;
        return -1;
    }
    if (r > 0) {
        Moved(r);
        iBufUsed = r < kBufSize ? r + 1 : r;
    }
    return r;
}
