#include "proto/client.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/text.h"


namespace {

bool copyhost(const char* from, size_t len, std::string& host) {
    if (len == 0) return false;
    host.assign(from, len);
    return true;
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

bool Connection::fail(Failure how, Stage where) {
    // A broken connection is the network's, whatever the step.
    failure = sock.Broken() && how != Failure::Local ? Failure::Network : how;
    stage = where;
    return false;
}

bool Connection::open() {
    quitting = false;
    if (sock.Create() == -1) {
        error = errno;
        return fail(Failure::Local, Stage::Socket);
    }
    sock.settimeout(kGreetingTimeout);
    unsigned short defport = server.tls == TLSON ? protocol.tlsport : protocol.port;
    if (!splithost(server.host, defport, host, &port)) return fail(Failure::Local, Stage::Host);
    // Nobody should wait out the greeting time for a greeting that a TLS
    // port never sends.
    tls = !server.tlswritten && port == protocol.tlsport ? TLSON : server.tls;
    if (sock.Connect(host.c_str(), port) == -1) return fail(Failure::Network, Stage::Connect);
    // Commands, groups of them and texts each go out in one send already;
    // held back for an acknowledgement, a group sent right after a text
    // would wait a round trip.
    sock.SetNoDelay();
    return tls != TLSON || handshake();
}

bool Connection::handshake() {
    tlsresult = sock.StartTls(host.c_str(), cafile.c_str(), pin.c_str());
    if (tlsresult == TLS_OK) {
        if (secured) secured(*this);
        return true;
    }
    // A handshake cut off or timed out by the network is the network's
    // (the socket is broken then, see fail).
    bool settings = tlsresult == TLS_UNTRUSTED || tlsresult == TLS_BADNAME || tlsresult == TLS_PLAIN ||
                    tlsresult == TLS_NOTPINNED;
    return fail(settings ? Failure::Local : tlsresult == TLS_LOST ? Failure::Network : Failure::Protocol,
                Stage::Tls);
}

bool Connection::greet() {
    sock.StartReply();
    reply = protocol.read(sock);
    if (reply.ok()) return true;
    wantstls = expectstls(reply);
    if (wantstls) return fail(Failure::Local, Stage::Greeting);
    // POP3's -ERR and the 4xx codes of SMTP and NNTP: not now.
    bool fornow = reply.refused() && (reply.text[0] == '-' || reply.text[0] == '4');
    Failure how = reply.status == Reply::Lost || fornow ? Failure::Network
                  : reply.refused()                     ? Failure::Refused
                                                        : Failure::Protocol;
    return fail(how, Stage::Greeting);
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

bool Connection::busy() const {
    return (stage == Stage::Greeting || stage == Stage::Reply) && reply.refused() &&
           protocol.busy(reply, stage == Stage::Greeting);
}

Reply Connection::read() {
    failure = Failure::None;
    stage = Stage::None;
    // An answer read after others to commands sent together has its own
    // time, as if its command had just been sent.
    sock.StartReply();
    reply = protocol.read(sock);
    if (!reply.ok()) {
        fail(reply.status == Reply::Lost       ? Failure::Network
             : reply.status == Reply::Invalid ? Failure::Protocol
                                              : Failure::Refused,
             Stage::Reply);
    }
    return reply;
}

bool Connection::send(const std::string& text) {
    failure = Failure::None;
    stage = Stage::None;
    if (sock.Send(text.data(), static_cast<int>(text.size())) != -1) return true;
    error = errno;
    return fail(Failure::Network, Stage::Send);
}

Reply Connection::ask(const std::string& command) {
    if (!send(command)) {
        Reply lost;
        lost.error = error;
        return lost;
    }
    return read();
}

bool Connection::starttls(const char* command) {
    Reply answer = ask(command);
    if (answer.ok()) return handshake();
    if (stage == Stage::Reply) stage = Stage::StartTls;
    return false;
}

SecretRule Connection::maysendsecret(bool token) const {
    if (sock.IsSecure() || (!token && sock.IsLoopback())) return SecretRule::Yes;
    return !token && server.plainallowed ? SecretRule::Plain : SecretRule::No;
}

bool Connection::signoff() {
    if (!(quitting ? read() : ask("QUIT\r\n")).ok()) return false;
    shut();
    return true;
}

void Connection::shut() {
    if (ending) ending(*this);
    sock.Close();
}

void Connection::close(bool quit, const std::function<void()>& refused) {
    // After a time-out or a lost connection QUIT would only wait again.
    if (quit && !sock.Broken()) {
        Failure kept = failure;
        Stage where = stage;
        if (!(quitting ? read() : ask("QUIT\r\n")).ok() && refused) refused();
        failure = kept;
        stage = where;
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
