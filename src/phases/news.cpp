// What both news phases share: the steps between the greeting and the
// first command (STARTTLS, the login).
#include "phases/shared.h"

Step nntpbegin(Session& session) {
    const Server& nntp = session.service.server;
    Step step = Step::Next;
    if (nntp.tls == TLSSTART) step = session.starttls("STARTTLS\r\n");
    if (step != Step::Next || nntp.user.empty()) return step;
    if (!session.maysendsecret()) return Step::Quit;
    session.report.step("+ Logging in as %s...\n", nntp.user.c_str());
    Reply reply = session.ask("AUTHINFO USER " + nntp.user + "\r\n");
    // 281 right away: no password wanted.
    if (reply.ok() && reply.is("381")) reply = session.ask("AUTHINFO PASS " + nntp.pass + "\r\n");
    return reply.ok() ? Step::Next : Step::Quit;
}
