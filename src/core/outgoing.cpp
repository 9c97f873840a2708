// Outgoing messages: the addresses of their header.
#include "core/outgoing.h"

#include <utility>

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
        case ',':
        case ';':
            return 1;
        default:
            return 0;
    }
}

// Readers write "Ann <ann@x.org, bob@y.org>" for two recipients: a comma
// or semicolon ends an address wherever it stands, brackets or not, and
// only quotes and comments hold one as text. Of each part so ended, the
// run around its first at sign inside brackets is taken, else around its
// first outside quotes and comments: enough for the usual "Name <addr>",
// "addr (Name)" and lists of them, without the full address grammar.
void processemail(const char* text, int isfrom, Envelope& envelope) {
    const char* part = text;
    bool quoted = false;
    int comment = 0;
    bool angle = false;
    const char* bracketed = nullptr;  // the part's first at sign inside "<...>"
    const char* bare = nullptr;       // outside them
    const char* any = nullptr;        // anywhere
    for (const char* p = text;; p++) {
        char c = *p;
        if (c == '\0' || (!quoted && comment == 0 && (c == ',' || c == ';'))) {
            // A quote or comment never closed is taken for text.
            const char* at = bracketed ? bracketed : bare ? bare : c == '\0' && (quoted || comment > 0) ? any : nullptr;
            if (at) {
                const char* first = at;
                while (first > part && !isdelimiter(first[-1])) first--;
                const char* last = at;
                while (!isdelimiter(*last)) last++;
                std::string address(first, static_cast<size_t>(last - first));
                if (isfrom) {
                    envelope.from = std::move(address);
                } else {
                    envelope.to.push_back(std::move(address));
                }
            }
            if (c == '\0') return;
            part = p + 1;
            bracketed = bare = any = nullptr;
            continue;
        }
        if (c == '@' && !any) any = p;
        if ((quoted || comment > 0) && c == '\\' && p[1] != '\0') {
            p++;
        } else if (quoted) {
            quoted = c != '"';
        } else if (comment > 0) {
            comment += c == '(' ? 1 : c == ')' ? -1 : 0;
        } else if (c == '"') {
            quoted = true;
        } else if (c == '(') {
            comment = 1;
        } else if (c == '<' || c == '>') {
            angle = c == '<';
        } else if (c == '@') {
            const char*& first = angle ? bracketed : bare;
            if (!first) first = p;
        }
    }
}
