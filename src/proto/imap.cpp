#include "proto/imap.h"

#include <fcntl.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <iterator>

#include "core/text.h"
#include "proto/body.h"

namespace {

// A server that keeps sending untagged lines to a login is not answering.
constexpr int maxuntagged = 1000;

// Longest response line taken, literals aside.
constexpr size_t maxline = 65536;

// As many messages as a folder may list.
constexpr size_t maxmessages = 1 << 24;

// Commands in flight, each naming a set of messages; Pipeline bounds
// their bytes.
constexpr int pipelinewindow = 128;

// Tagged answers that came before the one waited for.
constexpr size_t maxearly = 2 * pipelinewindow;

// Folders asked their STATUS in one flight: their answers may wait among
// those early ones.
constexpr size_t maxsurveyed = pipelinewindow / 2;

// "* <n> FETCH ...".
bool isfetch(const std::string& text) {
    size_t at = 2;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') at++;
    return at > 2 && text.size() - at >= 6 && strncasecmp(text.c_str() + at, " FETCH", 6) == 0;
}

// The bytes of a set of UIDs in one command, so that the command stays
// short.
constexpr size_t maxsetbytes = 4000;

// The count of a literal that ends the line ("{12}" or "{12+}"); -1 when
// there is none.
long long literalcount(const char* text, size_t len) {
    if (len < 3 || text[len - 1] != '}') return -1;
    size_t end = len - 1;
    if (text[end - 1] == '+') end--;
    size_t at = end;
    while (at > 0 && text[at - 1] >= '0' && text[at - 1] <= '9') at--;
    if (at == end || at == 0 || text[at - 1] != '{' || end - at > 12) return -1;
    long long n = 0;
    for (size_t i = at; i < end; i++) n = n * 10 + (text[i] - '0');
    return n;
}

// The word after the tag or "*", in upper case.
std::string statusword(const char* text, size_t len) {
    const char* space = static_cast<const char*>(std::memchr(text, ' ', len));
    std::string word;
    if (!space) return word;
    for (const char* p = space + 1; p < text + len && *p != ' ' && *p != '\r' && *p != '\n'; p++)
        word += static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
    return word;
}

// The status of a tagged answer by its word.
Reply::Status completion(const std::string& word) {
    return word == "OK" ? Reply::Positive : word == "NO" || word == "BAD" ? Reply::Negative : Reply::Invalid;
}

// The mailbox name at at of a response: a quoted string's text, or an atom
// up to the next space; empty for one sent as a literal. at ends past it.
std::string mailboxname(const std::string& text, size_t& at) {
    std::string name;
    if (at < text.size() && text[at] == '"') {
        for (at++; at < text.size() && text[at] != '"'; at++) {
            if (text[at] == '\\' && at + 1 < text.size()) at++;
            name += text[at];
        }
        if (at < text.size()) at++;
    } else if (at < text.size() && text[at] != '{') {
        size_t end = std::min(text.find_first_of(" \r\n", at), text.size());
        name = text.substr(at, end - at);
        at = end;
    }
    return name;
}

// Takes the bytes of a literal that nothing needs.
bool passover(const char*, size_t, bool) { return true; }

bool startsnocase(const std::string& text, size_t at, const char* word) {
    size_t n = std::strlen(word);
    return text.size() - std::min(at, text.size()) >= n && strncasecmp(text.c_str() + at, word, n) == 0;
}

// "L OK" logs in, a continuation asks for more.
SaslDialect::Turn imapturn(const Reply& reply, std::string& challenge) {
    const std::string& text = reply.text;
    if (!text.empty() && text[0] == '+') {
        size_t from = text.size() > 1 && text[1] == ' ' ? 2 : 1;
        challenge = text.substr(from, std::strcspn(text.c_str() + from, "\r\n"));
        return SaslDialect::Challenge;
    }
    if (text.compare(0, 2, "L ") != 0) return reply.refused() ? SaslDialect::Failure : SaslDialect::Invalid;
    return reply.ok() ? SaslDialect::Success : reply.refused() ? SaslDialect::Failure : SaslDialect::Invalid;
}

// With SASL-IR the initial response goes with the command; without, it
// waits for the server's empty challenge.
SaslOutcome imapauthir(Connection& connection, const SaslExchange& exchange) {
    return saslrun(connection, exchange, {"L AUTHENTICATE", 1 << 20, imapturn});
}
SaslOutcome imapauthwait(Connection& connection, const SaslExchange& exchange) {
    return saslrun(connection, exchange, {"L AUTHENTICATE", 0, imapturn});
}

// "1:3,7" for sorted UIDs, in pieces of at most maxsetbytes and of at most
// most messages (0: any number).
std::vector<std::string> uidsets(std::vector<uint32_t> uids, size_t most) {
    std::sort(uids.begin(), uids.end());
    uids.erase(std::unique(uids.begin(), uids.end()), uids.end());
    std::vector<std::string> sets;
    std::string set;
    size_t named = 0;  // by set
    for (size_t i = 0; i < uids.size();) {
        if (most > 0 && named == most) {
            sets.push_back(set);
            set.clear();
            named = 0;
        }
        size_t j = i;
        while (j + 1 < uids.size() && uids[j + 1] == uids[j] + 1 && (most == 0 || named + j + 1 - i < most)) j++;
        std::string range = std::to_string(uids[i]);
        if (j > i) range += ":" + std::to_string(uids[j]);
        if (!set.empty() && set.size() + range.size() + 1 > maxsetbytes) {
            sets.push_back(set);
            set.clear();
            named = 0;
        }
        set += (set.empty() ? "" : ",") + range;
        named += j + 1 - i;
        i = j + 1;
    }
    if (!set.empty()) sets.push_back(set);
    return sets;
}

// Modified base64 of UTF-16BE units (RFC 3501, 5.1.3).
void pututf7(std::string& out, const std::vector<uint16_t>& units) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,";
    std::string bytes;
    for (uint16_t u : units) {
        bytes += static_cast<char>(u >> 8);
        bytes += static_cast<char>(u & 0xff);
    }
    out += '&';
    unsigned bits = 0;
    int have = 0;
    for (unsigned char c : bytes) {
        bits = (bits << 8) | c;
        have += 8;
        while (have >= 6) {
            have -= 6;
            out += alphabet[(bits >> have) & 0x3f];
        }
    }
    if (have > 0) out += alphabet[(bits << (6 - have)) & 0x3f];
    out += '-';
}

}  // namespace

Reply readimap(Socket& sock) {
    Reply reply;
    for (int lines = 0; lines < maxuntagged; lines++) {
        int len = sock.RecvTeol();
        if (len == -1) {
            reply.error = errno;
            reply.status = Reply::Lost;
            return reply;
        }
        reply.text.assign(sock.line(), static_cast<size_t>(len));
        size_t bare = std::strcspn(sock.line(), "\r\n");
        if (len > 0 && sock.line()[0] == '+') {
            reply.status = Reply::Invalid;
            return reply;
        }
        std::string word = statusword(sock.line(), bare);
        bool star = len >= 2 && sock.line()[0] == '*' && sock.line()[1] == ' ';
        if (!star) {
            reply.status = completion(word);
            return reply;
        }
        if (word == "OK" || word == "PREAUTH" || word == "BYE") {
            reply.status = word == "BYE" ? Reply::Negative : Reply::Positive;
            return reply;
        }
        // Another untagged response: its literals go unread.
        for (long long n = literalcount(sock.line(), bare); n >= 0; n = literalcount(sock.line(), bare)) {
            if (readliteral(sock, static_cast<uint64_t>(n), passover) != BodyEnd::Whole || sock.RecvTeol() == -1) {
                reply.error = errno;
                reply.status = Reply::Lost;
                return reply;
            }
            bare = std::strcspn(sock.line(), "\r\n");
        }
    }
    reply.status = Reply::Invalid;
    return reply;
}

std::string imapmailbox(const std::string& folder, char delimiter) {
    std::string out;
    std::vector<uint16_t> units;
    for (size_t i = 0; i < folder.size();) {
        unsigned char c = static_cast<unsigned char>(folder[i]);
        uint32_t point = c;
        size_t more = c >= 0xf0 ? 3 : c >= 0xe0 ? 2 : c >= 0xc0 ? 1 : 0;
        if (more > 0 && i + more < folder.size()) {
            point = c & (0x3fu >> more);
            for (size_t j = 1; j <= more; j++) point = (point << 6) | (static_cast<unsigned char>(folder[i + j]) & 0x3f);
        } else {
            more = 0;
        }
        i += more + 1;
        if (point >= 0x20 && point < 0x7f) {
            if (!units.empty()) {
                pututf7(out, units);
                units.clear();
            }
            if (point == '/') out += delimiter;
            else if (point == '&') out += "&-";
            else out += static_cast<char>(point);
            continue;
        }
        if (point >= 0x10000) {
            point -= 0x10000;
            units.push_back(static_cast<uint16_t>(0xd800 + (point >> 10)));
            units.push_back(static_cast<uint16_t>(0xdc00 + (point & 0x3ff)));
        } else {
            units.push_back(static_cast<uint16_t>(point));
        }
    }
    if (!units.empty()) pututf7(out, units);
    return out;
}

std::string imapquoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u >= 0x80 || u == '\r' || u == '\n' || u == 0) return "";
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

// What the responses to one command are read for.
struct ImapClient::Want {
    enum Kind { Nothing, Select, List, Body, Folders } kind = Nothing;
    MessageSink* sink = nullptr;
    const std::vector<uint32_t>* places = nullptr;  // of the retrieve, by UID
    std::vector<uint32_t>* uids = nullptr;          // List's: every UID answered
    bool ids = false;                               // List's: with Message-IDs
    FolderState* state = nullptr;                   // Folders': the folders listed
};

namespace {

// A greeting of BYE, or a login refused with [UNAVAILABLE].
bool imapbusy(const Reply& reply, bool greeting) {
    return greeting || reply.text.find(" NO [UNAVAILABLE]") != std::string::npos;
}

}  // namespace

const Wire ImapClient::wire{"IMAP", 143, 993, readimap, imapbusy};

Outcome imapprobe(const Server& server, const std::string& cafile, std::string& fingerprint) {
    const std::string nopin;
    Connection conn(ImapClient::wire, server, cafile, nopin);
    Outcome outcome = conn.open();
    if (outcome.done()) outcome = conn.greet();
    if (outcome.done() && conn.tls == TLSSTART) outcome = conn.starttls("S STARTTLS\r\n");
    fingerprint = conn.sock.Fingerprint();
    conn.close(false);
    return outcome;
}

ImapClient::ImapClient(const Server& server, const std::string& cafile, const std::string& pin,
                       std::vector<std::string> folders, bool readonly, SourceEvents& events)
    : names(std::move(folders)), readonly(readonly), events(events), conn(wire, server, cafile, pin) {}

bool ImapClient::fail(SourceFault fault, const Outcome& outcome, const SaslLogin* login) {
    events.failed({fault, conn, outcome, login});
    return false;
}

std::string ImapClient::tag() { return "A" + std::to_string(++tags); }

Outcome ImapClient::lost() const {
    Reply reply;
    reply.error = errno;
    return conn.failed(Failure::Network, Stage::Reply, reply);
}

Outcome ImapClient::invalid(const std::string& text) const {
    Reply reply;
    reply.status = Reply::Invalid;
    reply.text = text + "\r\n";
    return conn.failed(Failure::Protocol, Stage::Reply, reply);
}

// One response line, or its part up to a literal, without its line end.
Outcome ImapClient::readline(std::string& text, long long& literal) {
    text.clear();
    for (;;) {
        int len = conn.sock.RecvTeol();
        if (len == -1) return lost();
        text.append(conn.sock.line(), static_cast<size_t>(len));
        if (conn.sock.iEol == 1) break;
        if (text.size() > maxline) return invalid(text.substr(0, 200));
    }
    text.erase(text.find_last_not_of("\r\n") + 1);
    literal = literalcount(text.data(), text.size());
    return Outcome();
}

Outcome ImapClient::skipliteral(long long size) {
    BodyEnd end = ::readliteral(conn.sock, static_cast<uint64_t>(size), passover);
    return end == BodyEnd::Whole ? Outcome() : lost();
}

Outcome ImapClient::readliteral(long long size, std::string& into, size_t most) {
    into.clear();
    BodyEnd end = ::readliteral(conn.sock, static_cast<uint64_t>(size), [&into, most](const char* t, size_t n, bool) {
        into.append(t, std::min(n, most - std::min(most, into.size())));
        return true;
    });
    return end == BodyEnd::Whole ? Outcome() : lost();
}

Outcome ImapClient::command(const std::string& text, Want* want) {
    std::string t = tag();
    Outcome answer = conn.send(t + " " + text + "\r\n");
    if (answer.done()) answer = await(t, want);
    if (!answer.done()) fail(SourceFault::Step, answer);
    return answer;
}

// Reads the responses up to the tagged one of tag: done when it is OK;
// nothing told.
Outcome ImapClient::await(const std::string& t, Want* want, const FetchHook* fetches) {
    std::string text;
    long long literal = -1;
    for (;;) {
        auto known = std::find_if(early.begin(), early.end(), [&t](const std::string& e) {
            return e.size() > t.size() && e.compare(0, t.size(), t) == 0 && e[t.size()] == ' ';
        });
        if (known != early.end()) {
            text = *known;
            early.erase(known);
            return tagged(text);
        }
        conn.sock.StartReply();
        Outcome read = readline(text, literal);
        if (!read.done()) return read;
        if (text.compare(0, 2, "* ") == 0) {
            read = fetches && isfetch(text) ? (*fetches)(text, literal) : untagged(text, literal, want);
            if (!read.done()) return read;
            continue;
        }
        if (literal >= 0) {
            read = skipliteral(literal);
            if (!read.done()) return read;
        }
        // A server may answer commands sent together in another order.
        if (text.empty() || text[0] == '+' || early.size() >= maxearly) return invalid(text);
        early.push_back(text);
    }
}

// The tagged answer, done when it is OK.
Outcome ImapClient::tagged(const std::string& text) {
    Reply reply;
    reply.text = text + "\r\n";
    reply.status = completion(statusword(text.data(), text.size()));
    if (!reply.ok()) return conn.failed(reply.refused() ? Failure::Refused : Failure::Protocol, Stage::Reply, reply);
    namedcaps(text);
    Outcome answer;
    answer.reply = std::move(reply);
    return answer;
}

Outcome ImapClient::untagged(std::string& text, long long& literal, Want* want) {
    std::string word = statusword(text.data(), text.size());
    if (word == "BYE") {
        // The server hangs up: what it said is why.
        if (loggingout) return literal < 0 ? Outcome() : skipliteral(literal);
        Reply reply;
        reply.status = Reply::Negative;
        reply.text = text + "\r\n";
        return conn.failed(Failure::Network, Stage::Reply, reply);
    }
    if (word == "CAPABILITY") {
        capabilities(text.size() > 13 ? text.substr(13) : std::string());
    } else if (word == "OK") {
        size_t at = text.find('[');
        unsigned long long n = 0;
        bool numbers = at != std::string::npos &&
                       (startsnocase(text, at + 1, "UIDVALIDITY ") || startsnocase(text, at + 1, "UIDNEXT "));
        if (numbers && want && want->kind == Want::Select) {
            size_t pos = at + 1;
            if (startsnocase(text, pos, "UIDVALIDITY ")) {
                pos += 12;
                if (readnumber(text, pos, UINT32_MAX, n)) folder.uidvalidity = static_cast<uint32_t>(n);
            } else {
                pos += 8;
                if (readnumber(text, pos, UINT32_MAX, n)) folder.uidnext = static_cast<uint32_t>(n);
            }
        } else if (numbers) {
            strays++;
        }
        namedcaps(text);
    } else if (word == "STATUS") {
        status(text);
    } else if (word == "LIST" && want && want->kind == Want::Folders) {
        listed(text, *want->state);
    } else if (word == "LIST") {
        // * LIST (\Noselect) "/" ""
        size_t close = text.find(')');
        if (close != std::string::npos && close + 4 < text.size() && text[close + 2] == '"') {
            char d = text[close + 3];
            if (d == '\\' && close + 5 < text.size()) d = text[close + 4];
            if (d != '"') delimiter = d;
        }
    } else {
        // "* <n> EXISTS", "* <n> FETCH (...)"
        size_t pos = 2;
        unsigned long long n = 0;
        if (readnumber(text, pos, UINT32_MAX, n) && pos < text.size() && text[pos] == ' ') {
            std::string what = statusword(text.data() + pos - 1, text.size() - pos + 1);
            if (what == "EXISTS" && want && want->kind == Want::Select) folder.messages = static_cast<long>(n);
            else if (what == "EXISTS") strays++;
            if (what == "FETCH" && !want) strays++;
            if (what == "FETCH") return fetched(text, literal, want);
        }
    }
    while (literal >= 0) {
        Outcome read = skipliteral(literal);
        if (read.done()) read = readline(text, literal);
        if (!read.done()) return read;
    }
    return Outcome();
}

// "* n FETCH (UID 5 RFC822.SIZE 120 BODY[] {120}" ... ")": the items the
// command wants are taken, any others (FLAGS sent unasked) passed over.
Outcome ImapClient::fetched(std::string& text, long long& literal, Want* want) {
    size_t pos = text.find('(');
    if (pos == std::string::npos) return invalid(text);
    pos++;
    Message message{0, -1};
    MailList::Id id{0, 0};
    bool hasuid = false;
    bool hassize = false;
    Spooled kept{0, 0, 0};
    bool haskept = false;
    int depth = 0;  // inside a list value
    for (;;) {
        while (pos < text.size() && text[pos] == ' ') pos++;
        if (pos >= text.size()) {
            if (literal < 0) break;
            return invalid(text);
        }
        if (depth == 0 && text[pos] == ')') break;
        // An item's name, with its section: BODY[HEADER.FIELDS (MESSAGE-ID)]
        size_t start = pos;
        if (depth == 0) {
            int brackets = 0;
            while (pos < text.size() && (brackets > 0 || (text[pos] != ' ' && text[pos] != ')'))) {
                if (text[pos] == '[') brackets++;
                if (text[pos] == ']') brackets--;
                pos++;
            }
        }
        std::string name = depth == 0 ? text.substr(start, pos - start) : "";
        while (pos < text.size() && text[pos] == ' ') pos++;
        // Its value.
        if (literal >= 0 && pos == text.rfind('{')) {
            bool isbody = depth == 0 && strcasecmp(name.c_str(), "BODY[]") == 0;
            bool isid = depth == 0 && startsnocase(name, 0, "BODY[HEADER.FIELDS");
            size_t k = isbody && want && want->kind == Want::Body ? bodyplace(hasuid, message.uid, want) : got.size();
            Outcome read;
            if (k < got.size() && !got[k]) {
                read = body(literal, k, want);
            } else if (isbody && want && want->kind == Want::List && ahead.spool >= 0) {
                read = spoolbody(literal, kept, haskept);
                if (read.done() && events.stopping()) {
                    halted = true;
                    quits = false;
                    read = conn.failed(Failure::Local, Stage::Own);
                }
            } else if (isid) {
                std::string header;
                read = readliteral(literal, header, 4096);
                size_t colon = header.find(':');
                if (read.done() && colon != std::string::npos) {
                    std::string found = messageid(&header[colon + 1], header.size() - colon - 1);
                    id = {static_cast<uint32_t>(idtext.size()), static_cast<uint32_t>(found.size())};
                    idtext += found;
                }
            } else {
                read = skipliteral(literal);
            }
            if (read.done()) read = readline(text, literal);
            if (!read.done()) return read;
            pos = 0;
            continue;
        }
        if (pos < text.size() && text[pos] == '(') {
            depth++;
            pos++;
            continue;
        }
        if (pos < text.size() && text[pos] == '"') {
            for (pos++; pos < text.size() && text[pos] != '"'; pos++)
                if (text[pos] == '\\') pos++;
            pos++;
        } else {
            size_t value = pos;
            while (pos < text.size() && text[pos] != ' ' && text[pos] != ')' && text[pos] != '(') pos++;
            unsigned long long n = 0;
            size_t at = value;
            if (depth == 0 && strcasecmp(name.c_str(), "UID") == 0 && readnumber(text, at, UINT32_MAX, n)) {
                message.uid = static_cast<uint32_t>(n);
                hasuid = true;
            } else if (depth == 0 && strcasecmp(name.c_str(), "RFC822.SIZE") == 0 &&
                       readnumber(text, at, INT32_MAX, n)) {
                message.size = static_cast<int32_t>(n);
                hassize = true;
            }
        }
        while (depth > 0 && pos < text.size() && text[pos] == ')') {
            depth--;
            pos++;
        }
    }
    if (want && want->uids && hasuid) want->uids->push_back(message.uid);
    if (want && want->kind == Want::List && hasuid && hassize && message.uid >= from) {
        if (messages.size() >= maxmessages) return invalid("* FETCH (more messages than a folder holds)");
        messages.push_back(message);
        if (want->ids) messageids.push_back(id);
        if (haskept) {
            kept.uid = message.uid;
            spooled.push_back(kept);
        }
    }
    return Outcome();
}

// A body that came with the listing, into the spool; kept is false where it
// could not be kept there (it was read all the same, and the retrieve asks
// for it again).
Outcome ImapClient::spoolbody(long long size, Spooled& at, bool& kept) {
    at.offset = spoolend;
    at.length = static_cast<uint32_t>(std::min<long long>(size, UINT32_MAX));
    bool keeps = !spoolfailed && size <= UINT32_MAX;
    BodyEnd end = ::readliteral(conn.sock, static_cast<uint64_t>(size), [&](const char* text, size_t len, bool) {
        while (keeps && len > 0) {
            ssize_t n = pwrite(ahead.spool, text, len, static_cast<off_t>(spoolend));
            if (n <= 0) keeps = false;
            else {
                text += n;
                len -= static_cast<size_t>(n);
                spoolend += static_cast<uint64_t>(n);
            }
        }
        return true;
    });
    if (!keeps) spoolfailed = true;
    kept = keeps;
    return end == BodyEnd::Whole ? Outcome() : lost();
}

// A body the listing brought, handed to the retrieve's sink as body
// hands one from the connection. Refused by the sink, it fails at Text;
// a spool that cannot be read, at Own.
Outcome ImapClient::unspool(const Spooled& at, size_t k, Want* want) {
    MessageText text(conn.sock, ahead.spool, at.offset, at.length);
    if (!give(k, text, *want->sink))
        return conn.failed(Failure::Local, text.end == BodyEnd::Lost ? Stage::Own : Stage::Text);
    // Its room is given back as it goes: the spool never holds more than
    // the packet file is still to take.
    fallocate(ahead.spool, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(at.offset),
              static_cast<off_t>(at.length));
    return halted ? conn.failed(Failure::Local, Stage::Own) : Outcome();
}

// Each body is announced to the sink as it comes, a stop asked for
// meanwhile taken after it; true once the sink took it whole.
bool ImapClient::give(size_t k, MessageText& text, MessageSink& sink) {
    if (!asked[k] && !sink.next(k)) halted = true;
    asked[k] = true;
    got[k] = sink.take(k, text) && text.end == BodyEnd::Whole;
    return got[k];
}

// The place in the retrieve of a body that came, by its UID: got.size()
// for one not asked for. One that names no UID before its text is taken
// for the first still to come.
size_t ImapClient::bodyplace(bool hasuid, uint32_t uid, const Want* want) const {
    const std::vector<uint32_t>& places = *want->places;
    auto wanted = [this, &places](size_t k) { return k < places.size() && messages[places[k]].size > 0; };
    if (!hasuid) {
        size_t k = 0;
        while (k < places.size() && (got[k] || !wanted(k))) k++;
        return k;
    }
    auto at = std::lower_bound(places.begin(), places.end(), uid,
                               [this](uint32_t place, uint32_t u) { return messages[place].uid < u; });
    size_t k = static_cast<size_t>(at - places.begin());
    return wanted(k) && messages[*at].uid == uid ? k : got.size();
}

// A body the retrieve waits for, read by its sink straight from the
// literal. A text cut off (Network) or refused by the sink (Local) fails
// at Text.
Outcome ImapClient::body(long long size, size_t k, Want* want) {
    MessageText text(conn.sock, static_cast<uint64_t>(size));
    bool whole = give(k, text, *want->sink);
    if (text.end == BodyEnd::Lost) return conn.failed(Failure::Network, Stage::Text);
    if (whole) return halted ? conn.failed(Failure::Local, Stage::Own) : Outcome();
    quits = false;
    return conn.failed(Failure::Local, Stage::Text);
}

bool ImapClient::namedcaps(const std::string& text) {
    size_t at = text.find("[CAPABILITY ");
    if (at == std::string::npos) return false;
    capabilities(text.substr(at + 12, text.find(']', at) - at - 12));
    return true;
}

void ImapClient::capabilities(const std::string& list) {
    caps.clear();
    messagelimit = 0;
    std::string auth = "AUTH";
    size_t at = 0;
    while (at < list.size()) {
        size_t end = list.find(' ', at);
        if (end == std::string::npos) end = list.size();
        std::string atom = list.substr(at, end - at);
        unsigned long long most = 0;
        size_t digits = 13;
        if (startsnocase(atom, 0, "AUTH=")) auth += " " + atom.substr(5);
        else if (startsnocase(atom, 0, "MESSAGELIMIT=") && readnumber(atom, digits, UINT32_MAX, most) && most > 0)
            messagelimit = static_cast<size_t>(most);
        if (!atom.empty() && !startsnocase(atom, 0, "AUTH=")) caps.add(atom);
        at = end + 1;
    }
    caps.add(auth);
}

bool ImapClient::open(const std::string& secret) {
    events.step(SourceStep::Connecting);
    Outcome opened = conn.open();
    if (opened.done()) opened = conn.greet();
    if (!opened.done()) return fail(SourceFault::Step, opened);
    conn.sock.settimeout(kReplyTimeout);
    quits = true;
    // The last answer of the opening, which may name the capabilities
    // after it.
    Reply last = opened.reply;
    bool preauth = statusword(last.text.data(), last.text.size()) == "PREAUTH";
    namedcaps(last.text);
    if (conn.server.tls == TLSSTART) {
        events.step(SourceStep::StartingTls);
        Outcome secured = conn.starttls("S STARTTLS\r\n");
        quits = secured.done();
        if (!quits) return fail(SourceFault::Step, secured);
        last = secured.reply;
        caps.clear();
    }
    if (!caps.has("IMAP4rev1") && !caps.has("IMAP4")) {
        Outcome capable = command("CAPABILITY");
        if (!capable.done()) return false;
        last = capable.reply;
    }
    // The delimiter between levels where a folder has levels: with LOGIN,
    // else with the capabilities after the login unless its answer named
    // them, else with COMPRESS. Where nothing goes that it may go with, it
    // is guessed and asked in the first selection's flight.
    std::vector<std::string> names = folders();
    bool levels = std::any_of(names.begin(), names.end(),
                              [](const std::string& name) { return name.find('/') != std::string::npos; });
    std::string b = levels ? tag() : "";
    std::string delimiters = levels ? b + " LIST \"\" \"\"\r\n" : "";
    if (!preauth && !login(secret, last, delimiters)) return false;
    bool told = namedcaps(last.text);
    guessing = told && !delimiters.empty() && !(conn.compresses() && caps.has("COMPRESS=DEFLATE"));
    if (guessing) delimiters.clear();
    if (!told) {
        std::string a = tag();
        Outcome asked = conn.send(a + " CAPABILITY\r\n" + delimiters);
        delimiters.clear();
        if (asked.done()) asked = await(a, nullptr);
        if (!asked.done()) return fail(SourceFault::Step, asked);
    }
    // A LIST that went with LOGIN or CAPABILITY is answered after them.
    if (levels && !guessing && delimiters.empty()) {
        Outcome asked = await(b, nullptr);
        if (!asked.done()) return fail(SourceFault::Step, asked);
    }
    return compress(delimiters, b);
}

// COMPRESS DEFLATE, once the capabilities after the login offer it (RFC
// 4978), last in its flight: nothing may follow it before its answer. A
// refusal leaves the connection as it is.
bool ImapClient::compress(const std::string& before, const std::string& beforetag) {
    bool offered = conn.compresses() && caps.has("COMPRESS=DEFLATE");
    if (!offered && before.empty()) return true;
    if (offered) events.step(SourceStep::Compressing);
    std::string t = offered ? tag() : "";
    Outcome answer = conn.send(before + (offered ? t + " COMPRESS DEFLATE\r\n" : ""));
    if (answer.done() && !before.empty()) answer = await(beforetag, nullptr);
    if (!answer.done()) return fail(SourceFault::Step, answer);
    if (!offered) return true;
    answer = await(t, nullptr);
    if (!answer.done()) return refusal(answer) || fail(SourceFault::Step, answer);
    // The server compresses from now on: without zlib nothing it says can
    // be read.
    return conn.sock.Deflate() || fail(SourceFault::Step, conn.failed(Failure::Local, Stage::Own));
}

bool ImapClient::refusal(const Outcome& answer) const {
    return answer.reply.refused() && answer.stage == Stage::Reply && !conn.sock.Broken();
}

// A string of the LOGIN command: quoted, or a literal once the server
// asked for it; line holds what goes next.
Outcome ImapClient::sendstring(std::string& line, const std::string& text) {
    std::string quoted = imapquoted(text);
    if (!quoted.empty()) {
        line += quoted;
        return Outcome();
    }
    bool plus = caps.has("LITERAL+");
    line += "{" + std::to_string(text.size()) + (plus ? "+}\r\n" : "}\r\n");
    if (!plus) {
        Outcome sent = conn.send(line);
        if (!sent.done()) return sent;
        line.clear();
        Outcome go = conn.read();
        const Reply& reply = go.reply;
        if (reply.text.empty() || reply.text[0] != '+')
            return conn.failed(reply.refused() ? Failure::Login : reply.ok() ? Failure::Protocol : go.failure,
                               Stage::Reply, reply);
    }
    line += text;
    return Outcome();
}

bool ImapClient::login(const std::string& secret, Reply& answer, std::string& after) {
    AuthMode mode = conn.server.auth;
    if (mode != AuthMode::Auto || caps.offers("AUTH", "PLAIN")) return sasl(secret, answer);
    if (conn.maysendsecret(false) == SecretRule::No)
        return fail(SourceFault::SecretHeld, conn.failed(Failure::Login, Stage::Secret));
    if (caps.has("LOGINDISABLED")) return fail(SourceFault::PlainRefused, conn.failed(Failure::Login, Stage::Secret));
    events.step(SourceStep::SendingLogin);
    std::string line = "L LOGIN ";
    Outcome sent = sendstring(line, conn.server.user);
    line += " ";
    if (sent.done()) sent = sendstring(line, secret);
    if (!sent.done()) return fail(SourceFault::Step, sent);
    Outcome reply = conn.ask(line + "\r\n" + after);
    after.clear();
    if (reply.done()) {
        answer = reply.reply;
        return true;
    }
    // Not the login's fault where the server is busy.
    if (reply.reply.refused())
        return fail(SourceFault::Step, conn.failed(wire.busy(reply.reply, false) ? Failure::Network : Failure::Login,
                                                   Stage::Reply, reply.reply));
    return fail(SourceFault::Step, reply);
}

bool ImapClient::sasl(const std::string& secret, Reply& answer) {
    SaslLogin login;
    Step step = saslsignin(conn, caps, "AUTH", secret, caps.has("SASL-IR") ? imapauthir : imapauthwait, login,
                           [this](const SaslLogin& chosen) { events.loggingin(chosen); });
    if (step == Step::Next) {
        answer = login.outcome.reply;
        return true;
    }
    quits = step == Step::Quit;
    return fail(SourceFault::Login, saslfailure(conn, login), &login);
}

void ImapClient::foresee(const ListAsk& ask) {
    guess = ask.messageids || !ask.known.empty() ? 0 : ask.from;
    guessspool = ask.spool;
}

bool ImapClient::survey(const std::vector<std::string>& names, const std::vector<ListAsk>& asks) {
    surveying = names;
    // Selected ahead only where a listing's range is not bounded.
    bool ahead = messagelimit == 0 && asks.size() == names.size() && names.size() <= maxsurveyed / 2 &&
                 std::all_of(asks.begin(), asks.end(), [](const ListAsk& ask) {
                     return ask.spool >= 0 && ask.from > 0 && !ask.messageids && ask.known.empty();
                 });
    aheadasks = ahead ? asks : std::vector<ListAsk>();
    return ahead;
}

bool ImapClient::select(const std::string& name, FolderState& state) {
    folder = Selected();
    messages.clear();
    messageids.clear();
    state = FolderState();
    Want want;
    want.kind = Want::Select;
    std::string box = imapquoted(imapmailbox(name, delimiter));
    // What went ahead for the folder before and was not needed.
    Ahead before = ahead;
    std::vector<std::string> surveyed = surveying;
    std::vector<ListAsk> asks = aheadasks;
    std::string t, check;
    bool adopted = !outofturn && !later.empty() && later.front().box == box;
    uint32_t foreseen = guess;
    if (adopted) {
        // Selected ahead: its answers come next.
        t = later.front().selecttag;
        follow(later.front().ahead);
        later.pop_front();
        guess = 0;
    } else {
        current.clear();
        Outcome passed = reclaim();
        if (!passed.done()) return fail(SourceFault::Step, passed);
        t = tag();
        std::string flight = t + selecting(box) + sendahead();
        check = guessing ? tag() : "";
        if (guessing) flight += check + " LIST \"\" \"\"\r\n";
        if (!aheadasks.empty() && ahead.spool >= 0) flight += selectahead();
        // The folders surveyed go last, so that a server that answers them
        // out of turn cannot put the selection's answers before the one
        // awaited: their answers are taken wherever they come, their tags
        // once a folder's state is looked up. A name that needs a literal
        // is selected in its turn instead.
        for (const std::string& other : surveying) {
            std::string wire = imapmailbox(other, delimiter);
            std::string quoted = imapquoted(wire);
            if (quoted.empty() || statustags.size() == maxsurveyed) continue;
            statustags.push_back(tag());
            statuses.push_back({wire});
            flight += statustags.back() + " STATUS " + quoted + " (MESSAGES UIDNEXT UIDVALIDITY)\r\n";
        }
        surveying.clear();
        aheadasks.clear();
        Outcome sent = conn.send(flight);
        if (!sent.done()) return fail(SourceFault::Step, sent);
    }
    if (!settle(before.listtag)) return false;
    Outcome answer = await(t, &want);
    if (adopted && answer.done() && folder.uidvalidity == 0) {
        // What it said was read out of turn, under another wait: it is
        // selected anew.
        if (!settle(ahead.listtag)) return false;
        guess = foreseen;
        return select(name, state);
    }
    current = answer.done() ? box : "";
    if (guessing && (answer.done() || refusal(answer))) {
        // The listing is read first, for its FETCHes: one read while the
        // LIST is awaited would be passed over.
        guessing = false;
        char guessed = delimiter;
        if (!ahead.listtag.empty()) readahead();
        if (ahead.read && halted) return false;
        strays = 0;
        Outcome told = await(check, nullptr);
        if (!told.done() && !refusal(told)) return fail(SourceFault::Step, told);
        // A folder selected ahead answered before the LIST: what it said
        // is gone, and it is selected again in its turn.
        outofturn = strays > 0;
        // Guessed wrong: what came was of another name, and goes; the
        // survey goes again, by the right names.
        if (imapmailbox(name, guessed) != imapmailbox(name, delimiter)) {
            current.clear();
            Outcome passed = reclaim();
            if (!passed.done()) return fail(SourceFault::Step, passed);
            for (std::string& s : statustags)
                if (!settle(s)) return false;
            statustags.clear();
            statuses.clear();
            surveying = surveyed;
            aheadasks = asks;
            guess = ahead.from;
            messages.clear();
            return select(name, state);
        }
    }
    if (!answer.done()) {
        if (!refusal(answer)) return fail(SourceFault::Step, answer);
        state.missing = true;
        state.reply = answer.reply;
        // The folders it has, for the line that says so; a LIST refused
        // names none.
        Want folders;
        folders.kind = Want::Folders;
        folders.state = &state;
        Outcome sent = reclaim();
        std::string l = tag();
        if (sent.done()) sent = conn.send(l + " LIST \"\" \"*\"\r\n");
        Outcome listing = sent.done() ? await(l, &folders) : sent;
        if (!listing.done() && !refusal(listing)) return fail(SourceFault::Step, listing);
    }
    state.messages = folder.messages;
    state.validity = folder.uidvalidity;
    state.next = folder.uidnext;
    return true;
}

// * STATUS "Lists.dev" (MESSAGES 2 UIDNEXT 9 UIDVALIDITY 5), kept for the
// folder surveyed of that name (INBOX in any case). A name sent as a
// literal is passed over.
void ImapClient::status(const std::string& text) {
    size_t pos = text.find(' ', 2);
    if (pos == std::string::npos) return;
    std::string name = mailboxname(text, ++pos);
    auto same = [&name](const Status& s) {
        return s.box == name || (strcasecmp(s.box.c_str(), "INBOX") == 0 && strcasecmp(name.c_str(), "INBOX") == 0);
    };
    auto found = std::find_if(statuses.begin(), statuses.end(), same);
    pos = text.find('(', pos);
    if (found == statuses.end() || pos == std::string::npos) return;
    Selected told{-1, 0, 0};
    pos++;
    while (pos < text.size() && text[pos] != ')') {
        size_t space = text.find(' ', pos);
        if (space == std::string::npos) return;
        std::string item = text.substr(pos, space - pos);
        pos = space + 1;
        unsigned long long n = 0;
        if (!readnumber(text, pos, UINT32_MAX, n)) return;
        if (strcasecmp(item.c_str(), "MESSAGES") == 0) told.messages = static_cast<long>(n);
        else if (strcasecmp(item.c_str(), "UIDNEXT") == 0) told.uidnext = static_cast<uint32_t>(n);
        else if (strcasecmp(item.c_str(), "UIDVALIDITY") == 0) told.uidvalidity = static_cast<uint32_t>(n);
        while (pos < text.size() && text[pos] == ' ') pos++;
    }
    found->told = told;
}

bool ImapClient::surveyed(const std::string& folder, FolderState& state) {
    // A folder whose STATUS is refused is selected in its turn; a failed
    // connection is for its selection to tell.
    for (const std::string& s : statustags) {
        Outcome answer = await(s, nullptr);
        if (!answer.done() && !refusal(answer)) statuses.clear();
    }
    statustags.clear();
    std::string box = imapmailbox(folder, delimiter);
    auto found = std::find_if(statuses.begin(), statuses.end(), [&box](const Status& s) { return s.box == box; });
    if (found == statuses.end()) return false;
    const Selected& told = found->told;
    if (told.messages < 0 || told.uidvalidity == 0 || told.uidnext == 0) return false;
    state = FolderState();
    state.messages = told.messages;
    state.validity = told.uidvalidity;
    state.next = told.uidnext;
    return true;
}

// The listing foreseen, to go with the selection: only where no limit on
// the messages a command names makes "n:*" too many. Bodies asked for in
// a command of their own would wait for its answer, since a server may
// answer FETCHes sent together at once, interleaved (dovecot does).
std::string ImapClient::sendahead() {
    follow(Ahead());
    uint32_t from = guess;
    guess = 0;
    if (from == 0 || messagelimit > 0) return "";
    ahead.from = from;
    ahead.listtag = tag();
    ahead.spool = guessspool;
    // With a spool the bodies come in the listing's answer: a server may
    // interleave the answers of FETCHes sent together, but not the items
    // of one message. Its range ends at the highest UID there can be, not
    // at "*", which names the last message also where it is older than
    // from: its body would come for nothing.
    if (ahead.spool < 0) return ahead.listtag + " UID FETCH " + std::to_string(from) + ":*" + listitems(false) + "\r\n";
    return ahead.listtag + withbodies(from);
}

// The listing that goes with this selection; the spool starts empty.
void ImapClient::follow(const Ahead& next) {
    ahead = next;
    spooled.clear();
    spoolend = 0;
    spoolfailed = false;
}

// EXAMINE where nothing changes on the server, else SELECT.
std::string ImapClient::selecting(const std::string& box) const {
    return (readonly ? " EXAMINE " : " SELECT ") + box + "\r\n";
}

std::string ImapClient::withbodies(uint32_t from) {
    return " UID FETCH " + std::to_string(from) + ":4294967295 (UID RFC822.SIZE BODY.PEEK[])\r\n";
}

// The folders surveyed, each selected with its listing and bodies, after
// the first's: the server answers each before it selects the next.
std::string ImapClient::selectahead() {
    std::string flight;
    for (size_t i = 0; i < surveying.size(); i++) {
        Later next;
        next.box = imapquoted(imapmailbox(surveying[i], delimiter));
        next.selecttag = tag();
        next.ahead.from = aheadasks[i].from;
        next.ahead.listtag = tag();
        next.ahead.spool = aheadasks[i].spool;
        flight += next.selecttag + selecting(next.box) + next.ahead.listtag + withbodies(next.ahead.from);
        later.push_back(std::move(next));
    }
    surveying.clear();
    return flight;
}

// Before a command for the folder selected in its turn while folders
// selected ahead are still to answer: their answers are passed over (each
// is selected again in its turn), and the folder selected again. Its
// numbering must be the one its listing was read under.
Outcome ImapClient::reclaim() {
    if (later.empty()) return Outcome();
    std::deque<Later> passed = std::move(later);
    later.clear();
    outofturn = false;
    for (Later& l : passed)
        for (const std::string* t : {&l.selecttag, &l.ahead.listtag}) {
            Outcome answer = await(*t, nullptr);
            if (!answer.done() && !refusal(answer)) return answer;
        }
    if (current.empty()) return Outcome();
    Selected kept = folder;
    Want want;
    want.kind = Want::Select;
    std::string t = tag();
    Outcome answer = conn.send(t + selecting(current));
    if (answer.done()) answer = await(t, &want);
    uint32_t now = folder.uidvalidity;
    folder = kept;
    if (!answer.done() || now == kept.uidvalidity) return answer;
    // Renumbered meanwhile: the next run sees it so from the start.
    Reply reply;
    reply.status = Reply::Negative;
    reply.text = "* NO [UIDVALIDITY " + std::to_string(now) + "] " + current + " was renumbered during the run\r\n";
    return conn.failed(Failure::Network, Stage::Reply, reply);
}

const char* ImapClient::listitems(bool ids) {
    return ids ? " (UID RFC822.SIZE BODY.PEEK[HEADER.FIELDS (MESSAGE-ID)])" : " (UID RFC822.SIZE)";
}

// The answers of commands sent ahead that nothing needs, passed over: what
// they fail is the network's only.
bool ImapClient::settle(std::string& t) {
    if (t.empty()) return true;
    Outcome answer = await(t, nullptr);
    t.clear();
    return answer.done() || refusal(answer) || fail(SourceFault::Step, answer);
}

// Sends the commands (tagged here, in the order given), as many in flight
// as Pipeline lets go, and reads their answers for want: the first that
// fails is returned, not told.
Outcome ImapClient::flight(const std::vector<std::string>& texts, Want* want) {
    if (!texts.empty()) {
        Outcome passed = reclaim();
        if (!passed.done()) return passed;
    }
    std::vector<std::string> tags;
    Pipeline commands(conn.sock, pipelinewindow, [this, &texts, &tags](std::string& out) {
        if (tags.size() == texts.size()) return false;
        tags.push_back(tag());
        out += tags.back() + " " + texts[tags.size() - 1] + "\r\n";
        return true;
    });
    for (size_t i = 0; i < texts.size(); i++) {
        if (!commands.fill()) return conn.sendfailed();
        Outcome answer = await(tags[i], want);
        commands.answered();
        if (!answer.done()) return answer;
    }
    return Outcome();
}

// The listing's commands: "from:*", or under a limit ranges of at most that
// many UIDs (or, where the UIDs lie far apart, message numbers).
std::vector<std::string> ImapClient::listing(uint32_t start, bool ids) const {
    std::string items = listitems(ids);
    if (messagelimit == 0) return {"UID FETCH " + std::to_string(start) + ":*" + items};
    std::vector<std::string> texts;
    uint64_t most = messagelimit;
    uint64_t count = static_cast<uint64_t>(std::max(folder.messages, 0L));
    uint64_t next = folder.uidnext;
    if (next > start && (next - start + most - 1) / most <= (count + most - 1) / most + 8) {
        for (uint64_t at = start; at < next; at += most)
            texts.push_back("UID FETCH " + std::to_string(at) + ":" + std::to_string(std::min(at + most, next) - 1) +
                            items);
        return texts;
    }
    for (uint64_t at = 1; at <= count; at += most)
        texts.push_back("FETCH " + std::to_string(at) + ":" + std::to_string(std::min(at + most - 1, count)) + items);
    return texts;
}

// * LIST (\HasNoChildren) "/" "Lists/dev": the name of a folder that can
// be selected, with "/" between its levels. A name sent as a literal is
// passed over.
void ImapClient::listed(const std::string& text, FolderState& state) const {
    size_t close = text.find(')');
    if (close == std::string::npos) return;
    std::string flags = text.substr(0, close);
    for (char& c : flags) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (flags.find("\\noselect") != std::string::npos || flags.find("\\nonexistent") != std::string::npos) return;
    size_t at = text.find(' ', close);
    if (at != std::string::npos) at = text.find(' ', at + 1);
    if (at == std::string::npos || at + 1 >= text.size()) return;
    std::string name = mailboxname(text, ++at);
    if (name.empty()) return;
    for (char& c : name)
        if (c == delimiter) c = '/';
    state.othercount++;
    if (state.others.size() < FolderState::kShownFolders) state.others.push_back(name);
}

// Where the delimiter was guessed, select reads the listing before the
// LIST's answer.
void ImapClient::readahead() {
    messages.clear();
    messageids.clear();
    from = ahead.from;
    halted = false;
    // As many as can be new, within reason: no room is doubled for a large
    // folder.
    long most = std::min<long>(folder.messages, folder.uidnext > from ? folder.uidnext - from : folder.messages);
    if (ahead.spool >= 0) spooled.reserve(static_cast<size_t>(std::clamp(most, 0L, 65536L)));
    std::vector<uint32_t> answered;
    Want want;
    want.kind = Want::List;
    want.uids = &answered;
    ahead.answer = await(ahead.listtag, &want);
    ahead.listtag.clear();
    ahead.read = true;
}

bool ImapClient::list(const ListAsk& ask, MailList& list) {
    // The checks and the listing go in one flight, which a server may answer
    // interleaved (dovecot does): every UID answered counts for the checks,
    // every one with its size for the listing.
    std::vector<uint32_t> answered;
    std::vector<std::string> checks;
    for (const std::string& set : uidsets(ask.known, messagelimit)) checks.push_back("UID FETCH " + set + " (UID)");
    Want want;
    want.kind = Want::List;
    want.ids = ask.messageids;
    want.uids = &answered;
    bool foreseen = (ahead.read || !ahead.listtag.empty()) && ask.from == ahead.from && !ask.messageids &&
                    checks.empty();
    if (ask.from != 0) events.step(SourceStep::Counting);
    if (foreseen) {
        if (!ahead.read) readahead();
        ahead.read = false;
        if (halted) return false;
        // A server that refuses the bodies' range is asked the listing
        // alone.
        if (!ahead.answer.done() && refusal(ahead.answer) && ahead.spool >= 0) {
            foreseen = false;
            messages.clear();
            spooled.clear();
        } else if (!ahead.answer.done()) {
            return fail(SourceFault::Step, ahead.answer);
        }
    } else {
        ahead.read = false;
        messages.clear();
        messageids.clear();
        spooled.clear();
        if (!settle(ahead.listtag)) return false;
    }
    from = ask.from;
    std::vector<std::string> texts = checks;
    if (ask.from != 0 && !foreseen) {
        std::vector<std::string> more = listing(ask.from, ask.messageids);
        texts.insert(texts.end(), more.begin(), more.end());
    }
    Outcome answer = flight(texts, &want);
    if (!answer.done()) return fail(SourceFault::Step, answer);
    std::sort(spooled.begin(), spooled.end(), [](const Spooled& a, const Spooled& b) { return a.uid < b.uid; });
    // A FETCH the server sends unasked may name another message.
    std::vector<uint32_t> have;
    std::vector<uint32_t> asked = ask.known;
    std::sort(asked.begin(), asked.end());
    std::sort(answered.begin(), answered.end());
    std::set_intersection(asked.begin(), asked.end(), answered.begin(), answered.end(), std::back_inserter(have));
    have.erase(std::unique(have.begin(), have.end()), have.end());
    listed(ask.messageids, have, list);
    return true;
}

// The messages listed (sorted, each once) and those known that the folder
// still has, its size not asked for, into the list.
void ImapClient::listed(bool ids, const std::vector<uint32_t>& have, MailList& list) {
    std::vector<uint32_t> order(messages.size());
    for (uint32_t i = 0; i < order.size(); i++) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [this](uint32_t a, uint32_t b) { return messages[a].uid < messages[b].uid; });
    std::vector<Message> sorted;
    std::vector<MailList::Id> sortedids;
    sorted.reserve(order.size() + have.size());
    for (uint32_t i : order) {
        if (!sorted.empty() && sorted.back().uid == messages[i].uid) continue;
        sorted.push_back(messages[i]);
        if (ids) sortedids.push_back(messageids[i]);
    }
    size_t listed = sorted.size();
    for (uint32_t uid : have) {
        auto at = std::lower_bound(sorted.begin(), sorted.begin() + static_cast<long>(listed), uid,
                                   [](const Message& m, uint32_t u) { return m.uid < u; });
        if (at != sorted.begin() + static_cast<long>(listed) && at->uid == uid) continue;
        sorted.push_back({uid, 0});
        if (ids) sortedids.push_back({0, 0});
    }
    // Known ones after the listed ones: all in UID order again.
    order.resize(sorted.size());
    for (uint32_t i = 0; i < order.size(); i++) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&sorted](uint32_t a, uint32_t b) { return sorted[a].uid < sorted[b].uid; });
    messages.clear();
    messages.reserve(sorted.size());
    list = MailList();
    list.hasids = true;
    list.messages.reserve(sorted.size());
    list.ids.reserve(sorted.size());
    for (uint32_t i : order) {
        const Message& m = sorted[i];
        messages.push_back(m);
        list.messages.push_back({m.size, static_cast<uint32_t>(list.ids.size())});
        list.ids.push_back(list.add(std::to_string(m.uid)));
        if (ids)
            list.messageids.push_back(
                list.add(std::string_view(idtext).substr(sortedids[i].offset, sortedids[i].length)));
    }
    messageids.clear();
    idtext.clear();
}

bool ImapClient::retrieve(const std::vector<uint32_t>& places, MessageSink& sink, bool) {
    got.assign(places.size(), false);
    asked.assign(places.size(), false);
    halted = false;
    Want want;
    want.kind = Want::Body;
    want.sink = &sink;
    want.places = &places;
    std::vector<uint32_t> uids;
    for (size_t k = 0; k < places.size(); k++) {
        const Message& m = messages[places[k]];
        if (m.size <= 0) continue;
        auto at = std::lower_bound(spooled.begin(), spooled.end(), m.uid,
                                   [](const Spooled& s, uint32_t uid) { return s.uid < uid; });
        if (at == spooled.end() || at->uid != m.uid) {
            uids.push_back(m.uid);
            continue;
        }
        Outcome answer = unspool(*at, k, &want);
        if (answer.done()) continue;
        if (halted) return false;
        return fail(answer.stage == Stage::Text ? SourceFault::Sink : SourceFault::LostMessage, answer);
    }
    std::vector<std::string> texts;
    for (const std::string& set : uidsets(uids, messagelimit)) texts.push_back("UID FETCH " + set + " (BODY.PEEK[])");
    Outcome answer = flight(texts, &want);
    if (answer.done()) return true;
    if (halted) return false;
    if (answer.stage == Stage::Text)
        return fail(answer.failure == Failure::Local ? SourceFault::Sink : SourceFault::LostMessage, answer);
    // A server that hangs up (BYE) refused nothing: its failure is the
    // network's.
    if (refusal(answer) && answer.failure == Failure::Refused) {
        size_t k = 0;
        while (k + 1 < places.size() && got[k]) k++;
        events.refused(k, answer.reply);
        return false;
    }
    return fail(SourceFault::Step, answer);
}

bool ImapClient::store(const MailList& list, const std::vector<uint32_t>& places, const char* flag,
                       bool thenexpunge) {
    if (!settle(ahead.listtag)) return false;
    Outcome passed = reclaim();
    if (!passed.done()) return fail(SourceFault::Step, passed);
    // The list names each message by its UID.
    std::vector<uint32_t> uids;
    for (uint32_t place : places) {
        uint32_t i = list.messages[place].id;
        std::string id(i == MailList::noid ? "" : list.id(i));
        size_t at = 0;
        unsigned long long uid = 0;
        if (readnumber(id, at, UINT32_MAX, uid) && at == id.size() && uid > 0)
            uids.push_back(static_cast<uint32_t>(uid));
    }
    // Each set's commands go out together: STORE, then UID EXPUNGE of
    // the same UIDs, never a plain EXPUNGE, which would remove what other
    // clients marked.
    for (const std::string& set : uidsets(uids, messagelimit)) {
        std::string a = tag(), b = thenexpunge ? tag() : "";
        std::string text = a + " UID STORE " + set + " +FLAGS.SILENT (" + flag + ")\r\n";
        if (thenexpunge) text += b + " UID EXPUNGE " + set + "\r\n";
        Outcome sent = conn.send(text);
        if (!sent.done()) return fail(SourceFault::Step, sent);
        Outcome stored = await(a, nullptr);
        if (!stored.done() && (!stored.reply.refused() || conn.sock.Broken())) return fail(SourceFault::Step, stored);
        if (thenexpunge) {
            Outcome expunged = await(b, nullptr);
            if (!expunged.done()) return fail(SourceFault::Step, expunged);
        }
        if (!stored.done()) return fail(SourceFault::Step, conn.failed(Failure::Refused, Stage::Reply, stored.reply));
    }
    return true;
}

bool ImapClient::markseen(const MailList& list, const std::vector<uint32_t>& places) {
    return store(list, places, "\\Seen", false);
}

bool ImapClient::remove(const MailList& list, const std::vector<uint32_t>& places) {
    events.step(SourceStep::Removing);
    return store(list, places, "\\Deleted", true);
}

// LOGOUT is not waited for: every answer the fetch needed has come, and
// nothing the server does after it is ours.
bool ImapClient::close() {
    events.step(SourceStep::SigningOff);
    Outcome sent = conn.send(tag() + " LOGOUT\r\n");
    if (!sent.done()) {
        quits = false;
        return fail(SourceFault::Step, sent);
    }
    conn.shut();
    events.step(SourceStep::SignedOff);
    return true;
}

void ImapClient::abandon() {
    // Folders selected ahead would have all their bodies read on the way:
    // the connection is only closed.
    if (quits && later.empty() && !conn.sock.Broken() && conn.sock.isopen()) {
        // The answers of commands still in flight are passed over on the
        // way to the LOGOUT's.
        loggingout = true;
        std::string t = "Z";
        if (conn.send(t + " LOGOUT\r\n").done()) {
            std::string text;
            long long literal = -1;
            for (int lines = 0; lines < 100000 && readline(text, literal).done(); lines++) {
                if (literal >= 0 && !skipliteral(literal).done()) break;
                if (text.compare(0, 2, "Z ") == 0) break;
            }
        }
    }
    if (conn.sock.isopen()) conn.shut();
}
