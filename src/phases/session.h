// One conversation with a server as the phases hold it: a protocol
// client's connection, and the words for each of its steps that does not
// go well. The protocols supply their reply reader and their words; the
// phases their commands.
#ifndef VORPA_PHASES_SESSION_H
#define VORPA_PHASES_SESSION_H

#include <string>

#include "core/report.h"
#include "core/settings.h"
#include "proto/client.h"

struct Service {
    const char* protocol;  // "POP3", "SMTP", "NNTP" in reports
    const Server& server;
    unsigned short port;     // default port, plain or STARTTLS
    unsigned short tlsport;  // default port with TLS from the first byte
    const std::string& cafile;  // empty: the system's trust store
    // Reads one reply.
    Reply (*read)(Socket& sock);
    // Reports a reply that is not positive; quiet: a refusal goes
    // unreported (the caller has words of its own for it).
    void (*complain)(Report& report, const Reply& reply, bool quiet);
    const char* skipping;  // the phase's last line after a failure
};

class Session {
public:
    Session(const Service& service, Report& report);

    // Reports announce (a format taking the host setting), connects within
    // the greeting's time-out and, with TLS on, makes the handshake. End
    // after a reported failure.
    Step connect(const char* announce);
    // Reads the greeting. One that shows the server expects TLS from the
    // first byte says so, with the setting to change.
    Step greet();
    // Reads one reply; what is not positive is reported (a refusal only
    // unless quiet).
    Reply read(bool quiet = false);
    // Sends command, then reads its reply as read() does. A failed send is
    // reported and gives a lost reply.
    Reply ask(const std::string& command, bool quiet = false);
    // Sends text; false after a reported failure.
    bool send(const std::string& text);
    // STARTTLS (the command as the protocol spells it) and the handshake.
    // On any failure one line says why and the phase ends: nothing more
    // goes out on the connection.
    Step starttls(const char* command);
    // Whether a password may go out: only under TLS or to this machine
    // (or, with a warning, where the settings allow it in plain text); a
    // bearer token only under TLS. Says so when not.
    bool maysendsecret(bool token = false);
    // QUIT; the connection is closed once the server accepts it. End when
    // it does not.
    Step signoff();
    // Ends a failed phase: QUIT once for Quit (its answer does not
    // matter) unless the connection is broken, then the skipping line.
    void end(Step how);

    const Service& service;
    Report& report;
    const Wire wire;
    Connection conn;
    Socket& sock;
    const std::string& host;
    const unsigned short& port;
    // The failure that ended the phase passes by itself: no connection, a
    // time-out, a lost connection, or a greeting that refuses for now.
    bool passing = false;
};

#endif
