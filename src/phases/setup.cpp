// vorpa setup: an account section for a mail address, from the providers'
// table, written into the configuration, and what the user must still do.
#include <sys/stat.h>
#include <unistd.h>

#include <strings.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "config/config.h"
#include "config/providers.h"
#include "core/durable.h"
#include "net/mx.h"
#include "phases/phases.h"
#include "proto/imap.h"

namespace {

// local@domain, with nothing a configuration line or a host name cannot hold.
bool mailaddress(const std::string& address) {
    size_t at = address.find('@');
    if (at == 0 || at == std::string::npos || address.find('@', at + 1) != std::string::npos) return false;
    if (address.size() > 254 || address.find('.', at) == std::string::npos || address.back() == '.') return false;
    for (unsigned char c : address)
        if (c <= ' ' || c == 0x7f || c == ';' || c == '"' || c == '\\' || c == '/') return false;
    return true;
}

std::string replaced(std::string text, const std::vector<std::pair<std::string, std::string>>& values) {
    for (const auto& [name, value] : values)
        for (size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + value.size()))
            text.replace(at, name.size(), value);
    return text;
}

// "KEYWORD    value", the values in one column as in the example; a line
// commented out begins with ";".
std::string settingline(const std::string& line, bool commented) {
    size_t end = line.find_first_of(" \t");
    std::string key = (commented ? ";" : "") + line.substr(0, end);
    if (end == std::string::npos) return key + "\n";
    std::string value = line.substr(line.find_first_not_of(" \t", end));
    return key + std::string(key.size() < 11 ? 11 - key.size() : 1, ' ') + value + "\n";
}

// The accounts the file names, so that a new one takes another name.
std::vector<std::string> accountnames(const std::string& text) {
    std::vector<std::string> names;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line.size() < 8 || strncasecmp(line.c_str(), "ACCOUNT", 7) != 0 || !isblank(line[7])) continue;
        size_t name = line.find_first_not_of(" \t", 7);
        if (name == std::string::npos) continue;
        line = line.substr(name);
        names.push_back(line.substr(0, line.find_first_of(" \t\r")));
    }
    return names;
}

std::string freename(const std::string& base, const std::vector<std::string>& taken) {
    auto istaken = [&](const std::string& name) {
        for (const std::string& t : taken)
            if (t == name) return true;
        return false;
    };
    std::string name = base;
    for (int n = 2; istaken(name); n++) name = base + "-" + std::to_string(n);
    return name;
}

// An account name from the domain's first label: letters, digits, "-".
std::string domainname(const std::string& domain) {
    std::string name;
    for (char c : domain.substr(0, domain.find('.')))
        name += isalnum(static_cast<unsigned char>(c)) || c == '-' ? static_cast<char>(tolower(c)) : '-';
    return name.empty() ? "mail" : name;
}

std::string why(const Outcome& outcome) {
    if (!outcome.detail.empty()) return outcome.detail;
    if (!outcome.reply.text.empty()) return "it answered \"" + outcome.reply.text + "\"";
    return outcome.error ? std::strerror(outcome.error) : "no IMAP greeting";
}

// The section's lines for a domain the table does not know: an IMAP
// server guessed where imap.<domain> answers on the port of TLS, the rest
// to fill in.
std::vector<std::string> guessedlines(Report& report, const std::string& domain, std::vector<std::string>& steps) {
    Server imap(Protocol::Imap);
    imap.host = "imap." + domain + ":993";
    imap.tls = TLSON;
    imap.tlswritten = true;
    std::string fingerprint;
    report.console("Looking for an IMAP server at imap.%s...\n", domain.c_str());
    report.flush();
    Outcome answer = imapprobe(imap, "", fingerprint);
    std::vector<std::string> lines;
    if (answer.done()) {
        report.console("imap.%s answers as an IMAP server.\n", domain.c_str());
        lines = {"IMAPHOST imap." + domain, "IMAPTLS on", "IMAPUSER $ADDRESS", "FILL IMAPPASS the password"};
        steps.push_back("Write your password as IMAPPASS, and the SMTP server of " + domain + " as SMTPHOST.");
    } else {
        report.console("imap.%s does not answer as an IMAP server: %s\n", domain.c_str(), why(answer).c_str());
        lines = {"FILL IMAPHOST the IMAP server (or POPHOST, the POP3 server) of " + domain, "IMAPTLS on",
                 "IMAPUSER $ADDRESS", "FILL IMAPPASS the password"};
        steps.push_back("Write the servers of " + domain +
                        " (IMAP or POP3, and SMTP) and your password, as the provider's pages name them.");
    }
    lines.insert(lines.end(), {"FILL SMTPHOST the SMTP server, host:587", "SMTPTLS starttls", "SMTPUSER $ADDRESS",
                               "FILL SMTPPASS the password", "FROM $ADDRESS"});
    steps.push_back("If the mail of " + domain + " is at Google Workspace or Microsoft 365, run "
                    "\"vorpa setup $ADDRESS gmail\" (or outlook) instead.");
    return lines;
}

// The certificate of a server that makes its own, read from it, so that
// the section pins it; a line to fill in where it does not answer.
std::string pinnedline(Report& report, const Provider& provider, std::vector<std::string>& steps) {
    Server imap(Protocol::Imap);
    imap.host = provider.pinfrom;
    imap.tls = TLSSTART;
    imap.tlswritten = true;
    std::string fingerprint;
    Outcome answer = imapprobe(imap, "", fingerprint);
    if (!fingerprint.empty()) {
        report.console("Certificate of %s: %s\n", provider.pinfrom.c_str(), fingerprint.c_str());
        return "TLSFINGERPRINT " + fingerprint;
    }
    report.console("No certificate could be read at %s: %s\n", provider.pinfrom.c_str(), why(answer).c_str());
    steps.push_back("Start the Bridge: \"vorpa email /check /account=$NAME\" then prints its certificate, "
                    "\"Certificate of ...: sha256:...\": write that as TLSFINGERPRINT.");
    return "FILL TLSFINGERPRINT sha256:... of the Bridge's certificate";
}

// Makes the folders of path that are missing, for the user only.
bool makefolders(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        std::string folder = path.substr(0, slash);
        if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    return true;
}

// Appends text to the configuration, or makes it, readable by the user
// only: it will hold passwords.
bool writeconfig(Report& report, const std::string& path, bool exists, const std::string& text) {
    DurableFile file;
    const char* reason = nullptr;
    if (!exists && !makefolders(path)) {
        reason = std::strerror(errno);
    } else if (!file.open(path.c_str(), exists ? "a" : "wx")) {
        reason = file.reason();
    } else if (!exists && fchmod(file.descriptor(), 0600) != 0) {
        reason = std::strerror(errno);
    } else if (!file.write(text.data(), text.size()) || !file.commit() || (!exists && !syncdirof(path.c_str()))) {
        reason = file.reason();
    }
    if (reason) report.alert("Error: cannot write %s: %s\n", tildepath(path).c_str(), reason);
    return !reason;
}

}  // namespace

int setupaccount(Report& report, const std::string& address, const std::string& providername,
                 const std::string& configfile, bool print) {
    if (!mailaddress(address)) {
        report.alert("Error: vorpa setup needs a mail address, not \"%s\"\n", address.c_str());
        return 1;
    }
    const std::vector<Provider> table = providers();
    const Provider* provider = findprovider(table, address, providername);
    if (!providername.empty() && !provider) {
        std::string names;
        for (const Provider& p : table) names += " " + p.name;
        report.alert("Error: no provider %s; the known ones are:%s\n", providername.c_str(), names.c_str());
        return 1;
    }

    // What the servers were found to be is said, but not around a section
    // that is only shown.
    ReportBuffer unsaid;
    Report& said = print ? static_cast<Report&>(unsaid) : report;
    // A domain of its own may have its mail at a provider: its MX records
    // tell which.
    const std::string domain = address.substr(address.find('@') + 1);
    if (!provider && providername.empty()) {
        std::vector<std::string> exchangers = mailexchangers(domain);
        provider = findprovider(table, address, "", exchangers);
        if (provider)
            said.console("The mail of %s goes to %s: %s\n", domain.c_str(), exchangers.front().c_str(),
                         provider->title.c_str());
    }

    int error = 0;
    std::string existing;
    bool exists = readtext(configfile, existing, error, nullptr, true);
    if (!exists && error != ENOENT) {
        report.alert("Error: cannot read %s: %s\n", tildepath(configfile).c_str(),
                     openfailure(error));
        return 1;
    }

    const std::string name = freename(provider ? provider->name : domainname(domain), accountnames(existing));
    const std::string folder = configfile.substr(0, configfile.rfind('/') + 1);
    const std::vector<std::pair<std::string, std::string>> values{
        {"$ADDRESS", address},
        {"$LOCAL", address.substr(0, address.find('@'))},
        {"$NAME", name},
        {"$NEWSRC", tildepath(folder + "newsrc-" + name)}};

    std::vector<std::string> steps;
    std::vector<std::string> lines;
    if (provider) {
        lines = provider->lines;
        steps = provider->steps;
        if (!provider->pinfrom.empty()) lines.push_back(pinnedline(said, *provider, steps));
    } else {
        lines = guessedlines(said, domain, steps);
    }

    std::string text;
    if (!exists) {
        char host[256] = "";
        text = "; Every setting is described in \"man vorpa\".\nSOUPDIR    ~/soup\n";
        if (gethostname(host, sizeof host - 1) == 0 && host[0]) text += "HOSTNAME   " + std::string(host) + "\n";
        const char* home = std::getenv("HOME");
        struct stat st;
        if (home && stat((std::string(home) + "/soup").c_str(), &st) != 0)
            steps.insert(steps.begin(),
                         "Make the packet directory, \"mkdir ~/soup\", or set SOUPDIR to your reader's.");
    } else if (!existing.empty() && existing.back() != '\n') {
        text = "\n";
    }
    if (!text.empty() || !existing.empty()) text += "\n";
    text += "; " + (provider ? provider->title : domain) + ", for " + address + "\n";
    text += "ACCOUNT    " + name + "\n";
    for (const std::string& line : lines) {
        bool fill = line.compare(0, 5, "FILL ") == 0;
        std::string setting = fill ? line.substr(line.find_first_not_of(" \t", 5)) : line;
        text += settingline(replaced(setting, values), fill);
    }
    // Shown, the section needs no blank line before it.
    size_t start = text.find_first_not_of('\n');
    if (print) {
        report.show(text.data() + start, text.size() - start);
        return 0;
    }
    if (!writeconfig(report, configfile, exists, text)) return 1;
    if (exists)
        report.console("Added account %s to %s:\n\n", name.c_str(), tildepath(configfile).c_str());
    else
        report.console("Wrote account %s into %s, made with mode 0600:\n\n", name.c_str(),
                       tildepath(configfile).c_str());
    report.show(text.data() + start, text.size() - start);
    report.console("\nStill to do:\n");
    int n = 0;
    for (const std::string& step : steps) report.console("%d. %s\n", ++n, replaced(step, values).c_str());
    report.console("Then \"vorpa all /check /account=%s\" logs in and says what a run would do.\n", name.c_str());
    return 0;
}
