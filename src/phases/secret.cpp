// Passwords and tokens from a command of the user's: a keyring, a password
// manager, a program that refreshes an OAuth2 token.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

#include "core/text.h"
#include "oauth/oauth.h"
#include "phases/openings.h"
#include "phases/shared.h"

namespace {

constexpr int kCommandLimitMs = 30000;
// A person typing a passphrase.
constexpr int kPromptLimitMs = 300000;

long long nowms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Gives the terminal's foreground to group. The caller may be in the
// background by then, where the system would stop it for asking.
void foreground(int tty, pid_t group) {
    sigset_t ttou, before;
    sigemptyset(&ttou);
    sigaddset(&ttou, SIGTTOU);
    sigprocmask(SIG_BLOCK, &ttou, &before);
    tcsetpgrp(tty, group);
    sigprocmask(SIG_SETMASK, &before, nullptr);
}

// The terminal the run was started from, while vorpa has its foreground:
// not under cron, nor in the background of a shell. Its modes are put
// back with the foreground: a command killed while it asked with the echo
// off must not leave the terminal so.
class Terminal {
public:
    Terminal() : fd(open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC)) {
        if (fd >= 0 && (tcgetpgrp(fd) != getpgrp() || tcgetattr(fd, &modes) != 0)) {
            close(fd);
            fd = -1;
        }
    }
    ~Terminal() { release(); }
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;
    // Takes the terminal back, once the command is gone.
    void release() {
        if (fd < 0) return;
        foreground(fd, getpgrp());
        tcsetattr(fd, TCSADRAIN, &modes);
        close(fd);
        fd = -1;
    }

    int fd;

private:
    termios modes{};
};

// In the child: standard input from the terminal, which it then has the
// foreground of, or from /dev/null without one; standard output into the
// pipe, none of vorpa's other descriptors, a process group of its own.
[[noreturn]] void execshell(int out, int tty, const char* command) {
    setpgid(0, 0);
    // Before the command could read: whichever of the two comes first.
    if (tty >= 0) foreground(tty, getpid());
    Interrupts::release();
    int in = tty >= 0 ? tty : open("/dev/null", O_RDONLY);
    if (in < 0 || dup2(in, STDIN_FILENO) < 0 || dup2(out, STDOUT_FILENO) < 0) _exit(127);
    closefrom(STDERR_FILENO + 1);
    execl("/bin/sh", "sh", "-c", command, static_cast<char*>(nullptr));
    _exit(127);
}

// A command running, its output read as it comes.
struct Running {
    Running(pid_t pid, int fd, int limitms) : pid(pid), fd(fd), deadline(nowms() + limitms) {}
    pid_t pid;
    int fd;
    long long deadline;
    std::string out;
    int status = 0;
    bool exited = false;

    bool haveline() const { return out.find('\n') != std::string::npos; }
    // Whether the command ended in time; its output is in out.
    bool finish();
    void take(const char* data, size_t len) {
        if (!haveline() && out.size() <= kLineMax) out.append(data, len);
    }
    void reap(int flags) {
        if (!exited && waitpid(pid, &status, flags) == pid) exited = true;
    }
};

// Reads to the end of the output, or, once the shell has exited, to the
// end of the first line (something it left running may hold the pipe);
// then waits for the shell. False at the deadline.
bool Running::finish() {
    char buf[4096];
    for (bool more = true; more && !(exited && haveline());) {
        long long left = deadline - nowms();
        if (left <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        // Now and then a look whether the shell is gone.
        if (poll(&p, 1, static_cast<int>(std::min(left, 50LL))) > 0) {
            ssize_t n = read(fd, buf, sizeof buf);
            if (n > 0) take(buf, static_cast<size_t>(n));
            more = n > 0 || (n < 0 && errno == EINTR);
        }
        reap(WNOHANG);
    }
    while (!exited) {
        if (nowms() >= deadline) return false;
        poll(nullptr, 0, 10);
        reap(WNOHANG);
    }
    return true;
}

bool failed(Report& report, const char* setting, const std::string& why) {
    report.say("%s failed: %s\n", setting, why.c_str());
    return false;
}

}  // namespace

bool runpasscommand(Report& report, const char* setting, const std::string& command, int limitms, int promptms,
                    std::string& line) {
    report.step("+ Running %s...\n", setting);
    // Whatever the command says on the error stream comes after our lines.
    report.flush();
    Terminal tty;
    if (tty.fd >= 0) limitms = promptms;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return failed(report, setting, std::string("cannot run: ") + strerror(errno));
    pid_t pid = fork();
    if (pid == 0) execshell(fds[1], tty.fd, command.c_str());
    int forkerror = errno;
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return failed(report, setting, std::string("cannot run: ") + strerror(forkerror));
    }
    // The child does the same: whichever comes first.
    setpgid(pid, pid);
    if (tty.fd >= 0) foreground(tty.fd, pid);
    Running child(pid, fds[0], limitms);
    bool intime = child.finish();
    close(fds[0]);
    if (!intime) {
        // The group holds all it started, the shell too unless it is gone.
        kill(-pid, SIGKILL);
        if (!child.exited) kill(pid, SIGKILL);
        child.reap(0);
        tty.release();
        return failed(report, setting, "timed out after " + std::to_string((limitms + 999) / 1000) + " s");
    }
    tty.release();
    if (WIFSIGNALED(child.status))
        return failed(report, setting, "killed by signal " + std::to_string(WTERMSIG(child.status)));
    if (WEXITSTATUS(child.status) != 0)
        return failed(report, setting, "exit status " + std::to_string(WEXITSTATUS(child.status)));
    line = child.out.substr(0, child.out.find('\n'));
    if (line.size() > kLineMax)
        return failed(report, setting, "first line longer than " + std::to_string(kLineMax) + " bytes");
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) return failed(report, setting, "no output");
    return true;
}

bool proxysecret(Report& report, const Account& account, std::string& pass) {
    return runpasscommand(report, "PROXYPASSCMD", account.proxypasscmd, kCommandLimitMs, kPromptLimitMs, pass);
}

bool serversecret(Report& report, const Server& server, const char* command, std::string& secret) {
    if (server.passcmd.empty()) {
        secret = server.pass;
        return true;
    }
    return runpasscommand(report, command, server.passcmd, kCommandLimitMs, kPromptLimitMs, secret);
}

namespace {

// Longer than any password and than a POP3 AUTH line may be: a token
// pasted where a password goes, which PLAIN, LOGIN or PASS would only
// have refused.
bool tokenhint(Report& report, const Server& server, const char* setting, const std::string& secret) {
    if (server.auth != AuthMode::Auto || secret.size() <= 255) return true;
    std::string name = setting;
    report.say("%s looks like an OAuth2 token (%zu characters): set %sAUTH xoauth2\n", setting, secret.size(),
               name.substr(0, name.find("PASS")).c_str());
    return false;
}

// Ends the account's phases: this one and, without a word, its others.
Secret untokened(const Context& run, Secret how) {
    run.tally.untokened.emplace_back(run.account.name, how == Secret::Offline ? Result::Offline : Result::Ended);
    return how;
}

Secret oauthsecret(const Context& run, std::string& secret) {
    const Account& account = run.account;
    Report& out = run.report;
    const char* name = account.name.c_str();
    for (const auto& done : run.tally.untokened)
        if (done.first == account.name) return done.second == Result::Offline ? Secret::Offline : Secret::Ended;
    TokenFile file(account.newsgroups, account.name);
    const char* path = file.where().c_str();
    OAuthTokens tokens;
    switch (file.load(tokens)) {
    case TokenFile::Ready:
        break;
    case TokenFile::Missing:
        out.say("Account %s is not authorized yet: run vorpa authorize %s\n", name, name);
        return untokened(run, Secret::Ended);
    case TokenFile::Exposed:
        out.say("%s holds OAuth2 tokens and other users can read it: chmod 600 %s\n", path, path);
        return untokened(run, Secret::Ended);
    case TokenFile::Failed:
        out.say("Cannot read %s: %s\n", path, file.reason());
        return untokened(run, Secret::Ended);
    }
    if (!tokens.access.empty() && tokens.expires - 60 > static_cast<long long>(std::time(nullptr))) {
        secret = tokens.access;
        return Secret::Ready;
    }
    out.step("+ Refreshing the OAuth2 access token of account %s...\n", name);
    OAuthOutcome got = oauthrefresh(run.http, account, tokens);
    switch (got.end) {
    case OAuthOutcome::Ok:
        break;
    case OAuthOutcome::Withdrawn:
        out.say("The authorization of account %s was withdrawn or has expired: run vorpa authorize %s\n", name,
                name);
        return untokened(run, Secret::Ended);
    case OAuthOutcome::Unreachable:
        out.say("OAuth2 token endpoint of account %s cannot be reached: %s\n", name, got.why.c_str());
        return untokened(run, Secret::Offline);
    default:
        out.say("OAuth2 token refresh of account %s failed: %s\n", name, got.why.c_str());
        return untokened(run, Secret::Ended);
    }
    // A refresh token the provider replaced is the only one that works now.
    if (!file.save(tokens)) {
        out.say("Cannot write to %s: %s\n", file.failedfile().c_str(), file.reason());
        return untokened(run, Secret::Ended);
    }
    secret = tokens.access;
    return Secret::Ready;
}

}  // namespace

void tokenrefused(const Context& run, const SaslLogin& login) {
    if (run.account.oauth2.empty() || !login.token || login.end != SaslLogin::Refused) return;
    // The token file is the main thread's.
    if (run.opening && run.opening->running()) {
        run.opening->refusedtoken = true;
        return;
    }
    forgettoken(run);
}

void forgettoken(const Context& run) {
    TokenFile file(run.account.newsgroups, run.account.name);
    OAuthTokens tokens;
    if (file.load(tokens) != TokenFile::Ready) return;
    tokens.access.clear();
    tokens.expires = 0;
    if (!file.save(tokens)) run.report.say("Cannot write to %s: %s\n", file.failedfile().c_str(), file.reason());
}

Secret loginsecret(const Context& run, const Server& server, const char* command, std::string& secret) {
    if (!run.account.oauth2.empty()) return oauthsecret(run, secret);
    std::string setting(command, std::strlen(command) - 3);
    if (!serversecret(run.report, server, command, secret)) return Secret::Failed;
    return tokenhint(run.report, server, (server.passcmd.empty() ? setting : std::string(command)).c_str(), secret)
               ? Secret::Ready
               : Secret::Failed;
}
