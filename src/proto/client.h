// What every protocol client shares: one connection to one server, opened
// (connect, TLS from the first byte, greeting, STARTTLS), spoken over and
// closed, and the classes its failures fall into. A client never prints:
// it keeps what went wrong, and its caller words it.
#ifndef VORPA_PROTO_CLIENT_H
#define VORPA_PROTO_CLIENT_H

#include <cstddef>
#include <deque>
#include <functional>
#include <string>
#include <utility>

#include "core/settings.h"
#include "net/reply.h"
#include "net/socket.h"

// How a step of a dialogue ended.
enum class Step {
    Next,  // the dialogue goes on
    Quit,  // send QUIT once, then end the phase
    End,   // end the phase at once
};

// Splits a host setting into host and port (default port when it names
// none). False when it is malformed.
bool splithost(const std::string& setting, unsigned short defport, std::string& host, unsigned short* port);

// Why a dialogue failed: the caller words it, and judges the run by it.
enum class Failure {
    None,
    Network,   // no address or connection, a time-out, a lost or reset connection, a greeting that refuses for now
    Login,     // the login was refused, or could not be offered
    Refused,   // the server refused an item or a step
    Protocol,  // the server broke the protocol
    Local,     // this side: the settings, a file, a command, a certificate it does not trust
};

// Where in the opening or the dialogue it failed. Text: the text of a
// multi-line answer (a message, an article, a list) was cut off.
enum class Stage { None, Host, Socket, Connect, Tls, Greeting, StartTls, Send, Reply, Text };

// What a client takes of its protocol: its name in reports ("POP3"), its
// ports, plain or STARTTLS and with TLS from the first byte, and its reply
// reader.
struct Wire {
    const char* name;
    unsigned short port;
    unsigned short tlsport;
    Reply (*read)(Socket& sock);
    // Whether a refusal of the opening (greeting: of the greeting) says
    // that the server is busy for now, as one that takes one connection
    // per client says it.
    bool (*busy)(const Reply& reply, bool greeting);
};

// The reply time-outs: for the connection and the greeting, then for
// every reply of the dialogue.
constexpr unsigned long kGreetingTimeout = 20;
constexpr unsigned long kReplyTimeout = 90;

// Whether a password may go: under TLS or to this machine; in plain text
// only where the settings allow it (said with a warning); never.
enum class SecretRule { Yes, Plain, No };

class Connection {
public:
    // pin: the fingerprint the server's certificate must have, in place of
    // the checks against cafile; empty for those checks.
    Connection(const Wire& protocol, const Server& server, const std::string& cafile, const std::string& pin)
        : protocol(protocol), server(server), cafile(cafile), pin(pin) {}

    // Creates the socket and connects within the opening's time-out, with
    // the TLS handshake when the server's TLS is on.
    bool open();
    // The greeting, within the opening's time-out.
    bool greet();
    // One reply; anything not positive is noted as the failure (a refusal
    // as Refused).
    Reply read();
    bool send(const std::string& text);
    // send, then read; a failed send gives a lost reply.
    Reply ask(const std::string& command);
    // STARTTLS as the protocol spells it, and the handshake.
    bool starttls(const char* command);
    SecretRule maysendsecret(bool token) const;
    // QUIT (or, once quitting, its answer); the connection is closed once
    // the server takes it.
    bool signoff();
    // Ends a failed dialogue: QUIT once unless the connection is broken or
    // quit is false, then the socket is closed. When the QUIT is not taken,
    // refused is called while its failure is noted (for the caller's
    // words); the failure that ended the dialogue stays noted after it.
    void close(bool quit, const std::function<void()>& refused = nullptr);
    // The failure passes by itself: only the network's.
    bool passing() const { return failure == Failure::Network; }
    // The opening failed as the server turned it away for now as busy.
    bool busy() const;
    // Notes a failure of a client's own step; false.
    bool fail(Failure how, Stage where);
    // Closes the socket, after telling ending what it carried.
    void shut();

    const Wire& protocol;
    const Server& server;
    const std::string& cafile;
    const std::string& pin;
    // Called after each TLS handshake that succeeded; may be empty.
    std::function<void(const Connection&)> secured;
    // Called as the connection is about to be closed, while what it
    // carried can still be told; may be empty.
    std::function<void(const Connection&)> ending;
    // QUIT went out with the last commands of the dialogue: its answer is
    // read after theirs, and it is not sent again.
    bool quitting = false;
    Socket sock;
    std::string host;
    unsigned short port = 0;
    // The TLS mode in force: the server's, or TLS on at the protocol's
    // port for it when none was written.
    TlsMode tls = TLSOFF;

    // The failure of the last step (None when it went well), and what the
    // caller needs to word it.
    Failure failure = Failure::None;
    Stage stage = Stage::None;
    int error = 0;          // errno: Socket, Send
    int tlsresult = TLS_OK;  // Tls
    bool wantstls = false;   // Greeting: the server expects TLS from the first byte
    Reply reply;             // Greeting, StartTls, Reply

private:
    bool handshake();
    bool expectstls(const Reply& greeting) const;
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

    Pipeline(Socket& sock, int window, Next next) : sock(sock), window(window), next(std::move(next)) {}

    // Before an answer is read. False after a failed send (errno tells
    // why; nothing is reported).
    bool fill() { return outstanding > refillat || refill(); }
    // One answer read; the commands not yet answered.
    int answered();
    // Whether every command next gave has gone out.
    bool sent() const { return batch.empty(); }

private:
    bool refill();

    Socket& sock;
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
