// A mail source: where the mail fetch takes its messages from, a POP3
// mailbox or the folders of an account. The fetch opens it, selects each
// folder, lists its messages (ids, sizes and, where asked, Message-IDs),
// retrieves a list of them into a sink, flags and removes lists where the
// source can, and closes it. What to fetch, keep and remove is the fetch's
// plan (soup/mailplan.h), never the source's. The source never prints: it
// tells the fetch what it begins, what it refused and what failed, at the
// moment it happens, and the fetch says the words.
#ifndef VORPA_PROTO_MAILSOURCE_H
#define VORPA_PROTO_MAILSOURCE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/maillist.h"
#include "core/settings.h"
#include "proto/body.h"
#include "proto/bodystructure.h"
#include "proto/client.h"
#include "proto/sasl.h"

// A step of the dialogue, told as it begins.
enum class SourceStep {
    Connecting,
    StartingTls,
    // The login with USER and PASS begins: the password may go, in plain
    // text only where the settings allow it.
    SendingUser,
    SendingPassword,
    Counting,
    Removing,
    SigningOff,
    SignedOff,
    // IMAP's LOGIN, with the user and the password.
    SendingLogin,
    // COMPRESS DEFLATE, after the login.
    Compressing,
};

// What failed; its outcome has the class, and for Step says what went
// wrong.
enum class SourceFault {
    Step,          // a step of the dialogue, or QUIT at the end of a failed one
    SecretHeld,    // the password may not go over this connection
    Login,         // a SASL login did not go through: it tells how far it went
    ShortList,     // the list ended early, or the connection failed in it
    LongList,      // the list did not end where it should
    HugeList,      // no room for as many messages as the server counts
    LostMessage,   // the connection failed or went silent in a message
    Sink,          // the sink refused a message
    PlainRefused,  // the server takes no password in plain text (IMAP's LOGINDISABLED)
};

struct SourceFailure {
    SourceFault fault;
    const Connection& connection;
    const Outcome& outcome;
    const SaslLogin* login;  // Login's
};

class SourceEvents {
public:
    virtual void step(SourceStep step) = 0;
    // A SASL login is chosen and about to go.
    virtual void loggingin(const SaslLogin& login) = 0;
    // The server refused the k-th message of a retrieve or a removal.
    virtual void refused(size_t k, const Reply& reply) = 0;
    virtual void failed(const SourceFailure& failure) = 0;
    // Whether a stop was asked for: a source whose bodies come with a
    // listing ends it there, and drops the connection.
    virtual bool stopping() { return false; }

protected:
    ~SourceEvents() = default;
};

// The text of a message as the source receives it, read by the sink that
// takes it: every line as the message holds it (without the dot a POP3
// server puts before a line that begins with one, or the literal of an
// IMAP server, read by its count), line end included as
// received, and a line longer than the connection's buffer in pieces of
// which only the first is at a line start. Every fetched byte passes here:
// the sink is inlined.
class MessageText {
public:
    explicit MessageText(Socket& sock) : sock(sock) {}
    MessageText(Socket& sock, uint64_t literal) : sock(sock), literal(literal), counted(true) {}
    // A literal that came earlier, kept at offset of the file spool.
    MessageText(Socket& sock, int spool, uint64_t offset, uint64_t literal)
        : sock(sock), literal(literal), counted(true), spool(spool), offset(offset) {}

    // sink(text, len, linestart, received) for each line or piece, up to
    // the end of the message or until it returns false; received is what
    // the line took on the wire.
    template <class Sink>
    BodyEnd read(Sink&& sink) {
        if (spool >= 0) {
            end = readspooled(spool, offset, literal, [&sink](const char* text, size_t len, bool linestart) {
                return sink(text, len, linestart, len);
            });
            return end;
        }
        if (counted) {
            end = readliteral(sock, literal, [&sink](const char* text, size_t len, bool linestart) {
                return sink(text, len, linestart, len);
            });
            return end;
        }
        end = readbody(sock, [&sink](const char* text, size_t len, bool linestart) {
            size_t stuffed = linestart && text[0] == '.' ? 1 : 0;
            return sink(text + stuffed, len - stuffed, linestart, len);
        });
        return end;
    }

    // How the reading ended; SinkFailed also when the text was not read.
    BodyEnd end = BodyEnd::SinkFailed;

private:
    Socket& sock;
    uint64_t literal = 0;
    bool counted = false;
    int spool = -1;
    uint64_t offset = 0;
};

// Takes the messages of a retrieve, the k-th of its places each.
class MessageSink {
public:
    // Before the message is asked for: false stops the retrieve here,
    // between two messages.
    virtual bool next(size_t k) = 0;
    // The server sends it: read its text whole, or return false to stop
    // the retrieve (after reading it whole, or not).
    virtual bool take(size_t k, MessageText& text) = 0;

protected:
    ~MessageSink() = default;
};

// Takes the parts of a message fetched apart, each as the source receives
// it, named by its section: false stops the fetch.
class PartSink {
public:
    virtual bool part(const std::string& section, MessageText& text) = 0;
    // A part the server sent as a string.
    virtual bool part(const std::string& section, const std::string& text) = 0;

protected:
    ~PartSink() = default;
};

// What the fetch learns of a message too big to take whole: its header
// (whole where its parts are asked for, else its From and Subject fields)
// and, where asked, its parts. known: the source told of it.
struct Described {
    std::string header;
    std::vector<MimePart> parts;
    bool structured = false;  // the parts could be read
    bool known = false;
};

// What selecting a folder told of it.
struct FolderState {
    long messages = 0;
    long octets = 0;  // 0 where the source does not count them
    // The source has no such folder: reply tells why, and the folders it
    // has are the first of those it lists, up to kShownFolders, out of
    // othercount.
    bool missing = false;
    Reply reply;
    static constexpr size_t kShownFolders = 20;
    std::vector<std::string> others;
    size_t othercount = 0;
    // A folder whose ids are numbers that grow: its numbering, and the
    // number its next message gets (0: not told).
    uint32_t validity = 0;
    uint32_t next = 0;
};

// Every call but abandon returns false once the dialogue cannot go on:
// after it told of a failure or a refusal, or when the sink stopped it. The
// fetch then ends the dialogue with abandon. A message is named by its place
// in the folder's list.
class MailSource {
public:
    virtual ~MailSource() = default;

    // Connects, makes TLS, reads the greeting and logs in with secret.
    virtual bool open(const std::string& secret) = 0;
    // The folders to fetch, each into its own message file; a mailbox
    // without folders is one of no name.
    virtual std::vector<std::string> folders() const = 0;
    // What the fetch expects to ask of the next folder selected, before its
    // answers come: its listing as ask asks it. A source may send it with
    // the selection, to save a round trip; where the answers show that the
    // listing differs, it is asked anew.
    virtual void foresee(const ListAsk&) {}
    // The folders the fetch selects after the next: a source may ask their
    // state with the next selection, so that a folder where a run has
    // nothing to do costs no selection of its own. With asks, one for each,
    // where nothing is asked of a folder after its listing, it may instead
    // select them all in the next selection's flight, each with its
    // listing as asked: true where it does. Each is then selected in its
    // turn from what came.
    virtual bool survey(const std::vector<std::string>&, const std::vector<ListAsk>&) { return false; }
    // That state of a folder surveyed, where the source has it (its
    // messages, numbering and next number, all told); false: select it.
    virtual bool surveyed(const std::string&, FolderState&) { return false; }
    virtual bool select(const std::string& folder, FolderState& state) = 0;
    // The messages of the folder selected, as ask asks where its ids are
    // numbers (a mailbox is listed whole).
    virtual bool list(const ListAsk& ask, MailList& list) = 0;
    // The messages at those places of the list into sink; one of unknown
    // or no size is not asked for. last: nothing is asked after them, so
    // that the sign-off may go with them.
    virtual bool retrieve(const std::vector<uint32_t>& places, MessageSink& sink, bool last) = 0;
    // The messages at those places of the list, as Described tells them;
    // structure: with their parts, where the source has parts.
    virtual bool describe(const MailList& list, const std::vector<uint32_t>& places, bool structure,
                          std::vector<Described>& out) = 0;
    // Whether the source fetches a message's parts apart.
    virtual bool hasparts() const { return false; }
    // Those parts (by section) of the message at place of the list, into
    // sink; a part the server does not send is left out.
    virtual bool retrieveparts(const MailList&, uint32_t, const std::vector<std::string>&, PartSink&) {
        return false;
    }
    // Whether the source deletes what it is asked to remove.
    virtual bool removes() const = 0;
    // Deletes the messages at those places of list but one of unknown size.
    // A folder's list may name after its own messages those its record
    // holds, by their ids.
    virtual bool remove(const MailList& list, const std::vector<uint32_t>& places) = 0;
    // Flags the messages at those places as seen, where the source has
    // flags.
    virtual bool markseen(const MailList& list, const std::vector<uint32_t>& places) = 0;
    // Signs off.
    virtual bool close() = 0;
    // Ends the dialogue after a failure, or a stop of the fetch: signs off
    // where the protocol still allows it, and closes the connection.
    virtual void abandon() = 0;
    virtual Connection& connection() = 0;
};

// What a source is made with besides its server: the checks of its
// certificate (kept by reference), and where it has folders, those to
// fetch and whether the fetch changes nothing in them.
struct SourceOptions {
    const std::string& cafile;
    const std::string& pin;
    std::vector<std::string> folders;
    bool readonly = true;
};

// The Message-ID in a header field's value (after "Message-ID:"): its
// printable characters.
std::string messageid(const char* value, size_t len);

// The source the server's protocol speaks: a POP3 mailbox, an IMAP
// account's folders.
std::unique_ptr<MailSource> mailsource(const Server& server, const SourceOptions& options, SourceEvents& events);

#endif
