// What both news phases share: the words of the opening and of the end of
// their dialogue with the news server.
#include "phases/shared.h"

void NewsWords::opening(Opening step, const Connection& c) {
    const Server& nntp = c.server;
    switch (step) {
    case Opening::Connect:
        ::announce(out, c, announce.c_str());
        return;
    case Opening::StartTls:
        out.step("+ Starting TLS...\n");
        return;
    case Opening::Login:
        // Warns where the password goes in plain text.
        maysendsecret(out, c, false);
        out.step("+ Logging in as %s...\n", nntp.user.c_str());
        return;
    case Opening::Compress:
        out.step("+ Starting compression...\n");
        return;
    }
}

void NewsWords::failed(Item, size_t, const Connection& c, const Outcome& failure) {
    last = failure;
    sayfailure(out, c, failure, nntpcomplain);
}

Step nntpopen(const Context& run, NntpClient& client) {
    Report& out = run.report;
    const Server& nntp = client.connection().server;
    // The password command runs before the server waits for us.
    std::string secret;
    if (!nntp.user.empty() && !serversecret(out, nntp, "NNTPPASSCMD", secret)) return Step::End;
    attend(out, client.connection(), run.options.check);
    opening(run);
    Step step = client.open(secret);
    if (step == Step::Next && run.turn) run.turn->lend(client);
    Waited waited = waitturn(run, client.connection(), step == Step::Next);
    // The news post may have borrowed it meanwhile.
    client.tellhome();
    attend(out, client.connection(), run.options.check);
    if (waited == Waited::Dropped) return step == Step::Next ? Step::Quit : step;
    if (waited == Waited::Reopen) {
        client.connection().sock.Close();
        step = client.open(secret);
    }
    return step;
}

Step nntpsignoff(Report& out, NntpClient& client) {
    out.step("+ Signing off...\n");
    if (!client.signoff()) return Step::End;
    out.step("+ NNTP session successfully terminated\n");
    return Step::Next;
}

Result nntpend(Report& out, NntpClient& client, Step how, bool offline, const char* skipping) {
    client.close(how == Step::Quit);
    out.say("%s", skipping);
    return offline ? Result::Offline : Result::Ended;
}
