// The POP3 client: replies, capabilities and the mailbox listing.
#ifndef VORPA_PROTO_POP3_H
#define VORPA_PROTO_POP3_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "proto/client.h"
#include "proto/sasl.h"

// "+OK" positive, "-ERR" negative, anything else invalid.
Reply readpop3(Socket& sock);

// CAPA and the list it answers with. A refusal (an old server) leaves caps
// empty; a list without its end is an invalid reply.
Reply pop3capa(Connection& connection, Capabilities& caps);

// AUTH (RFC 5034) with the mechanism's exchange, as saslrun runs it.
SaslOutcome pop3auth(Connection& connection, const SaslExchange& exchange);

// The message count and total size of a STAT reply, read as "%ld" reads
// them: 0 for a count that cannot be read.
void pop3stat(const Reply& reply, long* count, long* total);

// One LIST entry. A size that could not be read, or a negative one, is
// stored as -1: such a message is neither retrieved nor deleted.
struct ListEntry {
    int32_t number;
    int32_t size;
};

enum class ListResult { Whole, Short, Unterminated };

// LIST, after its positive reply: one entry per announced message, then
// the terminator. Short when the list ends early or the connection fails.
ListResult pop3list(Socket& sock, std::vector<ListEntry>& list, long count);

// The unique ids of a UIDL answer, held in one piece: a mailbox of
// 100,000 messages must not cost an allocation per id.
struct UidList {
    struct Uid {
        int32_t number;
        uint32_t offset;  // into ids
        uint32_t length;
    };
    std::string ids;
    std::vector<Uid> uids;
    std::string_view id(const Uid& uid) const { return std::string_view(ids).substr(uid.offset, uid.length); }
};

// UIDL, after its positive reply: the lines up to the terminator. A line
// without a number and an id is passed over. Short when the connection
// fails, Unterminated when more lines come than any mailbox holds.
ListResult pop3uidl(Socket& sock, UidList& list);

#endif
