// The conversation steps every phase shares.
#include "net/session.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/config.h"
#include "driver/driver.h"

namespace {

bool copyhost(const char* from, size_t len, char* host, size_t size) {
    if (len == 0 || len >= size) return false;
    std::memcpy(host, from, len);
    host[len] = '\0';
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

bool splithost(const char* setting, unsigned short defport, char* host, size_t size, unsigned short* port) {
    *port = defport;
    if (setting[0] == '[') {
        const char* close = std::strchr(setting, ']');
        if (!close || !copyhost(setting + 1, close - setting - 1, host, size)) return false;
        if (close[1] == '\0') return true;
        return close[1] == ':' && readport(close + 2, port);
    }
    const char* colon = std::strchr(setting, ':');
    // More than one colon: a bare IPv6 literal.
    if (!colon || std::strchr(colon + 1, ':')) return copyhost(setting, std::strlen(setting), host, size);
    return copyhost(setting, colon - setting, host, size) && readport(colon + 1, port);
}

Step Session::connect(const char* announce) {
    if (sock.Create() == -1) {
        syserror("Open socket");
        return Step::End;
    }
    sock.ulTimeout = kGreetingTimeout;
    logprintf(announce, service.setting);
    if (verbose) logprintf("+ Connecting to %s host %s...\n", service.protocol, service.setting);
    unsigned short defport = service.tls == TLSON ? service.tlsport : service.port;
    if (!splithost(service.setting, defport, host, sizeof host, &port)) {
        logprintf("%s host %s is not a host name, address or host:port\n", service.protocol, service.setting);
        return Step::End;
    }
    if (sock.Connect(host, port) == -1) {
        logprintf("Cannot connect to host %s at port %d\n", host, port);
        return Step::End;
    }
    // Commands, groups of them and texts each go out in one send already;
    // held back for an acknowledgement, a group sent right after a text
    // would wait a round trip.
    sock.SetNoDelay();
    if (service.tls == TLSON) return securefailed(sock.StartTls(host, service.cafile));
    return Step::Next;
}

Step Session::greet() { return service.answer(sock, 0) == 0 ? Step::Next : Step::End; }

int Session::askbuf(int quiet) {
    if (sock.Send(sock.pszBuf) == -1) {
        syserror("Send");
        return -1;
    }
    return service.answer(sock, quiet);
}

int Session::ask(const char* command, int quiet) {
    std::snprintf(sock.pszBuf, 16384, "%s", command);
    return askbuf(quiet);
}

Step Session::starttls(const char* command) {
    if (verbose) logprintf("+ Starting TLS...\n");
    int answer = ask(command, 1);
    if (answer == 1) {
        // The server's own words, once.
        logprintf("%s host refused TLS: %s", service.protocol, sock.pszBuf);
        return Step::End;
    }
    if (answer != 0) return Step::End;
    return securefailed(sock.StartTls(host, service.cafile));
}

Step Session::securefailed(int result) {
    switch (result) {
    case TLS_OK:
        return Step::Next;
    case TLS_AHEAD:
        logprintf("%s host %s sent data ahead of the TLS handshake: connection refused\n", service.protocol,
                  host);
        break;
    case TLS_UNTRUSTED:
        logprintf("Certificate of %s is not trusted: %s\n", host, sock.TlsError());
        break;
    case TLS_BADNAME:
        logprintf("Certificate is not valid for %s: %s\n", host, sock.TlsError());
        break;
    default:
        logprintf("TLS handshake with %s failed: %s\n", host, sock.TlsError());
        break;
    }
    return Step::End;
}

bool Session::maysendsecret() {
    if (sock.IsSecure() || sock.IsLoopback()) return true;
    logprintf("Not sending the %s password unencrypted to %s\n", service.protocol, host);
    return false;
}

Step Session::signoff() {
    if (verbose) logprintf("+ Signing off...\n");
    if (ask("QUIT\r\n") != 0) return Step::End;
    sock.Close();
    if (verbose) logprintf("+ %s session successfully terminated\n", service.protocol);
    return Step::Next;
}

int Session::end(Step how) {
    // After a time-out or a lost connection QUIT would only wait again.
    if (how == Step::Quit && !sock.Broken()) ask("QUIT\r\n");
    if (sock.iSocket != -1) sock.Close();
    logprintf("%s", service.skipping);
    return 0;
}

bool Pipeline::refill() {
    char* end = sock.pszBuf;
    while (!exhausted && outstanding < window) {
        char* after = next(end);
        if (!after) {
            exhausted = true;
            break;
        }
        end = after;
        outstanding++;
    }
    if (end == sock.pszBuf) return true;
    *end = '\0';
    if (sock.Send(sock.pszBuf) == -1) {
        syserror("Send");
        return false;
    }
    // A server that writes its answers in parts may wait for our
    // acknowledgement of the first (Nagle): send it at once.
    sock.AckNow();
    return true;
}
