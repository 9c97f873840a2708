// The IMAP client (RFC 3501): the folders of an account on one server as
// a mail source, over one connection it owns. Messages are read with
// BODY.PEEK[], so that their flags stay as they were; they are flagged or
// removed only when asked to.
#ifndef VORPA_PROTO_IMAP_H
#define VORPA_PROTO_IMAP_H

#include <cstdint>
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

// The Message-ID in a header field's value (after "Message-ID:"): its
// printable characters.
std::string messageid(const char* value, size_t len);

// A message the folder lists: its UID, size (-1 unknown) and Message-ID.
struct ImapMessage {
    uint32_t uid;
    int32_t size;
    std::string messageid;
};

// What SELECT told of a folder.
struct ImapFolder {
    bool missing = false;  // refused: reply tells why
    Reply reply;
    long messages = 0;
    uint32_t uidvalidity = 0;
    uint32_t uidnext = 0;  // 0: not told
};

class ImapClient final : public MailSource {
public:
    // readonly: folders are opened with EXAMINE, nothing is flagged.
    ImapClient(const Account& account, bool readonly, SourceEvents& events);

    bool open(const std::string& secret) override;
    std::vector<std::string> folders() const override;
    // A folder the server refused is missing, not a failure.
    bool select(const std::string& folder, FolderSize& size) override;
    const ImapFolder& selected() const { return folder; }
    // The messages from UID from on (set by since), with their sizes and,
    // where asked, their Message-IDs, in one command; list holds their
    // sizes.
    void since(uint32_t uid, bool ids) {
        from = uid;
        withids = ids;
    }
    bool list(MailList& list) override;
    const std::vector<ImapMessage>& listed() const { return messages; }
    // The bodies at those places of the list, ascending by UID, in the
    // order the server sends them; delivered(k) tells whether the k-th
    // came whole (a message removed meanwhile does not come).
    bool retrieve(const std::vector<uint32_t>& places, MessageSink& sink, bool last) override;
    bool delivered(size_t k) const { return k < got.size() && got[k]; }
    bool removes() const override { return false; }
    bool remove(const std::vector<uint32_t>& places) override;
    // Which of those UIDs the folder selected still has, into have, sorted.
    bool present(const std::vector<uint32_t>& uids, std::vector<uint32_t>& have);
    // Whether UID EXPUNGE can remove only the messages named.
    bool uidplus() const { return caps.has("UIDPLUS"); }
    // Adds the flag ("\\Seen") to the messages of those UIDs.
    bool flag(const std::vector<uint32_t>& uids, const char* name);
    // \Deleted and UID EXPUNGE for those UIDs.
    bool expunge(const std::vector<uint32_t>& uids);
    bool close() override;
    void abandon() override;
    Connection& connection() override { return conn; }

private:
    struct Want;
    bool fail(SourceFault fault, const SaslLogin* login = nullptr);
    std::string tag();
    bool command(const std::string& text, Want* want = nullptr);
    bool await(const std::string& tag, Want* want);
    bool readline(std::string& text, long long& literal);
    bool untagged(std::string& text, long long& literal, Want* want);
    bool fetched(std::string& text, long long& literal, Want* want);
    bool skipliteral(long long size);
    bool readliteral(long long size, std::string& into, size_t most);
    bool tagged(const std::string& text);
    size_t bodyplace(bool hasuid, uint32_t uid, const Want* want) const;
    bool body(long long size, size_t k, Want* want);
    void capabilities(const std::string& list);
    // The capabilities a response code names: false when it names none.
    bool namedcaps(const std::string& text);
    bool login(const std::string& secret);
    bool compress();
    bool sasl(const std::string& secret);
    bool sendstring(std::string& line, const std::string& text);
    bool lost();
    bool invalid(const std::string& text);
    bool store(const std::vector<uint32_t>& uids, const char* flag, bool thenexpunge);

    static const Wire wire;
    const Account& account;
    const bool readonly;
    SourceEvents& events;
    Connection conn;
    Capabilities caps;
    char delimiter = '/';
    unsigned long tags = 0;
    bool quits = false;
    bool loggingout = false;
    bool saidbye = false;  // the BYE of LOGOUT came
    ImapFolder folder;
    uint32_t from = 1;
    bool withids = false;
    std::vector<ImapMessage> messages;
    std::vector<bool> got;
    std::vector<bool> asked;  // told to the sink with next
    std::vector<std::string> early;  // tagged answers not waited for yet
};

#endif
