#include "proto/nntp.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "core/text.h"

void readnntp(Socket& sock, Reply& reply) {
    int len = sock.RecvTeol();
    reply.lines.clear();
    if (len < 1) {
        reply.status = Reply::Lost;
        reply.error = errno;
        reply.text.clear();
        return;
    }
    reply.error = 0;
    reply.text.assign(sock.pszBuf, static_cast<size_t>(len));
    char code = sock.pszBuf[0];
    reply.status = code == '1' || code == '2' || code == '3' ? Reply::Positive : Reply::Negative;
}

Reply readnntp(Socket& sock) {
    Reply reply;
    readnntp(sock, reply);
    return reply;
}

bool isduplicate(const Reply& reply) {
    const std::string& text = reply.text;
    for (size_t i = 0; i + 9 <= text.size(); i++)
        if (memicmp(text.data() + i, "duplicate", 9) == 0) return true;
    return false;
}

namespace {

// One field of a GROUP reply, as readlong reads it; a number that is
// negative or too large for a long makes the range invalid.
bool readfield(const char*& p, long& value, bool& valid) {
    errno = 0;
    char* end;
    long v = std::strtol(p, &end, 10);
    if (end == p) return false;
    if (errno == ERANGE || v < 0) valid = false;
    value = v;
    p = end;
    return true;
}

}  // namespace

GroupRange::GroupRange(const char* reply, long high) {
    if (std::strlen(reply) > 4) {
        const char* p = reply + 4;
        if (readfield(p, count, valid) && readfield(p, first, valid)) readfield(p, last, valid);
    }
    estimate = count;
    if (high >= last) {
        count = 0;
    } else if (high >= first) {
        // first <= high < last: the difference is positive, but may not
        // fit a long when the numbers are extreme.
        unsigned long n = static_cast<unsigned long>(last) - static_cast<unsigned long>(high);
        count = n > LONG_MAX ? LONG_MAX : static_cast<long>(n);
        first = high + 1;
    }
}

bool readnumbers(Socket& sock, long first, long last, size_t max, std::vector<long>& numbers) {
    numbers.clear();
    for (bool linestart = true;;) {
        int len = sock.RecvTeol();
        if (len < 1) return false;
        const char* p = sock.pszBuf;
        bool whole = linestart;
        linestart = sock.iEol == 1;
        // The rest of a line longer than the line buffer names no number.
        if (!whole) continue;
        if (isterminator(p, len)) return true;
        long n;
        if (!readlong(p, n) || n < first || n > last || numbers.size() == max) continue;
        if (numbers.empty() || n > numbers.back()) numbers.push_back(n);
    }
}
