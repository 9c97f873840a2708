// Entry point: the command line, start-up checks, and the fixed order of the
// four transfer phases.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <strings.h>
#include <unistd.h>

#include "config/config.h"
#include "driver/driver.h"
#include "mail/mail.h"
#include "net/socket.h"
#include "news/news.h"

namespace {

constexpr int versionmajor = 1;
constexpr int versionminor = 0;

const char* const weekday[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const month[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

[[noreturn]] void usage() {
    fputs("Usage: (all commands & options can be abbreviated to their first letter)\n\n"
          "vorpa all            fetch/post email & news\n"
          "vorpa email          fetch/post email only (no news)\n"
          "vorpa news           fetch/post news only (no email)\n"
          "vorpa fetch          fetch mail/news only (no posting)\n"
          "vorpa post           post mail/news only (no fetching)\n"
          "(email/news and fetch/post may be combined)\n"
          "\nCommandline options:\n\n"
          "/config=<filename>   use <filename> as configuration file\n"
          "/list=<filename>     list newsgroups into file\n"
          "   [;<YYYY-MM-DD[;HH:MM:SS>]]   list new newsgroups since date\n"
          "/test                don't delete mail/files after processing\n"
          "/verbose             display additional information\n",
          stdout);
    std::exit(1);
}

// A value that does not fit its buffer refuses the run rather than being
// cut into the name of some other file.
[[noreturn]] void toolong(const char* what, const char* value) {
    fprintf(stderr, "Error: %s too long: %s\n", what, value);
    std::exit(1);
}

// Copies len bytes of src; the whole option arg names it when it does not fit.
void copyvalue(const char* what, const char* arg, const char* src, size_t len, char* dest, size_t size) {
    if (len >= size) toolong(what, arg);
    std::memcpy(dest, src, len);
    dest[len] = '\0';
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
void scanlist(const char* arg, const char* value) {
    listnews = 1;
    listyear = 0;
    const char* semi = std::strchr(value, ';');
    size_t namelen = semi ? static_cast<size_t>(semi - value) : std::strlen(value);
    copyvalue("/list= file name", arg, value, namelen, listfilename, sizeof listfilename);
    if (!semi) return;
    if (std::sscanf(semi + 1, "%u-%u-%u", &listyear, &listmonth, &listday) != 3) usage();
    listhour = listmin = listsec = 0;
    const char* timepart = std::strchr(semi + 1, ';');
    if (timepart && std::sscanf(timepart + 1, "%u:%u:%u", &listhour, &listmin, &listsec) != 3) usage();
}

void scanoption(const char* arg) {
    const char* rest = arg + 1;
    if (!strcasecmp(rest, "test") || !strcasecmp(rest, "t")) {
        testmode = 1;
    } else if (!strcasecmp(rest, "verbose") || !strcasecmp(rest, "v")) {
        verbose = 1;
    } else if (startswith(rest, "config=") || startswith(rest, "c=")) {
        const char* value = std::strchr(rest, '=') + 1;
        copyvalue("/config= file name", arg, value, std::strlen(value), configfile, sizeof configfile);
    } else if (startswith(rest, "list=") || startswith(rest, "l=")) {
        scanlist(arg, std::strchr(rest, '=') + 1);
    } else {
        usage();
    }
}

void scancommandline(int argc, char** argv) {
    int mail = 1, news = 1, fetch = 1, post = 1;
    int command = 0;
    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        if (iscommand(arg, "all")) {
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
            scanoption(arg);
            continue;
        } else {
            usage();
        }
        command = 1;
    }
    if (!command) usage();
    transfer[FETCHMAIL] = mail && fetch;
    transfer[POSTMAIL] = mail && post;
    transfer[FETCHNEWS] = news && fetch;
    transfer[POSTNEWS] = news && post;
}

// A state file name without a directory lies in the folder of base (the
// program or the configuration file found in the user's folder).
void placenewsgroupsfile(const char* base) {
    if (std::strchr(newsgroupsfile, '/')) return;
    char joined[sizeof newsgroupsfile];
    if (joinprogramdir(base, newsgroupsfile, joined, sizeof joined) != 0) {
        toolong("newsgroups file path", newsgroupsfile);
    }
    std::memcpy(newsgroupsfile, joined, sizeof newsgroupsfile);
}

// A log that cannot be kept is no reason to stop the run; one line says so.
void logwarning(const char* what, const char* reason) {
    std::fflush(stdout);
    std::fprintf(stderr, "Warning: cannot %s log file %s%s%s\n", what, logfile, reason ? ": " : "",
                 reason ? reason : "");
}

void openlog() {
    if (logfile[0] == '\0') return;
    vorpa::logf = std::fopen(logfile, "a");
    if (!vorpa::logf) {
        logwarning("open", std::strerror(errno));
        return;
    }
    std::fseek(vorpa::logf, 0, SEEK_END);
    if (std::ftell(vorpa::logf) > 0) std::fputc('\n', vorpa::logf);
    std::time_t now = std::time(nullptr);
    std::tm* t = std::localtime(&now);
    std::fprintf(vorpa::logf, "--- Vorpa-%s v%d.%02d  %s %02d-%-3s-%04d %02d:%02d:%02d\n", osstr,
                 versionmajor, versionminor, weekday[t->tm_wday], t->tm_mday, month[t->tm_mon],
                 t->tm_year + 1900, t->tm_hour, t->tm_min, t->tm_sec);
}

void closelog() {
    if (!vorpa::logf) return;
    bool failed = std::ferror(vorpa::logf) != 0;
    const char* reason = nullptr;
    if (std::fclose(vorpa::logf) != 0) reason = std::strerror(errno);
    vorpa::logf = nullptr;
    if (failed || reason) logwarning("write to", reason);
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
    std::printf("Vorpa-%s v%d.%02d  %s %s\n", osstr, versionmajor, versionminor, __DATE__, __TIME__);
    std::printf("Documentation: see README.md\n\n");
    std::fflush(stdout);

    scancommandline(argc, argv);

    std::string base = programpath(argc > 0 ? argv[0] : "vorpa");
    if (configfile[0] == '\0' && !findconfigfile(base)) return 1;
    if (readconfigfile(configfile, base.c_str()) != 0) return 1;
    if (soupdir[0] == '\0') {
        std::fprintf(stderr, "Error: SOUPDIR not defined in %s\n", configfile);
        return 1;
    }
    if (soupdir[std::strlen(soupdir) - 1] != '/') toolong("SOUPDIR", soupdir);
    checkdir(soupdir);
    // A bundle that trusts nothing would refuse every server with a
    // misleading reason, in every phase.
    if (cafile[0] != '\0' && !tlscheckcafile(cafile)) {
        std::fprintf(stderr, "Error: CAFILE %s holds no readable PEM certificate\n", cafile);
        return 1;
    }
    placenewsgroupsfile(base.c_str());
    openlog();

    if (sock_init() != 0) {
        std::fprintf(stderr, "Error: unable to initialize TCP/IP socket API\n");
        closelog();
        return 1;
    }
    std::atexit(sock_deinit);

    // Each posting phase votes: a 0 from either says a line of REPLIES was
    // kept. The phases themselves drop the lines they finished. A phase
    // returns 0 when it ended early.
    killreplies = -1;
    int completed = 1;
    if (transfer[POSTMAIL]) completed &= postemail();
    if (transfer[POSTNEWS]) completed &= postnews();
    if (transfer[FETCHMAIL]) completed &= fetchemail();
    if (transfer[FETCHNEWS]) completed &= fetchnews();

    std::printf("\nDone.\n");
    closelog();
    // A kept line of REPLIES lists something not sent. Cron or a script
    // must be able to tell such a run from one that did all its work.
    return completed && killreplies != 0 ? 0 : 2;
}
