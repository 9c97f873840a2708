#include "proto/client.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "core/text.h"
#include "net/socks.h"


namespace {

bool copyhost(const char* from, size_t len, std::string& host) {
    if (len == 0) return false;
    host.assign(from, len);
    return true;
}

// The protocol whose greeting the line is, as far as its first bytes
// tell: POP3's "+OK", IMAP's "* OK", SMTP's 220, NNTP's 200 and 201.
const char* greetedlike(const std::string& text) {
    if (strncasecmp(text.c_str(), "+OK", 3) == 0) return "POP3";
    if (strncasecmp(text.c_str(), "* OK", 4) == 0 || strncasecmp(text.c_str(), "* PREAUTH", 9) == 0) return "IMAP";
    if (text.compare(0, 4, "220 ") == 0 || text.compare(0, 4, "220-") == 0) return "SMTP";
    if (text.compare(0, 4, "200 ") == 0 || text.compare(0, 4, "201 ") == 0) return "NNTP";
    return nullptr;
}

bool readport(const char* text, unsigned short* port) {
    if (*text < '0' || *text > '9') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long n = std::strtoul(text, &end, 10);
    if (*end != '\0' || errno == ERANGE || n == 0 || n > 65535) return false;
    *port = static_cast<unsigned short>(n);
    return true;
}

}  // namespace

bool splithost(const std::string& text, unsigned short defport, std::string& host, unsigned short* port) {
    const char* setting = text.c_str();
    *port = defport;
    if (setting[0] == '[') {
        const char* close = std::strchr(setting, ']');
        if (!close || !copyhost(setting + 1, close - setting - 1, host)) return false;
        if (close[1] == '\0') return true;
        return close[1] == ':' && readport(close + 2, port);
    }
    const char* colon = std::strchr(setting, ':');
    // More than one colon: a bare IPv6 literal.
    if (!colon || std::strchr(colon + 1, ':')) return copyhost(setting, std::strlen(setting), host);
    return copyhost(setting, colon - setting, host) && readport(colon + 1, port);
}

Outcome Connection::failed(Failure how, Stage where, const Reply& reply) const {
    Outcome failure;
    failure.failure = sock.Broken() && how != Failure::Local ? Failure::Network : how;
    failure.stage = where;
    failure.reply = reply;
    return failure;
}

Outcome Connection::sendfailed() const {
    int error = errno;
    Outcome failure = failed(Failure::Network, Stage::Send);
    failure.error = error;
    return failure;
}

Outcome Connection::reached(Outcome outcome) {
    answered = answered || outcome.done() || (outcome.stage == Stage::Greeting && outcome.reply.status != Reply::Lost);
    unreachable = !answered && outcome.passing();
    return outcome;
}

Outcome Connection::open() {
    quitting = false;
    answered = unreachable = false;
    if (sock.Create() == -1) return Outcome{Failure::Local, Stage::Socket, errno};
    sock.settimeout(kGreetingTimeout);
    unsigned short defport = server.tls == TLSON ? protocol.tlsport : protocol.port;
    if (!splithost(server.host, defport, host, &port)) return failed(Failure::Local, Stage::Host);
    // Nobody should wait out the greeting time for a greeting that a TLS
    // port never sends.
    tls = !server.tlswritten && port == protocol.tlsport ? TLSON : server.tls;
    const Proxy& proxy = server.proxy;
    if (proxy.set()) {
        // A proxy that cannot be reached or refuses is the network's
        // failure, named by the proxy.
        std::string why;
        bool connected = sock.Connect(proxy.host.c_str(), proxy.port) != -1;
        if (!connected) why = std::string("cannot be reached: ") + sock.ConnectError();
        if (!connected || !socksconnect(sock, proxy, host, port, why)) {
            Outcome failure = failed(Failure::Network, Stage::Proxy);
            failure.detail = why;
            return reached(failure);
        }
    } else if (sock.Connect(host.c_str(), port) == -1) {
        Outcome failure = failed(Failure::Network, Stage::Connect);
        failure.detail = sock.ConnectError();
        return reached(failure);
    }
    // Commands, groups of them and texts each go out in one send already;
    // held back for an acknowledgement, a group sent right after a text
    // would wait a round trip.
    sock.SetNoDelay();
    return tls == TLSON ? reached(handshake()) : Outcome();
}

Outcome Connection::handshake() {
    int result = sock.StartTls(host.c_str(), cafile.c_str(), pin.c_str());
    if (result == TLS_OK) {
        if (secured) secured(*this);
        return Outcome();
    }
    // A handshake cut off or timed out by the network is the network's
    // (the socket is broken then, see failed).
    bool settings = result == TLS_UNTRUSTED || result == TLS_BADNAME || result == TLS_PLAIN ||
                    result == TLS_NOTPINNED;
    Outcome failure =
        failed(settings ? Failure::Local : result == TLS_LOST ? Failure::Network : Failure::Protocol, Stage::Tls);
    failure.tlsresult = result;
    failure.detail = result == TLS_NOTPINNED ? sock.Fingerprint() : sock.TlsError();
    return failure;
}

Outcome Connection::greet() { return reached(greeting()); }

Outcome Connection::greeting() {
    sock.StartReply();
    Reply reply = protocol.read(sock);
    // A port that runs another service: the host setting names the wrong one.
    const char* like = reply.status == Reply::Lost ? nullptr : greetedlike(reply.text);
    if (like && std::strcmp(like, protocol.name) != 0) {
        Outcome failure = failed(Failure::Local, Stage::Greeting, reply);
        failure.detail = like;
        return failure;
    }
    if (reply.ok()) {
        Outcome greeted;
        greeted.reply = std::move(reply);
        return greeted;
    }
    if (expectstls(reply)) {
        Outcome failure = failed(Failure::Local, Stage::Greeting, reply);
        failure.wantstls = true;
        return failure;
    }
    // POP3's -ERR and the 4xx codes of SMTP and NNTP: not now.
    bool fornow = reply.refused() && (reply.text[0] == '-' || reply.text[0] == '4');
    Failure how = reply.status == Reply::Lost || fornow ? Failure::Network
                  : reply.refused()                     ? Failure::Refused
                                                        : Failure::Protocol;
    Outcome failure = failed(how, Stage::Greeting, reply);
    // No greeting of ours: some other service.
    if (reply.status == Reply::Invalid && !sock.Broken()) failure.detail = protocol.name;
    return failure;
}

// A greeting that did not come to a port that is the protocol's port for
// TLS from the first byte, or a TLS record (a handshake or an alert) where
// the greeting should be: the server waits for, or asks for, TLS.
bool Connection::expectstls(const Reply& greeting) const {
    if (tls == TLSON) return false;
    if (greeting.status == Reply::Lost && greeting.error == ETIMEDOUT && port == protocol.tlsport) return true;
    const char* got = sock.line();
    return (got[0] == 0x15 || got[0] == 0x16) && got[1] == 0x03;
}

Outcome Connection::read() {
    // An answer read after others to commands sent together has its own
    // time, as if its command had just been sent.
    sock.StartReply();
    Outcome answer;
    answer.reply = protocol.read(sock);
    const Reply& reply = answer.reply;
    if (reply.ok()) return answer;
    answer.failure = reply.status == Reply::Lost      ? Failure::Network
                     : reply.status == Reply::Invalid ? Failure::Protocol
                                                      : Failure::Refused;
    if (sock.Broken()) answer.failure = Failure::Network;
    return answer;
}

Outcome Connection::send(const std::string& text) {
    if (sock.Send(text.data(), static_cast<int>(text.size())) != -1) return Outcome();
    return sendfailed();
}

Outcome Connection::ask(const std::string& command) {
    Outcome sent = send(command);
    if (!sent.done()) {
        sent.reply.error = sent.error;
        return sent;
    }
    return read();
}

Outcome Connection::starttls(const char* command) {
    Outcome answer = ask(command);
    if (!answer.done()) {
        if (answer.stage == Stage::Reply) answer.stage = Stage::StartTls;
        return answer;
    }
    Outcome shaken = handshake();
    return shaken.done() ? answer : shaken;
}

SecretRule Connection::maysendsecret(bool token) const {
    // Through a proxy the peer on this machine is the proxy, not the server.
    if (sock.IsSecure() || (!token && sock.IsLoopback() && !server.proxy.set())) return SecretRule::Yes;
    return !token && server.plainallowed ? SecretRule::Plain : SecretRule::No;
}

Outcome Connection::signoff() {
    Outcome answer = quitting ? read() : ask("QUIT\r\n");
    if (answer.done()) shut();
    return answer;
}

void Connection::shut() {
    if (ending) ending(*this);
    sock.Close();
}

void Connection::close(bool quit, const std::function<void(const Outcome&)>& refused) {
    // After a time-out or a lost connection QUIT would only wait again.
    if (quit && !sock.Broken()) {
        Outcome answer = quitting ? read() : ask("QUIT\r\n");
        if (!answer.done() && refused) refused(answer);
    }
    if (sock.isopen()) shut();
}

bool Pipeline::refill() {
    // batch holds at most the one command held back last time for room.
    size_t ready = 0;
    while (outstanding < window) {
        if (batch.size() == ready && (exhausted || !next(batch))) {
            exhausted = true;
            break;
        }
        size_t size = batch.size() - ready;
        if (outstanding > 0 && bytes + size > kWindowBytes) break;
        sizes.push_back(size);
        bytes += size;
        outstanding++;
        ready = batch.size();
    }
    refillat = outstanding / 2;
    if (ready == 0) return true;
    int sent = sock.Send(batch.data(), static_cast<int>(ready));
    batch.erase(0, ready);
    if (sent == -1) return false;
    // A server that writes its answers in parts may wait for our
    // acknowledgement of the first (Nagle): send it at once.
    sock.AckNow();
    return true;
}

int Pipeline::answered() {
    bytes -= sizes.front();
    sizes.pop_front();
    return --outstanding;
}
