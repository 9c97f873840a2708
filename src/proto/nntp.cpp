#include "proto/nntp.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/text.h"

Reply readnntp(Socket& sock) {
    Reply reply;
    int len = sock.RecvTeol();
    if (len < 1) {
        reply.error = errno;
        return reply;
    }
    reply.text.assign(sock.pszBuf, static_cast<size_t>(len));
    char code = sock.pszBuf[0];
    reply.status = code == '1' || code == '2' || code == '3' ? Reply::Positive : Reply::Negative;
    return reply;
}

bool isduplicate(const Reply& reply) {
    const std::string& text = reply.text;
    for (size_t i = 0; i + 9 <= text.size(); i++)
        if (memicmp(text.data() + i, "duplicate", 9) == 0) return true;
    return false;
}

bool readlong(const char*& p, long& value) {
    char* end;
    long v = std::strtol(p, &end, 10);
    if (end == p) return false;
    value = v;
    p = end;
    return true;
}
