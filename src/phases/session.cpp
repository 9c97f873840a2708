// The conversation steps every phase shares, with their words.
#include "phases/session.h"

#include <cerrno>

#include "phases/shared.h"

Session::Session(const Service& service, Report& report)
    : service(service),
      report(report),
      wire{service.protocol, service.port, service.tlsport, service.read},
      conn(wire, service.server, service.cafile),
      sock(conn.sock),
      host(conn.host),
      port(conn.port) {
    sock.report = &report;
}

Step Session::connect(const char* announce) {
    return opened(report, conn, announce, service.complain) ? Step::Next : Step::End;
}

Step Session::greet() {
    if (conn.greet()) return Step::Next;
    sayfailure(report, conn, service.complain);
    return Step::End;
}

Reply Session::read(bool quiet) {
    Reply reply = conn.read();
    if (!reply.ok()) service.complain(report, reply, quiet);
    return reply;
}

bool Session::send(const std::string& text) {
    if (conn.send(text)) return true;
    sayfailure(report, conn, service.complain);
    return false;
}

Reply Session::ask(const std::string& command, bool quiet) {
    if (!send(command)) {
        Reply lost;
        lost.error = conn.error;
        return lost;
    }
    return read(quiet);
}

Step Session::starttls(const char* command) {
    report.step("+ Starting TLS...\n");
    if (conn.starttls(command)) return Step::Next;
    sayfailure(report, conn, service.complain);
    return Step::End;
}

bool Session::maysendsecret(bool token) { return ::maysendsecret(report, conn, token); }

Step Session::signoff() { return signedoff(report, conn, service.complain) ? Step::Next : Step::End; }

void Session::end(Step how) {
    passing = conn.passing() || (sock.Broken() && conn.failure != Failure::Local);
    // After a time-out or a lost connection QUIT would only wait again.
    if (how == Step::Quit && !sock.Broken()) ask("QUIT\r\n");
    if (sock.iSocket != -1) sock.Close();
    report.say("%s", service.skipping);
}
