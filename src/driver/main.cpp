// Entry point: the command line, start-up checks, and the fixed order of the
// four transfer phases.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <strings.h>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>

#include "config/config.h"
#include "core/text.h"
#include "net/socket.h"
#include "oauth/oauth.h"
#include "phases/phases.h"
#include "soup/soup.h"

namespace {

// sysexits' EX_TEMPFAIL: nothing is wrong that a later run would not pass.
constexpr int kExitTempFail = 75;

// The version is defined once, in the build.
constexpr int versionmajor = VORPA_VERSION_MAJOR;
constexpr int versionminor = VORPA_VERSION_MINOR;
const char osstr[] = "Linux";

const char* const weekday[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const month[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

void showusage(Report& report) {
    static const char text[] =
        "Usage: (all commands & options can be abbreviated to their first letter)\n\n"
        "vorpa all            fetch/post email & news\n"
        "vorpa email          fetch/post email only (no news)\n"
        "vorpa news           fetch/post news only (no email)\n"
        "vorpa fetch          fetch mail/news only (no posting)\n"
        "vorpa post           post mail/news only (no fetching)\n"
        "vorpa authorize [account]\n"
        "                     run the OAuth2 flow once, keep its tokens (whole word)\n"
        "vorpa setup <address> [provider] [--print]\n"
        "                     add an account for the address to the configuration\n"
        "(email/news and fetch/post may be combined)\n"
        "\nCommandline options:\n\n"
        "/config=<filename>   use <filename> as configuration file\n"
        "/list=<filename>     list newsgroups into file\n"
        "   [;<YYYY-MM-DD[;HH:MM:SS>]]   list new newsgroups since date\n"
        "/test                send and fetch as usual, but delete nothing\n"
        "/check               log in, report what would be done, send/fetch nothing\n"
        "/verbose             display additional information\n"
        "/account=<name>      this account only (may be repeated)\n"
        "--settings           show the settings in force and where each was set\n"
        "--help               show this text\n"
        "--version            show the program's name and version\n";
    report.show(text, sizeof text - 1);
}

[[noreturn]] void usage(Report& report) {
    showusage(report);
    std::exit(1);
}

// A word the run cannot take is named, then the usage follows.
[[noreturn]] void badword(Report& report, const char* what, const char* arg) {
    report.alert("Error: %s %s\n", what, arg);
    usage(report);
}

// --version wins over every other word and prints nothing else.
bool asksversion(int argc, char** argv) {
    for (int i = 1; i < argc; i++)
        if (!strcasecmp(argv[i], "--version") || !strcasecmp(argv[i], "/version")) return true;
    return false;
}

// A value that does not fit its buffer refuses the run rather than being
// cut into the name of some other file.
[[noreturn]] void toolong(Report& report, const char* what, const char* value) {
    report.alert("Error: %s too long: %s\n", what, value);
    std::exit(1);
}


// A name the system could not open is refused here, with its option.
std::string pathvalue(Report& report, const char* what, const char* arg, const char* src, size_t len) {
    if (len > kPathMax) toolong(report, what, arg);
    return std::string(src, len);
}

// The whole word or its first letter, in any case.
bool iscommand(const char* arg, const char* word) {
    return !strcasecmp(arg, word) || (arg[0] != '\0' && arg[1] == '\0' && !memicmp(arg, word, 1));
}

bool startswith(const char* text, const char* prefix) {
    size_t n = std::strlen(prefix);
    return std::strlen(text) >= n && !memicmp(text, prefix, static_cast<unsigned>(n));
}

// "/list=<file>[;Y-M-D[;H:M:S]]": the value is everything after the "=".
void scanlist(Report& report, const char* arg, const char* value, RunOptions& run) {
    run.list = true;
    run.listyear = 0;
    const char* semi = std::strchr(value, ';');
    size_t namelen = semi ? static_cast<size_t>(semi - value) : std::strlen(value);
    run.listfile = pathvalue(report, "/list= file name", arg, value, namelen);
    if (!semi) return;
    if (std::sscanf(semi + 1, "%u-%u-%u", &run.listyear, &run.listmonth, &run.listday) != 3)
        badword(report, "bad date in", arg);
    run.listhour = run.listmin = run.listsec = 0;
    const char* timepart = std::strchr(semi + 1, ';');
    if (timepart && std::sscanf(timepart + 1, "%u:%u:%u", &run.listhour, &run.listmin, &run.listsec) != 3)
        badword(report, "bad time in", arg);
}

// Every option also in the long form: "--test" as "/test".
void scanoption(Report& report, const char* arg, RunOptions& run, std::string& configfile) {
    const char* rest = arg + (arg[0] == '-' && arg[1] == '-' ? 2 : 1);
    if (!strcasecmp(rest, "test") || !strcasecmp(rest, "t")) {
        run.test = true;
    } else if (!strcasecmp(rest, "check")) {
        // The whole word only: "/c=" is the configuration file.
        run.check = run.test = true;
    } else if (!strcasecmp(rest, "verbose") || !strcasecmp(rest, "v")) {
        run.verbose = true;
    } else if (!strcasecmp(rest, "settings")) {
        run.showsettings = true;
    } else if (startswith(rest, "config=") || startswith(rest, "c=")) {
        const char* value = std::strchr(rest, '=') + 1;
        configfile = pathvalue(report, "/config= file name", arg, value, std::strlen(value));
    } else if (startswith(rest, "account=")) {
        run.accounts.emplace_back(std::strchr(rest, '=') + 1);
    } else if (startswith(rest, "list=") || startswith(rest, "l=")) {
        scanlist(report, arg, std::strchr(rest, '=') + 1, run);
    } else if (!strcasecmp(rest, "help") || !strcasecmp(rest, "h")) {
        showusage(report);
        std::exit(0);
    } else {
        badword(report, "unknown word", arg);
    }
}

// all: the command line named neither email nor news.
void scancommandline(Report& report, int argc, char** argv, RunOptions& run, std::string& configfile, bool& all) {
    int mail = 1, news = 1, fetch = 1, post = 1;
    int command = 0;
    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        if (!strcasecmp(arg, "authorize") || !strcasecmp(arg, "--authorize")) {
            run.authorize = true;
            // The account it names, if any.
            if (i + 1 < argc && argv[i + 1][0] != '/' && argv[i + 1][0] != '-') run.accounts.emplace_back(argv[++i]);
        } else if (iscommand(arg, "all")) {
            mail = news = 1;
        } else if (iscommand(arg, "email")) {
            mail = 1;
            news = 0;
        } else if (iscommand(arg, "news")) {
            mail = 0;
            news = 1;
        } else if (iscommand(arg, "fetch")) {
            fetch = 1;
            post = 0;
        } else if (iscommand(arg, "post")) {
            fetch = 0;
            post = 1;
        } else if (arg[0] == '/' || arg[0] == '-') {
            scanoption(report, arg, run, configfile);
            continue;
        } else {
            badword(report, "unknown word", arg);
        }
        command = 1;
    }
    if (!command && !run.showsettings && !run.authorize) {
        report.alert("Error: say what to do: all, email or news (see vorpa --help)\n");
        usage(report);
    }
    run.fetchmail = mail && fetch;
    run.postmail = mail && post;
    run.fetchnews = news && fetch;
    run.postnews = news && post;
    all = mail && news;
}

// vorpa setup ADDRESS [PROVIDER] [--print] [/config=FILE], the words in
// any order: writes an account and runs nothing else.
int setup(Report& report, int argc, char** argv) {
    std::vector<std::string> words;
    std::string configfile;
    bool print = false;
    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        const char* rest = arg + (arg[0] == '-' && arg[1] == '-' ? 2 : 1);
        if (!strcasecmp(arg, "setup")) continue;
        if (arg[0] != '/' && arg[0] != '-') {
            words.emplace_back(arg);
        } else if (!strcasecmp(rest, "print")) {
            print = true;
        } else if (startswith(rest, "config=") || startswith(rest, "c=")) {
            const char* value = std::strchr(rest, '=') + 1;
            configfile = pathvalue(report, "/config= file name", arg, value, std::strlen(value));
        } else {
            badword(report, "unknown word", arg);
        }
    }
    if (words.empty() || words.size() > 2) {
        report.alert("Error: say the address: vorpa setup joe@example.org\n");
        usage(report);
    }
    if (configfile.empty()) configfile = setupconfigfile(programpath(argv[0]));
    if (configfile.empty()) {
        report.alert("Error: no home folder for the configuration: name one with /config=\n");
        return 1;
    }
    return setupaccount(report, words[0], words.size() > 1 ? words[1] : "", configfile, print);
}

// Ends the run when the packet directory (given with its trailing "/")
// does not exist or is no directory. The root is refused with the rest: an
// empty SOUPDIR value gives "/", and no packet belongs there.
void checkdir(Report& report, const Settings& settings) {
    const std::string& soupdir = settings.soupdir;
    std::string dir = soupdir.substr(0, soupdir.size() - 1);
    struct stat st;
    if (!exist(dir.c_str())) {
        // Named with the line that sets it: the one to mend.
        const Origin* origin = findorigin(settings.origins, "SOUPDIR");
        std::string where = origin ? " (line " + std::to_string(origin->line) + " of " +
                                         tildepath(settings.files[origin->file]) + ")"
                                   : "";
        if (dir.empty())
            report.alert("Error: SOUPDIR%s is empty or /, where no packet belongs\n", where.c_str());
        else
            report.alert("Error: SOUPDIR %s%s does not exist\n", tildepath(dir).c_str(), where.c_str());
    } else if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        report.say("FATAL ERROR: %s is not a directory\n", dir.c_str());
    } else {
        return;
    }
    std::exit(1);
}

// A log that cannot be kept is no reason to stop the run; one line says so.
void logwarning(Report& report, const char* what, const std::string& logfile, const char* reason) {
    report.alert("Warning: cannot %s log file %s%s%s\n", what, logfile.c_str(), reason ? ": " : "",
                 reason ? reason : "");
}

void openlog(ConsoleReport& report, const std::string& logfile) {
    if (logfile.empty()) return;
    report.log = std::fopen(logfile.c_str(), "a");
    if (!report.log) {
        logwarning(report, "open", logfile, std::strerror(errno));
        return;
    }
    std::fseek(report.log, 0, SEEK_END);
    if (std::ftell(report.log) > 0) report.logonly("\n");
    std::time_t now = std::time(nullptr);
    std::tm* t = std::localtime(&now);
    report.logonly("--- Vorpa-%s v%d.%02d  %s %02d-%-3s-%04d %02d:%02d:%02d\n", osstr, versionmajor, versionminor,
                   weekday[t->tm_wday], t->tm_mday, month[t->tm_mon], t->tm_year + 1900, t->tm_hour, t->tm_min,
                   t->tm_sec);
}

void closelog(ConsoleReport& report, const std::string& logfile) {
    if (!report.log) return;
    bool failed = std::ferror(report.log) != 0;
    const char* reason = report.logerror != 0 ? std::strerror(report.logerror) : nullptr;
    if (std::fclose(report.log) != 0 && !reason) reason = std::strerror(errno);
    report.log = nullptr;
    if (failed || reason) logwarning(report, "write to", logfile, reason);
}

// The accounts the run is for, in the order of the file; false after
// naming one the configuration does not hold.
bool chooseaccounts(Report& report, const Settings& settings, const RunOptions& options,
                    std::vector<const Account*>& chosen) {
    for (const std::string& name : options.accounts) {
        bool known = false;
        for (const Account& a : settings.accounts) known = known || a.name == name;
        if (known) continue;
        report.alert("Error: no ACCOUNT %s in %s\n", name.c_str(), tildepath(settings.files.front()).c_str());
        return false;
    }
    for (const Account& a : settings.accounts)
        if (options.accounts.empty() ||
            std::find(options.accounts.begin(), options.accounts.end(), a.name) != options.accounts.end())
            chosen.push_back(&a);
    return true;
}

// The accounts a phase works for: those that have its server. When none
// has, the first one alone, whose phase says what is missing or, under
// all, is left out. once: the first of them only.
std::vector<const Account*> phaseaccounts(const std::vector<const Account*>& chosen, Server Account::*server,
                                          bool once) {
    std::vector<const Account*> those;
    for (const Account* a : chosen) {
        // An account fetches its mail by IMAP too.
        bool has = !(a->*server).host.empty() || (server == &Account::pop && !a->imap.host.empty());
        if (has && (those.empty() || !once)) those.push_back(a);
    }
    if (those.empty()) those.push_back(chosen.front());
    return those;
}

// Each account named, else every one with OAUTH2; the exit status of the
// last that failed.
int authorizeaccounts(Report& report, const RunOptions& options, const std::vector<const Account*>& chosen) {
    int status = 0, done = 0;
    OAuthHttp http;
    for (const Account* account : chosen) {
        if (options.accounts.empty() && account->oauth2.empty()) continue;
        if (int r = authorize(report, http, *account)) status = r;
        done++;
    }
    if (done == 0) {
        report.alert("Error: no account has an OAUTH2 setting\n");
        return 1;
    }
    return status;
}

// The folder of a state file, as open() takes it.
std::string folderof(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash + 1);
}

bool lockheld(Report& report, const RunLock& lock, const std::string& what) {
    std::string pid = lock.holder > 0 ? " (pid " + std::to_string(lock.holder) + ")" : "";
    report.alert("Another vorpa run%s is using %s\n", pid.c_str(), what.c_str());
    return false;
}

// Two runs on one packet would take each other's files, and two on one
// configuration (a relative SOUPDIR, from two folders) each other's state
// files: the second touches nothing, not even the log, and may simply run
// again later. The packet is locked first, then the folder of each chosen
// account's state files.
bool lockrun(Report& report, const Settings& settings, const std::vector<const Account*>& chosen, RunLock& lock) {
    const std::string& soupdir = settings.soupdir;
    RunLock::Taken taken = lock.take(soupdir);
    if (taken == RunLock::Held)
        return lockheld(report, lock, soupdir.size() > 1 ? soupdir.substr(0, soupdir.size() - 1) : soupdir);
    if (taken == RunLock::Unlockable)
        report.alert("Warning: cannot lock %s: %s\n", soupdir.c_str(), std::strerror(lock.error));
    for (const Account* account : chosen) {
        std::string folder = folderof(account->newsgroups);
        taken = lock.take(folder);
        if (taken == RunLock::Held) return lockheld(report, lock, account->newsgroups);
        // A folder that is not there holds nothing yet; the phase that
        // needs a file in it says so.
        if (taken == RunLock::Unlockable && lock.error != ENOENT && lock.error != ENOTDIR)
            report.alert("Warning: cannot lock %s: %s\n", folder.c_str(), std::strerror(lock.error));
    }
    // The reader's folders, and the record of its replies taken in beside
    // the default account's state files.
    std::vector<std::string> reader{settings.readerpackets, settings.readerreplies};
    if (!settings.readerreplies.empty()) reader.push_back(folderof(settings.accounts.front().newsgroups));
    for (const std::string& folder : reader)
        if (!folder.empty() && lock.take(folder) == RunLock::Held) return lockheld(report, lock, folder);
    return true;
}

// Whether the account speaks TLS to any of its servers, or asks for OAuth2
// tokens: only then is its CAFILE read by OpenSSL, whose start costs a run
// some 3 MB.
bool speakstls(const Account& account) {
    for (const Server* server : {&account.pop, &account.imap, &account.smtp, &account.nntp})
        if (!server->host.empty() && server->tls != TLSOFF) return true;
    return !account.oauth2.empty();
}

// Each proxy password command of the accounts the run is for, once (the
// accounts that take the default's share its answer), before anything
// connects. False after the line that says why one failed.
bool proxypasswords(Report& report, Settings& settings, const std::vector<const Account*>& chosen) {
    std::vector<std::pair<std::string, std::string>> had;
    for (Account& account : settings.accounts) {
        if (account.proxypasscmd.empty() || std::find(chosen.begin(), chosen.end(), &account) == chosen.end())
            continue;
        auto known = std::find_if(had.begin(), had.end(),
                                  [&](const auto& h) { return h.first == account.proxypasscmd; });
        if (known != had.end()) {
            account.proxy.pass = known->second;
        } else {
            if (!proxysecret(report, account, account.proxy.pass)) return false;
            had.emplace_back(account.proxypasscmd, account.proxy.pass);
        }
        spreadproxy(account);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // Standard output is gathered when it is not a terminal: a line per
    // write would cost a system call per fetched message. It is flushed
    // when a wait for the network lasts and before each report on the
    // error stream, so a cron mail keeps the order of both streams;
    // start-up errors follow the banner.
    static char outbuf[65536];  // lives until the last flush at exit
    if (!isatty(STDOUT_FILENO)) std::setvbuf(stdout, outbuf, _IOFBF, sizeof outbuf);
    ConsoleReport report;
    if (asksversion(argc, argv)) {
        report.console("vorpa %d.%02d\n", versionmajor, versionminor);
        return 0;
    }
    for (int i = 1; i < argc; i++)
        if (!strcasecmp(argv[i], "setup")) return setup(report, argc, argv);
    report.console("Vorpa-%s v%d.%02d  %s %s\n", osstr, versionmajor, versionminor, __DATE__, __TIME__);
    static const char documentation[] = "Documentation: man vorpa\n\n";
    report.put(Channel::Live, documentation, sizeof documentation - 1);

    RunOptions options;
    std::string configfile;
    bool all = false;
    scancommandline(report, argc, argv, options, configfile, all);
    report.verbose = options.verbose;

    std::string base = programpath(argc > 0 ? argv[0] : "vorpa");
    if (!findconfigfile(report, base, configfile)) return 1;
    Settings settings;
    if (readconfigfile(report, configfile, base, settings) != 0) return 1;
    // Which of the places it may come from was taken.
    if (options.check || options.verbose || options.showsettings)
        report.console("Configuration: %s\n", tildepath(settings.files.front()).c_str());
    if (options.showsettings) {
        showsettings(report, settings);
        return 0;
    }
    std::vector<const Account*> chosen;
    if (!chooseaccounts(report, settings, options, chosen)) return 1;
    if (options.authorize) {
        if (!proxypasswords(report, settings, chosen)) return 2;
        return authorizeaccounts(report, options, chosen);
    }
    if (settings.soupdir.empty()) {
        report.alert("Error: SOUPDIR not defined in %s\n", configfile.c_str());
        return 1;
    }
    if (settings.soupdir.size() > kPathMax - 1) toolong(report, "SOUPDIR", settings.soupdir.c_str());
    checkdir(report, settings);
    RunLock lock;
    if (!lockrun(report, settings, chosen, lock)) return kExitTempFail;
    // A bundle that trusts nothing would refuse every server with a
    // misleading reason, in every phase.
    for (const Account& account : settings.accounts) {
        if (account.cafile.empty()) continue;
        if (access(account.cafile.c_str(), R_OK) != 0) {
            report.alert("Error: CAFILE %s: %s\n", tildepath(account.cafile).c_str(), std::strerror(errno));
            return 1;
        }
        if (!speakstls(account) || tlscheckcafile(account.cafile.c_str())) continue;
        report.alert("Error: CAFILE %s holds no readable PEM certificate\n", account.cafile.c_str());
        return 1;
    }
    // A command that may ask for a passphrase runs once the run is sure to go on.
    if (!proxypasswords(report, settings, chosen)) return 2;
    openlog(report, settings.logfile);

    // A phase that ended early, or kept a line of REPLIES because what it
    // lists was not sent, leaves work undone: cron or a script must be able
    // to tell such a run from one that did all its work.
    Interrupts interrupts;
    Tally tally;
    OAuthHttp http;
    bool undone = false, offline = false;
    // A posting phase runs once: it sends each message by its account.
    const std::vector<const Account*>* routes = settings.accounts.size() > 1 ? &chosen : nullptr;
    auto tallied = [&](Result result) {
        if (result == Result::Offline) offline = true;
        else if (result != Result::Done) undone = true;
    };
    // Every connection of the run opens at once, before the first phase;
    // the phases then run one after another, each taking its own.
    Openings openings(interrupts);
    auto context = [&](const Account& account) {
        return Context{settings, account, options, report, interrupts, all, tally, http, routes, &openings};
    };
    auto open = [&](bool asked, void (*what)(const Context&), Server Account::*server, bool once) {
        if (!asked) return;
        for (const Account* account : phaseaccounts(chosen, server, once)) what(context(*account));
    };
    // The reader's replies are in the packet before the posts plan.
    tallied(takereplies(settings, options, report));
    open(options.fetchmail, openmailfetchahead, &Account::pop, false);
    open(options.fetchnews, opennewsfetchahead, &Account::nntp, options.list);
    open(options.postnews, opennewspostahead, &Account::nntp, true);
    open(options.postmail, openmailpostahead, &Account::smtp, true);
    auto phase = [&](bool asked, Result (*what)(const Context&), Server Account::*server, bool once) {
        for (const Account* account : phaseaccounts(chosen, server, once)) {
            if (!asked || interrupts.taken()) return;
            tallied(what(context(*account)));
        }
    };
    phase(options.postmail, postemail, &Account::smtp, true);
    phase(options.postnews, postnews, &Account::nntp, true);
    phase(options.fetchmail, fetchemail, &Account::pop, false);
    phase(options.fetchnews, fetchnews, &Account::nntp, options.list);
    openings.end();
    // A server out of reach for days would leave cron quiet for ever.
    if (!interrupts.taken() && sayoutages(settings, options, tally, report)) undone = true;
    if (!interrupts.taken()) tallied(packforreader(settings, options, report));
    // A misspelt group would otherwise go unnoticed for ever.
    if (!tally.unknown.empty()) undone = true;

    std::string summary = options.check ? "" : summarize(tally);
    if (!summary.empty()) report.console("\n%s\n", summary.c_str());
    if (int sig = interrupts.taken()) {
        report.say("Interrupted by %s\n", Interrupts::name(sig));
        undone = true;
    } else {
        report.console(summary.empty() ? "\nDone.\n" : "Done.\n");
    }
    closelog(report, settings.logfile);
    // Only the network failed: cron may stay quiet and simply run again.
    return undone ? 2 : offline ? kExitTempFail : 0;
}
