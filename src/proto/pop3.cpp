#include "proto/pop3.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "core/text.h"

namespace {

// A server that keeps sending capability lines is not answering.
constexpr int maxcapalines = 1000;

// As many ids as the longest message list takes.
constexpr long maxuidllines = 1L << 24;

// The list is allocated in one piece from the server's STAT count; beyond
// this many entries the count is treated as one that cannot be allocated.
constexpr long maxlistentries = 1L << 24;

// Commands in flight where the server takes them so: at most 4608 bytes,
// which the socket's line buffer holds.
constexpr int pipelinewindow = 256;

// Reads a signed 32-bit number as "%ld" would, from *pos on; advances *pos
// past it. False when there is no number or it does not fit.
bool parsenumber(const char** pos, int32_t* value) {
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(*pos, &end, 10);
    if (end == *pos) return false;
    *pos = end;
    if (errno == ERANGE || v < INT32_MIN || v > INT32_MAX) return false;
    *value = static_cast<int32_t>(v);
    return true;
}

// "+ " and a challenge asks for more, "+OK" is the login.
SaslDialect::Turn pop3turn(const Reply& reply, std::string& challenge) {
    const std::string& text = reply.text;
    if (reply.status == Reply::Positive) return SaslDialect::Success;
    if (reply.status == Reply::Negative) return SaslDialect::Failure;
    if (text.size() < 2 || text[0] != '+' || (text[1] != ' ' && text[1] != '\r' && text[1] != '\n'))
        return SaslDialect::Invalid;
    size_t from = text[1] == ' ' ? 2 : 1;
    challenge = text.substr(from, std::strcspn(text.c_str() + from, "\r\n"));
    return SaslDialect::Challenge;
}

// Room for count entries in one piece; false when it cannot be had.
template <class T>
bool allocate(std::vector<T>& list, long count) {
    if (count > maxlistentries) return false;
    try {
        list.reserve(static_cast<size_t>(count));
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

// The index of the UIDL id of each LIST entry, by its message number: the
// first id of that number, none when UIDL did not name it.
void joinids(const std::vector<ListEntry>& entries, const std::vector<int32_t>& numbers, MailList& list) {
    // Where the ids come in the order of the messages, as servers list
    // them, the index is number - 1; else the number is looked up.
    bool inorder = true;
    for (size_t i = 0; i < numbers.size() && inorder; i++) inorder = numbers[i] == static_cast<int32_t>(i + 1);
    std::vector<std::pair<int32_t, uint32_t>> bynumber;
    if (!inorder) {
        bynumber.reserve(numbers.size());
        for (size_t i = 0; i < numbers.size(); i++) bynumber.emplace_back(numbers[i], static_cast<uint32_t>(i));
        std::sort(bynumber.begin(), bynumber.end());
    }
    for (const ListEntry& entry : entries) {
        uint32_t id = MailList::noid;
        if (inorder) {
            size_t i = static_cast<size_t>(entry.number) - 1;
            if (entry.number > 0 && i < numbers.size()) id = static_cast<uint32_t>(i);
        } else {
            auto at = std::lower_bound(bynumber.begin(), bynumber.end(), std::make_pair(entry.number, uint32_t{0}));
            if (at != bynumber.end() && at->first == entry.number) id = at->second;
        }
        list.messages.push_back({entry.size, id});
    }
}

// The response codes of a server that is busy for now (RFC 3206): the
// mailbox in use by another session, or a passing trouble of its own.
bool pop3busy(const Reply& reply, bool) {
    const std::string& text = reply.text;
    size_t code = text.size() > 5 && text[4] == ' ' ? 5 : 4;
    for (const char* busy : {"[IN-USE]", "[SYS/TEMP]"}) {
        size_t n = std::strlen(busy);
        if (text.size() >= code + n && memicmp(text.data() + code, busy, static_cast<unsigned>(n)) == 0) return true;
    }
    return false;
}

}  // namespace

Reply readpop3(Socket& sock) {
    Reply reply;
    int len = sock.RecvTeol();
    if (len == -1) {
        reply.error = errno;
        return reply;
    }
    reply.text.assign(sock.line(), static_cast<size_t>(len));
    if (len >= 3 && memicmp(sock.line(), "+OK", 3) == 0) {
        reply.status = Reply::Positive;
    } else if (len >= 4 && memicmp(sock.line(), "-ERR", 4) == 0) {
        reply.status = Reply::Negative;
    } else {
        reply.status = Reply::Invalid;
    }
    return reply;
}

Outcome pop3capa(Connection& connection, Capabilities& caps, bool sent) {
    caps.clear();
    Outcome answer = sent ? connection.read() : connection.ask("CAPA\r\n");
    if (!answer.done()) return answer;
    Reply reply = answer.reply;
    Socket& sock = connection.sock;
    for (int lines = 0; lines < maxcapalines; lines++) {
        int len = sock.RecvTeol();
        if (len == -1) {
            reply.status = Reply::Lost;
            reply.error = errno;
            break;
        }
        if (isterminator(sock.line(), len)) return answer;
        caps.add(std::string(sock.line(), std::strcspn(sock.line(), "\r\n")));
    }
    if (reply.ok()) reply.status = Reply::Invalid;
    return connection.failed(Failure::Protocol, Stage::Reply, reply);
}

SaslOutcome pop3auth(Connection& connection, const SaslExchange& exchange) {
    // RFC 5034: the AUTH line, CR LF included, is at most 255 octets.
    return saslrun(connection, exchange, {"AUTH", 255, pop3turn});
}

void pop3stat(const Reply& reply, long* count, long* total) {
    const char* pos = reply.text.c_str() + (reply.text.size() >= 4 ? 4 : reply.text.size());
    char* end = nullptr;
    *count = std::strtol(pos, &end, 10);
    *total = end == pos ? 0 : std::strtol(end, &end, 10);
}

ListResult pop3list(Socket& sock, std::vector<ListEntry>& list, long count) {
    for (int32_t i = 0; i < count; i++) {
        int len = sock.RecvTeol();
        // A terminator among the entries means a short list; reading on
        // would only wait for lines that never come.
        if (len == -1 || isterminator(sock.line(), len)) return ListResult::Short;
        ListEntry entry{i + 1, -1};
        const char* pos = sock.line();
        int32_t number = 0;
        int32_t size = 0;
        if (parsenumber(&pos, &number)) {
            entry.number = number;
            if (parsenumber(&pos, &size) && size >= 0) entry.size = size;
        }
        list.push_back(entry);
    }
    int len = sock.RecvTeol();
    if (len == -1 || !isterminator(sock.line(), len)) return ListResult::Unterminated;
    return ListResult::Whole;
}

ListResult pop3uidl(Socket& sock, MailList& list, std::vector<int32_t>& numbers) {
    for (long lines = 0; lines <= maxuidllines; lines++) {
        int len = sock.RecvTeol();
        if (len == -1) return ListResult::Short;
        if (isterminator(sock.line(), len)) return ListResult::Whole;
        const char* pos = sock.line();
        int32_t number = 0;
        if (!parsenumber(&pos, &number)) continue;
        pos += std::strspn(pos, " \t");
        size_t idlen = std::strcspn(pos, " \t\r\n");
        if (idlen == 0) continue;
        numbers.push_back(number);
        list.ids.push_back({static_cast<uint32_t>(list.text.size()), static_cast<uint32_t>(idlen)});
        list.text.append(pos, idlen);
    }
    return ListResult::Unterminated;
}

const Wire Pop3Client::wire{"POP3", 110, 995, readpop3, pop3busy};

Pop3Client::Pop3Client(const Server& server, const std::string& cafile, const std::string& pin, SourceEvents& events)
    : events(events), conn(wire, server, cafile, pin) {}

bool Pop3Client::fail(SourceFault fault, const Outcome& outcome, const SaslLogin* login) {
    events.failed({fault, conn, outcome, login});
    return false;
}

// USER or PASS, and its answer.
bool Pop3Client::ask(const std::string& command) {
    Outcome sent = conn.send(command);
    if (sent.done()) return answer();
    sent.reply.error = sent.error;
    return fail(SourceFault::Step, sent);
}

// The answer to USER or PASS: a refusal is the login's, unless the server
// is busy.
bool Pop3Client::answer() {
    Outcome answer = conn.read();
    if (answer.done()) return true;
    if (answer.reply.refused())
        return fail(SourceFault::Step, conn.failed(wire.busy(answer.reply, false) ? Failure::Network : Failure::Login,
                                                   Stage::Reply, answer.reply));
    return fail(SourceFault::Step, answer);
}

bool Pop3Client::open(const std::string& secret) {
    events.step(SourceStep::Connecting);
    Outcome opened = conn.open();
    // Over TLS from the first byte the greeting waits for the end of the
    // handshake: CAPA goes at once, and its answer comes with it.
    bool early = opened.done() && conn.tls == TLSON;
    if (early) opened = conn.send("CAPA\r\n");
    if (opened.done()) opened = conn.greet();
    if (!opened.done()) return fail(SourceFault::Step, opened);
    conn.sock.settimeout(kReplyTimeout);
    quits = true;
    if (conn.server.tls == TLSSTART) {
        events.step(SourceStep::StartingTls);
        // Nothing more goes out on a connection whose TLS failed.
        Outcome secured = conn.starttls("STLS\r\n");
        quits = secured.done();
        if (!quits) return fail(SourceFault::Step, secured);
    }
    // CAPA is asked once, before the login: whether the server pipelines
    // (then USER and PASS go with STAT, LIST and UIDL), the mechanisms of
    // a SASL login.
    if (!capabilities(early)) return false;
    AuthMode mode = conn.server.auth;
    if (mode == AuthMode::Auto || mode == AuthMode::User) return login(secret);
    return sasl(secret);
}

bool Pop3Client::login(const std::string& secret) {
    if (conn.maysendsecret(false) == SecretRule::No)
        return fail(SourceFault::SecretHeld, conn.failed(Failure::Login, Stage::Secret));
    events.step(SourceStep::SendingUser);
    std::string user = "USER " + conn.server.user + "\r\n";
    std::string pass = "PASS " + secret + "\r\n";
    if (window == 1) {
        if (!ask(user)) return false;
        events.step(SourceStep::SendingPassword);
        return ask(pass);
    }
    Outcome sent = conn.send(user + pass + "STAT\r\nLIST\r\nUIDL\r\n");
    if (!sent.done()) {
        sent.reply.error = sent.error;
        return fail(SourceFault::Step, sent);
    }
    unread = {Ahead::Pass, Ahead::Stat, Ahead::List, Ahead::Uidl};
    bool in = answer();
    if (in) {
        events.step(SourceStep::SendingPassword);
        unread.pop_front();
        in = answer();
    }
    // Refused, the login leaves the others' answers to be taken before QUIT.
    if (!in) settle();
    return in;
}

// The answers of commands sent with the login that nothing read, lists and
// all; false once the connection failed.
bool Pop3Client::settle() {
    for (; !unread.empty(); unread.pop_front()) {
        if (conn.sock.Broken()) return false;
        Outcome answer = conn.read();
        if (answer.reply.status == Reply::Lost) return false;
        bool list = unread.front() == Ahead::List || unread.front() == Ahead::Uidl;
        auto passover = [](const char*, size_t, bool) { return true; };
        if (answer.done() && list && readbody(conn.sock, passover) != BodyEnd::Whole) return false;
    }
    return true;
}

bool Pop3Client::sasl(const std::string& secret) {
    SaslLogin login;
    Step step = saslsignin(conn, caps, "SASL", secret, pop3auth, login,
                           [this](const SaslLogin& chosen) { events.loggingin(chosen); });
    if (step == Step::Next) return true;
    // A refused token is not offered again, nor anything else.
    quits = step == Step::Quit;
    return fail(SourceFault::Login, saslfailure(conn, login), &login);
}

// CAPA. A server that does not know it is an old one, not a failure.
bool Pop3Client::capabilities(bool sent) {
    Outcome answer = pop3capa(conn, caps, sent);
    window = caps.has("PIPELINING") ? pipelinewindow : 1;
    return answer.done() || answer.reply.refused() || fail(SourceFault::Step, answer);
}

// STAT: the message count (0 when none could be read) and the total size,
// read as "%ld" reads them: a mailbox of more than 2 GiB is no rarity, and a
// count too large for any list must not pass for an empty mailbox.
bool Pop3Client::select(const std::string&, FolderState& state) {
    events.step(SourceStep::Counting);
    bool sent = !unread.empty() && unread.front() == Ahead::Stat;
    if (sent) unread.pop_front();
    Outcome answer = sent ? conn.read() : conn.ask("STAT\r\n");
    if (!answer.done()) return fail(SourceFault::Step, answer);
    pop3stat(answer.reply, &state.messages, &state.octets);
    count = state.messages;
    if (count >= 0) return true;
    answer.reply.status = Reply::Invalid;
    return fail(SourceFault::Step, conn.failed(Failure::Protocol, Stage::Reply, answer.reply));
}

bool Pop3Client::list(const ListAsk&, MailList& list) {
    entries.clear();
    list = MailList();
    if (!allocate(entries, count) || !allocate(list.messages, count))
        return fail(SourceFault::HugeList, conn.failed(Failure::Local, Stage::Own));
    // Where the server pipelines, LIST and UIDL went with the login, or
    // UIDL goes with LIST.
    bool ahead = window > 1;
    bool sent = !unread.empty() && unread.front() == Ahead::List;
    unread.clear();
    Outcome answer = sent ? Outcome() : ahead ? conn.send("LIST\r\nUIDL\r\n") : conn.ask("LIST\r\n");
    if (ahead && answer.done()) answer = conn.read();
    if (!answer.done()) return fail(SourceFault::Step, answer);
    ListResult listed = pop3list(conn.sock, entries, count);
    std::vector<int32_t> numbers;
    if (listed == ListResult::Whole) {
        numbers.reserve(entries.size());
        list.ids.reserve(entries.size());
        Outcome uidl = ahead ? conn.read() : conn.ask("UIDL\r\n");
        // A server without UIDL names its messages by no id.
        list.hasids = !uidl.reply.refused();
        if (!uidl.done() && !uidl.reply.refused()) return fail(SourceFault::Step, uidl);
        if (list.hasids) listed = pop3uidl(conn.sock, list, numbers);
    }
    if (listed != ListResult::Whole)
        return fail(listed == ListResult::Short ? SourceFault::ShortList : SourceFault::LongList,
                    conn.failed(Failure::Protocol, Stage::Text));
    joinids(entries, numbers, list);
    return true;
}

// Commands of one kind (RETR or DELE) for the messages at places that take
// it, sent ahead of their answers where the server allows it.
Pipeline Pop3Client::commands(const std::vector<uint32_t>& places, const char* verb, int32_t minsize, bool quit) {
    quitqueued = false;
    quit = quit && window > 1;
    return Pipeline(conn.sock, window, [this, &places, verb, minsize, quit, i = size_t{0}](std::string& out) mutable {
        while (i < places.size() && entries[places[i]].size < minsize) i++;
        if (i == places.size()) {
            if (!quit || quitqueued) return false;
            quitqueued = true;
            out += "QUIT\r\n";
            return true;
        }
        char command[32];
        char* end = puttext(command, verb);
        *end++ = ' ';
        end = putlong(end, entries[places[i++]].number);
        end = puttext(end, "\r\n");
        out.append(command, static_cast<size_t>(end - command));
        return true;
    });
}

bool Pop3Client::refill(Pipeline& pipeline) {
    return pipeline.fill() || fail(SourceFault::Step, conn.sendfailed());
}

bool Pop3Client::retrieve(const std::vector<uint32_t>& places, MessageSink& sink, bool last) {
    if (!settle()) return fail(SourceFault::Step, conn.failed(Failure::Network, Stage::Reply));
    // With no DELE to come, QUIT commits nothing: it may follow the RETRs.
    Pipeline retr = commands(places, "RETR", 1, last);
    for (size_t k = 0; k < places.size(); k++) {
        if (entries[places[k]].size <= 0) continue;
        if (!sink.next(k) || !refill(retr)) return cutshort();
        Outcome answer = conn.read();
        conn.quitting = quitqueued && retr.sent();
        if (answer.reply.refused()) {
            events.refused(k, answer.reply);
            return cutshort();
        }
        if (!answer.done()) {
            fail(SourceFault::Step, answer);
            return cutshort();
        }
        retr.answered();
        if (!receive(k, sink)) return cutshort();
    }
    return true;
}

bool Pop3Client::cutshort() {
    // Texts still on their way come before the answer to a QUIT sent with
    // them: the connection is only closed, and the server ends at the QUIT.
    if (quitqueued) quits = false;
    return false;
}

// One message, after RETR was accepted. Once its sink stopped in the middle
// of the text, or before it, the connection is fit only for closing: the
// rest of the message would be read as answers.
bool Pop3Client::receive(size_t k, MessageSink& sink) {
    MessageText text(conn.sock);
    bool taken = sink.take(k, text);
    if (text.end == BodyEnd::Lost) return fail(SourceFault::LostMessage, conn.failed(Failure::Network, Stage::Text));
    if (taken && text.end == BodyEnd::Whole) return true;
    quits = text.end == BodyEnd::Whole;
    return fail(SourceFault::Sink, conn.failed(Failure::Local, Stage::Text));
}

bool Pop3Client::remove(const MailList&, const std::vector<uint32_t>& places) {
    events.step(SourceStep::Removing);
    if (!settle()) return fail(SourceFault::Step, conn.failed(Failure::Network, Stage::Reply));
    // QUIT goes with the last DELEs: deleting is what QUIT does in POP3,
    // and every message to go is on disk by now.
    Pipeline dele = commands(places, "DELE", 0, true);
    for (size_t k = 0; k < places.size(); k++) {
        if (entries[places[k]].size < 0) continue;
        if (!refill(dele)) return false;
        Outcome answer = conn.read();
        int unanswered = dele.answered();
        conn.quitting = quitqueued && dele.sent();
        if (answer.done()) continue;
        if (!answer.reply.refused()) return fail(SourceFault::Step, answer);
        events.refused(k, answer.reply);
        if (conn.quitting) unanswered--;
        // The server is still in step: take the answers to the DELEs
        // already sent, so that the answer read after QUIT is its own.
        for (size_t next = k + 1; unanswered > 0; unanswered--, next++) {
            while (entries[places[next]].size < 0) next++;
            Outcome later = conn.read();
            if (later.reply.refused()) {
                events.refused(next, later.reply);
            } else if (!later.done()) {
                fail(SourceFault::Step, later);
                break;
            }
        }
        return false;
    }
    return true;
}

bool Pop3Client::close() {
    events.step(SourceStep::SigningOff);
    if (!settle()) return fail(SourceFault::Step, conn.failed(Failure::Network, Stage::Reply));
    Outcome answer = conn.signoff();
    if (!answer.done()) {
        quits = false;
        return fail(SourceFault::Step, answer);
    }
    events.step(SourceStep::SignedOff);
    return true;
}

void Pop3Client::abandon() {
    if (!settle()) quits = false;
    // A QUIT not taken is told.
    conn.close(quits, [this](const Outcome& quit) { fail(SourceFault::Step, quit); });
}
