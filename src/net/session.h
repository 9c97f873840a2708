// One conversation with a server, the shape every phase shares: connect to
// the service's host and port (TLS from the first byte when so set), read
// the greeting, ask, secure the connection with STARTTLS at the protocol's
// step, sign off; one clean-up path. The protocols supply their reply
// reader and their commands.
#ifndef VORPA_SESSION_H
#define VORPA_SESSION_H

#include <cstddef>
#include <functional>

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
    const char* setting;   // host, host:port, [IPv6]:port or a bare IPv6 literal
    int tls;               // TLSOFF, TLSSTART or TLSON
    unsigned short port;     // default port, plain or STARTTLS
    unsigned short tlsport;  // default port with TLS from the first byte
    const char* cafile;      // empty: the system's trust store
    // Reads and judges one reply: 0 positive, 1 negative (reported unless
    // quiet), -1 none (reported).
    int (*answer)(Socket& sock, int quiet);
    const char* skipping;  // the phase's last line after a failure
};

// Splits a host setting into host and port (default port when it names
// none). False when it is malformed.
bool splithost(const char* setting, unsigned short defport, char* host, size_t size, unsigned short* port);

class Session {
public:
    explicit Session(const Service& service) : service(service) {}

    Socket sock;

    // Creates the socket, reports announce (a format taking the host
    // setting), connects within the greeting's time-out and, with TLS on,
    // makes the handshake. End after a reported failure.
    Step connect(const char* announce);
    // Reads the greeting.
    Step greet();
    // Sends command and judges its answer: 0, 1 or -1 as the reader; a
    // failed send is reported and gives -1.
    int ask(const char* command, int quiet = 0);
    // Sends the formatted text in sock.pszBuf as ask() does.
    int askbuf(int quiet = 0);
    // STARTTLS (the command as the protocol spells it) and the handshake.
    // On any failure one line says why and the phase ends: nothing more
    // goes out on the connection.
    Step starttls(const char* command);
    // Whether a password may go out: only under TLS or to this machine.
    // Says so when not.
    bool maysendsecret();
    // QUIT; the connection is closed once the server accepts it. End when
    // it does not.
    Step signoff();
    // Ends a failed phase: QUIT once for Quit (its answer does not
    // matter) unless the connection is broken, then the skipping line.
    // Returns 0, the phase's result.
    int end(Step how);

    const Service& service;
    char host[128] = "";
    unsigned short port = 0;

private:
    Step securefailed(int result);
};

// Commands sent ahead of their answers, up to a window at a time, so that
// the server streams its answers instead of waiting a round trip for each
// command. Answers come back in order. The commands go out in one send from
// pszBuf whenever half of them are answered, and only between answers: the
// server may be blocked writing to us until we read.
class Pipeline {
public:
    // Writes the next command at `at` and returns its end; null when there
    // is none. window times the longest command must fit in pszBuf.
    using Next = std::function<char*(char* at)>;

    Pipeline(Socket& sock, int window, Next next) : sock(sock), window(window), next(std::move(next)) {}

    // Before an answer is read. False after a reported failed send.
    bool fill() { return outstanding > window / 2 || refill(); }
    // One answer read; the commands not yet answered.
    int answered() { return --outstanding; }

private:
    bool refill();

    Socket& sock;
    int window;
    Next next;
    int outstanding = 0;
    bool exhausted = false;
};

#endif
