#include "proto/nntp.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/text.h"

void readnntp(Socket& sock, Reply& reply) {
    int len = sock.RecvTeol();
    reply.lines.clear();
    if (len < 1) {
        reply.status = Reply::Lost;
        reply.error = errno;
        reply.text.clear();
        return;
    }
    reply.error = 0;
    reply.text.assign(sock.line(), static_cast<size_t>(len));
    char code = sock.line()[0];
    reply.status = code == '1' || code == '2' || code == '3' ? Reply::Positive : Reply::Negative;
}

Reply readnntp(Socket& sock) {
    Reply reply;
    readnntp(sock, reply);
    return reply;
}

bool nntpcrowded(const Reply& reply) {
    if (!reply.is("400") && !reply.is("502")) return false;
    const std::string& text = reply.text;
    for (size_t i = 0; i + 10 <= text.size(); i++)
        if (memicmp(text.data() + i, "connection", 10) == 0) return true;
    return false;
}

bool nntpbusy(const Reply& reply, bool greeting) {
    return greeting ? reply.is("400") || reply.is("502") : nntpcrowded(reply);
}

bool isduplicate(const Reply& reply) {
    const std::string& text = reply.text;
    for (size_t i = 0; i + 9 <= text.size(); i++)
        if (memicmp(text.data() + i, "duplicate", 9) == 0) return true;
    return false;
}

namespace {

// One field of a GROUP reply, as readlong reads it; a number that is
// negative or too large for a long makes the range invalid.
bool readfield(const char*& p, long& value, bool& valid) {
    errno = 0;
    char* end;
    long v = std::strtol(p, &end, 10);
    if (end == p) return false;
    if (errno == ERANGE || v < 0) valid = false;
    value = v;
    p = end;
    return true;
}

}  // namespace

GroupRange::GroupRange(const char* reply, long high) {
    if (std::strlen(reply) > 4) {
        const char* p = reply + 4;
        if (readfield(p, count, valid) && readfield(p, first, valid)) readfield(p, last, valid);
    }
    estimate = count;
    if (high >= last) {
        count = 0;
    } else if (high >= first) {
        // first <= high < last: the difference is positive, but may not
        // fit a long when the numbers are extreme.
        unsigned long n = static_cast<unsigned long>(last) - static_cast<unsigned long>(high);
        count = n > LONG_MAX ? LONG_MAX : static_cast<long>(n);
        first = high + 1;
    }
}

bool readnumbers(Socket& sock, long first, long last, size_t max, std::vector<long>& numbers) {
    numbers.clear();
    for (bool linestart = true;;) {
        int len = sock.RecvTeol();
        if (len < 1) return false;
        const char* p = sock.line();
        bool whole = linestart;
        linestart = sock.iEol == 1;
        // The rest of a line longer than the line buffer names no number.
        if (!whole) continue;
        if (isterminator(p, len)) return true;
        long n;
        if (!readlong(p, n) || n < first || n > last || numbers.size() == max) continue;
        if (numbers.empty() || n > numbers.back()) numbers.push_back(n);
    }
}

void ArticleNumbers::keep(uint64_t from, uint64_t count) {
    if (listing) {
        listed.erase(listed.begin() + static_cast<long>(from + count), listed.end());
        listed.erase(listed.begin(), listed.begin() + static_cast<long>(from));
        return;
    }
    first = at(from);
    last = at(count - 1);
}

namespace {

// A refusal of CAPABILITIES or COMPRESS is no failure of the dialogue; a
// connection lost is.
Outcome unlessrefused(const Outcome& answer) { return answer.reply.status == Reply::Lost ? answer : Outcome(); }

// Commands in flight, GROUP, LISTGROUP or ARTICLE: 1024 at most, and no
// more bytes than Pipeline allows (some 580 ARTICLEs). Far away, a window
// smaller than a day's articles leaves its last refill a round trip of
// its own.
const int kWindow = 1024;

}  // namespace

NntpClient::NntpClient(const Server& server, const std::string& cafile, const std::string& pin, NntpEvents& events)
    : home(events), events(&events), conn(wire, server, cafile, pin) {}

Step NntpClient::open(const std::string& secret) {
    quitqueued = false;
    awaited = postahead = onebyone = postquit = false;
    postanswer.reset();
    events->opening(NntpEvents::Opening::Connect, conn);
    Outcome opened = conn.open();
    if (opened.done()) opened = conn.greet();
    // Too many connections passes once others end.
    if (opened.failure == Failure::Refused && nntpcrowded(opened.reply)) opened.failure = Failure::Network;
    if (!opened.done()) {
        events->failed(Item::Opening, 0, conn, opened);
        return Step::End;
    }
    conn.sock.settimeout(kReplyTimeout);
    if (conn.server.tls == TLSSTART) {
        events->opening(NntpEvents::Opening::StartTls, conn);
        // Nothing more goes out on a connection whose TLS failed.
        Outcome secured = conn.starttls("STARTTLS\r\n");
        if (!secured.done()) {
            events->failed(Item::Opening, 0, conn, secured);
            return Step::End;
        }
    }
    Outcome ready = conn.server.user.empty() ? Outcome() : login(secret);
    // Uncompressed, CAPABILITIES goes with the first GROUPs instead.
    capsowed = conn.server.compress != Compress::Off && !conn.compresses();
    if (ready.done() && conn.compresses()) ready = compress();
    if (!ready.done()) {
        events->failed(Item::Opening, 0, conn, ready);
        return Step::Quit;
    }
    events->ready();
    return Step::Next;
}

Outcome NntpClient::login(const std::string& secret) {
    if (conn.maysendsecret(false) == SecretRule::No) return conn.failed(Failure::Login, Stage::Secret);
    events->opening(NntpEvents::Opening::Login, conn);
    Outcome answer = conn.ask("AUTHINFO USER " + conn.server.user + "\r\n");
    // 281 right away: no password wanted.
    if (answer.done() && answer.reply.is("381")) answer = conn.ask("AUTHINFO PASS " + secret + "\r\n");
    if (answer.reply.refused())
        return conn.failed(nntpcrowded(answer.reply) ? Failure::Network : Failure::Login, Stage::Reply, answer.reply);
    return answer;
}

// After the login (RFC 8054 asks for COMPRESS after TLS and the login),
// CAPABILITIES and COMPRESS in one flight: a server that does not offer
// compression refuses COMPRESS, and is spoken to as it is.
Outcome NntpClient::compress() {
    events->opening(NntpEvents::Opening::Compress, conn);
    Outcome answer = conn.send("CAPABILITIES\r\nCOMPRESS DEFLATE\r\n");
    if (answer.done()) answer = readcaps();
    if (answer.done()) answer = conn.read();
    if (!answer.reply.is("206")) return unlessrefused(answer);
    // The server compresses from now on: without zlib nothing it says can
    // be read.
    return conn.sock.Deflate() ? Outcome() : conn.failed(Failure::Local, Stage::Own);
}

// The answer to CAPABILITIES: whether it lists OVER.
Outcome NntpClient::readcaps() {
    capsowed = false;
    Outcome answer = conn.read();
    if (!answer.reply.is("101")) return unlessrefused(answer);
    Capabilities caps;
    bool whole = readbody(conn.sock, [&caps](const char* text, size_t len, bool linestart) {
        std::string line(text, len);
        if (linestart) caps.add(line.substr(0, line.find_first_of("\r\n")));
        return true;
    }) == BodyEnd::Whole;
    if (!whole) return conn.failed(Failure::Network, Stage::Text);
    if (caps.has("OVER")) overcommand = "OVER";
    return Outcome();
}

bool NntpClient::asknewsgroups(const NewsDate& since) {
    char command[64];
    if (since.year == 0) {
        std::snprintf(command, sizeof command, "LIST\r\n");
    } else {
        std::snprintf(command, sizeof command, "NEWGROUPS %02u%02u%02u %02u%02u%02u\r\n", since.year % 100,
                      since.month, since.day, since.hour, since.min, since.sec);
    }
    Outcome asked = conn.ask(command);
    answer = asked.reply;
    if (asked.done()) {
        events->done(Item::Newsgroups, 0, answer);
        return true;
    }
    if (answer.refused()) events->refused(Item::Newsgroups, 0, answer);
    else events->failed(Item::Newsgroups, 0, conn, asked);
    return false;
}

bool NntpClient::sendahead(Pipeline& pipeline, Item item, size_t index) {
    if (pipeline.fill()) return true;
    events->failed(item, index, conn, conn.sendfailed());
    return false;
}

bool NntpClient::readanswer(Item item, size_t index) {
    readnntp(conn.sock, answer);
    if (answer.status != Reply::Lost) return true;
    events->failed(item, index, conn, conn.failed(Failure::Network, Stage::Reply, answer));
    return false;
}

void NntpClient::cutoff(Item item, size_t index) {
    events->failed(item, index, conn, conn.failed(Failure::Network, Stage::Text));
}

BodyEnd NntpClient::ended(Item item, size_t index, BodyEnd end) {
    if (end == BodyEnd::Lost) cutoff(item, index);
    return end;
}

Step NntpClient::select(const std::vector<std::string>& names) {
    bool caps = capsowed && !names.empty();
    Pipeline flight(conn.sock, kWindow, [&names, caps, i = size_t{0}](std::string& command) mutable {
        if (i == names.size()) return false;
        if (i == 0 && caps) command += "CAPABILITIES\r\n";
        command += "GROUP " + names[i++] + "\r\n";
        return true;
    });
    for (size_t i = 0; i < names.size(); i++) {
        if (!sendahead(flight, Item::Select, i)) return Step::Quit;
        if (i == 0 && caps) {
            Outcome listed = readcaps();
            if (!listed.done()) {
                events->failed(Item::Select, i, conn, listed);
                return Step::Quit;
            }
        }
        if (!readanswer(Item::Select, i)) return Step::Quit;
        flight.answered();
        if (answer.ok()) events->done(Item::Select, i, answer);
        else events->refused(Item::Select, i, answer);
    }
    return Step::Next;
}

Step NntpClient::list(const std::vector<Listing>& groups) {
    Pipeline flight(conn.sock, kWindow, [this, &groups, i = size_t{0}](std::string& command) mutable {
        if (i == groups.size()) return false;
        const Listing& group = groups[i++];
        std::string range = " " + std::to_string(group.first) + "-" + std::to_string(group.last) + "\r\n";
        if (group.overview) command += "GROUP " + group.name + "\r\n" + overcommand + range;
        else command += "LISTGROUP " + group.name + range;
        return true;
    });
    for (size_t i = 0; i < groups.size(); i++) {
        const Listing& group = groups[i];
        if (!sendahead(flight, Item::Listing, i) || !readanswer(Item::Listing, i)) return Step::Quit;
        if (group.overview) {
            if (!readoverview(group, i)) return Step::Quit;
            flight.answered();
            continue;
        }
        if (answer.ok() && !readnumbers(conn.sock, group.first, group.last, group.most, *group.numbers)) {
            cutoff(Item::Listing, i);
            return Step::Quit;
        }
        flight.answered();
        if (answer.ok()) events->done(Item::Listing, i, answer);
        else events->refused(Item::Listing, i, answer);
    }
    return Step::Next;
}

// The answer to the OVER after the group's GROUP, whose answer was read.
// An overview that follows a refused GROUP is another group's: dropped.
bool NntpClient::readoverview(const Listing& group, size_t index) {
    Reply selected = answer;
    if (!readanswer(Item::Overview, index)) return false;
    std::string line;
    auto sink = [&](const char* text, size_t len, bool linestart) {
        if (linestart) line.clear();
        if (line.size() < 65536) line.append(text, std::min(len, 65536 - line.size()));
        if (len > 0 && text[len - 1] == '\n') {
            // A dot that starts a line is stuffed.
            size_t from = !line.empty() && line[0] == '.' ? 1 : 0;
            size_t end = line.find_last_not_of("\r\n");
            end = end == std::string::npos ? 0 : end + 1;
            if (selected.ok() && end > from) group.overview(line.data() + from, end - from);
            line.clear();
        }
        return true;
    };
    if (answer.ok() && readbody(conn.sock, sink) != BodyEnd::Whole) {
        cutoff(Item::Overview, index);
        return false;
    }
    if (!selected.ok()) events->refused(Item::Listing, index, selected);
    else if (answer.ok()) events->done(Item::Overview, index, answer);
    else events->refused(Item::Overview, index, answer);
    return true;
}

void NntpClient::stream(std::vector<Streamed> groups, Skip skipping) {
    skip = std::move(skipping);
    passes.clear();
    streamed = std::move(groups);
    group = 0;
    begun = false;
    quitqueued = false;
    pipe.emplace(conn.sock, kWindow, [this](std::string& command) { return nextcommand(command); });
}

bool NntpClient::nextcommand(std::string& command) {
    for (;;) {
        if (!begun) {
            if (group == streamed.size()) {
                // A server's answer to QUIT costs no round trip of its own.
                if (quitqueued || streamed.empty()) return false;
                quitqueued = true;
                command += "QUIT\r\n";
                return true;
            }
            begun = true;
            index = 0;
            if (streamed[group].select) {
                command += "GROUP " + streamed[group].name + "\r\n";
                return true;
            }
        }
        const ArticleNumbers& numbers = *streamed[group].numbers;
        long number = numbers.at(index);
        // A number passed over costs no command: the next is asked for.
        bool pass = skip && skip(group, number);
        passes.push_back(pass);
        if (++index == numbers.size()) {
            group++;
            begun = false;
        }
        if (pass) continue;
        char article[40];
        char* end = puttext(article, "ARTICLE ");
        end = putlong(end, number);
        end = puttext(end, "\r\n");
        command.append(article, static_cast<size_t>(end - article));
        return true;
    }
}

const Reply& NntpClient::reselect() {
    if (!sendahead(*pipe, Item::Reselect, 0)) {
        answer = Reply();
        return answer;
    }
    Outcome got = conn.read();
    answer = got.reply;
    pipe->answered();
    if (got.done()) events->done(Item::Reselect, 0, answer);
    else if (answer.refused()) events->refused(Item::Reselect, 0, answer);
    else events->failed(Item::Reselect, 0, conn, got);
    return answer;
}

const Reply& NntpClient::article() { return next(Item::Article); }

const Reply& NntpClient::next(Item item) {
    if (!sendahead(*pipe, item, 0)) {
        answer.status = Reply::Lost;
        return answer;
    }
    // Once the commands went out, the number's fate is known.
    passedover = !passes.empty() && passes.front();
    if (!passes.empty()) passes.pop_front();
    if (passedover) {
        passedreply.status = Reply::Negative;
        return passedreply;
    }
    // Servers that write a reply in two parts (INN's nnrpd does) hold the
    // second back until the first is acknowledged (Nagle). Asked now, the
    // kernel acknowledges at once and an article takes well under a
    // millisecond; the socket would do so only after waiting a
    // millisecond, once per article.
    conn.sock.AckNow();
    if (!readanswer(item, 0)) return answer;
    pipe->answered();
    if (answer.refused()) events->refused(item, 0, answer);
    return answer;
}

Step NntpClient::discard(uint64_t count) {
    for (uint64_t i = 0; i < count; i++) {
        const Reply& reply = next(Item::Discarded);
        if (reply.status == Reply::Lost) return Step::Quit;
        if (reply.ok() && ended(Item::Discarded, 0, readbody(conn.sock, [](const char*, size_t, bool) {
                              return true;
                          })) != BodyEnd::Whole)
            return Step::Quit;
    }
    return Step::Next;
}

Step NntpClient::askpost() {
    postahead = awaited;
    postanswer.reset();
    Outcome sent = conn.send("POST\r\n");
    if (sent.done()) return Step::Next;
    events->failed(Item::Post, 0, conn, sent);
    return Step::Quit;
}

Step NntpClient::sendtext(const ArticleText& text) {
    Outcome answer;
    if (postanswer) {
        answer.reply = *postanswer;
        postanswer.reset();
    } else {
        // INN writes its replies in two parts and holds the second back
        // until the first is acknowledged (Nagle): acknowledge at once, or
        // every reply waits for our delayed acknowledgement.
        conn.sock.AckNow();
        answer = conn.read();
    }
    // A POST sent ahead refused for another reason than posting itself: the
    // server wants it alone.
    const Reply& reply = answer.reply;
    if (postahead && reply.refused() && !reply.is("440") && !needslogin(reply)) {
        onebyone = true;
        postahead = false;
        answer = conn.ask("POST\r\n");
    }
    if (!answer.reply.ok()) {
        if (answer.reply.refused()) events->refused(Item::Post, 0, answer.reply);
        else events->failed(Item::Post, 0, conn, answer);
        return Step::End;
    }
    TextSent went = text(conn.sock);
    if (went == TextSent::SendFailed) {
        events->failed(Item::Posted, 0, conn, conn.sendfailed());
        return Step::Quit;
    }
    // The text went out incomplete: only dropping the connection keeps the
    // server from taking it.
    if (went == TextSent::SourceFailed) return Step::End;
    awaited = true;
    return Step::Next;
}

Step NntpClient::verdict(Verdict& verdict) {
    awaited = false;
    conn.sock.AckNow();
    Outcome answer = conn.read();
    // The answer to the POST sent ahead came before the verdict: the server
    // answers out of order, and gets no more POSTs ahead.
    if (postahead && answer.reply.text.compare(0, 1, "3") == 0) {
        postanswer = answer.reply;
        onebyone = true;
        answer = conn.read();
    }
    const Reply& reply = answer.reply;
    if (answer.done()) {
        verdict = Verdict::Accepted;
        events->done(Item::Posted, 0, reply);
        return Step::Next;
    }
    // Without an answer the dialogue is out of step and the article's fate
    // unknown: the connection is fit only for closing.
    if (!reply.refused()) {
        events->failed(Item::Posted, 0, conn, answer);
        return Step::End;
    }
    // An article posted by a run that died before it could record so: it
    // is on the server, and would be refused every run.
    verdict = isduplicate(reply) ? Verdict::Duplicate : Verdict::Refused;
    events->refused(Item::Posted, 0, reply);
    return Step::Next;
}

void NntpClient::quitahead() {
    postquit = conn.send("QUIT\r\n").done();
}

bool NntpClient::signoff() {
    conn.quitting = postquit || (quitqueued && pipe->sent());
    Outcome answer = conn.signoff();
    if (answer.done()) return true;
    events->failed(Item::Signoff, 0, conn, answer);
    return false;
}

void NntpClient::close(bool quit) {
    conn.quitting = postquit || (quitqueued && pipe->sent());
    conn.close(quit, [this](const Outcome& answer) { events->failed(Item::Signoff, 0, conn, answer); });
}
