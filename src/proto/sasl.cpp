#include "proto/sasl.h"

#include <openssl/evp.h>

#include <cerrno>

namespace {

// RFC 7628's authorization identity: "," and "=" are escaped.
std::string gs2name(const std::string& user) {
    std::string out;
    for (char c : user) {
        if (c == ',') out += "=2C";
        else if (c == '=') out += "=3D";
        else out += c;
    }
    return out;
}

// The value of "key" in a flat JSON object: a string or a bare word
// (a number); empty when there is none.
std::string jsonvalue(const std::string& json, const char* key) {
    const char* space = " \t\r\n";
    size_t at = json.find(std::string("\"") + key + "\"");
    if (at == std::string::npos) return "";
    at = json.find_first_not_of(space, at + std::char_traits<char>::length(key) + 2);
    if (at == std::string::npos || json[at] != ':') return "";
    at = json.find_first_not_of(space, at + 1);
    if (at == std::string::npos) return "";
    size_t end = json[at] == '"' ? json.find('"', ++at) : json.find_first_of(",} \t\r\n", at);
    return json.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

}  // namespace

const char* saslname(SaslMechanism mechanism) {
    switch (mechanism) {
    case SaslMechanism::Plain:
        return "PLAIN";
    case SaslMechanism::Login:
        return "LOGIN";
    case SaslMechanism::XOAuth2:
        return "XOAUTH2";
    case SaslMechanism::OAuthBearer:
        return "OAUTHBEARER";
    }
    return "";
}

SaslExchange saslexchange(SaslMechanism mechanism, const std::string& user, const std::string& secret,
                          const std::string& host, unsigned short port) {
    const char* name = saslname(mechanism);
    switch (mechanism) {
    case SaslMechanism::Plain:
        // RFC 4616: no authorization identity, the user, the password.
        return {name, true, {base64(std::string(1, '\0') + user + '\0' + secret)}};
    case SaslMechanism::Login:
        return {name, false, {base64(user), base64(secret)}};
    case SaslMechanism::XOAuth2:
        // An error challenge is answered with an empty response.
        return {name, true, {base64("user=" + user + "\x01" "auth=Bearer " + secret + "\x01\x01")}, ""};
    case SaslMechanism::OAuthBearer:
        // RFC 7628: the error challenge is answered with a lone 0x01.
        return {name, true,
                {base64("n,a=" + gs2name(user) + ",\x01" "host=" + host + "\x01" "port=" + std::to_string(port) +
                        "\x01" "auth=Bearer " + secret + "\x01\x01")},
                "AQ=="};
    }
    return {"", false, {}};
}

SaslOutcome saslrun(Connection& connection, const SaslExchange& exchange, const SaslDialect& dialect) {
    SaslOutcome outcome;
    Reply& reply = outcome.reply;
    std::string command = std::string(dialect.verb) + " " + exchange.name;
    size_t next = 0;
    if (exchange.initial && command.size() + 1 + exchange.responses[0].size() + 2 <= dialect.linemax)
        command += " " + exchange.responses[next++];
    bool answered = false;  // an error challenge
    for (;;) {
        Outcome sent = connection.send(command + "\r\n");
        if (!sent.done()) {
            reply = Reply();
            reply.error = sent.error;
            outcome.lost = sent;
            return outcome;
        }
        Outcome answer = connection.read();
        reply = answer.reply;
        if (reply.status == Reply::Lost) {
            outcome.lost = std::move(answer);
            break;
        }
        std::string challenge;
        SaslDialect::Turn turn = dialect.judge(reply, challenge);
        bool more = next < exchange.responses.size();
        if (turn == SaslDialect::Success && !more && !answered) {
            reply.status = Reply::Positive;
            return outcome;
        }
        if (turn == SaslDialect::Invalid) {
            reply.status = Reply::Invalid;
            return outcome;
        }
        if (turn == SaslDialect::Challenge && more) {
            command = exchange.responses[next++];
            continue;
        }
        if (turn == SaslDialect::Challenge && !answered && exchange.erroranswer) {
            outcome.status = oauthstatus(challenge);
            command = exchange.erroranswer;
            answered = true;
            continue;
        }
        reply.status = Reply::Negative;
        return outcome;
    }
    return outcome;
}

Step saslsignin(Connection& connection, const Capabilities& caps, const char* keyword, const std::string& secret,
                SaslOutcome (*auth)(Connection&, const SaslExchange&), SaslLogin& login,
                const std::function<void(const SaslLogin&)>& going) {
    login = SaslLogin();
    login.keyword = keyword;
    AuthMode mode = connection.server.auth;
    login.token = mode == AuthMode::XOAuth2 || mode == AuthMode::OAuthBearer;
    if (connection.maysendsecret(login.token) == SecretRule::No) {
        login.end = SaslLogin::Unsafe;
        return Step::Quit;
    }
    if (mode == AuthMode::Auto || mode == AuthMode::User) {
        bool plain = caps.offers(keyword, "PLAIN");
        if (!plain && !caps.offers(keyword, "LOGIN")) login.end = SaslLogin::NotOffered;
        login.mechanism = plain ? SaslMechanism::Plain : SaslMechanism::Login;
    } else {
        login.mechanism = mode == AuthMode::Plain     ? SaslMechanism::Plain
                          : mode == AuthMode::Login   ? SaslMechanism::Login
                          : mode == AuthMode::XOAuth2 ? SaslMechanism::XOAuth2
                                                      : SaslMechanism::OAuthBearer;
        if (!caps.offers(keyword, saslname(login.mechanism))) {
            login.end = SaslLogin::NotOffered;
            login.offered = caps.parameters(keyword);
        }
    }
    if (login.end == SaslLogin::NotOffered) return Step::Quit;
    going(login);
    login.outcome = auth(connection, saslexchange(login.mechanism, connection.server.user, secret, connection.host,
                                                  connection.port));
    const Reply& reply = login.outcome.reply;
    login.end = reply.ok()                        ? SaslLogin::Accepted
                : reply.status == Reply::Lost    ? SaslLogin::Lost
                : reply.status == Reply::Invalid ? SaslLogin::Invalid
                                                 : SaslLogin::Refused;
    if (login.end == SaslLogin::Accepted) return Step::Next;
    return login.token && login.end == SaslLogin::Refused ? Step::End : Step::Quit;
}

Outcome saslfailure(const Connection& connection, const SaslLogin& login) {
    if (login.end == SaslLogin::Lost) return login.outcome.lost;
    if (login.end == SaslLogin::Invalid) return connection.failed(Failure::Protocol, Stage::Reply, login.outcome.reply);
    return connection.failed(Failure::Login, login.end == SaslLogin::Unsafe ? Stage::Secret : Stage::Reply,
                             login.outcome.reply);
}

std::string oauthstatus(const std::string& challenge) {
    std::string json;
    if (!unbase64(challenge, json)) return "";
    std::string status;
    // The server's words go to the console: printable ones, a few.
    for (char c : jsonvalue(json, "status"))
        if (c > ' ' && c < 127 && status.size() < 64) status += c;
    static const char* const known[][2] = {
        {"invalid_request", "400"}, {"invalid_token", "401"}, {"insufficient_scope", "403"}};
    for (const auto& k : known)
        if (status == k[0] || status == k[1]) return std::string(k[0]) + " (" + k[1] + ")";
    return status;
}

std::string base64(const std::string& in) {
    std::string out(4 * ((in.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                            reinterpret_cast<const unsigned char*>(in.data()), static_cast<int>(in.size()));
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

bool unbase64(const std::string& in, std::string& out) {
    out.assign(3 * (in.size() / 4) + 3, '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                            reinterpret_cast<const unsigned char*>(in.data()), static_cast<int>(in.size()));
    if (n < 0 || in.size() % 4 != 0) return false;
    // The padding decodes to zero bytes that are no part of the text.
    size_t pad = in.size() >= 2 && in[in.size() - 1] == '=' ? (in[in.size() - 2] == '=' ? 2 : 1) : 0;
    out.resize(static_cast<size_t>(n) - pad);
    return true;
}
