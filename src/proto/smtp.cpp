#include "proto/smtp.h"

#include <cerrno>
#include <cstring>
#include <utility>

namespace {

// A server that keeps sending continuation lines is not answering.
const int MAXREPLYLINES = 1000;

// Longest command line a server need read: one that fills a line buffer
// is refused rather than cut.
const size_t kCommandMax = 16384;
// Messages sent with BDAT whose answers may still be to come: as many may
// go again after the run is killed, as the .SNT record lacks them.
const size_t kChunkWindow = 10;

// A server that closes the session (421) takes no further message.
bool closing(const Reply& reply) { return reply.is("421"); }

}  // namespace

Reply readsmtp(Socket& sock) {
    Reply reply;
    const char* line = sock.line();
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

namespace {

// 421: the service is not available now.
bool smtpbusy(const Reply& reply, bool) { return reply.is("421"); }

}  // namespace

const Wire SmtpClient::wire{"SMTP", 25, 465, readsmtp, smtpbusy};

void SmtpClient::refuse(const SmtpMessage& message, SmtpFault::What what, const Outcome& answer) {
    SmtpFault fault{what, answer};
    fault.permanent = answer.reply.text[0] == '5';
    fault.refusals = replylines(answer.reply);
    events.refused(message, fault);
}

void SmtpClient::failed(SmtpFault::What what, const Outcome& cause, bool quiet) {
    SmtpFault fault{what, cause, quiet};
    if (what == SmtpFault::Login) fault.login = &signin;
    events.failed(fault);
}

bool SmtpClient::send(const std::string& text) {
    Outcome sent = conn.send(text);
    if (sent.done()) return true;
    failed(SmtpFault::Dialogue, sent);
    return false;
}

bool SmtpClient::command(const std::string& text) {
    if (text.size() < kCommandMax) return send(text);
    failed(SmtpFault::Dialogue, Outcome{Failure::Local, Stage::Send, EMSGSIZE});
    return false;
}

// One reply; quiet: a refusal is no failure here.
Reply SmtpClient::read(bool quiet) {
    Outcome answer = conn.read();
    if (!answer.done() && !(quiet && answer.reply.refused())) failed(SmtpFault::Dialogue, answer, quiet);
    return answer.reply;
}

// EHLO or HELO, with the reply's keywords kept. A server that does not know
// EHLO refuses it for good: first, HELO follows then (RFC 5321 4.1.4).
Step SmtpClient::hello(const char* verb, bool first) {
    if (!command(verb + hostname + "\r\n")) return Step::Quit;
    Outcome answer = conn.read();
    const Reply& reply = answer.reply;
    if (!answer.done() && !(first && reply.refused())) failed(SmtpFault::Dialogue, answer, first);
    if (first && reply.refused()) {
        if (reply.text[0] == '5') {
            events.step(SmtpStep::Helo, "");
            return hello("HELO ", false);
        }
        failed(SmtpFault::Dialogue, answer);
    }
    keywords.clear();
    for (const std::string& line : reply.lines) keywords.add(line);
    return reply.ok() ? Step::Next : Step::Quit;
}

Step SmtpClient::open(const std::string& password) {
    secret = password;
    return opening();
}

Step SmtpClient::opening() {
    const Server& smtp = conn.server;
    events.step(SmtpStep::Connecting, "");
    Outcome opened = conn.open();
    if (!opened.done()) {
        failed(SmtpFault::Dialogue, opened);
        return Step::End;
    }
    events.step(SmtpStep::Hello, "");
    opened = conn.greet();
    if (!opened.done()) {
        failed(SmtpFault::Dialogue, opened);
        return Step::End;
    }
    // EHLO on every server, so that one without a login pipelines too.
    Step step = hello("EHLO ", true);
    conn.sock.settimeout(kReplyTimeout);
    if (step != Step::Next) return step;
    if (smtp.tls == TLSSTART) {
        if (!keywords.has("STARTTLS")) {
            failed(SmtpFault::NoStartTls, Outcome{Failure::Refused});
            return Step::End;
        }
        events.step(SmtpStep::StartTls, "");
        Outcome secured = conn.starttls("STARTTLS\r\n");
        if (!secured.done()) {
            failed(SmtpFault::Dialogue, secured);
            return Step::End;
        }
        // The server forgets the first EHLO.
        step = hello("EHLO ", false);
    }
    if (step == Step::Next && !smtp.user.empty()) {
        step = saslsignin(conn, keywords, "AUTH", secret, smtpauth, signin,
                          [this](const SaslLogin& login) { events.loggingin(login); });
        if (step != Step::Next) failed(SmtpFault::Login, saslfailure(conn, signin));
    }
    pipelining = keywords.has("PIPELINING");
    chunking = pipelining && keywords.has("CHUNKING") && !nobdat;
    return step;
}

Step SmtpClient::text(const SmtpMessage& message, long plain) {
    const OutgoingMessage& m = message.text;
    int sent = sendmessagetext(conn.sock, m.file, m.start, m.length, message.watch, plain, message.head);
    return sent == 0 ? Step::Next : textfailed(sent);
}

// A text that could not be sent whole: Quit after a failed send; End when
// the file could not be read, as the text went out incomplete and only
// dropping the connection keeps the server from taking it.
Step SmtpClient::textfailed(int result) {
    if (result == SENDTEXT_SENDFAILED) {
        failed(SmtpFault::Dialogue, Outcome{Failure::Network, Stage::Send, errno});
        return Step::Quit;
    }
    failed(SmtpFault::File, Outcome{Failure::Local});
    return Step::End;
}

// One transaction: MAIL, the RCPTs and DATA, grouped where the server
// pipelines; RSET in place of DATA's text when no recipient was accepted.
Step SmtpClient::transaction(const SmtpMessage& message, const Envelope& addresses, Recipients& rcpts) {
    std::string group = pipelining ? envelopegroup(addresses, "DATA\r\n", kCommandMax - 1) : "";
    bool grouped = !group.empty();
    if (grouped && !send(group)) return Step::Quit;
    // The answer to the last text comes before those to this group.
    Step step = settle();
    if (step == Step::Next) step = envelope(message, addresses, grouped, rcpts);
    if (step != Step::Next) return step;
    // After a refused sender the answers to the RCPTs sent with it follow.
    if (rcpts.judged) return reset(grouped, grouped ? addresses.to.size() : 0);
    return rcpts.accepted > 0 ? data(message, grouped, rcpts) : abandon(grouped);
}

// The answers to MAIL and every RCPT, each read after its step is told;
// unless sent already, each command goes out right before its answer.
Step SmtpClient::envelope(const SmtpMessage& message, const Envelope& addresses, bool sent, Recipients& rcpts) {
    events.step(SmtpStep::MailFrom, addresses.from);
    if (!sent && !command(mailfrom(addresses))) return Step::Quit;
    Outcome answer = conn.read();
    const Reply& reply = answer.reply;
    if (!answer.done()) {
        // A refusal is the message's verdict; no answer leaves it unknown.
        if (!reply.refused()) {
            failed(SmtpFault::Sender, answer);
            return Step::Quit;
        }
        refuse(message, SmtpFault::Sender, answer);
        rcpts.judged = true;
        return closing(reply) ? Step::Quit : Step::Next;
    }
    for (const std::string& to : addresses.to) {
        events.step(SmtpStep::RcptTo, to);
        if (!sent && !command(rcptto(to))) return Step::Quit;
        Outcome answer = conn.read();
        const Reply& reply = answer.reply;
        if (answer.done()) {
            rcpts.accepted++;
            continue;
        }
        // Too many recipients at once (RFC 5321 4.5.3.1.10): no refusal.
        if (reply.refused() && reply.is("452")) {
            rcpts.deferred.push_back(to);
            rcpts.deferral = reply;
            continue;
        }
        failed(SmtpFault::Recipient, answer);
        // Without an answer the dialogue is out of step.
        if (!reply.refused() || closing(reply)) return Step::Quit;
        rcpts.temporary = rcpts.temporary || reply.text[0] != '5';
        for (const std::string& line : replylines(reply)) rcpts.refusals.push_back(to + ": " + line);
    }
    return Step::Next;
}

Step SmtpClient::data(const SmtpMessage& message, bool sent, Recipients& rcpts) {
    if (!sent && !command("DATA\r\n")) return Step::Quit;
    Outcome answer = conn.read();
    const Reply& reply = answer.reply;
    if (answer.done()) return Step::Next;
    if (!reply.refused()) {
        failed(SmtpFault::Data, answer);
        return Step::Quit;
    }
    refuse(message, SmtpFault::Data, answer);
    rcpts.judged = true;
    if (closing(reply)) return Step::Quit;
    return send("RSET\r\n") && read().ok() ? Step::Next : Step::Quit;
}

// Ends a transaction whose sender was refused: the answers to the RCPTs
// sent with it, then as one without a recipient.
Step SmtpClient::reset(bool sent, size_t answers) {
    for (size_t i = 0; i < answers; i++) {
        Reply reply = read(true);
        if (!reply.ok() && !reply.refused()) return Step::Quit;
    }
    return abandon(sent);
}

// Ends a transaction without a recipient. A DATA sent in the group is
// refused, as expected, by a server that keeps to RFC 2920; one that takes
// it gets an empty text.
Step SmtpClient::abandon(bool sent) {
    if (sent) {
        Reply reply = read(true);
        if (reply.ok()) {
            if (!send(".\r\n")) return Step::Quit;
            reply = read(true);
        }
        if (!reply.ok() && !reply.refused()) return Step::Quit;
    }
    return send("RSET\r\n") && read().ok() ? Step::Next : Step::Quit;
}

// Reads the answer to a text.
Step SmtpClient::textanswer(const SmtpMessage& message, bool& taken) {
    // The end of the text, and the next group if one was sent, go now.
    conn.sock.Cork(false);
    return verdict(message, conn.read(), taken);
}

// The verdict on a text by its answer. No answer is none: the message's
// fate is unknown, and the connection's failure is said.
Step SmtpClient::verdict(const SmtpMessage& message, const Outcome& answer, bool& taken) {
    const Reply& reply = answer.reply;
    taken = answer.done();
    if (taken) return Step::Next;
    if (!reply.refused()) {
        failed(SmtpFault::Dialogue, answer);
        return Step::Quit;
    }
    refuse(message, SmtpFault::Text, answer);
    return closing(reply) ? Step::Quit : Step::Next;
}

Step SmtpClient::settle() {
    // A refused BDAT among those in flight leaves the rest sent with DATA,
    // the last of them still to be answered.
    Step step = landuntil(0);
    if (step != Step::Next || !pending) return step;
    pending = false;
    bool taken = false;
    step = textanswer(waiting, taken);
    if (!taken) return step;
    return events.done(waiting) ? Step::Next : Step::Quit;
}

// A transaction in which the server accepted no recipient. The message is
// taken once earlier transactions took some and the rest were refused for
// good; otherwise it is kept: a server that takes none now would not take
// them in any further transaction either.
Step SmtpClient::noneaccepted(const SmtpMessage& message, bool reached, const Recipients& rcpts) {
    if (reached && rcpts.deferred.empty()) return events.done(message) ? Step::Next : Step::Quit;
    SmtpFault fault{SmtpFault::NoneAccepted, Outcome{Failure::Refused}};
    fault.cause.reply = rcpts.deferral;
    fault.permanent = rcpts.deferred.empty() && !rcpts.temporary;
    fault.refusals = rcpts.refusals;
    for (const std::string& line : replylines(rcpts.deferral)) fault.refusals.push_back(line);
    events.refused(message, fault);
    return Step::Next;
}

Step SmtpClient::post(const SmtpMessage& message) {
    Envelope addresses = message.text.envelope;
    // A sender added for the message.
    size_t from = message.head.rfind("From:", 0) == 0 ? 0 : message.head.find("\nFrom:");
    if (addresses.from.empty() && from != std::string::npos) {
        from += message.head[from] == '\n' ? 6 : 5;
        processemail(message.head.substr(from, message.head.find('\n', from) - from).c_str(), 1, addresses);
    }
    SmtpFault::What missing = addresses.from.empty() ? SmtpFault::NoFrom : SmtpFault::NoTo;
    if (addresses.from.empty() || addresses.to.empty()) {
        // The messages in flight are answered before this one is told of.
        Step step = settle();
        if (step == Step::Next) events.refused(message, {missing, Outcome{Failure::Local}});
        return step;
    }
    // Room is made before, not after: the last message leaves the window
    // full, and QUIT can go right behind it.
    Step step = chunking ? landuntil(kChunkWindow - 1) : Step::Next;
    if (step != Step::Next) return step;
    // Making room may have found a server that does not know BDAT.
    if (!chunking) return withdata(message, std::move(addresses), false);
    return launch({message, std::move(addresses), false});
}

// The transactions of a message from here on, each with DATA.
Step SmtpClient::withdata(const SmtpMessage& message, Envelope addresses, bool reached) {
    for (;;) {
        Recipients rcpts;
        Step step = transaction(message, addresses, rcpts);
        if (step != Step::Next || rcpts.judged) return step;
        if (rcpts.accepted == 0) return noneaccepted(message, reached, rcpts);

        // The end of the text waits for the next group, so that the server
        // reads both at once and answers them in one go.
        if (pipelining) conn.sock.Cork(true);
        step = text(message);
        if (step != Step::Next) return step;
        if (rcpts.deferred.empty()) break;
        bool taken = false;
        step = textanswer(message, taken);
        if (!taken) return step;
        reached = true;
        addresses.to = std::move(rcpts.deferred);
    }
    pending = true;
    waiting = message;
    // Without pipelining nothing more may go out before the answer.
    return pipelining ? Step::Next : settle();
}

// Sends one transaction with BDAT: RSET, MAIL, the RCPTs, BDAT and the
// text, without waiting. The RSET ends a transaction that a refused BDAT
// before it left open (as when no recipient was accepted), which would
// otherwise take this message's recipients and text under the earlier
// sender.
Step SmtpClient::launch(Flight flight) {
    const SmtpMessage& message = flight.message;
    long size = plainsize(message.text, message.watch, message.head);
    const std::string reset = "RSET\r\n";
    std::string group = envelopegroup(flight.addresses, "BDAT " + std::to_string(size) + " LAST\r\n",
                                      kCommandMax - 1 - reset.size());
    if (group.empty()) {
        // Too many recipients for one group: step by step, with DATA.
        Step step = landuntil(0);
        if (step == Step::Next) step = withdata(message, std::move(flight.addresses), flight.reached);
        return step == Step::Next ? settle() : step;
    }
    // Leaves in as few segments as possible; uncorked before any read.
    conn.sock.Cork(true);
    if (!send(reset + group)) return Step::Quit;
    Step step = text(message, size);
    if (step == Step::Next) {
        flights.push_back(std::move(flight));
    } else if (step == Step::End) {
        // This text went out incomplete; those before it are answered.
        landuntil(0);
    }
    return step;
}

// The answers to the oldest transaction in flight, with the steps and the
// verdict told as they come.
Step SmtpClient::land() {
    Flight flight = std::move(flights.front());
    flights.pop_front();
    const SmtpMessage& message = flight.message;
    conn.sock.Cork(false);
    if (!read().ok()) return Step::Quit;  // RSET
    Recipients rcpts;
    Step step = envelope(message, flight.addresses, true, rcpts);
    if (step != Step::Next) return step;
    if (rcpts.judged) {
        // The answers to its RCPTs and BDAT follow; the next RSET ends
        // what is left of the transaction.
        for (size_t i = 0; i <= flight.addresses.to.size(); i++) {
            Reply reply = read(true);
            if (!reply.ok() && !reply.refused()) return Step::Quit;
        }
        return Step::Next;
    }
    Outcome answer = conn.read();
    const Reply& reply = answer.reply;
    if (reply.refused() && (reply.is("500") || reply.is("502") || reply.is("504")))
        return withoutchunking(std::move(flight));
    if (rcpts.accepted == 0) {
        // BDAT refused, as expected; the RSET of the next group ends the
        // transaction.
        if (!reply.ok() && !reply.refused()) {
            failed(SmtpFault::Dialogue, answer, true);
            return Step::Quit;
        }
        return noneaccepted(message, flight.reached, rcpts);
    }
    bool taken = false;
    step = verdict(message, answer, taken);
    if (!taken) return step;
    if (!rcpts.deferred.empty()) {
        flight.addresses.to = std::move(rcpts.deferred);
        flight.reached = true;
        return launch(std::move(flight));
    }
    return events.done(message) ? Step::Next : Step::Quit;
}

// Reads answers until no more than left transactions are in flight.
Step SmtpClient::landuntil(size_t left) {
    while (flights.size() > left) {
        Step step = land();
        if (step != Step::Next) return step;
    }
    return Step::Next;
}

// A server that lists CHUNKING but does not know BDAT took the text for
// commands: the connection is out of step. A new one carries this message
// and those behind it, with DATA.
Step SmtpClient::withoutchunking(Flight flight) {
    std::deque<Flight> again = std::move(flights);
    flights.clear();
    again.push_front(std::move(flight));
    nobdat = true;
    conn.quitting = false;
    conn.sock.Close();
    events.step(SmtpStep::WithData, "");
    Step step = opening();
    for (Flight& f : again) {
        if (step != Step::Next) break;
        step = withdata(f.message, std::move(f.addresses), f.reached);
    }
    return step;
}

void SmtpClient::quitahead() {
    if (!conn.quitting && pipelining && (pending || !flights.empty())) conn.quitting = conn.send("QUIT\r\n").done();
}

void SmtpClient::end(Step how) {
    // A QUIT that went ahead is not sent twice.
    conn.close(how == Step::Quit && !conn.quitting,
               [this](const Outcome& answer) { failed(SmtpFault::Dialogue, answer); });
}
