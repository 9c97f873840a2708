// The mail fetch of one account's source, whatever its protocol: the words
// of what the source tells, the plan of each folder against its record, and
// the packet file its messages go into.
#ifndef VORPA_PHASES_MAILFETCH_H
#define VORPA_PHASES_MAILFETCH_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "phases/bigmail.h"
#include "phases/shared.h"
#include "proto/mailsource.h"
#include "soup/mailplan.h"
#include "soup/soup.h"

// How a fetch went: which places of it are in the packet. End: nothing of
// it is kept, and the record stays as it was.
struct Fetched {
    Step step;
    std::vector<bool> stored;
};

// What an account's settings ask of the fetch from one of its sources.
struct SourceRules {
    MailRules plan;
    long most = 0;      // messages one run fetches (0: no bound)
    bool seen = false;  // what was stored is flagged as seen
    std::vector<std::string> folders;  // of a source with folders
    long maxsize = 0;  // bytes of the largest message fetched whole (0: no bound)
    bool text = true;  // a larger one is fetched as its text where the source can
};

// One kind of source: its protocol, the words of its replies, what is said
// where its rules would remove and it cannot, and its settings.
struct SourceKind {
    Protocol protocol;
    Complain complain;
    const char* cannotremove;
    SourceRules (*rules)(const Account& account);
};

class MailFetch final : public SourceEvents, public Opener {
public:
    MailFetch(const Context& run, const Server& server);

    // The secret of the login.
    bool prepare() override;
    // The source made and opened.
    bool open() override;
    Outcome& ended() override { return endedby; }
    Connection& connection() override { return source->connection(); }
    void drop() override { source->abandon(); }
    // The source's folders, once open() went through or not.
    Result fetch();

    void step(SourceStep step) override;
    void loggingin(const SaslLogin& login) override;
    void refused(size_t k, const Reply& reply) override;
    void failed(const SourceFailure& failure) override;
    bool stopping() override { return run.interrupts.taken() != 0; }

private:
    // The source of server, its connection attended.
    void makesource();
    bool fetchfolder(const std::string& folder);
    // What the fetch expects to ask of a folder before it is selected.
    ListAsk foreseen(const MailPlan& plan);
    std::vector<ListAsk> selectahead(const std::vector<std::string>& folders);
    bool readrecord(MailPlan& plan, MailRecord& record);
    bool removefrom(MailPlan& plan, MailRecord& record, const MailList& list, const std::string& folder,
                    const std::vector<uint32_t>& stored);
    // The messages at the places of fetch into a new message file listed
    // under area in AREAS; ids: the plan that takes the Message-IDs of their
    // headers, where wanted. last: nothing is asked after them. The last
    // texts places are stored by big as their text only.
    Fetched retrieve(const MailList& list, const std::vector<uint32_t>& fetch, size_t keepable, const char* area,
                     bool last, MailPlan* ids, BigMail& big, size_t texts);

    const Context& run;
    Report& out;
    const Server& server;
    std::string secret;
    Secret got = Secret::Ready;
    bool opened = false;  // open() went through
    const SourceKind* kind = nullptr;
    SourceRules rules;
    std::unique_ptr<MailSource> source;
    bool missing = false;  // a folder the server does not have
    Outcome endedby;  // the failure told last, which ended the dialogue
    bool warnedremoval = false;
    size_t budget = SIZE_MAX;  // messages the rules leave for this run
    std::optional<Spool> spool;  // made for the first folder that may use one
    bool spooling = false;        // the folder's bodies may come with its listing
    uint32_t listedat = 0;        // the clock when that listing was asked (0: none)
    bool ahead = false;           // the folders after the first go in its flight
    uint32_t flightat = 0;        // the clock when that flight went
};

#endif
