// What every protocol client shares: one connection to one server, opened
// (connect, TLS from the first byte, greeting, STARTTLS), spoken over and
// closed, and the classes its failures fall into. A client never prints:
// it keeps what went wrong, and its caller words it.
#ifndef VORPA_PROTO_CLIENT_H
#define VORPA_PROTO_CLIENT_H

#include <string>

#include "core/settings.h"
#include "net/reply.h"
#include "net/socket.h"

// Why a dialogue failed: the caller words it, and judges the run by it.
enum class Failure {
    None,
    Network,   // no address or connection, a time-out, a lost or reset connection, a greeting that refuses for now
    Login,     // the login was refused, or could not be offered
    Refused,   // the server refused an item or a step
    Protocol,  // the server broke the protocol
    Local,     // this side: the settings, a file, a command, a certificate it does not trust
};

// Where in the opening or the dialogue it failed.
enum class Stage { None, Host, Socket, Connect, Tls, Greeting, StartTls, Send, Reply };

// What a client takes of its protocol: its name in reports ("POP3"), its
// ports, plain or STARTTLS and with TLS from the first byte, and its reply
// reader.
struct Wire {
    const char* name;
    unsigned short port;
    unsigned short tlsport;
    Reply (*read)(Socket& sock);
};

// The reply time-outs: for the connection and the greeting, then for
// every reply of the dialogue.
constexpr unsigned long kOpeningTimeout = 20;
constexpr unsigned long kDialogueTimeout = 90;

// Whether a password may go: under TLS or to this machine; in plain text
// only where the settings allow it (said with a warning); never.
enum class SecretRule { Yes, Plain, No };

class Connection {
public:
    Connection(const Wire& protocol, const Server& server, const std::string& cafile)
        : protocol(protocol), server(server), cafile(cafile) {}

    // Creates the socket and connects within the opening's time-out, with
    // the TLS handshake when the server's TLS is on.
    bool open();
    // The greeting; the dialogue's time-out from then on.
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
    // QUIT; the connection is closed once the server takes it.
    bool signoff();
    // Ends a failed dialogue: QUIT once unless the connection is broken or
    // quit is false, then the socket is closed.
    void close(bool quit);
    // The failure passes by itself: only the network's.
    bool passing() const { return failure == Failure::Network; }

    const Wire& protocol;
    const Server& server;
    const std::string& cafile;
    Socket sock;
    std::string host;
    unsigned short port = 0;

    // The last failure, and what the caller needs to word it.
    Failure failure = Failure::None;
    Stage stage = Stage::None;
    int error = 0;          // errno: Socket, Send
    int tlsresult = TLS_OK;  // Tls
    bool wantstls = false;   // Greeting: the server expects TLS from the first byte
    Reply reply;             // Greeting, StartTls, Reply

private:
    bool fail(Failure how, Stage where);
    bool handshake();
    bool expectstls(const Reply& greeting) const;
};

#endif
