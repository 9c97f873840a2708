#include "config/config.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <strings.h>
#include <utility>
#include <vector>

#include "core/durable.h"
#include "core/text.h"
#include "score/score.h"

namespace {

// INCLUDE must neither loop nor nest without end.
constexpr size_t maxdepth = 16;

struct Setting;

struct Reader {
    Settings& settings;
    Report& report;
    // Files being read right now, outermost first.
    std::vector<std::pair<dev_t, ino_t>> reading;
    bool secret = false;         // the file being read sets a password
    size_t file = 0;             // the file being read, in settings.files

    // Reads name, which lies beside the file from when it has no "/".
    int read(const std::string& name, const std::string& from);
    int scanline(std::string& text, long line, const char* path);
    int scan(const Setting& s, const std::string& value, long line, const char* path);
    void note(std::vector<Origin>& origins, const char* key, long line);
    int include(const std::string& value, long line, const char* path);
    void scanlogfile(const std::string& value, long line, const char* path);
    int scannewsgroups(const std::string& value, const char* path);
    bool beingread(const char* path) const;
    int startaccount(const std::string& name, long line, const char* path);
    int emptysection();
    // The account whose section is being read.
    Account& account() { return settings.accounts.back(); }
    // Where the section being read began, and whether a setting followed.
    std::string sectionpath = "";
    long sectionline = 0;
    bool sectionset = false;
};

// COMPRESS: one switch for every server of an account.
void setcompress(Account& a, Compress mode) {
    for (Server* server : {&a.pop, &a.imap, &a.smtp, &a.nntp}) server->compress = mode;
}

bool accountname(const std::string& name) {
    if (name.empty()) return false;
    for (unsigned char c : name)
        if (!isalnum(c) && c != '-' && c != '_' && c != '.') return false;
    return true;
}

// An ACCOUNT line without a setting after it is most likely a mistake in
// the lines that were meant to follow it.
int Reader::emptysection() {
    if (sectionline == 0 || sectionset) return 0;
    report.alert("Error: ACCOUNT %s has no settings in line %ld of %s\n", account().name.c_str(), sectionline,
                 sectionpath.c_str());
    return -1;
}

// The default account's machine name, certificates and compression serve
// every account that does not set its own.
int Reader::startaccount(const std::string& name, long line, const char* path) {
    if (emptysection() != 0) return -1;
    if (!accountname(name)) {
        report.alert("Error: ACCOUNT must be a name of letters, digits, -, _ and ., not \"%s\" in line %ld of %s\n",
                     name.c_str(), line, path);
        return -1;
    }
    for (const Account& a : settings.accounts) {
        if (a.name != name) continue;
        report.alert("Error: ACCOUNT %s is named twice, again in line %ld of %s\n", name.c_str(), line, path);
        return -1;
    }
    const Account& first = settings.accounts.front();
    Account next;
    next.name = name;
    next.hostname = first.hostname;
    next.cafile = first.cafile;
    setcompress(next, first.nntp.compress);
    next.addheaders = first.addheaders;
    next.proxyurl = first.proxyurl;
    next.proxy = first.proxy;
    next.proxypasscmd = first.proxypasscmd;
    next.quietdays = first.quietdays;
    for (const char* key : {"HOSTNAME", "CAFILE", "COMPRESS", "ADDHEADERS", "PROXY", "PROXYPASSCMD", "QUIETDAYS"})
        if (const Origin* o = findorigin(first.origins, key)) next.origins.push_back(*o);
    settings.accounts.push_back(std::move(next));
    sectionpath = path;
    sectionline = line;
    sectionset = false;
    return 0;
}

// A name with a "/" is taken as given; otherwise it lies in the folder of
// base (the configuration file that names it, or the program for the top
// one). Reports a name that does not fit and returns -1.
int resolvepath(Report& report, const std::string& name, const std::string& base, std::string& out) {
    int r = 0;
    if (name.find('/') != std::string::npos) {
        out = name;
        r = name.size() <= kPathMax ? 0 : -1;
    } else {
        r = joinprogramdir(base, name, out);
    }
    if (r != 0) report.alert("Error: file name too long: %s\n", name.c_str());
    return r;
}

// "~" and "~/..." lie in the home folder, as the shell has them.
std::string expandhome(const std::string& value) {
    const char* home = std::getenv("HOME");
    if (!home || home[0] == '\0' || value.empty() || value[0] != '~' || (value.size() > 1 && value[1] != '/'))
        return value;
    return home + value.substr(1);
}

bool Reader::beingread(const char* path) const {
    struct stat st;
    if (stat(path, &st) != 0) return false;
    for (const auto& file : reading)
        if (file.first == st.st_dev && file.second == st.st_ino) return true;
    return false;
}

// Returns -1 when the included name does not fit a path: the run is
// refused rather than going on without that file's settings.
int Reader::include(const std::string& value, long line, const char* path) {
    if (reading.size() >= maxdepth) {
        configwarn(report, "INCLUDE nested deeper than 16 files", line, path);
        return 0;
    }
    std::string target;
    if (resolvepath(report, value, path, target) != 0) return -1;
    if (beingread(target.c_str())) {
        configwarn(report, "INCLUDE of a file that is already being read", line, path);
        return 0;
    }
    return read(value, path) < 0 ? -1 : 0;
}

void Reader::scanlogfile(const std::string& value, long line, const char* path) {
    configscantext(value, line, path, settings.logfile);
    if (value.find('/') != std::string::npos) return;
    if (joinprogramdir(path, value, settings.logfile) != 0) {
        configwarn(report, "LOGFILE path too long, no log is written", line, path);
        settings.logfile.clear();
    }
}

int Reader::scannewsgroups(const std::string& value, const char* path) {
    return resolvepath(report, value, path, account().newsgroups);
}

// A TLS mode must be spelled out: a typo must not quietly mean plain text.
int scantls(Report& report, const std::string& value, long line, const char* path, const char* key, TlsMode& mode) {
    if (!strcasecmp(value.c_str(), "off")) {
        mode = TLSOFF;
    } else if (!strcasecmp(value.c_str(), "starttls")) {
        mode = TLSSTART;
    } else if (!strcasecmp(value.c_str(), "on")) {
        mode = TLSON;
    } else {
        report.alert("Error: %s must be off, starttls or on, not \"%s\" in line %ld of %s\n", key, value.c_str(),
                     line, path);
        return -1;
    }
    return 0;
}

const char* const tlsnames[] = {"off", "starttls", "on"};

const struct {
    const char* name;
    AuthMode mode;
} authnames[] = {{"auto", AuthMode::Auto},   {"user", AuthMode::User},       {"plain", AuthMode::Plain},
                 {"login", AuthMode::Login}, {"xoauth2", AuthMode::XOAuth2}, {"oauthbearer", AuthMode::OAuthBearer}};

// A login mechanism must be spelled out too; "user" is POP3's own.
int scanauth(Report& report, const std::string& value, long line, const char* path, const char* key, bool pop,
             AuthMode& mode) {
    for (const auto& n : authnames) {
        if (strcasecmp(value.c_str(), n.name) != 0 || (n.mode == AuthMode::User && !pop)) continue;
        mode = n.mode;
        return 0;
    }
    report.alert("Error: %s must be auto, %splain, login, xoauth2 or oauthbearer, not \"%s\" in line %ld of %s\n",
                 key, pop ? "user, " : "", value.c_str(), line, path);
    return -1;
}

// A switch is off or on, spelled out like a TLS mode.
int scanonoff(Report& report, const std::string& value, long line, const char* path, const char* key, bool& flag) {
    if (!strcasecmp(value.c_str(), "off")) {
        flag = false;
    } else if (!strcasecmp(value.c_str(), "on")) {
        flag = true;
    } else {
        report.alert("Error: %s must be off or on, not \"%s\" in line %ld of %s\n", key, value.c_str(), line, path);
        return -1;
    }
    return 0;
}

// A count of days, messages or articles: a typo must not quietly mean no
// bound, nor a huge one overflow where it is used.
int scancount(Report& report, const std::string& value, long line, const char* path, const char* key, long most,
              long& count) {
    char* end = nullptr;
    errno = 0;
    long n = std::strtol(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0' || errno == ERANGE || n < 0 || n > most ||
        !isdigit(static_cast<unsigned char>(value[0]))) {
        report.alert("Error: %s must be a number from 0 to %ld, not \"%s\" in line %ld of %s\n", key, most,
                     value.c_str(), line, path);
        return -1;
    }
    count = n;
    return 0;
}

// Bytes, or with k or M after them kilobytes or megabytes (of 1024); 0 or
// empty: none.
int scansize(Report& report, const std::string& value, long line, const char* path, const char* key, long most,
             long& size) {
    std::string digits = value;
    long unit = 1;
    char last = digits.empty() ? '\0' : digits.back();
    if (last == 'k' || last == 'K') unit = 1024;
    if (last == 'm' || last == 'M') unit = 1024 * 1024;
    if (unit > 1) digits.pop_back();
    long n = 0;
    if (value.empty()) {
        size = 0;
        return 0;
    }
    if (digits.empty() || digits.size() > 10 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
        (n = std::stol(digits)) > most / unit) {
        report.alert("Error: %s must be a size in bytes, or with k or M after it, up to %ldM, not \"%s\" in line %ld "
                     "of %s\n",
                     key, most / (1024 * 1024), value.c_str(), line, path);
        return -1;
    }
    size = n * unit;
    return 0;
}

// One of words ("a|b|c"), in any case; empty takes the setting back.
int scanword(Report& report, const std::string& value, long line, const char* path, const char* key,
             const char* list, std::string& out) {
    std::string lower = value;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string words = list;
    for (size_t at = 0; !lower.empty() && at <= words.size();) {
        size_t bar = std::min(words.find('|', at), words.size());
        if (words.compare(at, bar - at, lower) == 0) {
            out = lower;
            return 0;
        }
        at = bar + 1;
    }
    if (lower.empty()) {
        out.clear();
        return 0;
    }
    for (char& c : words)
        if (c == '|') c = ',';
    report.alert("Error: %s must be one of %s, not \"%s\" in line %ld of %s\n", key, words.c_str(),
                 value.c_str(), line, path);
    return -1;
}

// "sha256" and ":XX" for each of 32 bytes, the hex digits in either case.
bool ispin(const std::string& text) {
    if (text.size() != 6 + 32 * 3 || strncasecmp(text.c_str(), "sha256", 6) != 0) return false;
    for (size_t at = 6; at < text.size(); at += 3) {
        if (text[at] != ':' || !isxdigit(static_cast<unsigned char>(text[at + 1])) ||
            !isxdigit(static_cast<unsigned char>(text[at + 2])))
            return false;
    }
    return true;
}

// %XX of a URL's user and password.
bool urldecode(const std::string& text, std::string& out) {
    out.clear();
    for (size_t at = 0; at < text.size(); at++) {
        if (text[at] != '%') {
            out += text[at];
            continue;
        }
        if (at + 2 >= text.size() || !isxdigit(static_cast<unsigned char>(text[at + 1])) ||
            !isxdigit(static_cast<unsigned char>(text[at + 2])))
            return false;
        out += static_cast<char>(std::stoi(text.substr(at + 1, 2), nullptr, 16));
        at += 2;
    }
    return true;
}

// "socks5h://[user[:password]@]host[:port]" (socks5:// resolves here);
// empty takes the proxy back. A SOCKS5 login holds at most 255 bytes each.
bool scanproxy(const std::string& value, Proxy& proxy) {
    proxy = Proxy();
    if (value.empty()) return true;
    size_t scheme = value.find("://");
    if (scheme == std::string::npos) return false;
    std::string kind = value.substr(0, scheme);
    if (!strcasecmp(kind.c_str(), "socks5")) proxy.remotenames = false;
    else if (strcasecmp(kind.c_str(), "socks5h") != 0) return false;
    std::string rest = value.substr(scheme + 3);
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    size_t at = rest.rfind('@');
    if (at != std::string::npos) {
        std::string login = rest.substr(0, at);
        size_t colon = login.find(':');
        if (!urldecode(login.substr(0, colon), proxy.user) ||
            (colon != std::string::npos && !urldecode(login.substr(colon + 1), proxy.pass)))
            return false;
        if (proxy.user.empty() || proxy.user.size() > 255 || proxy.pass.size() > 255) return false;
        rest.erase(0, at + 1);
    }
    std::string port;
    bool hasport = false;
    if (!rest.empty() && rest[0] == '[') {
        size_t close = rest.find(']');
        if (close == std::string::npos) return false;
        proxy.host = rest.substr(1, close - 1);
        if (close + 1 < rest.size()) {
            if (rest[close + 1] != ':') return false;
            hasport = true;
            port = rest.substr(close + 2);
        }
    } else {
        size_t colon = rest.find(':');
        proxy.host = rest.substr(0, colon);
        hasport = colon != std::string::npos;
        if (hasport) port = rest.substr(colon + 1);
    }
    if (proxy.host.empty() || proxy.host.find_first_of("/?#@ \t") != std::string::npos) return false;
    if (!hasport) return true;
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return false;
    long n = std::strtol(port.c_str(), nullptr, 10);
    if (n < 1 || n > 65535) return false;
    proxy.port = static_cast<unsigned short>(n);
    return true;
}

// PROXY as --settings shows it: its password only as set.
std::string proxyshown(const std::string& url) {
    size_t scheme = url.find("://");
    size_t at = url.rfind('@');
    if (scheme == std::string::npos || at == std::string::npos || at < scheme) return url;
    size_t colon = url.find(':', scheme + 3);
    if (colon == std::string::npos || colon > at) return url;
    return url.substr(0, colon + 1) + "(set)" + url.substr(at);
}

// Secret: a password, kept byte for byte; Command: a password command,
// never shown; File: a file beside the configuration.
// List: one more value each line; RunWord: a Word of the run's own.
enum class Kind {
    Text, Secret, Command, File, Dir, LogFile, Newsgroups, Tls, Auth, Include, OnOff, Count, Pin, Word, From, Compress,
    List, RunWord, Proxy, Size, Signed
};

// The one list of the settings: keyword, kind, and where the value goes.
struct Setting {
    const char* key;
    Kind kind;
    std::string* (*text)(Account&);  // Text, Secret, Command, File, Pin
    Server* (*server)(Account&);     // Tls, Auth
    bool* (*flag)(Account&) = nullptr;   // OnOff
    long* (*count)(Account&) = nullptr;  // Count, Size
    long most = 0;                        // Count, Size: the largest value taken
    const char* words = nullptr;          // Word, RunWord: the values taken, "a|b|c"
    std::vector<std::string>* (*list)(Account&) = nullptr;  // List
    std::string Settings::*run = nullptr;  // Dir, RunWord
};

// A hundred years of days; counts of messages and articles.
constexpr long mostdays = 36500;
constexpr long mostcount = 1000000000;
// No message a server lists is larger.
constexpr long mostsize = INT32_MAX;

const Setting table[] = {
    {"HOSTNAME", Kind::Text, [](Account& s) { return &s.hostname; }, nullptr},
    {"POPUSER", Kind::Text, [](Account& s) { return &s.pop.user; }, nullptr},
    {"POPHOST", Kind::Text, [](Account& s) { return &s.pop.host; }, nullptr},
    {"POPPASS", Kind::Secret, [](Account& s) { return &s.pop.pass; }, nullptr},
    {"POPPASSCMD", Kind::Command, [](Account& s) { return &s.pop.passcmd; }, nullptr},
    {"POPTLS", Kind::Tls, nullptr, [](Account& s) { return &s.pop; }},
    {"POPAUTH", Kind::Auth, nullptr, [](Account& s) { return &s.pop; }},
    {"SMTPHOST", Kind::Text, [](Account& s) { return &s.smtp.host; }, nullptr},
    {"SMTPTLS", Kind::Tls, nullptr, [](Account& s) { return &s.smtp; }},
    {"SMTPAUTH", Kind::Auth, nullptr, [](Account& s) { return &s.smtp; }},
    {"SMTPUSER", Kind::Text, [](Account& s) { return &s.smtp.user; }, nullptr},
    {"SMTPPASS", Kind::Secret, [](Account& s) { return &s.smtp.pass; }, nullptr},
    {"SMTPPASSCMD", Kind::Command, [](Account& s) { return &s.smtp.passcmd; }, nullptr},
    {"KEEPTRYING", Kind::Count, nullptr, nullptr, nullptr, [](Account& s) { return &s.keeptrying; }, mostdays},
    {"NNTPHOST", Kind::Text, [](Account& s) { return &s.nntp.host; }, nullptr},
    {"NNTPTLS", Kind::Tls, nullptr, [](Account& s) { return &s.nntp; }},
    {"NNTPUSER", Kind::Text, [](Account& s) { return &s.nntp.user; }, nullptr},
    {"NNTPPASS", Kind::Secret, [](Account& s) { return &s.nntp.pass; }, nullptr},
    {"NNTPPASSCMD", Kind::Command, [](Account& s) { return &s.nntp.passcmd; }, nullptr},
    {"CAFILE", Kind::File, [](Account& s) { return &s.cafile; }, nullptr},
    {"TLSFINGERPRINT", Kind::Pin, [](Account& s) { return &s.tlsfingerprint; }, nullptr},
    {"SOUPDIR", Kind::Dir, nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &Settings::soupdir},
    {"NEWSGROUPS", Kind::Newsgroups, nullptr, nullptr},
    {"POPKEEP", Kind::OnOff, nullptr, nullptr, [](Account& s) { return &s.popkeep; }},
    {"POPKEEPDAYS", Kind::Count, nullptr, nullptr, nullptr, [](Account& s) { return &s.popkeepdays; }, mostdays},
    {"POPMAX", Kind::Count, nullptr, nullptr, nullptr, [](Account& s) { return &s.popmax; }, mostcount},
    {"NEWSFIRST", Kind::Count, nullptr, nullptr, nullptr, [](Account& s) { return &s.newsfirst; }, mostcount},
    {"NEWSMAX", Kind::Count, nullptr, nullptr, nullptr, [](Account& s) { return &s.newsmax; }, mostcount},
    {"SCOREFILE", Kind::File, [](Account& s) { return &s.scorefile; }, nullptr},
    {"SCOREMIN", Kind::Signed, nullptr, nullptr, nullptr, [](Account& s) { return &s.scoremin; }, mostcount},
    {"CROSSPOSTS", Kind::Word, [](Account& s) { return &s.crossposts; }, nullptr, nullptr, nullptr, 0, "once|each"},
    // OAuth2
    {"OAUTH2", Kind::Word, [](Account& s) { return &s.oauth2; }, nullptr, nullptr, nullptr, 0,
     "google|microsoft|custom"},
    {"OAUTH2CLIENTID", Kind::Text, [](Account& s) { return &s.oauth2clientid; }, nullptr},
    {"OAUTH2CLIENTSECRET", Kind::Secret, [](Account& s) { return &s.oauth2clientsecret; }, nullptr},
    {"OAUTH2AUTHURL", Kind::Text, [](Account& s) { return &s.oauth2authurl; }, nullptr},
    {"OAUTH2DEVICEURL", Kind::Text, [](Account& s) { return &s.oauth2deviceurl; }, nullptr},
    {"OAUTH2TOKENURL", Kind::Text, [](Account& s) { return &s.oauth2tokenurl; }, nullptr},
    {"OAUTH2SCOPE", Kind::Text, [](Account& s) { return &s.oauth2scope; }, nullptr},
    {"OAUTH2FLOW", Kind::Word, [](Account& s) { return &s.oauth2flow; }, nullptr, nullptr, nullptr, 0,
     "device|loopback"},
    // Routing, and the letters' headers.
    {"FROM", Kind::From, nullptr, nullptr},
    {"NAME", Kind::Text, [](Account& s) { return &s.realname; }, nullptr},
    {"ADDHEADERS", Kind::OnOff, nullptr, nullptr, [](Account& s) { return &s.addheaders; }},
    // IMAP as a mail source.
    {"IMAPHOST", Kind::Text, [](Account& s) { return &s.imap.host; }, nullptr},
    {"IMAPTLS", Kind::Tls, nullptr, [](Account& s) { return &s.imap; }},
    {"IMAPUSER", Kind::Text, [](Account& s) { return &s.imap.user; }, nullptr},
    {"IMAPPASS", Kind::Secret, [](Account& s) { return &s.imap.pass; }, nullptr},
    {"IMAPPASSCMD", Kind::Command, [](Account& s) { return &s.imap.passcmd; }, nullptr},
    {"IMAPAUTH", Kind::Auth, nullptr, [](Account& s) { return &s.imap; }},
    {"IMAPFOLDER", Kind::List, nullptr, nullptr, nullptr, nullptr, 0, nullptr,
     [](Account& s) { return &s.imapfolders; }},
    {"IMAPSEEN", Kind::OnOff, nullptr, nullptr, [](Account& s) { return &s.imapseen; }},
    {"IMAPDELETE", Kind::OnOff, nullptr, nullptr, [](Account& s) { return &s.imapdelete; }},
    {"IMAPKEEPDAYS", Kind::Count, nullptr, nullptr, nullptr, [](Account& s) { return &s.imapkeepdays; }, mostdays},
    {"IMAPFIRST", Kind::Count, nullptr, nullptr, nullptr, [](Account& s) { return &s.imapfirst; }, mostcount},
    {"IMAPMAX", Kind::Count, nullptr, nullptr, nullptr, [](Account& s) { return &s.imapmax; }, mostcount},
    // Big mail.
    {"MAXSIZE", Kind::Size, nullptr, nullptr, nullptr, [](Account& s) { return &s.maxsize; }, mostsize},
    {"BIGMAIL", Kind::Word, [](Account& s) { return &s.bigmail; }, nullptr, nullptr, nullptr, 0, "text|skip"},
    {"LOGFILE", Kind::LogFile, nullptr, nullptr},
    // The offline reader's folders.
    {"READERPACKETS", Kind::Dir, nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &Settings::readerpackets},
    {"READERPACKETFORMAT", Kind::RunWord, nullptr, nullptr, nullptr, nullptr, 0, "zip|tgz", nullptr,
     &Settings::readerformat},
    {"READERREPLIES", Kind::Dir, nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &Settings::readerreplies},
    // Compression on the wire.
    {"COMPRESS", Kind::Compress, nullptr, nullptr},
    {"INCLUDE", Kind::Include, nullptr, nullptr},
    // The way out, and how long it may stay shut before a run says so.
    {"PROXY", Kind::Proxy, [](Account& s) { return &s.proxyurl; }, nullptr},
    {"PROXYPASSCMD", Kind::Command, [](Account& s) { return &s.proxypasscmd; }, nullptr},
    {"QUIETDAYS", Kind::Count, nullptr, nullptr, nullptr, [](Account& s) { return &s.quietdays; }, mostdays},
};

bool runwide(Kind kind) { return kind == Kind::Dir || kind == Kind::LogFile || kind == Kind::RunWord; }

// One keyword line, already stripped of its line end and known to be no
// comment. -1 when the run must be refused.
int Reader::scanline(std::string& text, long line, const char* path) {
    static const char blank[] = " \t";
    size_t space = text.find_first_of(blank);
    std::string value;
    if (space != std::string::npos) {
        size_t from = text.find_first_not_of(blank, space);
        if (from != std::string::npos) value = text.substr(from);
        text.resize(space);
    }
    if (!strcasecmp(text.c_str(), "ACCOUNT")) {
        value.erase(value.find_last_not_of(blank) + 1);
        return startaccount(value, line, path);
    }
    for (const Setting& s : table) {
        if (strcasecmp(text.c_str(), s.key) != 0) continue;
        // What follows a value is no part of it, except in a password.
        if (s.kind != Kind::Secret) value.erase(value.find_last_not_of(blank) + 1);
        if (runwide(s.kind) && sectionline != 0) {
            report.alert("Error: %s belongs before the first ACCOUNT, not in line %ld of %s\n", s.key, line, path);
            return -1;
        }
        if (s.kind != Kind::Include) sectionset = true;
        int r = scan(s, value, line, path);
        if (r == 0 && s.kind != Kind::Include)
            note(runwide(s.kind) ? settings.origins : account().origins, s.key, line);
        return r;
    }
    configwarn(report, ("unknown keyword " + text).c_str(), line, path);
    return 0;
}

void Reader::note(std::vector<Origin>& origins, const char* key, long line) {
    for (Origin& o : origins) {
        if (std::strcmp(o.key, key) != 0) continue;
        o.file = file;
        o.line = line;
        return;
    }
    origins.push_back({key, file, line});
}

int Reader::scan(const Setting& s, const std::string& value, long line, const char* path) {
    switch (s.kind) {
    case Kind::Secret:
        secret = secret || !value.empty();
        configscantext(value, line, path, *s.text(account()));
        return 0;
    case Kind::Text:
    case Kind::Command:
        configscantext(value, line, path, *s.text(account()));
        return 0;
    case Kind::File:
        if (value.empty()) {
            s.text(account())->clear();
            return 0;
        }
        return resolvepath(report, expandhome(value), path, *s.text(account()));
    case Kind::Dir:
        configscandir(expandhome(value), line, path, settings.*s.run);
        // An empty reader's folder takes the setting back; an empty SOUPDIR
        // is "/", refused at the start.
        if (s.run != &Settings::soupdir && value.empty()) (settings.*s.run).clear();
        return 0;
    case Kind::RunWord: {
        int r = scanword(report, value, line, path, s.key, s.words, settings.*s.run);
        // Empty: the default, the first word, again.
        if (r == 0 && (settings.*s.run).empty()) settings.*s.run = std::string(s.words, std::strcspn(s.words, "|"));
        return r;
    }
    case Kind::LogFile:
        scanlogfile(expandhome(value), line, path);
        return 0;
    case Kind::Newsgroups:
        return scannewsgroups(expandhome(value), path);
    case Kind::Tls: {
        Server& server = *s.server(account());
        int r = scantls(report, value, line, path, s.key, server.tls);
        server.plainallowed =
            (server.protocol == Protocol::Pop3 || server.protocol == Protocol::Imap) && r == 0 && server.tls == TLSOFF;
        server.tlswritten = r == 0;
        return r;
    }
    case Kind::Auth: {
        Server& server = *s.server(account());
        return scanauth(report, value, line, path, s.key, server.protocol == Protocol::Pop3, server.auth);
    }
    case Kind::Include:
        return include(expandhome(value), line, path);
    case Kind::Compress: {
        const struct {
            const char* name;
            Compress mode;
        } modes[] = {{"auto", Compress::Auto}, {"on", Compress::On}, {"off", Compress::Off}};
        for (const auto& m : modes) {
            if (strcasecmp(value.c_str(), m.name) != 0) continue;
            setcompress(account(), m.mode);
            return 0;
        }
        report.alert("Error: %s must be auto, off or on, not \"%s\" in line %ld of %s\n", s.key, value.c_str(), line,
                     path);
        return -1;
    }
    case Kind::OnOff:
        return scanonoff(report, value, line, path, s.key, *s.flag(account()));
    case Kind::Count:
        return scancount(report, value, line, path, s.key, s.most, *s.count(account()));
    case Kind::Size:
        return scansize(report, value, line, path, s.key, s.most, *s.count(account()));
    case Kind::Signed: {
        // A score may be below 0: the count is read without its sign.
        bool negative = !value.empty() && value[0] == '-';
        int r = scancount(report, negative ? value.substr(1) : value, line, path, s.key, s.most, *s.count(account()));
        if (r == 0 && negative) *s.count(account()) = -*s.count(account());
        return r;
    }
    case Kind::List:
        if (!value.empty()) s.list(account())->push_back(value);
        return 0;
    case Kind::Pin:
        // A typo must not quietly mean the usual checks, nor no certificate.
        if (!value.empty() && !ispin(value)) {
            report.alert("Error: TLSFINGERPRINT must be sha256: and 32 bytes in hex with colons, not \"%s\" in line "
                         "%ld of %s\n",
                         value.c_str(), line, path);
            return -1;
        }
        *s.text(account()) = value;
        return 0;
    case Kind::Word:
        return scanword(report, value, line, path, s.key, s.words, *s.text(account()));
    case Kind::Proxy:
        if (!scanproxy(value, account().proxy)) {
            report.alert("Error: PROXY must be socks5h://host:port or socks5://host:port, with user:password@ "
                         "before the host where the proxy asks for a login, in line %ld of %s\n",
                         line, path);
            return -1;
        }
        secret = secret || !account().proxy.pass.empty();
        *s.text(account()) = value;
        return 0;
    case Kind::From: {
        // The last line wins, as for every other setting.
        std::vector<std::string>& from = account().from;
        from.clear();
        for (size_t at = 0; (at = value.find_first_not_of(" \t", at)) != std::string::npos;) {
            size_t end = value.find_first_of(" \t", at);
            from.push_back(value.substr(at, end - at));
            at = end;
        }
        return 0;
    }
    }
    return 0;
}

// A setting's value as --settings shows it: passwords and their commands
// only as set.
std::string shown(const Setting& s, const Settings& settings, Account& a) {
    switch (s.kind) {
    case Kind::Secret:
    case Kind::Command:
        return s.text(a)->empty() ? "" : "(set)";
    case Kind::Text:
    case Kind::Pin:
    case Kind::Word:
        return *s.text(a);
    case Kind::Proxy:
        return proxyshown(*s.text(a));
    case Kind::File:
        return tildepath(*s.text(a));
    case Kind::Dir:
        return tildepath(settings.*s.run);
    case Kind::RunWord:
        return settings.*s.run;
    case Kind::LogFile:
        return tildepath(settings.logfile);
    case Kind::Newsgroups:
        return tildepath(a.newsgroups);
    case Kind::Tls:
        return tlsnames[s.server(a)->tls];
    case Kind::Auth:
        for (const auto& n : authnames)
            if (n.mode == s.server(a)->auth) return n.name;
        return "";
    case Kind::OnOff:
        return *s.flag(a) ? "on" : "off";
    case Kind::Compress:
        return a.nntp.compress == Compress::Auto ? "auto" : a.nntp.compress == Compress::On ? "on" : "off";
    case Kind::Count:
    case Kind::Size:
    case Kind::Signed:
        return std::to_string(*s.count(a));
    case Kind::From: {
        std::string all;
        for (const std::string& f : a.from) all += (all.empty() ? "" : " ") + f;
        return all;
    }
    case Kind::List: {
        std::string all;
        for (const std::string& value : *s.list(a)) all += (all.empty() ? "" : ", ") + value;
        return all;
    }
    case Kind::Include:
        break;
    }
    return "";
}

// One line of --settings: keyword, value, and the file and line it came
// from.
void showsetting(Report& report, const char* indent, const Setting& s, const Settings& settings, Account& account,
                 const Origin* origin) {
    std::string value = shown(s, settings, account);
    std::string where = origin ? tildepath(settings.files[origin->file]) + ":" + std::to_string(origin->line)
                               : "(default)";
    report.console("%s%s %s   %s\n", indent, s.key, value.empty() ? "(empty)" : value.c_str(), where.c_str());
}

// Reads one line of at most kLineMax bytes before its line end, the
// line end included, into line. 1 for a line, 0 at the end of the file, -1 for a longer one
// or a read error (ferror tells).
int readline(FILE* f, std::string& line) {
    line.clear();
    int c;
    while ((c = std::getc(f)) != EOF) {
        line.push_back(static_cast<char>(c));
        if (c == '\n') return 1;
        // Room for the CR of a CR LF line end.
        if (line.size() > kLineMax && (line.size() > kLineMax + 1 || c != '\r')) return -1;
    }
    if (std::ferror(f)) return -1;
    return line.empty() ? 0 : 1;
}

int Reader::read(const std::string& name, const std::string& from) {
    std::string path;
    if (resolvepath(report, name, from, path) != 0) return -1;
    // A FIFO or device would block the run or never end.
    int error = 0;
    // Dotfiles managers link the configuration: a link to a file is read.
    File f(openregular(path.c_str(), error, true));
    struct stat st;
    if (f && fstat(fileno(f.get()), &st) != 0) error = errno;
    if (!f || error != 0) {
        report.alert("Error: can't read %s: %s\n", path.c_str(),
                     openfailure(error));
        return 1;
    }
    reading.emplace_back(st.st_dev, st.st_ino);
    bool outer = secret;
    secret = false;
    size_t outerfile = file;
    file = static_cast<size_t>(std::find(settings.files.begin(), settings.files.end(), path) - settings.files.begin());
    if (file == settings.files.size()) settings.files.push_back(path);
    int result = 0;
    std::string text;
    for (long line = 1;; line++) {
        int got = readline(f.get(), text);
        if (got == 0) break;
        if (got < 0) {
            if (std::ferror(f.get())) {
                report.alert("Error: can't read %s: %s\n", path.c_str(), std::strerror(errno));
                result = 1;
            } else {
                report.alert("Error: line %ld of %s is longer than %zu bytes\n", line, path.c_str(), kLineMax);
                result = -1;
            }
            break;
        }
        while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
        if (text.empty() || text[0] == ';') continue;
        if (scanline(text, line, path.c_str()) != 0) {
            result = -1;
            break;
        }
    }
    reading.pop_back();
    file = outerfile;
    if (secret && (st.st_mode & (S_IRGRP | S_IROTH)))
        report.alert("Warning: %s holds a password and other users can read it: chmod 600 %s\n\n", path.c_str(),
                     path.c_str());
    secret = outer;
    return result;
}

// The user's configuration folder, as the XDG base directory rules name
// it: $XDG_CONFIG_HOME when it is an absolute path, else ~/.config. Empty
// when neither is known.
std::string userconfigdir() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/') return xdg;
    const char* home = std::getenv("HOME");
    if (home && home[0] != '\0') return std::string(home) + "/.config";
    return "";
}

// A password and a command for it: which one is meant cannot be guessed.
int onesecreteach(Report& report, const Account& account) {
    static const struct {
        const Server Account::*server;
        const char* pass;
        const char* command;
    } logins[] = {{&Account::pop, "POPPASS", "POPPASSCMD"},
                  {&Account::smtp, "SMTPPASS", "SMTPPASSCMD"},
                  {&Account::nntp, "NNTPPASS", "NNTPPASSCMD"},
                  {&Account::imap, "IMAPPASS", "IMAPPASSCMD"}};
    for (const auto& l : logins) {
        const Server& server = account.*l.server;
        if (server.pass.empty() || server.passcmd.empty()) continue;
        report.alert("Error: %s and %s are both set: keep one of them\n", l.pass, l.command);
        return -1;
    }
    return 0;
}

// The proxy's password comes from its URL or from its command, and only
// with a user to go with it.
int proxylogin(Report& report, const Account& account) {
    if (account.proxypasscmd.empty()) return 0;
    const char* wrong = !account.proxy.pass.empty() ? "PROXY holds a password and PROXYPASSCMD is set: keep one of them"
                        : account.proxy.user.empty() ? "PROXYPASSCMD needs a user in PROXY (socks5h://user@host:port)"
                                                     : nullptr;
    if (!wrong) return 0;
    report.alert("Error: %s\n", wrong);
    return -1;
}

// With OAuth2 the logins of POP3 and SMTP take its token, by XOAUTH2 unless
// a mechanism is written; a password beside it would be a second answer.
int oauthlogins(Report& report, Account& account) {
    if (account.oauth2.empty()) return 0;
    static const struct {
        Server Account::*server;
        const char* pass;
        const char* command;
    } logins[] = {{&Account::pop, "POPPASS", "POPPASSCMD"},
                 {&Account::imap, "IMAPPASS", "IMAPPASSCMD"},
                 {&Account::smtp, "SMTPPASS", "SMTPPASSCMD"}};
    for (const auto& l : logins) {
        Server& server = account.*l.server;
        if (!server.pass.empty() || !server.passcmd.empty()) {
            report.alert("Error: %s is set beside OAUTH2 in account %s: the login takes the OAuth2 token\n",
                         server.pass.empty() ? l.command : l.pass, account.name.c_str());
            return -1;
        }
        if (server.auth == AuthMode::Auto) server.auth = AuthMode::XOAuth2;
    }
    const char* missing = account.oauth2clientid.empty() ? "OAUTH2CLIENTID"
                          : account.oauth2 == "custom" && account.oauth2tokenurl.empty() ? "OAUTH2TOKENURL"
                                                                                           : nullptr;
    if (!missing) return 0;
    report.alert("Error: OAUTH2 needs %s in account %s\n", missing, account.name.c_str());
    return -1;
}

// The score file is read once, at the start: a rule that cannot be read
// refuses the run before anything is fetched.
int readscores(Report& report, Account& account) {
    if (account.scorefile.empty()) return 0;
    auto scores = std::make_shared<ScoreFile>();
    std::string why;
    if (!scores->read(account.scorefile, why)) {
        report.alert("%s", why.c_str());
        return -1;
    }
    account.scores = std::move(scores);
    return 0;
}

}  // namespace

int readconfigfile(Report& report, const std::string& name, const std::string& base, Settings& settings) {
    Reader reader{settings, report, {}};
    int result = reader.read(name, base);
    if (result == 0 && reader.emptysection() != 0) result = -1;
    if (result != 0) return result;
    // The default newsgroups files lie beside the top file, one for each
    // account.
    std::string top;
    if (resolvepath(report, name, base, top) != 0) return -1;
    for (Account& account : settings.accounts) {
        bool named = &account != &settings.accounts.front();
        if (!findorigin(account.origins, "NEWSGROUPS") &&
            resolvepath(report, named ? "newsrc-" + account.name : "newsrc", top, account.newsgroups) != 0)
            return -1;
        if (onesecreteach(report, account) != 0 || oauthlogins(report, account) != 0 ||
            proxylogin(report, account) != 0)
            return -1;
        spreadproxy(account);
        if (readscores(report, account) != 0) return -1;
    }
    return 0;
}

void spreadproxy(Account& account) {
    for (Server* server : {&account.pop, &account.imap, &account.smtp, &account.nntp}) server->proxy = account.proxy;
}

int joinprogramdir(const std::string& base, const std::string& name, std::string& out) {
    size_t slash = base.rfind('/');
    size_t dirlen = slash == std::string::npos ? 0 : slash + 1;
    if (dirlen > kPathMax - 1 || dirlen + name.size() > kPathMax) return -1;
    out = base.substr(0, dirlen) + name;
    return 0;
}

void configwarn(Report& report, const char* message, long line, const char* path) {
    report.alert("Warning: %s in line %ld of %s\n\n", message, line, path);
}

void configscantext(const std::string& value, long, const char*, std::string& dest) { dest = value; }

void configscandir(const std::string& value, long, const char*, std::string& dest) {
    dest = value;
    if (dest.empty() || dest.back() != '/') dest += '/';
}

void configscanyesno(Report& report, const char* value, long line, const char* path, int& result) {
    if (!strcasecmp(value, "Yes")) {
        result = 1;
    } else if (!strcasecmp(value, "No")) {
        result = 0;
    } else {
        result = 0;
        configwarn(report, "invalid Yes/No parameter", line, path);
    }
}

std::string programpath(const char* argv0) {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof path) return argv0;
    return std::string(path, static_cast<size_t>(n));
}

bool findconfigfile(Report& report, std::string& base, std::string& configfile) {
    if (!configfile.empty()) {
        if (configfile.find('/') == std::string::npos && access(configfile.c_str(), F_OK) == 0)
            configfile = "./" + configfile;
        return true;
    }
    std::string beside = base.substr(0, base.rfind('/') + 1) + "vorpa.cfg";
    if (access(beside.c_str(), F_OK) == 0) {
        configfile = "vorpa.cfg";
        return true;
    }
    std::string user = userconfigdir();
    if (!user.empty()) {
        user += "/vorpa/vorpa.cfg";
        if (user.size() <= kPathMax && access(user.c_str(), F_OK) == 0) {
            configfile = user;
            base = user;
            return true;
        }
    }
    report.alert("Error: no configuration file at %s%s%s (or name one with /config=)\n", beside.c_str(),
                 user.empty() ? "" : " or ", user.c_str());
    return false;
}

std::string setupconfigfile(const std::string& base) {
    std::string beside = base.substr(0, base.rfind('/') + 1) + "vorpa.cfg";
    if (access(beside.c_str(), F_OK) == 0) return beside;
    std::string user = userconfigdir();
    return user.empty() ? "" : user + "/vorpa/vorpa.cfg";
}

std::string tildepath(const std::string& path) {
    const char* home = std::getenv("HOME");
    size_t n = home ? std::strlen(home) : 0;
    if (n < 2 || path.size() <= n || path.compare(0, n, home) != 0 || path[n] != '/') return path;
    return "~" + path.substr(n);
}

const Origin* findorigin(const std::vector<Origin>& origins, const char* key) {
    for (const Origin& o : origins)
        if (std::strcmp(o.key, key) == 0) return &o;
    return nullptr;
}

void showsettings(Report& report, const Settings& settings) {
    // The table's accessors reach into an account they may change: copies
    // are shown.
    Account first = settings.accounts.front();
    for (const Setting& s : table) {
        const Origin* origin = findorigin(settings.origins, s.key);
        if (runwide(s.kind) && origin) showsetting(report, "", s, settings, first, origin);
    }
    for (const Account& account : settings.accounts) {
        report.console("Account %s:\n", account.name.c_str());
        Account a = account;
        for (const Setting& s : table) {
            const Origin* origin = findorigin(account.origins, s.key);
            // The newsgroups file is in force also where no line names it.
            if (!runwide(s.kind) && (origin || s.kind == Kind::Newsgroups))
                showsetting(report, "  ", s, settings, a, origin);
        }
    }
}
