// SASL: the client's side of the login mechanisms, for every protocol
// that speaks them.
#ifndef VORPA_PROTO_SASL_H
#define VORPA_PROTO_SASL_H

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "proto/client.h"

enum class SaslMechanism { Plain, Login, XOAuth2, OAuthBearer };

// What the client says in one exchange, base64 already: the initial
// response (sent with the command) when there is one, then the answers to
// the server's challenges in turn.
struct SaslExchange {
    const char* name;  // as the command names it: "PLAIN"
    bool initial;      // responses[0] goes with the command
    std::vector<std::string> responses;
    // The answer to an error challenge after the last response (OAuth2:
    // the server's JSON reason); null where the mechanism knows none.
    const char* erroranswer = nullptr;
};

// As the AUTH command names it: "PLAIN".
const char* saslname(SaslMechanism mechanism);

// secret is the password, or the bearer token of the OAuth2 mechanisms;
// OAUTHBEARER also names the server's host and port.
SaslExchange saslexchange(SaslMechanism mechanism, const std::string& user, const std::string& secret,
                          const std::string& host = "", unsigned short port = 0);

// How a protocol frames an exchange.
struct SaslDialect {
    const char* verb;  // "AUTH"
    // Longest command line, CR LF included: an initial response that would
    // make it longer waits for the server's first (empty) challenge.
    size_t linemax;
    enum Turn { Challenge, Success, Failure, Invalid };
    // What a reply is; a challenge's base64 text goes into challenge.
    Turn (*judge)(const Reply& reply, std::string& challenge);
};

struct SaslOutcome {
    // The server's last reply, positive only once the login was accepted.
    Reply reply;
    // A reply that never came, or a send that failed: why.
    Outcome lost;
    // The reason of an error challenge that was answered, decoded
    // ("invalid_token (401)"); empty when none came.
    std::string status;
};

// Runs the exchange. A reply that does not fit it (a success before the
// last response, a challenge after it where no error answer is known) is
// turned negative. A reply that never came (or a failed send) leaves its
// failure in the outcome; nothing is reported.
SaslOutcome saslrun(Connection& connection, const SaslExchange& exchange, const SaslDialect& dialect);

// A login by a SASL mechanism over a connection, as far as it went.
struct SaslLogin {
    enum End {
        Chosen,      // the mechanism is offered and the secret may go
        Unsafe,      // the secret may not go over this connection
        NotOffered,  // the server does not list the mechanism (auto: neither PLAIN nor LOGIN)
        Accepted,
        Lost,        // no answer, or a failed send: outcome.lost tells why
        Refused,
        Invalid,     // an answer that does not fit the exchange
    };
    End end = Chosen;
    bool token = false;  // a bearer token (OAuth2), not a password
    SaslMechanism mechanism = SaslMechanism::Plain;
    const char* keyword = "";  // the capability that lists the mechanisms
    std::string offered;       // NotOffered: what the server lists under it
    SaslOutcome outcome;
};

// Logs in with the mechanism the server's auth setting asks for (the best
// of PLAIN and LOGIN for auto) where caps lists it under keyword ("AUTH",
// "SASL"); a token goes only over TLS, a password over TLS or to this
// machine. going sees the login chosen, right before the exchange; auth
// frames the exchange as the protocol does. Next once the server accepted
// it; End after a refused token, which is not offered again, nor anything
// else; Quit otherwise. login tells how far it went.
Step saslsignin(Connection& connection, const Capabilities& caps, const char* keyword, const std::string& secret,
                SaslOutcome (*auth)(Connection&, const SaslExchange&), SaslLogin& login,
                const std::function<void(const SaslLogin&)>& going);

// The failure of a login that did not go through: that of the reply lost,
// Protocol for an answer that does not fit, else Login (Secret where the
// secret may not go).
Outcome saslfailure(const Connection& connection, const SaslLogin& login);

// The "status" of an OAuth2 error challenge (base64 JSON), with its
// RFC 6750 error code and HTTP status side by side where the one is known
// ("invalid_token (401)"); empty when there is none.
std::string oauthstatus(const std::string& challenge);

// Standard base64 with padding.
std::string base64(const std::string& in);
// Its inverse; false for text that is not base64.
bool unbase64(const std::string& in, std::string& out);

#endif
