#include "proto/pop3.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/text.h"

namespace {

// A server that keeps sending capability lines is not answering.
constexpr int maxcapalines = 1000;

// As many ids as the longest message list takes.
constexpr long maxuidllines = 1L << 24;

// Reads a signed 32-bit number as "%ld" would, from *pos on; advances *pos
// past it. False when there is no number or it does not fit.
bool parsenumber(const char** pos, int32_t* value) {
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(*pos, &end, 10);
    if (end == *pos) return false;
    *pos = end;
    if (errno == ERANGE || v < INT32_MIN || v > INT32_MAX) return false;
    *value = static_cast<int32_t>(v);
    return true;
}

// "+ " and a challenge asks for more, "+OK" is the login.
SaslDialect::Turn pop3turn(const Reply& reply, std::string& challenge) {
    const std::string& text = reply.text;
    if (reply.status == Reply::Positive) return SaslDialect::Success;
    if (reply.status == Reply::Negative) return SaslDialect::Failure;
    if (text.size() < 2 || text[0] != '+' || (text[1] != ' ' && text[1] != '\r' && text[1] != '\n'))
        return SaslDialect::Invalid;
    size_t from = text[1] == ' ' ? 2 : 1;
    challenge = text.substr(from, std::strcspn(text.c_str() + from, "\r\n"));
    return SaslDialect::Challenge;
}

}  // namespace

Reply readpop3(Socket& sock) {
    Reply reply;
    int len = sock.RecvTeol();
    if (len == -1) {
        reply.error = errno;
        return reply;
    }
    reply.text.assign(sock.pszBuf, static_cast<size_t>(len));
    if (len >= 3 && memicmp(sock.pszBuf, "+OK", 3) == 0) {
        reply.status = Reply::Positive;
    } else if (len >= 4 && memicmp(sock.pszBuf, "-ERR", 4) == 0) {
        reply.status = Reply::Negative;
    } else {
        reply.status = Reply::Invalid;
    }
    return reply;
}

Reply pop3capa(Connection& connection, Capabilities& caps) {
    caps.clear();
    Reply reply = connection.ask("CAPA\r\n");
    if (!reply.ok()) return reply;
    Socket& sock = connection.sock;
    for (int lines = 0; lines < maxcapalines; lines++) {
        int len = sock.RecvTeol();
        if (len == -1) {
            reply.status = Reply::Lost;
            reply.error = errno;
            break;
        }
        if (isterminator(sock.pszBuf, len)) return reply;
        caps.add(std::string(sock.pszBuf, std::strcspn(sock.pszBuf, "\r\n")));
    }
    if (reply.ok()) reply.status = Reply::Invalid;
    return reply;
}

SaslOutcome pop3auth(Connection& connection, const SaslExchange& exchange) {
    // RFC 5034: the AUTH line, CR LF included, is at most 255 octets.
    return saslrun(connection, exchange, {"AUTH", 255, pop3turn});
}

void pop3stat(const Reply& reply, long* count, long* total) {
    const char* pos = reply.text.c_str() + (reply.text.size() >= 4 ? 4 : reply.text.size());
    char* end = nullptr;
    *count = std::strtol(pos, &end, 10);
    *total = end == pos ? 0 : std::strtol(end, &end, 10);
}

ListResult pop3list(Socket& sock, std::vector<ListEntry>& list, long count) {
    for (int32_t i = 0; i < count; i++) {
        int len = sock.RecvTeol();
        // A terminator among the entries means a short list; reading on
        // would only wait for lines that never come.
        if (len == -1 || isterminator(sock.pszBuf, len)) return ListResult::Short;
        ListEntry entry{i + 1, -1};
        const char* pos = sock.pszBuf;
        int32_t number = 0;
        int32_t size = 0;
        if (parsenumber(&pos, &number)) {
            entry.number = number;
            if (parsenumber(&pos, &size) && size >= 0) entry.size = size;
        }
        list.push_back(entry);
    }
    int len = sock.RecvTeol();
    if (len == -1 || !isterminator(sock.pszBuf, len)) return ListResult::Unterminated;
    return ListResult::Whole;
}

ListResult pop3uidl(Socket& sock, UidList& list) {
    for (long lines = 0; lines <= maxuidllines; lines++) {
        int len = sock.RecvTeol();
        if (len == -1) return ListResult::Short;
        if (isterminator(sock.pszBuf, len)) return ListResult::Whole;
        const char* pos = sock.pszBuf;
        int32_t number = 0;
        if (!parsenumber(&pos, &number)) continue;
        pos += std::strspn(pos, " \t");
        size_t idlen = std::strcspn(pos, " \t\r\n");
        if (idlen == 0) continue;
        list.uids.push_back({number, static_cast<uint32_t>(list.ids.size()), static_cast<uint32_t>(idlen)});
        list.ids.append(pos, idlen);
    }
    return ListResult::Unterminated;
}
