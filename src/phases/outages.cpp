// The servers that stay out of reach: remembered across runs, and said
// once a run that exits 75 has been quiet about them for long enough.
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "phases/phases.h"
#include "soup/outages.h"

namespace {

const char* protocolname(Protocol p) {
    switch (p) {
    case Protocol::Pop3: return "POP3";
    case Protocol::Smtp: return "SMTP";
    case Protocol::Nntp: return "NNTP";
    case Protocol::Imap: return "IMAP";
    }
    return "";
}

const char* hostsetting(Protocol p) {
    switch (p) {
    case Protocol::Pop3: return "POPHOST";
    case Protocol::Smtp: return "SMTPHOST";
    case Protocol::Nntp: return "NNTPHOST";
    case Protocol::Imap: return "IMAPHOST";
    }
    return "";
}

std::string dateof(long long when) {
    std::time_t t = static_cast<std::time_t>(when);
    std::tm local{};
    char text[32] = "";
    if (localtime_r(&t, &local)) std::strftime(text, sizeof text, "%Y-%m-%d", &local);
    return text;
}

}  // namespace

bool sayoutages(const Settings& settings, const RunOptions& options, const Tally& tally, Report& report) {
    if (options.check || options.test) return false;
    bool said = false;
    long long now = std::time(nullptr);
    for (const Account& account : settings.accounts) {
        // A server reached by one connection of the run is reached.
        std::vector<std::pair<const Server*, bool>> learnt;
        for (const Tally::Reach& r : tally.reach) {
            if (r.account != &account) continue;
            auto known = learnt.begin();
            while (known != learnt.end() && known->first != r.server) ++known;
            if (known == learnt.end()) learnt.emplace_back(r.server, r.up);
            else known->second = known->second || r.up;
        }
        if (learnt.empty()) continue;
        OutageFile outages(account.newsgroups, account.name);
        if (!outages.load()) {
            report.say("Cannot read %s: %s\n", outages.where().c_str(), outages.reason());
            said = true;
            continue;
        }
        for (const auto& server : learnt) {
            const char* name = protocolname(server.first->protocol);
            const std::string& host = server.first->host;
            std::string key = std::string(name) + " " + host;
            outages.mark(key, server.second ? 0 : now);
            long long since = outages.since(key);
            long long days = (now - since) / 86400;
            if (server.second || account.quietdays == 0 || now - since <= account.quietdays * 86400) continue;
            // Through a proxy, the proxy may be what is out of reach.
            report.say("%s host %s unreachable since %s (%lld day%s): check %s%s\n", name, host.c_str(),
                       dateof(since).c_str(), days, days == 1 ? "" : "s", hostsetting(server.first->protocol),
                       server.first->proxy.set() ? " and PROXY" : "");
            said = true;
        }
        if (!outages.save()) {
            report.say("Cannot write to %s: %s\n", outages.where().c_str(), outages.reason());
            said = true;
        }
    }
    return said;
}
