#include "proto/smtp.h"

#include <cerrno>
#include <cstring>
#include <utility>

namespace {

// A server that keeps sending continuation lines is not answering.
const int MAXREPLYLINES = 1000;

}  // namespace

Reply readsmtp(Socket& sock) {
    Reply reply;
    const char* line = sock.pszBuf;
    for (int lines = 1;; lines++) {
        int len = sock.RecvTeol();
        if (len == -1) {
            reply.error = errno;
            reply.lines.clear();
            return reply;
        }
        // "ddd-" continues a multi-line reply; its last line is judged.
        bool more = line[0] >= '0' && line[0] <= '9' && line[1] >= '0' && line[1] <= '9' &&
                    line[2] >= '0' && line[2] <= '9' && line[3] == '-';
        if (len > 4) reply.lines.emplace_back(line + 4, std::strcspn(line + 4, "\r\n"));
        if (!more) break;
        if (lines == MAXREPLYLINES) {
            // The rest of the reply would be taken for the answers to the
            // next commands: the dialogue is lost, as with no answer.
            reply.text.assign(line, static_cast<size_t>(len));
            reply.status = Reply::Invalid;
            return reply;
        }
    }
    reply.text = line;
    reply.status = line[0] == '1' || line[0] == '2' || line[0] == '3' ? Reply::Positive : Reply::Negative;
    return reply;
}

int isdelimiter(int c) {
    switch (c) {
        case '\0':
        case ' ':
        case '\t':
        case '\r':
        case '\n':
        case '<':
        case '>':
        case '(':
        case ')':
            return 1;
        default:
            return 0;
    }
}

// Takes the run around the first "@" of each top-level comma-separated part
// of a header value: enough for the usual "Name <addr>", "addr (Name)" and
// lists of them, without the full address grammar.
void processemail(char* text, int isfrom, Envelope& envelope) {
    char* part = text;
    int depth = 0;
    bool quoted = false;
    while (*part) {
        char* end = part;
        for (; *end; end++) {
            char c = *end;
            if (c == ',' && depth == 0 && !quoted) break;
            if (c == '"' || c == '\'') quoted = !quoted;
            else if (c == '(' || c == '<') depth++;
            else if (c == ')' || c == '>') depth--;
        }
        char* next = nullptr;
        if (*end == ',') {
            *end = '\0';
            next = end + 1;
        }

        char* at = std::strchr(part, '@');
        if (at) {
            char* first = at;
            while (first > part && !isdelimiter(first[-1])) first--;
            char* last = at;
            while (!isdelimiter(*last)) last++;
            std::string address(first, static_cast<size_t>(last - first));
            if (isfrom) {
                envelope.from = std::move(address);
            } else {
                envelope.to.push_back(std::move(address));
            }
        }

        if (!next) break;
        part = next;
    }
}

std::string mailfrom(const Envelope& envelope) { return "MAIL FROM:<" + envelope.from + ">\r\n"; }

std::string rcptto(const std::string& to) { return "RCPT TO:<" + to + ">\r\n"; }

std::string envelopegroup(const Envelope& envelope, const std::string& last, size_t limit) {
    std::string group = mailfrom(envelope);
    for (const std::string& to : envelope.to) {
        group += rcptto(to);
        if (group.size() > limit) return "";
    }
    group += last;
    return group.size() > limit ? "" : group;
}

namespace {

// 3xx asks for more (334 with a challenge), 2xx is the login.
SaslDialect::Turn smtpturn(const Reply& reply, std::string& challenge) {
    if (reply.status == Reply::Invalid) return SaslDialect::Invalid;
    if (reply.text[0] == '3') {
        challenge = reply.text.size() > 4 ? reply.text.substr(4, std::strcspn(reply.text.c_str() + 4, "\r\n")) : "";
        return SaslDialect::Challenge;
    }
    return reply.text[0] == '2' ? SaslDialect::Success : SaslDialect::Failure;
}

}  // namespace

SaslOutcome smtpauth(Connection& connection, const SaslExchange& exchange) {
    // RFC 4954: the AUTH line keeps to the command length of RFC 5321.
    return saslrun(connection, exchange, {"AUTH", 512, smtpturn});
}
