// The SASL login of POP3 and SMTP: the mechanism the settings ask for, the
// checks before anything is sent, the words of a refusal.
#include <cstring>

#include "core/text.h"
#include "phases/shared.h"

namespace {

bool bearer(AuthMode mode) { return mode == AuthMode::XOAuth2 || mode == AuthMode::OAuthBearer; }

// The mechanism of the login mode (the best of PLAIN and LOGIN for Auto)
// where the server lists it under keyword; false after saying what it
// offers instead.
bool choose(Session& session, const Capabilities& caps, const char* keyword, AuthMode mode,
            SaslMechanism& mechanism) {
    const char* protocol = session.service.protocol;
    if (mode == AuthMode::Auto || mode == AuthMode::User) {
        bool plain = caps.offers(keyword, "PLAIN");
        if (!plain && !caps.offers(keyword, "LOGIN")) {
            session.report.say("%s host does not offer %s PLAIN or LOGIN\n", protocol, keyword);
            return false;
        }
        mechanism = plain ? SaslMechanism::Plain : SaslMechanism::Login;
        return true;
    }
    mechanism = mode == AuthMode::Plain     ? SaslMechanism::Plain
                : mode == AuthMode::Login   ? SaslMechanism::Login
                : mode == AuthMode::XOAuth2 ? SaslMechanism::XOAuth2
                                            : SaslMechanism::OAuthBearer;
    const char* name = saslname(mechanism);
    if (caps.offers(keyword, name)) return true;
    std::string offered = safetext(caps.parameters(keyword));
    session.report.say("%s host does not offer %s %s (it offers %s%s)\n", protocol, keyword, name,
                       offered.empty() ? "no " : "", offered.empty() ? keyword : offered.c_str());
    return false;
}

}  // namespace

Step sasllogin(Session& session, const Capabilities& caps, const char* keyword, const std::string& secret,
               SaslOutcome (*auth)(Connection&, const SaslExchange&)) {
    const Server& server = session.service.server;
    bool token = bearer(server.auth);
    SaslMechanism mechanism;
    if (!session.maysendsecret(token) || !choose(session, caps, keyword, server.auth, mechanism)) return Step::Quit;
    session.report.step("+ Logging in as %s...\n", server.user.c_str());
    SaslExchange exchange = saslexchange(mechanism, server.user, secret, session.host, session.port);
    SaslOutcome outcome = auth(session.conn, exchange);
    const Reply& reply = outcome.reply;
    if (reply.ok()) return Step::Next;
    if (reply.status == Reply::Lost) {
        sayfailure(session.report, session.conn, session.service.complain, true);
        return Step::Quit;
    }
    if (!token || reply.status == Reply::Invalid) {
        session.service.complain(session.report, reply, false);
        return Step::Quit;
    }
    // A refused token is not offered again, nor anything else.
    std::string why = outcome.status;
    if (why.empty()) why = reply.text.substr(0, std::strcspn(reply.text.c_str(), "\r\n"));
    session.report.say("%s login with %s refused: %s\n", session.service.protocol, exchange.name,
                       safetext(why).c_str());
    return Step::End;
}
