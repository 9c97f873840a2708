#include "soup/popkeep.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/durable.h"
#include "soup/soup.h"

namespace {

// Longer lines hold no id a server sends (at most 70 characters).
constexpr size_t longestline = 1024;

// "<time> <id>": false for anything else.
bool parseline(std::string_view line, std::string_view& id, long long& time) {
    size_t space = line.find(' ');
    if (space == 0 || space == std::string_view::npos || space + 1 == line.size()) return false;
    time = 0;
    for (char c : line.substr(0, space)) {
        if (c < '0' || c > '9' || time > (1LL << 50)) return false;
        time = time * 10 + (c - '0');
    }
    id = line.substr(space + 1);
    return true;
}

}  // namespace

KeepRecord::KeepRecord(const std::string& statefile, const std::string& account, const std::string& user,
                       const std::string& host, unsigned short port) {
    std::string name = "popkeep-" + (account.empty() ? user + "@" + host + "-" + std::to_string(port) : account);
    // A user name must not lead into another folder.
    std::replace(name.begin(), name.end(), '/', '_');
    path = statefile.substr(0, statefile.rfind('/') + 1) + name;
}

KeepRecord::Loaded KeepRecord::load(const std::function<void(std::string_view id, long long time)>& take) {
    int openerror = 0;
    passedover = 0;
    File in(openregular(path.c_str(), openerror));
    if (!in) {
        error = openerror;
        if (openerror == 0) reasontext = "not a regular file";
        return openerror == ENOENT ? Missing : Failed;
    }
    std::string line;
    bool toolong = false;
    bool any = false;  // a byte was read
    long taken = 0;
    int c;
    while ((c = getc_unlocked(in.get())) != EOF) {
        any = true;
        if (c != '\n') {
            toolong = toolong || line.size() == longestline;
            if (!toolong) line.push_back(static_cast<char>(c));
            continue;
        }
        // A record may have been written with CR LF line ends.
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::string_view id;
        long long time = 0;
        if (!toolong && parseline(line, id, time)) {
            take(id, time);
            taken++;
        } else {
            passedover++;
        }
        line.clear();
        toolong = false;
    }
    if (std::ferror(in.get())) {
        error = errno;
        return Failed;
    }
    // Every line is written whole: one cut short is damage too.
    if (!line.empty() || toolong) passedover++;
    if (taken > 0) return Ready;
    error = 0;
    reasontext = any ? "no line of it is a time and an id" : "it is empty";
    return Failed;
}

bool KeepRecord::save(const std::function<bool(std::string_view& id, long long& time)>& next) {
    error = 0;
    std::string_view id;
    long long time = 0;
    if (!next(id, time)) {
        if (std::remove(path.c_str()) == 0 ? syncdirof(path.c_str()) : errno == ENOENT) return true;
        error = errno != 0 ? errno : EIO;
        failed = path;
        return false;
    }
    Replacement out;
    bool good = out.begin(path);
    std::string line;
    while (good) {
        line = std::to_string(time);
        line += ' ';
        line.append(id.data(), id.size());
        line += '\n';
        good = out.file.write(line.data(), line.size());
        if (!next(id, time)) break;
    }
    if (good && out.commit()) return true;
    reasontext = out.reason();
    failed = out.failedpath();
    return false;
}

const char* KeepRecord::reason() const { return error != 0 ? std::strerror(error) : reasontext; }

FetchPlan::FetchPlan(const MailList& list, bool keep)
    : list(list), keep(keep), fetched(list.ids.size(), unseen), byid(list.ids.size()) {
    for (size_t i = 0; i < byid.size(); i++) byid[i] = static_cast<uint32_t>(i);
    std::stable_sort(byid.begin(), byid.end(), [this](uint32_t a, uint32_t b) { return id(a) < id(b); });
    for (size_t k = 1; k < byid.size(); k++) {
        if (id(byid[k]) != id(byid[k - 1])) continue;
        fetched[byid[k]] = keep ? again : duplicate;
        if (!keep) fetched[byid[k - 1]] = duplicate;
    }
}

uint32_t FetchPlan::find(std::string_view wanted) const {
    auto at = std::lower_bound(byid.begin(), byid.end(), wanted,
                               [this](uint32_t i, std::string_view v) { return id(i) < v; });
    return at != byid.end() && id(*at) == wanted ? *at : MailList::noid;
}

KeepRecord::Loaded FetchPlan::load(KeepRecord& record) {
    return record.load([this](std::string_view id, long long time) {
        uint32_t i = find(id);
        if (i == MailList::noid) forgot = true;
        else if (fetched[i] >= unseen) fetched[i] = time;
    });
}

void FetchPlan::sort(long days, long long now) {
    drop.assign(list.messages.size(), false);
    for (size_t at = 0; at < list.messages.size(); at++) {
        const MailList::Message& message = list.messages[at];
        long long time = message.id == MailList::noid ? unseen : fetched[message.id];
        if (time >= 0 && message.size >= 0) {
            before++;
            drop[at] = !keep || (days > 0 && now - time >= days * 86400LL);
            continue;
        }
        if (keep && (message.size <= 0 || time == again)) continue;
        fetch.push_back(static_cast<uint32_t>(at));
        fetchids.push_back(time == unseen ? message.id : MailList::noid);
    }
}

size_t FetchPlan::limit(long most) {
    size_t taken = 0;
    size_t cut = fetch.size();
    size_t left = 0;
    for (size_t k = 0; most > 0 && k < fetch.size(); k++) {
        if (list.messages[fetch[k]].size <= 0) continue;
        if (taken < static_cast<size_t>(most)) {
            taken++;
        } else if (left++ == 0) {
            cut = k;
        }
    }
    fetch.resize(cut);
    fetchids.resize(cut);
    return left;
}

size_t FetchPlan::keepable() const {
    size_t k = 0;
    while (k < fetch.size() && (fetchids[k] != MailList::noid || list.messages[fetch[k]].size <= 0)) k++;
    return k;
}

bool FetchPlan::stored(size_t count, long long now) {
    bool recorded = false;
    for (size_t k = 0; k < count; k++) {
        uint32_t i = fetchids[k];
        if (i != MailList::noid) {
            fetched[i] = now;
            recorded = true;
        }
        drop[fetch[k]] = !keep && list.messages[fetch[k]].size >= 0;
    }
    return recorded;
}

bool FetchPlan::save(KeepRecord& record) const {
    size_t next = 0;
    return record.save([this, &next](std::string_view& text, long long& time) {
        for (; next < fetched.size(); next++) {
            if (fetched[next] < 0) continue;
            text = id(static_cast<uint32_t>(next));
            time = fetched[next++];
            return true;
        }
        return false;
    });
}

std::vector<uint32_t> FetchPlan::removals() const {
    std::vector<uint32_t> places;
    for (size_t at = 0; at < drop.size(); at++)
        if (drop[at]) places.push_back(static_cast<uint32_t>(at));
    return places;
}
