// The POP3 client: one mailbox on one server as a mail source, over one
// connection it owns, and the replies and lists of the protocol.
#ifndef VORPA_PROTO_POP3_H
#define VORPA_PROTO_POP3_H

#include <cstdint>
#include <string>
#include <vector>

#include "core/maillist.h"
#include "proto/client.h"
#include "proto/mailsource.h"
#include "proto/sasl.h"

// "+OK" positive, "-ERR" negative, anything else invalid.
Reply readpop3(Socket& sock);

// CAPA and the list it answers with. A refusal (an old server) leaves caps
// empty; a list without its end is an invalid reply, a failure.
Outcome pop3capa(Connection& connection, Capabilities& caps);

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

// UIDL, after its positive reply: the lines up to the terminator, each id
// into list.ids and its message number into numbers. A line without a
// number and an id is passed over. Short when the connection fails,
// Unterminated when more lines come than any mailbox holds.
ListResult pop3uidl(Socket& sock, MailList& list, std::vector<int32_t>& numbers);

// Logs in with USER and PASS, or the SASL mechanism the settings name;
// CAPA tells whether the server takes commands sent ahead of their
// answers. Then STAT, LIST and UIDL, RETR and DELE, those of a list sent
// ahead within a window where the server pipelines, and QUIT.
class Pop3Client final : public MailSource {
public:
    Pop3Client(const Server& server, const std::string& cafile, const std::string& pin, SourceEvents& events);

    bool open(const std::string& secret) override;
    // One: the mailbox.
    std::vector<std::string> folders() const override { return {""}; }
    bool select(const std::string& folder, FolderState& state) override;
    // The mailbox whole, whatever ask says.
    bool list(const ListAsk& ask, MailList& list) override;
    bool retrieve(const std::vector<uint32_t>& places, MessageSink& sink, bool last) override;
    // Each message's header with TOP n 0; one the server refuses is not
    // known. No parts: structure is passed over.
    bool describe(const MailList& list, const std::vector<uint32_t>& places, bool structure,
                  std::vector<Described>& out) override;
    bool removes() const override { return true; }
    bool remove(const MailList& list, const std::vector<uint32_t>& places) override;
    // POP3 has no flags.
    bool markseen(const MailList&, const std::vector<uint32_t>&) override { return true; }
    bool close() override;
    void abandon() override;
    Connection& connection() override { return conn; }

private:
    bool fail(SourceFault fault, const Outcome& outcome, const SaslLogin* login = nullptr);
    bool ask(const std::string& command);  // of the login
    bool login(const std::string& secret);
    bool sasl(const std::string& secret);
    bool capabilities();
    // quit: QUIT follows the last command, where the server pipelines.
    Pipeline commands(const std::vector<uint32_t>& places, const char* verb, int32_t minsize, bool quit = false);
    // A retrieve ends early: false.
    bool cutshort();
    bool refill(Pipeline& pipeline);
    bool receive(size_t k, MessageSink& sink);

    static const Wire wire;
    SourceEvents& events;
    Connection conn;
    Capabilities caps;
    int window = 1;
    // A failed dialogue may still end with QUIT: from the greeting on, but
    // not after a refused STARTTLS, a refused token, a message cut off by
    // its sink or a QUIT refused.
    bool quits = false;
    bool quitqueued = false;  // QUIT follows the last DELE
    long count = 0;  // of STAT
    std::vector<ListEntry> entries;
};

#endif
