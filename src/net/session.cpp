// The conversation steps every phase shares.
#include "net/session.h"

#include <cerrno>
#include <cstdio>
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

Step Session::connect(const char* announce) {
    const char* setting = service.server.host.c_str();
    if (sock.Create() == -1) {
        report.syserror("Open socket");
        return Step::End;
    }
    sock.ulTimeout = kGreetingTimeout;
    report.say(announce, setting);
    report.step("+ Connecting to %s host %s...\n", service.protocol, setting);
    unsigned short defport = service.server.tls == TLSON ? service.tlsport : service.port;
    if (!splithost(service.server.host, defport, host, &port)) {
        report.say("%s host %s is not a host name, address or host:port\n", service.protocol, setting);
        return Step::End;
    }
    if (sock.Connect(host.c_str(), port) == -1) {
        passing = true;
        report.say("Cannot connect to host %s at port %d: %s\n", host.c_str(), port, sock.ConnectError());
        return Step::End;
    }
    // Commands, groups of them and texts each go out in one send already;
    // held back for an acknowledgement, a group sent right after a text
    // would wait a round trip.
    sock.SetNoDelay();
    if (service.server.tls == TLSON) return securefailed(sock.StartTls(host.c_str(), service.cafile.c_str()));
    return Step::Next;
}

Step Session::greet() {
    sock.StartReply();
    Reply reply = service.read(sock);
    if (reply.ok()) return Step::Next;
    if (!expectstls(reply)) {
        // POP3's -ERR and the 4xx codes of SMTP and NNTP: not now.
        passing = reply.refused() && (reply.text[0] == '-' || reply.text[0] == '4');
        service.complain(report, reply, false);
        return Step::End;
    }
    misconfigured = true;
    // POP3 -> POPTLS, SMTP -> SMTPTLS, NNTP -> NNTPTLS.
    std::string setting(service.protocol, std::strcmp(service.protocol, "POP3") == 0 ? 3 : 4);
    report.say("%s host %s at port %d expects TLS from the first byte: set %sTLS on\n", service.protocol,
               host.c_str(), port, setting.c_str());
    return Step::End;
}

// A greeting that did not come to a port that is the protocol's port for
// TLS from the first byte, or a TLS record (a handshake or an alert)
// where the greeting should be: the server waits for, or asks for, TLS.
bool Session::expectstls(const Reply& reply) const {
    if (service.server.tls == TLSON) return false;
    if (reply.status == Reply::Lost && reply.error == ETIMEDOUT && port == service.tlsport) return true;
    const char* got = sock.pszBuf;
    return (got[0] == 0x15 || got[0] == 0x16) && got[1] == 0x03;
}

Reply Session::read(bool quiet) {
    // An answer read after others to commands sent together has its own
    // time, as if its command had just been sent.
    sock.StartReply();
    Reply reply = service.read(sock);
    if (!reply.ok()) service.complain(report, reply, quiet);
    return reply;
}

bool Session::send(const std::string& text) {
    if (sock.Send(text.data(), static_cast<int>(text.size())) != -1) return true;
    report.syserror("Send");
    return false;
}

Reply Session::ask(const std::string& command, bool quiet) {
    if (!send(command)) {
        Reply lost;
        lost.error = errno;
        return lost;
    }
    return read(quiet);
}

Step Session::starttls(const char* command) {
    report.step("+ Starting TLS...\n");
    Reply reply = ask(command, true);
    if (reply.refused()) {
        // The server's own words, once.
        report.say("%s host refused TLS: %s", service.protocol, safetext(reply.text).c_str());
        return Step::End;
    }
    if (!reply.ok()) return Step::End;
    return securefailed(sock.StartTls(host.c_str(), service.cafile.c_str()));
}

Step Session::securefailed(int result) {
    switch (result) {
    case TLS_OK:
        return Step::Next;
    case TLS_AHEAD:
        report.say("%s host %s sent data ahead of the TLS handshake: connection refused\n", service.protocol,
                   host.c_str());
        break;
    case TLS_UNTRUSTED:
        report.say("Certificate of %s is not trusted: %s\n", host.c_str(), sock.TlsError());
        break;
    case TLS_BADNAME:
        report.say("Certificate is not valid for %s: %s\n", host.c_str(), sock.TlsError());
        break;
    default:
        report.say("TLS handshake with %s failed: %s\n", host.c_str(), sock.TlsError());
        break;
    }
    return Step::End;
}

bool Session::maysendsecret(bool token) {
    if (sock.IsSecure() || (!token && sock.IsLoopback())) return true;
    if (!token && service.server.plainallowed) {
        report.say("Warning: the %s password goes unencrypted to %s (POPTLS off)\n", service.protocol, host.c_str());
        return true;
    }
    report.say("Not sending the %s %s unencrypted to %s\n", service.protocol, token ? "token" : "password",
               host.c_str());
    return false;
}

Step Session::signoff() {
    report.step("+ Signing off...\n");
    if (!ask("QUIT\r\n").ok()) return Step::End;
    sock.Close();
    report.step("+ %s session successfully terminated\n", service.protocol);
    return Step::Next;
}

void Session::end(Step how) {
    passing = !misconfigured && (passing || sock.Broken());
    // After a time-out or a lost connection QUIT would only wait again.
    if (how == Step::Quit && !sock.Broken()) ask("QUIT\r\n");
    if (sock.iSocket != -1) sock.Close();
    report.say("%s", service.skipping);
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
    if (sent == -1) {
        if (report) report->syserror("Send");
        return false;
    }
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

std::string Capabilities::parameters(const char* name) const {
    size_t nlen = std::strlen(name);
    for (const std::string& line : entries) {
        if (line.size() < nlen || memicmp(line.data(), name, static_cast<unsigned>(nlen)) != 0) continue;
        if (line.size() > nlen && line[nlen] != ' ') continue;
        size_t from = line.find_first_not_of(' ', nlen);
        return from == std::string::npos ? "" : line.substr(from);
    }
    return "";
}

bool Capabilities::offers(const char* name, const char* parameter) const {
    size_t nlen = std::strlen(name);
    for (const std::string& line : entries) {
        if (line.size() < nlen || memicmp(line.data(), name, static_cast<unsigned>(nlen)) != 0) continue;
        if (line.size() > nlen && line[nlen] != ' ') continue;
        if (!parameter) return true;
        std::string rest = " " + line.substr(nlen) + " ";
        std::string wanted = std::string(" ") + parameter + " ";
        for (size_t i = 0; i + wanted.size() <= rest.size(); i++)
            if (memicmp(rest.data() + i, wanted.data(), static_cast<unsigned>(wanted.size())) == 0) return true;
    }
    return false;
}
