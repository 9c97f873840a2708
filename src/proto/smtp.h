// The SMTP client: replies, the envelope of a message and the commands
// that carry it, the login, and the dialogue that posts messages.
#ifndef VORPA_PROTO_SMTP_H
#define VORPA_PROTO_SMTP_H

#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "core/outgoing.h"
#include "proto/client.h"
#include "proto/sasl.h"
#include "proto/sendtext.h"

// A reply of one or more lines ("250-..." continues): 1xx, 2xx and 3xx
// positive, others negative; lines holds the text of each line (the EHLO
// keywords). One that never ends is invalid.
Reply readsmtp(Socket& sock);

// "MAIL FROM:<from>\r\n", "RCPT TO:<to>\r\n": strict servers refuse an
// address without the brackets of RFC 5321's Path.
std::string mailfrom(const Envelope& envelope);
std::string rcptto(const std::string& to);

// "MAIL FROM:", each "RCPT TO:" and last ("DATA\r\n", or "BDAT <n> LAST\r\n"),
// one line each, to go out in one send; empty when they would be longer
// than limit bytes.
std::string envelopegroup(const Envelope& envelope, const std::string& last, size_t limit);

// AUTH with the mechanism's exchange, as saslrun runs it.
SaslOutcome smtpauth(Connection& connection, const SaslExchange& exchange);

// One message to post: the message as read, and which of its header
// lines go out.
struct SmtpMessage {
    OutgoingMessage text;
    HeaderWatch watch;
    std::string head{};  // header lines the message lacked, put before its own
};

// The steps of the dialogue, told as they begin.
enum class SmtpStep {
    Connecting,  // a connection is being made
    Hello,       // connected: EHLO goes next
    Helo,        // EHLO was refused for good: HELO goes next
    StartTls,
    MailFrom,  // detail: the sender
    RcptTo,    // detail: the recipient
    WithData,  // BDAT was unknown: a new connection posts with DATA
};

// What went wrong, and its class.
struct SmtpFault {
    enum What {
        Dialogue,      // a step of the connection itself: it tells which, and why
        NoStartTls,    // TLS is set, and the server does not offer STARTTLS
        Login,         // login tells how far it went
        Sender,        // MAIL was not answered positively
        Recipient,     // a RCPT was refused or not answered; the message goes on
        Data,          // DATA was not answered positively
        Text,          // the text was not taken: refused, or not answered
        NoFrom,        // the message names no sender
        NoTo,          // the message names no recipient
        NoneAccepted,  // no recipient was accepted; reply: the last 452, if any
        File,          // the message file could not be read
    };
    What what;
    // Its class, and how it came about: the server's answer, or for
    // Dialogue where the connection failed.
    Outcome cause;
    bool quiet = false;  // Dialogue: a refusal goes unsaid
    const SaslLogin* login = nullptr;
    // A refusal of the message for good (5xx; every recipient refused so),
    // not one for now.
    bool permanent = false;
    // Every answer that refused the message, whole, one line each:
    // "550 5.1.1 no such user", or for a recipient "<to>: 550 ...".
    std::vector<std::string> refusals{};
};

// What the client tells as the dialogue goes, at the moment it happens, so
// that its caller's words come in the order of the dialogue.
class SmtpEvents {
public:
    virtual ~SmtpEvents() = default;
    virtual void step(SmtpStep step, const std::string& detail) = 0;
    // The login is chosen and about to go.
    virtual void loggingin(const SaslLogin& login) = 0;
    // The server took the message; false when that could not be kept: the
    // dialogue then stops.
    virtual bool done(const SmtpMessage& message) = 0;
    // The message was not taken, and is not sent again in this dialogue,
    // which goes on with the next message.
    virtual void refused(const SmtpMessage& message, const SmtpFault& fault) = 0;
    // A step failed, no message's own; the dialogue goes on only after a
    // refused recipient.
    virtual void failed(const SmtpFault& fault) = 0;
};

// The SMTP dialogue with one server. Where the server offers PIPELINING,
// each message's MAIL, RCPTs and DATA go out in one group, and its text is
// followed by the next message's group before the answer to the text is
// read: about one round trip per message. Where it also offers CHUNKING,
// the text follows BDAT at once, and the answers of a window of messages
// are read while later ones go out. The verdict on a message may come
// during a later call; all have come once settle() returns.
class SmtpClient {
public:
    SmtpClient(const Server& server, const std::string& cafile, const std::string& pin, const std::string& hostname,
               SmtpEvents& events)
        : conn(wire, server, cafile, pin), hostname(hostname), events(events) {}

    // Greeting and EHLO (HELO where EHLO is refused); with STARTTLS set,
    // STARTTLS and EHLO again; with a login set, AUTH with secret (kept
    // for a second connection).
    Step open(const std::string& secret);
    // One message: as many transactions as the server needs to take every
    // recipient, each sending the text once the last one's was accepted.
    Step post(const SmtpMessage& message);
    // Reads the answers to all that was sent, if they are still to come.
    Step settle();
    // Where the server pipelines and answers are still to come, QUIT goes
    // behind what was sent, to be answered after it: then settle(), and
    // the connection's signoff().
    void quitahead();
    // The regular end is the connection's signoff(). This one ends a
    // failed dialogue: QUIT once for Quit unless the connection is broken
    // (failed() when it is not taken), then it is closed.
    void end(Step how);

    Connection& connection() { return conn; }

private:
    // What the RCPTs of one transaction came to.
    struct Recipients {
        size_t accepted = 0;
        // Answered 452, too many recipients for now: for a further
        // transaction.
        std::vector<std::string> deferred;
        Reply deferral;  // the last such answer
        // Refused otherwise, each "<to>: <answer>"; all for good, or not.
        std::vector<std::string> refusals;
        bool temporary = false;
        // The message had its verdict (its sender or DATA was refused):
        // the transaction is over.
        bool judged = false;
    };
    // One transaction of a message sent with BDAT, its answers to come.
    struct Flight {
        SmtpMessage message;
        Envelope addresses;
        bool reached;  // an earlier transaction of the message was accepted
    };

    Step opening();
    Step hello(const char* verb, bool first);
    void failed(SmtpFault::What what, const Outcome& cause, bool quiet = false);
    bool command(const std::string& text);
    bool send(const std::string& text);
    Reply read(bool quiet = false);
    Step text(const SmtpMessage& message, long plain = -1);
    Step textfailed(int result);
    Step transaction(const SmtpMessage& message, const Envelope& addresses, Recipients& rcpts);
    Step envelope(const SmtpMessage& message, const Envelope& addresses, bool sent, Recipients& rcpts);
    Step data(const SmtpMessage& message, bool sent, Recipients& rcpts);
    Step abandon(bool sent);
    Step reset(bool sent, size_t answers);
    void refuse(const SmtpMessage& message, SmtpFault::What what, const Outcome& answer);
    Step textanswer(const SmtpMessage& message, bool& taken);
    Step verdict(const SmtpMessage& message, const Outcome& answer, bool& taken);
    Step noneaccepted(const SmtpMessage& message, bool reached, const Recipients& rcpts);
    Step withdata(const SmtpMessage& message, Envelope addresses, bool reached);
    Step launch(Flight flight);
    Step land();
    Step landuntil(size_t left);
    Step withoutchunking(Flight flight);

    static const Wire wire;
    Connection conn;
    const std::string& hostname;
    SmtpEvents& events;
    std::string secret;
    Capabilities keywords;
    SaslLogin signin;
    bool pipelining = false;
    bool chunking = false;
    bool nobdat = false;  // the server refused BDAT as unknown
    // The message whose text was sent with DATA and whose answer is still
    // to come.
    bool pending = false;
    SmtpMessage waiting{};
    // Sent with BDAT, oldest first.
    std::deque<Flight> flights;
};

#endif
