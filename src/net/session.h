// One conversation with a server, the shape every phase shares: connect to
// the service's host and port (TLS from the first byte when so set), read
// the greeting, ask, secure the connection with STARTTLS at the protocol's
// step, sign off; one clean-up path. The protocols supply their reply
// reader; the phases their commands and the words of their reports.
#ifndef VORPA_SESSION_H
#define VORPA_SESSION_H

#include <cstddef>
#include <deque>
#include <functional>
#include <string>

#include "core/report.h"
#include "core/settings.h"
#include "net/reply.h"
#include "net/socket.h"

// How a step of a dialogue ended.
enum class Step {
    Next,  // the dialogue goes on
    Quit,  // send QUIT once, then end the phase
    End,   // end the phase at once
};

// The reply time-outs: for the connection and the greeting, then for
// every reply of the dialogue.
constexpr unsigned long kGreetingTimeout = 20;
constexpr unsigned long kReplyTimeout = 90;

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

// Splits a host setting into host and port (default port when it names
// none). False when it is malformed.
bool splithost(const std::string& setting, unsigned short defport, std::string& host, unsigned short* port);

class Session {
public:
    Session(const Service& service, Report& report) : service(service), report(report) { sock.report = &report; }

    Socket sock;

    // Creates the socket, reports announce (a format taking the host
    // setting), connects within the greeting's time-out and, with TLS on,
    // makes the handshake. End after a reported failure.
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
    std::string host;
    unsigned short port = 0;
    // The failure that ended the phase passes by itself: no connection, a
    // time-out, a lost connection, or a greeting that refuses for now.
    bool passing = false;

private:
    Step securefailed(int result);
    // The settings do not fit the server: no failure passes by itself.
    bool misconfigured = false;
    bool expectstls(const Reply& reply) const;
};

// Commands sent ahead of their answers, up to a window at a time, so that
// the server streams its answers instead of waiting a round trip for each
// command. Answers come back in order. The commands go out in one send
// whenever half of those unanswered after the last send are answered, and
// only between answers: the server may be blocked writing to us until we
// read. The window is bounded in bytes too, so that what the server has not
// read yet always fits in the connection's buffers.
class Pipeline {
public:
    // Appends the next command to out and returns true; false when there
    // is none.
    using Next = std::function<bool(std::string& out)>;

    // Unanswered commands hold at most this many bytes; a longer command
    // goes out alone.
    static constexpr size_t kWindowBytes = 8192;

    // A failed send is reported through the session.
    Pipeline(Session& session, int window, Next next)
        : sock(session.sock), report(&session.report), window(window), next(std::move(next)) {}
    // A failed send is left to the caller (errno tells why).
    Pipeline(Socket& sock, int window, Next next) : sock(sock), window(window), next(std::move(next)) {}

    // Before an answer is read. False after a reported failed send.
    bool fill() { return outstanding > refillat || refill(); }
    // One answer read; the commands not yet answered.
    int answered();

private:
    bool refill();

    Socket& sock;
    Report* report = nullptr;
    int window;
    Next next;
    int outstanding = 0;
    int refillat = 0;            // refill once no more than this many are unanswered
    size_t bytes = 0;            // of the unanswered commands
    std::deque<size_t> sizes;    // of each unanswered command, oldest first
    std::string batch;           // commands not sent yet
    bool exhausted = false;
};

#endif
