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

GroupRange::GroupRange(const char* reply, long high) {
    if (std::strlen(reply) > 4) {
        const char* p = reply + 4;
        if (readlong(p, count) && readlong(p, first)) readlong(p, last);
    }
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
