#include "proto/client.h"

#include <cerrno>

#include "net/session.h"

bool Connection::fail(Failure how, Stage where) {
    // A broken connection is the network's, whatever the step.
    failure = sock.Broken() && how != Failure::Local ? Failure::Network : how;
    stage = where;
    return false;
}

bool Connection::open() {
    if (sock.Create() == -1) {
        error = errno;
        return fail(Failure::Local, Stage::Socket);
    }
    sock.ulTimeout = kOpeningTimeout;
    unsigned short defport = server.tls == TLSON ? protocol.tlsport : protocol.port;
    if (!splithost(server.host, defport, host, &port)) return fail(Failure::Local, Stage::Host);
    if (sock.Connect(host.c_str(), port) == -1) return fail(Failure::Network, Stage::Connect);
    // Commands, groups of them and texts each go out in one send already;
    // held back for an acknowledgement, a group sent right after a text
    // would wait a round trip.
    sock.SetNoDelay();
    return server.tls != TLSON || handshake();
}

bool Connection::handshake() {
    tlsresult = sock.StartTls(host.c_str(), cafile.c_str());
    if (tlsresult == TLS_OK) return true;
    Failure how = tlsresult == TLS_UNTRUSTED || tlsresult == TLS_BADNAME ? Failure::Local
                  : tlsresult == TLS_AHEAD                                ? Failure::Protocol
                                                                         : Failure::Network;
    return fail(how, Stage::Tls);
}

bool Connection::greet() {
    sock.StartReply();
    reply = protocol.read(sock);
    if (reply.ok()) {
        sock.ulTimeout = kDialogueTimeout;
        return true;
    }
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
    if (server.tls == TLSON) return false;
    if (greeting.status == Reply::Lost && greeting.error == ETIMEDOUT && port == protocol.tlsport) return true;
    const char* got = sock.pszBuf;
    return (got[0] == 0x15 || got[0] == 0x16) && got[1] == 0x03;
}

Reply Connection::read() {
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
    if (!answer.ok()) {
        stage = Stage::StartTls;
        return false;
    }
    return handshake();
}

SecretRule Connection::maysendsecret(bool token) const {
    if (sock.IsSecure() || (!token && sock.IsLoopback())) return SecretRule::Yes;
    return !token && server.plainallowed ? SecretRule::Plain : SecretRule::No;
}

bool Connection::signoff() {
    if (!ask("QUIT\r\n").ok()) return false;
    sock.Close();
    return true;
}

void Connection::close(bool quit) {
    // After a time-out or a lost connection QUIT would only wait again.
    if (quit && !sock.Broken()) {
        Failure kept = failure;
        Stage where = stage;
        ask("QUIT\r\n");
        failure = kept;
        stage = where;
    }
    if (sock.iSocket != -1) sock.Close();
}
