// The mail post phase: every mail entry of REPLIES goes to the SMTP server
// through one connection, with the envelope addresses taken from each
// message's header.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "core/text.h"
#include "phases/shared.h"
#include "proto/smtp.h"

namespace {

const size_t SOCKBUFSIZE = 16384;
// Messages sent with BDAT whose answers may still be to come: as many may
// go again after the run is killed, as the .SNT record lacks them.
const size_t CHUNKWINDOW = 10;

bool iswhite(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool startswith(const std::string& line, const char* prefix) {
    size_t len = std::strlen(prefix);
    return line.size() >= len && memicmp(line.data(), prefix, static_cast<unsigned>(len)) == 0;
}

// Fills the envelope from the message's header: "From:" gives the sender,
// "To:", "Cc:", "Bcc:" and their continuation lines the recipients.
void scanheader(FILE* file, long start, long length, Envelope& envelope) {
    if (fseek(file, start, SEEK_SET) != 0) return;
    long left = length;
    bool addresses = false;
    std::string line;
    while (readmessageline(file, left, line)) {
        if (line == "\n" || line == "\r\n") break;
        if (startswith(line, "From:")) {
            processemail(&line[5], 1, envelope);
            addresses = false;
        } else if (startswith(line, "To:") || startswith(line, "Cc:")) {
            processemail(&line[3], 0, envelope);
            addresses = true;
        } else if (startswith(line, "Bcc:")) {
            processemail(&line[4], 0, envelope);
            addresses = true;
        } else if (addresses && iswhite(line[0])) {
            processemail(&line[0], 0, envelope);
        } else {
            addresses = false;
        }
    }
}

// Holds back "Bcc:" lines and their continuation lines: they name the
// blind recipients, whom every other recipient would otherwise see.
HeaderWatch withoutbcc() {
    return [inbcc = false](const char* line, size_t len) mutable {
        if (iswhite(line[0])) return !inbcc;
        inbcc = len >= 4 && memicmp(line, "Bcc:", 4) == 0;
        return !inbcc;
    };
}

// What the RCPTs of one transaction came to.
struct Recipients {
    size_t accepted = 0;
    // Answered 452, too many recipients for now: for a further transaction.
    std::vector<std::string> deferred;
    Reply deferral;  // the last such answer
};

// One transaction of a message sent with BDAT, its answers to come.
struct Flight {
    PostedFile* posted;
    long start;
    long length;
    Envelope addresses;
    bool reached;  // an earlier transaction of the message was accepted
};

// The mail post's side of the dialogue. Where the server offers
// PIPELINING, each message's MAIL, RCPTs and DATA go out in one group, and
// its text is followed by the next message's group before the answer to the
// text is read: about one round trip per message. Where it also offers
// CHUNKING, the text follows BDAT at once, and the answers of a window of
// messages are read while later ones go out.
class MailPost {
public:
    MailPost(const Context& run, Session& session)
        : run(run), smtp(run.account.smtp), out(run.report), session(session), sock(session.sock) {}

    Step open();
    Step post(PostedFile& posted, long start, long length);
    // Reads the answers to all that was sent, if they are still to come.
    Step settle();

private:
    bool command(const std::string& text);
    Step hello(const char* verb);
    Step transaction(const Envelope& addresses, Recipients& rcpts);
    Step envelope(const Envelope& addresses, bool sent, Recipients& rcpts);
    Step data(bool sent);
    Step abandon(bool sent);
    Step textanswer(PostedFile& posted, bool& taken);
    Step verdict(PostedFile& posted, const Reply& reply, bool& taken);
    Step noneaccepted(PostedFile& posted, long start, long length, bool reached, const Recipients& rcpts);
    Step withdata(PostedFile& posted, long start, long length, Envelope addresses, bool reached);
    Step launch(Flight flight);
    Step land();
    Step landuntil(size_t left);
    Step withoutchunking(Flight flight);

    const Context& run;
    const Server& smtp;
    Report& out;
    Session& session;
    Socket& sock;
    Capabilities keywords;
    std::string secret;  // of the login
    bool hassecret = false;
    bool pipelining = false;
    bool chunking = false;
    bool nobdat = false;  // the server refused BDAT as unknown
    // The message whose text was sent with DATA and whose answer is still
    // to come.
    PostedFile* pending = nullptr;
    long pendingstart = 0;
    long pendinglength = 0;
    // Sent with BDAT, oldest first.
    std::deque<Flight> flights;
    // The answers to what is in flight can still be read in step: a sender
    // was refused, which ends the phase once they are read.
    bool instep = false;
};

// Sends one command; a command too long for any server's line is refused
// rather than cut. False after a reported failure.
bool MailPost::command(const std::string& text) {
    if (text.size() >= SOCKBUFSIZE) {
        errno = EMSGSIZE;
        out.syserror("Send");
        return false;
    }
    return session.send(text);
}

// HELO, or EHLO with the reply's keywords kept.
Step MailPost::hello(const char* verb) {
    if (!command(verb + run.account.hostname + "\r\n")) return Step::Quit;
    Reply reply = session.read();
    keywords.clear();
    for (const std::string& line : reply.lines) keywords.add(line);
    return reply.ok() ? Step::Next : Step::Quit;
}

// Greeting, HELO; or, with TLS or a login set, EHLO, STARTTLS and EHLO
// again, AUTH.
Step MailPost::open() {
    // The password command runs before the server waits for us.
    // Once: a second connection uses the same.
    if (!smtp.user.empty() && !hassecret) {
        if (!loginsecret(out, smtp, "SMTPPASSCMD", secret)) return Step::End;
        hassecret = true;
    }
    Step step = session.connect(run.options.check ? "Checking email post to %s...\n" : "Posting mail to %s...\n");
    if (step != Step::Next) return step;
    out.step("+ Connected, sending HELO...\n");
    if (session.greet() != Step::Next) return Step::End;
    bool extended = smtp.tls != TLSOFF || !smtp.user.empty();
    step = hello(extended ? "EHLO " : "HELO ");
    sock.ulTimeout = kReplyTimeout;
    if (!extended || step != Step::Next) return step;
    if (smtp.tls == TLSSTART) {
        if (!keywords.has("STARTTLS")) {
            out.say("SMTP host does not offer STARTTLS\n");
            return Step::End;
        }
        step = session.starttls("STARTTLS\r\n");
        // The server forgets the first EHLO.
        if (step == Step::Next) step = hello("EHLO ");
    }
    if (step == Step::Next && !smtp.user.empty()) step = sasllogin(session, keywords, "AUTH", secret, smtpauth);
    pipelining = keywords.has("PIPELINING");
    chunking = pipelining && keywords.has("CHUNKING") && !nobdat;
    return step;
}

// One transaction: MAIL, the RCPTs and DATA, grouped where the server
// pipelines; RSET in place of DATA's text when no recipient was accepted.
Step MailPost::transaction(const Envelope& addresses, Recipients& rcpts) {
    std::string group = pipelining ? envelopegroup(addresses, "DATA\r\n", SOCKBUFSIZE - 1) : "";
    bool grouped = !group.empty();
    if (grouped && !session.send(group)) return Step::Quit;
    // The answer to the last text comes before those to this group.
    Step step = settle();
    if (step == Step::Next) step = envelope(addresses, grouped, rcpts);
    if (step != Step::Next) return step;
    return rcpts.accepted > 0 ? data(grouped) : abandon(grouped);
}

// The answers to MAIL and every RCPT, each read after its report; unless
// sent already, each command goes out right before its answer.
Step MailPost::envelope(const Envelope& addresses, bool sent, Recipients& rcpts) {
    out.say("Mailing from %s\n", addresses.from.c_str());
    if (!sent && !command(mailfrom(addresses))) return Step::Quit;
    Reply reply = session.read();
    if (!reply.ok()) {
        out.say("! Posting to SMTP server failed\n");
        instep = reply.refused();
        return Step::Quit;
    }
    for (const std::string& to : addresses.to) {
        out.say("Mailing to %s\n", to.c_str());
        if (!sent && !command(rcptto(to))) return Step::Quit;
        Reply reply = session.service.read(sock);
        if (reply.ok()) {
            rcpts.accepted++;
            continue;
        }
        // Too many recipients at once (RFC 5321 4.5.3.1.10): no refusal.
        if (reply.refused() && reply.is("452")) {
            rcpts.deferred.push_back(to);
            rcpts.deferral = reply;
            continue;
        }
        session.service.complain(out, reply, false);
        out.say("! Recipient refused by SMTP server\n");
        // Without an answer the dialogue is out of step.
        if (reply.status == Reply::Lost || reply.status == Reply::Invalid) return Step::Quit;
    }
    return Step::Next;
}

Step MailPost::data(bool sent) {
    if (!sent && !command("DATA\r\n")) return Step::Quit;
    if (!session.read().ok()) {
        out.say("! SMTP server won't accept message\n");
        return Step::Quit;
    }
    return Step::Next;
}

// Ends a transaction without a recipient. A DATA sent in the group is
// refused, as expected, by a server that keeps to RFC 2920; one that takes
// it gets an empty text.
Step MailPost::abandon(bool sent) {
    if (sent) {
        Reply reply = session.read(true);
        if (reply.ok()) {
            if (!session.send(".\r\n")) return Step::Quit;
            reply = session.read(true);
        }
        if (!reply.ok() && !reply.refused()) return Step::Quit;
    }
    return session.ask("RSET\r\n").ok() ? Step::Next : Step::Quit;
}

// Reads the answer to a text.
Step MailPost::textanswer(PostedFile& posted, bool& taken) {
    // The end of the text, and the next group if one was sent, go now.
    sock.Cork(false);
    return verdict(posted, session.read(), taken);
}

// The verdict on a text by its answer, reported already when not
// positive: a refusal keeps the file.
Step MailPost::verdict(PostedFile& posted, const Reply& reply, bool& taken) {
    taken = reply.ok();
    if (taken) return Step::Next;
    out.say("! SMTP server did not accept message\n");
    posted.refused();
    return reply.refused() ? Step::Next : Step::Quit;
}

Step MailPost::settle() {
    // A refused BDAT among those in flight leaves the rest sent with DATA,
    // the last of them still to be answered.
    Step step = landuntil(0);
    if (step != Step::Next || !pending) return step;
    PostedFile& posted = *pending;
    pending = nullptr;
    bool taken = false;
    step = textanswer(posted, taken);
    if (!taken) return step;
    return recordsent(out, posted, pendingstart, pendinglength) ? Step::Next : Step::Quit;
}

// A transaction in which the server accepted no recipient. The message is
// sent once earlier transactions took some and the rest were refused for
// good; otherwise it is kept: a server that takes none now would not take
// them in any further transaction either.
Step MailPost::noneaccepted(PostedFile& posted, long start, long length, bool reached, const Recipients& rcpts) {
    if (reached && rcpts.deferred.empty()) return recordsent(out, posted, start, length) ? Step::Next : Step::Quit;
    if (!rcpts.deferred.empty()) session.service.complain(out, rcpts.deferral, false);
    out.say("! SMTP server accepted no recipient - message kept\n");
    posted.refused();
    return Step::Next;
}

// One message: as many transactions as the server needs to take every
// recipient, each sending the text once the last one's was accepted.
Step MailPost::post(PostedFile& posted, long start, long length) {
    Envelope addresses;
    scanheader(posted.file, start, length, addresses);
    // The messages in flight are answered before this one is reported on.
    if (addresses.from.empty() || addresses.to.empty()) {
        Step step = settle();
        if (step != Step::Next) return step;
    }
    if (addresses.from.empty()) {
        out.say("! No From address specified in message - skipping\n");
        posted.refused();
        return Step::Next;
    }
    if (addresses.to.empty()) {
        out.say("! No To address specified in message - skipping\n");
        posted.refused();
        return Step::Next;
    }
    if (!chunking) return withdata(posted, start, length, std::move(addresses), false);
    Step step = launch({&posted, start, length, std::move(addresses), false});
    return step == Step::Next ? landuntil(CHUNKWINDOW - 1) : step;
}

// The transactions of a message from here on, each with DATA.
Step MailPost::withdata(PostedFile& posted, long start, long length, Envelope addresses, bool reached) {
    for (;;) {
        Recipients rcpts;
        Step step = transaction(addresses, rcpts);
        if (step != Step::Next) return step;
        if (rcpts.accepted == 0) return noneaccepted(posted, start, length, reached, rcpts);

        // The end of the text waits for the next group, so that the server
        // reads both at once and answers them in one go.
        if (pipelining) sock.Cork(true);
        step = posttext(session, posted, start, length, withoutbcc());
        if (step != Step::Next) return step;
        if (rcpts.deferred.empty()) break;
        bool taken = false;
        step = textanswer(posted, taken);
        if (!taken) return step;
        reached = true;
        addresses.to = std::move(rcpts.deferred);
    }
    pending = &posted;
    pendingstart = start;
    pendinglength = length;
    // Without pipelining nothing more may go out before the answer.
    return pipelining ? Step::Next : settle();
}

// Sends one transaction with BDAT: RSET, MAIL, the RCPTs, BDAT and the
// text, without waiting. The RSET ends a transaction that a refused BDAT
// before it left open (as when no recipient was accepted), which would
// otherwise take this message's recipients and text under the earlier
// sender.
Step MailPost::launch(Flight flight) {
    long size = plaintextsize(flight.posted->file, flight.start, flight.length, withoutbcc());
    if (size < 0) {
        // Those in flight are whole, and the server takes them: their
        // answers are read first.
        Step step = settle();
        return step == Step::Next ? textfailed(session, *flight.posted, static_cast<int>(size)) : step;
    }
    const std::string reset = "RSET\r\n";
    std::string group = envelopegroup(flight.addresses, "BDAT " + std::to_string(size) + " LAST\r\n",
                                      SOCKBUFSIZE - 1 - reset.size());
    if (group.empty()) {
        // Too many recipients for one group: step by step, with DATA.
        Step step = landuntil(0);
        if (step == Step::Next)
            step = withdata(*flight.posted, flight.start, flight.length, std::move(flight.addresses), flight.reached);
        return step == Step::Next ? settle() : step;
    }
    // Leaves in as few segments as possible; uncorked before any read.
    sock.Cork(true);
    if (!session.send(reset + group)) return Step::Quit;
    Step step = posttext(session, *flight.posted, flight.start, flight.length, withoutbcc(), size);
    if (step == Step::Next) {
        flights.push_back(std::move(flight));
    } else if (step == Step::End) {
        // This text went out incomplete; those before it are answered.
        landuntil(0);
    }
    return step;
}

// The answers to the oldest transaction in flight, with the reports and
// the verdict of the dialogue step by step.
Step MailPost::land() {
    Flight flight = std::move(flights.front());
    flights.pop_front();
    PostedFile& posted = *flight.posted;
    instep = false;
    sock.Cork(false);
    if (!session.read().ok()) return Step::Quit;  // RSET
    Recipients rcpts;
    Step step = envelope(flight.addresses, true, rcpts);
    if (step != Step::Next) {
        if (!instep) return step;
        // A refused sender: the answers to its RCPTs and BDAT follow.
        for (size_t i = 0; i <= flight.addresses.to.size() && instep; i++) {
            Reply reply = session.service.read(sock);
            instep = reply.status != Reply::Lost && reply.status != Reply::Invalid;
        }
        return Step::Quit;
    }
    Reply reply = session.read(true);
    if (reply.refused() && (reply.is("500") || reply.is("502") || reply.is("504")))
        return withoutchunking(std::move(flight));
    if (rcpts.accepted == 0) {
        // BDAT refused, as expected; the RSET of the next group ends the
        // transaction.
        if (!reply.ok() && !reply.refused()) return Step::Quit;
        return noneaccepted(posted, flight.start, flight.length, flight.reached, rcpts);
    }
    bool taken = false;
    if (!reply.ok()) session.service.complain(out, reply, false);
    step = verdict(posted, reply, taken);
    if (!taken) return step;
    if (!rcpts.deferred.empty()) {
        flight.addresses.to = std::move(rcpts.deferred);
        flight.reached = true;
        return launch(std::move(flight));
    }
    return recordsent(out, posted, flight.start, flight.length) ? Step::Next : Step::Quit;
}

// Reads answers until no more than left transactions are in flight. After
// a refused sender, all in flight are read (their messages may be taken),
// then the phase ends.
Step MailPost::landuntil(size_t left) {
    Step ending = Step::Next;
    while (!flights.empty() && (flights.size() > left || ending != Step::Next)) {
        Step step = land();
        if (step == Step::Next) continue;
        if (!instep) return step;
        ending = step;
    }
    return ending;
}

// A server that lists CHUNKING but does not know BDAT took the text for
// commands: the connection is out of step. A new one carries this message
// and those behind it, with DATA.
Step MailPost::withoutchunking(Flight flight) {
    std::deque<Flight> again = std::move(flights);
    flights.clear();
    again.push_front(std::move(flight));
    nobdat = true;
    sock.Close();
    out.say("SMTP host does not know BDAT: posting again with DATA\n");
    Step step = open();
    for (Flight& f : again) {
        if (step != Step::Next) break;
        step = withdata(*f.posted, f.start, f.length, std::move(f.addresses), f.reached);
    }
    return step;
}

}  // namespace

Result postemail(const Context& run) {
    const Service smtp{"SMTP", run.account.smtp, 25, 465, run.account.cafile, readsmtp, smtpcomplain,
                       "(skipping email post)\n"};
    Session session(smtp, run.report);
    bool ready = false;
    if (run.account.hostname.empty()) {
        run.report.say("Your hostname not defined\n");
    } else if (run.account.smtp.host.empty()) {
        run.report.say("SMTP hostname not defined\n");
    } else {
        ready = true;
    }
    MailPost mail(run, session);
    PostDialogue dialogue{
        [&mail] { return mail.open(); },
        [&mail](PostedFile& posted, long start, long length) { return mail.post(posted, start, length); },
        [&mail] { return mail.settle(); },
        "+ No REPLIES file found, not posting any email\n",
        "+ No mail messages to be posted\n"};
    return postphase(run, session, ready, MAILKIND, dialogue);
}
