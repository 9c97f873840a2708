// The IMAP client (RFC 3501): the folders of an account on one server as
// a mail source, over one connection it owns. Messages are read with
// BODY.PEEK[], so that their flags stay as they were; they are flagged or
// removed only when asked to.
#ifndef VORPA_PROTO_IMAP_H
#define VORPA_PROTO_IMAP_H

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "core/maillist.h"
#include "core/settings.h"
#include "proto/client.h"
#include "proto/mailsource.h"
#include "proto/sasl.h"

// One response of the greeting or a login: an untagged OK or PREAUTH, or a
// tagged OK, is positive; BYE, NO and BAD negative; a continuation ("+")
// invalid, for the SASL exchange to judge. Other untagged responses are
// passed over, literals and all.
Reply readimap(Socket& sock);

// A folder's name as configured (UTF-8, "/" between levels) as the server
// names it: its delimiter between levels, in modified UTF-7.
std::string imapmailbox(const std::string& folder, char delimiter);

// A string as a command sends it: quoted, or empty when its bytes need a
// literal (8-bit bytes, CR, LF, NUL).
std::string imapquoted(const std::string& text);

class ImapClient final : public MailSource {
public:
    // folders: those fetched (UTF-8, "/" between levels). readonly: they
    // are opened with EXAMINE, nothing is flagged or removed.
    ImapClient(const Server& server, const std::string& cafile, const std::string& pin,
               std::vector<std::string> folders, bool readonly, SourceEvents& events);

    bool open(const std::string& secret) override;
    std::vector<std::string> folders() const override { return names; }
    // The listing goes with the next EXAMINE or SELECT, but where the server
    // limits the messages a command names (MESSAGELIMIT); with a spool, the
    // bodies go with it, in the same command.
    void foresee(const ListAsk& ask) override;
    // STATUS of each goes in the next selection's flight; or, with asks
    // that all bring the bodies into the spool, their selections and
    // listings. A command for a folder while those are still to answer
    // passes them over and selects the folder again.
    bool survey(const std::vector<std::string>& later, const std::vector<ListAsk>& asks) override;
    bool surveyed(const std::string& folder, FolderState& state) override;
    // A folder the server refused is missing, not a failure.
    bool select(const std::string& folder, FolderState& state) override;
    // Which of the known UIDs the folder still has, then the messages from
    // UID from on with their sizes and, where asked, their Message-IDs, in
    // one flight; ids are the UIDs, and the list is ascending by them.
    bool list(const ListAsk& ask, MailList& list) override;
    // The bodies at those places of the list, ascending by UID: those that
    // came with the listing from the spool, the others asked for by sets of
    // UIDs in one flight, in the order the server sends them (a message
    // removed meanwhile does not come).
    bool retrieve(const std::vector<uint32_t>& places, MessageSink& sink, bool last) override;
    // The header (whole, or its From and Subject) and BODYSTRUCTURE of
    // each message, in one flight.
    bool describe(const MailList& list, const std::vector<uint32_t>& places, bool structure,
                  std::vector<Described>& out) override;
    bool hasparts() const override { return true; }
    // BODY.PEEK[section] of each, in one command; each part's text goes to
    // the sink as it comes.
    bool retrieveparts(const MailList& list, uint32_t place, const std::vector<std::string>& sections,
                       PartSink& sink) override;
    // Only UID EXPUNGE removes just the messages named (UIDPLUS): a plain
    // EXPUNGE would take what other clients marked too.
    bool removes() const override { return caps.has("UIDPLUS"); }
    // \Deleted and UID EXPUNGE.
    bool remove(const MailList& list, const std::vector<uint32_t>& places) override;
    bool markseen(const MailList& list, const std::vector<uint32_t>& places) override;
    bool close() override;
    void abandon() override;
    Connection& connection() override { return conn; }

private:
    struct Want;
    bool fail(SourceFault fault, const Outcome& outcome, const SaslLogin* login = nullptr);
    std::string tag();
    // Sends a command and awaits its answer; a failure is told.
    Outcome command(const std::string& text, Want* want = nullptr);
    Outcome flight(const std::vector<std::string>& texts, Want* want);
    std::string sendahead();
    std::string selecting(const std::string& box) const;
    static std::string withbodies(uint32_t from);
    std::string selectahead();
    Outcome reclaim();
    bool settle(std::string& t);
    static const char* listitems(bool ids);
    std::vector<std::string> listing(uint32_t start, bool ids) const;
    void listed(bool ids, const std::vector<uint32_t>& have, MailList& list);
    // Reads a FETCH response whole: its first line, and the count of a
    // literal that ends it.
    using FetchHook = std::function<Outcome(std::string& text, long long& literal)>;
    // Awaits the answer to tag; FETCH responses go to fetches where given.
    Outcome await(const std::string& tag, Want* want, const FetchHook* fetches = nullptr);
    // The answer to describe's or retrieveparts' command k, told.
    bool answered(const Outcome& answer, size_t k);
    Outcome readline(std::string& text, long long& literal);
    Outcome untagged(std::string& text, long long& literal, Want* want);
    Outcome fetched(std::string& text, long long& literal, Want* want);
    Outcome skipliteral(long long size);
    Outcome readliteral(long long size, std::string& into, size_t most);
    Outcome tagged(const std::string& text);
    // Whether a tagged answer that failed refused the command, the
    // connection still whole.
    bool refusal(const Outcome& answer) const;
    size_t bodyplace(bool hasuid, uint32_t uid, const Want* want) const;
    Outcome body(long long size, size_t k, Want* want);
    // A body in the spool, or one the retrieve is to take from there.
    struct Spooled {
        uint32_t uid;
        uint32_t length;
        uint64_t offset;
    };
    Outcome spoolbody(long long size, Spooled& at, bool& kept);
    Outcome unspool(const Spooled& at, size_t k, Want* want);
    bool give(size_t k, MessageText& text, MessageSink& sink);
    void capabilities(const std::string& list);
    // The capabilities a response code names: false when it names none.
    bool namedcaps(const std::string& text);
    // answer: the server's answer to the login. after: commands that go
    // with a LOGIN (then cleared), whose answers come after its own.
    bool login(const std::string& secret, Reply& answer, std::string& after);
    // before: commands that go ahead of COMPRESS in its flight, the last
    // tagged beforetag.
    bool compress(const std::string& before, const std::string& beforetag);
    // Reads the listing that went with the selection, into messages and the
    // spool.
    void readahead();
    bool sasl(const std::string& secret, Reply& answer);
    Outcome sendstring(std::string& line, const std::string& text);
    Outcome lost() const;
    Outcome invalid(const std::string& text) const;
    bool store(const MailList& list, const std::vector<uint32_t>& places, const char* flag, bool thenexpunge);
    void listed(const std::string& text, FolderState& state) const;
    void status(const std::string& text);

    // A message the folder lists: its UID and size (-1 unknown).
    struct Message {
        uint32_t uid;
        int32_t size;
    };
    // The listing sent with the selection: from which UID, and its tag
    // (empty once answered).
    struct Ahead {
        uint32_t from = 0;
        std::string listtag;
        int spool = -1;  // the bodies come with it, into this file
        bool read = false;  // its answer came already: this one
        Outcome answer;
    };
    // A folder selected ahead, with its listing, in the flight of the
    // first: its answers are read in its turn.
    struct Later {
        std::string box;  // as the command named it
        std::string selecttag;
        Ahead ahead;
    };
    void follow(const Ahead& next);
    // What SELECT told of the folder.
    struct Selected {
        long messages = 0;
        uint32_t uidvalidity = 0;
        uint32_t uidnext = 0;
    };
    // What STATUS told of a folder, by its name on the wire (messages -1:
    // not told).
    struct Status {
        std::string box;
        Selected told{-1, 0, 0};
    };

    static const Wire wire;
    friend Outcome imapprobe(const Server& server, const std::string& cafile, std::string& fingerprint);
    const std::vector<std::string> names;
    const bool readonly;
    SourceEvents& events;
    Connection conn;
    Capabilities caps;
    char delimiter = '/';
    // The delimiter is guessed: the first selection's flight asks it.
    bool guessing = false;
    unsigned long tags = 0;
    bool quits = false;
    bool loggingout = false;
    Selected folder;
    uint32_t from = 1;
    std::vector<Message> messages;
    // Where the listing asks for them, each message's Message-ID in idtext.
    std::vector<MailList::Id> messageids;
    std::string idtext;
    uint32_t guess = 0;  // foreseen: the next listing's first UID
    int guessspool = -1;  // and where its bodies may go
    std::vector<Spooled> spooled;  // by UID once the listing is read
    uint64_t spoolend = 0;
    bool spoolfailed = false;  // a write failed: nothing more goes there
    Ahead ahead;
    size_t messagelimit = 0;  // MESSAGELIMIT: most messages a command may name (0: any)
    bool halted = false;      // the sink asked for a stop
    std::vector<bool> got;
    std::vector<bool> asked;  // told to the sink with next
    std::vector<std::string> early;  // tagged answers not waited for yet
    std::vector<std::string> surveying;  // folders whose STATUS goes next
    std::vector<ListAsk> aheadasks;      // or whose selections go, so listed
    std::deque<Later> later;
    std::string current;  // the folder selected in its turn, as named ("": none)
    bool outofturn = false;  // those selected ahead answered under another wait
    // Answers a selection or a listing needs (EXISTS, UIDVALIDITY, UIDNEXT,
    // FETCH) read under a wait for none.
    size_t strays = 0;
    std::vector<Status> statuses;
    std::vector<std::string> statustags;  // of those whose answer is not read yet
};

// Connects to an IMAP server, takes its greeting and, where its TLS mode
// is starttls, the handshake after STARTTLS, then closes: whether it
// answers as one. fingerprint: the certificate's it showed, also one not
// trusted (a server that makes its own, such as Proton's Bridge).
Outcome imapprobe(const Server& server, const std::string& cafile, std::string& fingerprint);

#endif
