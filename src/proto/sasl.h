// SASL: the client's side of the login mechanisms, for every protocol
// that speaks them.
#ifndef VORPA_PROTO_SASL_H
#define VORPA_PROTO_SASL_H

#include <string>
#include <vector>

enum class SaslMechanism { Plain, Login };

// What the client says in one exchange, base64 already: the initial
// response (sent with the command) when there is one, then the answers to
// the server's challenges in turn.
struct SaslExchange {
    const char* name;  // as the command names it: "PLAIN"
    bool initial;      // responses[0] goes with the command
    std::vector<std::string> responses;
};

SaslExchange saslexchange(SaslMechanism mechanism, const std::string& user, const std::string& secret);

// Standard base64 with padding.
std::string base64(const std::string& in);

#endif
