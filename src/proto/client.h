// What every protocol client shares: one connection to one server, opened
// (connect, TLS from the first byte, greeting, STARTTLS), spoken over and
// closed, and the classes its failures fall into. A client never prints:
// each step returns its outcome, a failure as a value with its class and
// the server's words, and the caller words it.
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

// Where in the opening or the dialogue it failed. Secret: the login's
// secret may not go over the connection. Text: the text of a multi-line
// answer (a message, an article, a list) was cut off. Own: this side's
// own step (memory, a file, compression), whose trouble the caller or the
// transport says.
// Proxy: the proxy could not be reached, or did not connect on.
enum class Stage { Host, Socket, Connect, Proxy, Tls, Greeting, StartTls, Secret, Send, Reply, Text, Own };

// How a step of a dialogue went: done, or failed with its class, where,
// and what the caller needs to word it. A step that reads a reply holds
// it here either way.
struct Outcome {
    Failure failure = Failure::None;  // None: done
    Stage stage = Stage::Reply;
    int error = 0;           // errno: Socket, Send
    int tlsresult = TLS_OK;  // Tls
    bool wantstls = false;   // Greeting: the server expects TLS from the first byte
    Reply reply{};           // the server's words: Greeting, StartTls, Reply
    // The transport's words: why Connect, Proxy or Tls failed; for a
    // certificate that is not the one pinned, its fingerprint. Greeting:
    // the protocol whose greeting came ("IMAP"), the client's own where
    // none of a protocol we know did.
    std::string detail{};

    bool done() const { return failure == Failure::None; }
    // The failure passes by itself: only the network's.
    bool passing() const { return failure == Failure::Network; }
};

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
    Outcome open();
    // The greeting, within the opening's time-out; its reply either way.
    Outcome greet();
    // One reply; anything not positive is a failure (a refusal Refused),
    // which the caller may take for none.
    Outcome read();
    Outcome send(const std::string& text);
    // send, then read.
    Outcome ask(const std::string& command);
    // STARTTLS as the protocol spells it, and the handshake; done with the
    // server's answer to it.
    Outcome starttls(const char* command);
    SecretRule maysendsecret(bool token) const;
    // QUIT (or, once quitting, its answer); the connection is closed once
    // the server takes it.
    Outcome signoff();
    // Ends a failed dialogue: QUIT once unless the connection is broken or
    // quit is false, then the socket is closed. A QUIT not taken is handed
    // to refused before the socket closes (for the caller's words).
    void close(bool quit, const std::function<void(const Outcome&)>& refused = nullptr);
    // A failure of a step as the connection stands now: a broken
    // connection's is the network's, whatever the step.
    Outcome failed(Failure how, Stage where, const Reply& reply = Reply()) const;
    // A send that failed just now: errno tells why.
    Outcome sendfailed() const;
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
    // How the last opening went, for the record of servers that stay out
    // of reach: the server answered (a handshake or a greeting came), or
    // the opening failed for the network's reasons before it did.
    bool answered = false;
    bool unreachable = false;

private:
    Outcome handshake();
    // Notes how the opening went, and passes outcome on.
    Outcome reached(Outcome outcome);
    Outcome greeting();
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
