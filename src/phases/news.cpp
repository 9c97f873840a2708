// What both news phases share: the connection, and the steps between the
// greeting and the first command (STARTTLS, the login).
#include "phases/shared.h"

namespace {

// STARTTLS when so set, then AUTHINFO USER and PASS when a login is set.
Step nntpbegin(Session& session, const std::string& secret) {
    const Server& nntp = session.service.server;
    Step step = Step::Next;
    if (nntp.tls == TLSSTART) step = session.starttls("STARTTLS\r\n");
    if (step != Step::Next || nntp.user.empty()) return step;
    if (!session.maysendsecret()) return Step::Quit;
    session.report.step("+ Logging in as %s...\n", nntp.user.c_str());
    Reply reply = session.ask("AUTHINFO USER " + nntp.user + "\r\n");
    // 281 right away: no password wanted.
    if (reply.ok() && reply.is("381")) reply = session.ask("AUTHINFO PASS " + secret + "\r\n");
    return reply.ok() ? Step::Next : Step::Quit;
}

}  // namespace

Step nntpopen(Session& session, const char* announce) {
    const Server& nntp = session.service.server;
    // The password command runs before the server waits for us.
    std::string secret;
    if (!nntp.user.empty() && !loginsecret(session.report, nntp, "NNTPPASSCMD", secret)) return Step::End;
    Step step = session.connect(announce);
    if (step == Step::Next) step = session.greet();
    if (step != Step::Next) return step;
    session.sock.ulTimeout = kReplyTimeout;
    return nntpbegin(session, secret);
}
