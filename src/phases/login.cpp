// The words of a SASL login of POP3 and SMTP: the mechanism chosen, and
// why a login could not be offered or was refused.
#include <cstring>

#include "core/text.h"
#include "phases/shared.h"

void saylogin(Report& report, const Connection& c, const SaslLogin& login, Complain complain) {
    const char* protocol = c.protocol.name;
    const Reply& reply = login.outcome.reply;
    switch (login.end) {
    case SaslLogin::Unsafe:
        maysendsecret(report, c, login.token);
        return;
    case SaslLogin::Chosen:
        maysendsecret(report, c, login.token);
        report.step("+ Logging in as %s...\n", c.server.user.c_str());
        return;
    case SaslLogin::NotOffered: {
        maysendsecret(report, c, login.token);
        AuthMode mode = c.server.auth;
        if (mode == AuthMode::Auto || mode == AuthMode::User) {
            report.say("%s host does not offer %s PLAIN or LOGIN\n", protocol, login.keyword);
            return;
        }
        std::string offered = safetext(login.offered);
        report.say("%s host does not offer %s %s (it offers %s%s)\n", protocol, login.keyword,
                   saslname(login.mechanism), offered.empty() ? "no " : "",
                   offered.empty() ? login.keyword : offered.c_str());
        return;
    }
    case SaslLogin::Accepted:
        return;
    case SaslLogin::Lost:
        sayfailure(report, c, login.outcome.lost, complain, true);
        return;
    case SaslLogin::Refused:
    case SaslLogin::Invalid:
        break;
    }
    if (login.end == SaslLogin::Invalid) {
        complain(report, reply, false);
        return;
    }
    if (!login.token) {
        refusedlogin(report, c, reply, complain);
        return;
    }
    // A refused token is not offered again, nor anything else.
    std::string why = login.outcome.status;
    if (why.empty()) why = reply.text.substr(0, std::strcspn(reply.text.c_str(), "\r\n"));
    report.say("%s login with %s refused: %s\n", protocol, saslname(login.mechanism), safetext(why).c_str());
}
