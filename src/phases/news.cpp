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

std::string newsfetchline(const Context& run) {
    return phaseline(run, run.options.check ? "Checking news fetch from %s...\n" : "Fetching news from %s...\n", "news",
                     true);
}

std::string newspostline(const Context& run) {
    return phaseline(run, run.options.check ? "Checking news post to %s...\n" : "Posting news to %s...\n", "news",
                     false);
}

NewsOpening::NewsOpening(const Context& run, std::string announce)
    : run(run), words(run.report, std::move(announce)),
      client(run.account.nntp, run.account.cafile, run.account.tlsfingerprint, words) {}

// The password command runs before the server waits for us.
bool NewsOpening::prepare() {
    const Server& nntp = run.account.nntp;
    if (!nntp.user.empty() && !serversecret(run.report, nntp, "NNTPPASSCMD", secret)) return false;
    attend(run.report, client.connection(), run.options.check);
    return true;
}

bool NewsOpening::open() {
    words.ended() = Outcome();
    step = client.open(secret);
    return step == Step::Next;
}

void NewsOpening::home() {
    client.tellhome();
    attend(run.report, client.connection(), run.options.check);
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
