// vorpa authorize: the account's OAuth2 flow on the terminal, once; the
// runs after it refresh the tokens it stored.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "core/text.h"
#include "oauth/oauth.h"
#include "phases/shared.h"

namespace {

// sysexits' EX_TEMPFAIL, as a run whose network failed.
constexpr int kExitTempFail = 75;

// Hands the address to the desktop's browser, not waiting for it: a
// grandchild of ours, which no one needs to reap.
void openbrowser(const std::string& address) {
    pid_t child = fork();
    if (child == 0) {
        setsid();
        if (fork() == 0) {
            int null = open("/dev/null", O_RDWR);
            if (null >= 0) {
                dup2(null, STDIN_FILENO);
                dup2(null, STDOUT_FILENO);
                dup2(null, STDERR_FILENO);
            }
            execlp("xdg-open", "xdg-open", address.c_str(), static_cast<char*>(nullptr));
        }
        _exit(0);
    }
    if (child > 0) waitpid(child, nullptr, 0);
}

class Prompt : public OAuthPrompt {
public:
    explicit Prompt(Report& out) : out(out) {}
    void device(const std::string& address, const std::string& code) override {
        out.say("Open %s and enter %s\n", safetext(address).c_str(), safetext(code).c_str());
        out.flush();
    }
    void browse(const std::string& address) override {
        out.say("Open this address in a browser to authorize Vorpa:\n%s\n", address.c_str());
        out.flush();
        const char* x = std::getenv("DISPLAY");
        const char* wayland = std::getenv("WAYLAND_DISPLAY");
        if ((x && *x) || (wayland && *wayland)) openbrowser(address);
    }

private:
    Report& out;
};

}  // namespace

int authorize(Report& report, OAuthHttp& http, const Account& account) {
    const char* name = account.name.c_str();
    if (account.oauth2.empty()) {
        report.alert("Error: account %s has no OAUTH2 setting to authorize\n", name);
        return 1;
    }
    Prompt prompt(report);
    OAuthTokens tokens;
    OAuthOutcome got = oauthauthorize(http, account, prompt, tokens);
    switch (got.end) {
    case OAuthOutcome::Ok:
        break;
    case OAuthOutcome::Denied:
        report.say("The authorization of account %s was denied\n", name);
        return 2;
    case OAuthOutcome::Expired:
        report.say("The authorization of account %s was not given in time\n", name);
        return 2;
    case OAuthOutcome::Unreachable:
        report.say("OAuth2 endpoint of account %s cannot be reached: %s\n", name, got.why.c_str());
        return kExitTempFail;
    default:
        report.say("The authorization of account %s failed: %s\n", name, got.why.c_str());
        return 2;
    }
    TokenFile file(account.newsgroups, account.name);
    if (!file.save(tokens)) {
        report.say("Cannot write to %s: %s\n", file.failedfile().c_str(), file.reason());
        return 2;
    }
    report.say("Account %s is authorized: its tokens are in %s\n", name, file.where().c_str());
    return 0;
}
