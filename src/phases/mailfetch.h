// The mail fetch of one account's source, shared by its POP3 and IMAP
// parts: the words of what the source tells, the plan of each folder and
// the packet file its messages go into.
#ifndef VORPA_PHASES_MAILFETCH_H
#define VORPA_PHASES_MAILFETCH_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "phases/shared.h"
#include "proto/imap.h"
#include "proto/mailsource.h"
#include "soup/imapkeep.h"

// How a fetch went: the first `stored` places of its list are in the
// packet. End: nothing of it is kept, and the record stays as it was.
struct Fetched {
    Step step;
    size_t stored;
};

class MailFetch final : public SourceEvents, public Opener {
public:
    MailFetch(const Context& run, const Server& server)
        : run(run), out(run.report), server(server), imapleft(run.account.imapmax) {}

    // The secret of the login.
    bool prepare() override;
    // The source made and opened.
    bool open() override;
    Connection& connection() override { return source->connection(); }
    void drop() override { source->abandon(); }
    // The source's folders, once open() went through or not.
    Result fetch();

    void step(SourceStep step) override;
    void loggingin(const SaslLogin& login) override;
    void refused(size_t k, const Reply& reply) override;
    void failed(const SourceFailure& failure) override;

private:
    // The source of server, its connection attended.
    void makesource();
    bool fetchfolder(const std::string& folder);
    bool fetchlisted(const MailList& list);
    void forget();
    // An IMAP folder, against its record (imapfetch.cpp).
    bool imapfolder(const std::string& folder);
    bool imapafter(ImapRecord& record, const std::string& folder, const std::vector<uint32_t>& stored,
                   const std::vector<uint32_t>& old, const std::vector<uint32_t>& earlier);
    // The messages at the places of fetch into a new message file listed
    // under area in AREAS; ids, when given, gets their Message-IDs.
    // last: nothing is asked after them.
    Fetched retrieve(const MailList& list, const std::vector<uint32_t>& fetch, size_t keepable, const char* area,
                     bool last, std::vector<std::string>* ids = nullptr);

    const Context& run;
    Report& out;
    const Server& server;
    std::string secret;
    Secret got = Secret::Ready;
    bool opened = false;  // open() went through
    // The words of the source's protocol for a reply that is not positive.
    Complain complain = pop3complain;
    std::unique_ptr<MailSource> source;
    ImapClient* imap = nullptr;  // the source, when it is IMAP
    bool missing = false;        // a folder the server does not have
    bool warneduidplus = false;
    long imapleft;  // messages IMAPMAX leaves for this run; 0: no bound
};

#endif
