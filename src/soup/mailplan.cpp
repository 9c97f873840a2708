#include "soup/mailplan.h"

#include <algorithm>
#include <string_view>
#include <unordered_map>

namespace {

// A folder's id, a number; 0 for anything else.
uint32_t numberof(std::string_view id) {
    uint64_t n = 0;
    for (char c : id) {
        if (c < '0' || c > '9' || n > UINT32_MAX) return 0;
        n = n * 10 + static_cast<unsigned>(c - '0');
    }
    return n > UINT32_MAX ? 0 : static_cast<uint32_t>(n);
}

}  // namespace

MailPlan::MailPlan(MailList& list, const MailRules& rules, bool removes)
    : keep(rules.keep || !removes), list(list), rules(rules) {}

void MailPlan::index() {
    if (indexed) return;
    indexed = true;
    listed = list.messages.size();
    fetched.assign(list.ids.size(), unseen);
    byid.resize(list.ids.size());
    for (size_t i = 0; i < byid.size(); i++) byid[i] = static_cast<uint32_t>(i);
    std::stable_sort(byid.begin(), byid.end(), [this](uint32_t a, uint32_t b) { return list.id(a) < list.id(b); });
    for (size_t k = 1; k < byid.size(); k++) {
        if (list.id(byid[k]) != list.id(byid[k - 1])) continue;
        fetched[byid[k]] = keep ? again : duplicate;
        if (!keep) fetched[byid[k - 1]] = duplicate;
    }
    if (numbered) messageids.assign(list.ids.size());
    if (numbered) textids.assign(list.ids.size(), false);
}

uint32_t MailPlan::find(std::string_view wanted) const {
    auto at = std::lower_bound(byid.begin(), byid.end(), wanted,
                               [this](uint32_t i, std::string_view v) { return list.id(i) < v; });
    return at != byid.end() && list.id(*at) == wanted ? *at : MailList::noid;
}

uint32_t MailPlan::number(uint32_t place) const {
    uint32_t id = list.messages[place].id;
    return id == MailList::noid ? 0 : numberof(list.id(id));
}

bool MailPlan::old(long long time, long long now) const {
    return rules.keepdays > 0 && now - time >= rules.keepdays * 86400LL;
}

MailRecord::Loaded MailPlan::load(MailRecord& record) {
    numbered = record.numbered();
    if (!numbered) index();
    loaded = record.load([this](const MailRecord::Entry& entry) { take(entry); });
    recordvalidity = record.validity;
    recordnext = record.next;
    return loaded;
}

void MailPlan::take(const MailRecord::Entry& entry) {
    if (!numbered) {
        uint32_t i = find(entry.id);
        if (i == MailList::noid) forgot = true;
        else if (fetched[i] >= unseen) fetched[i] = entry.time;
        return;
    }
    auto add = [this](std::string_view bytes) {
        MailList::Id at{static_cast<uint32_t>(heldtext.size()), static_cast<uint32_t>(bytes.size())};
        heldtext.append(bytes.data(), bytes.size());
        return at;
    };
    held.push_back({add(entry.id), entry.time, add(entry.messageid), entry.text});
}

ListAsk MailPlan::select(uint32_t folder, uint32_t next, long messages, bool test) {
    ListAsk ask;
    validity = folder;
    foldernext = next;
    if (!numbered) return ask;
    renumbered = loaded == MailRecord::Ready && recordvalidity != folder;
    uint32_t from = loaded == MailRecord::Ready && !renumbered ? recordnext : 1;
    mark = from;
    ask.from = nothingnew(folder, next, messages) ? 0 : from;
    ask.messageids = renumbered;
    // Without keep all that the record names goes, not only this run's:
    // what a run that ended before removing left, what was stored before
    // keep was turned off. Those the folder no longer has are forgotten.
    checked = !renumbered && !keep && !held.empty() && !test;
    if (checked)
        for (const Held& h : held) ask.known.push_back(numberof(heldpiece(h.id)));
    return ask;
}

ListAsk MailPlan::guess(bool test) const {
    ListAsk ask;
    ask.from = !numbered ? 0 : loaded == MailRecord::Ready ? recordnext : 1;
    if (numbered && !keep && !test)
        for (const Held& h : held) ask.known.push_back(numberof(heldpiece(h.id)));
    return ask;
}

bool MailPlan::idle(uint32_t folder, uint32_t next, long messages) const {
    // Without keep the record's entries are checked against the folder, and
    // with keepdays old ones may go: both need the folder selected.
    if (!numbered || loaded != MailRecord::Ready || !keep || rules.keepdays > 0) return false;
    return folder != 0 && folder == recordvalidity && nothingnew(folder, next, messages);
}

// The folder's next number, under the record's numbering, tells that
// nothing came; an empty folder has nothing whatever its numbering.
bool MailPlan::nothingnew(uint32_t folder, uint32_t next, long messages) const {
    bool same = loaded == MailRecord::Ready && recordvalidity == folder;
    return (same && next != 0 && next <= recordnext) || messages == 0;
}

// A folder's held entries against its listing: listed ones take their
// time, the others stay held (as places after the listed ones) unless the
// folder said it no longer has them. After a new numbering only their
// Message-IDs count.
void MailPlan::match(long long now) {
    if (renumbered) {
        std::unordered_map<std::string_view, bool> ids;
        for (const Held& h : held)
            if (h.messageid.length > 0) ids.emplace(heldpiece(h.messageid), h.text);
        for (size_t at = 0; at < listed; at++) {
            std::string_view id = list.messageid(static_cast<uint32_t>(at));
            uint32_t i = list.messages[at].id;
            auto found = id.empty() || i == MailList::noid ? ids.end() : ids.find(id);
            if (found == ids.end()) continue;
            textids[i] = found->second;
            ids.erase(found);
            fetched[i] = now;
            messageids.set(i, id);
            vouched++;
        }
        forgot = !held.empty();
        return;
    }
    for (const Held& h : held) {
        uint32_t i = find(heldpiece(h.id));
        if (i != MailList::noid) {
            if (fetched[i] < unseen) continue;
            fetched[i] = h.time;
            messageids.set(i, heldpiece(h.messageid));
            textids[i] = h.text;
        } else if (checked) {
            forgot = true;
        } else {
            list.messages.push_back({0, static_cast<uint32_t>(list.ids.size())});
            list.ids.push_back(list.add(heldpiece(h.id)));
            fetched.push_back(h.time);
            messageids.push(heldpiece(h.messageid));
            textids.push_back(h.text);
        }
    }
}

void MailPlan::sort(long long now) {
    index();
    if (numbered) match(now);
    held.clear();
    heldtext.clear();
    drop.assign(list.messages.size(), false);
    for (size_t at = 0; at < listed; at++) {
        const MailList::Message& message = list.messages[at];
        long long time = message.id == MailList::noid ? unseen : fetched[message.id];
        if (time >= 0 && message.size >= 0) {
            before++;
            bool stays = numbered && textids[message.id];
            aged += old(time, now) && !stays;
            drop[at] = !renumbered && !stays && (!keep || old(time, now));
            dropped += drop[at];
            continue;
        }
        if ((keep || !rules.empties) && (message.size <= 0 || time == again)) continue;
        fetch.push_back(static_cast<uint32_t>(at));
        fetchids.push_back(time == unseen ? message.id : MailList::noid);
    }
    // Whether held entries are still there is not known: only their age
    // lets them go.
    for (size_t at = listed; at < list.messages.size(); at++) {
        uint32_t i = list.messages[at].id;
        drop[at] = old(fetched[i], now) && !textids[i];
        dropped += drop[at];
        aged += drop[at];
    }
    size_t first = static_cast<size_t>(rules.first);
    if (loaded == MailRecord::Missing && first > 0 && fetch.size() > first) {
        fetch.erase(fetch.begin(), fetch.end() - static_cast<long>(first));
        fetchids.erase(fetchids.begin(), fetchids.end() - static_cast<long>(first));
    }
}

size_t MailPlan::limit(size_t most) {
    size_t cut = fetch.size();
    size_t left = 0;
    taking = 0;
    for (size_t k = 0; k < fetch.size(); k++) {
        if (list.messages[fetch[k]].size <= 0) continue;
        if (taking < most) {
            taking++;
        } else if (left++ == 0) {
            cut = k;
        }
    }
    // The first number not dealt with once the fetch is through: the first
    // left for a later run, else past all that were listed.
    if (numbered && left > 0) {
        mark = number(fetch[cut]);
    } else if (numbered) {
        for (size_t at = 0; at < listed; at++) mark = std::max(mark, number(static_cast<uint32_t>(at)) + 1);
        mark = std::max(mark, foldernext);
    }
    if (numbered && leftmark != 0) mark = std::min(mark, leftmark);
    fetch.resize(cut);
    fetchids.resize(cut);
    return left;
}

size_t MailPlan::keepable() const {
    size_t k = 0;
    while (k < fetch.size() && (fetchids[k] != MailList::noid || list.messages[fetch[k]].size <= 0)) k++;
    return k;
}

size_t MailPlan::wouldremove() const {
    size_t after = 0;
    if (!keep && !renumbered)
        for (size_t k = 0; k + texts < fetch.size(); k++) after += list.messages[fetch[k]].size >= 0;
    return aged + after;
}

void MailPlan::found(size_t k, std::string_view messageid) {
    if (!numbered || k >= fetch.size() || fetchids[k] == MailList::noid || !list.messageid(fetch[k]).empty()) return;
    messageids.set(fetchids[k], messageid);
}

size_t MailPlan::stored(const std::vector<bool>& places, bool whole, long long now) {
    size_t count = 0;
    for (size_t k = 0; k < fetch.size(); k++) {
        if (!places[k]) continue;
        count++;
        uint32_t at = fetch[k];
        uint32_t i = fetchids[k];
        bool text = k + texts >= fetch.size();
        if (i != MailList::noid) {
            fetched[i] = now;
            recorded = true;
            if (numbered) {
                std::string_view id = list.messageid(at);
                if (!id.empty()) messageids.set(i, id);
                textids[i] = text;
            }
        }
        drop[at] = !keep && !renumbered && !text && list.messages[at].size >= 0;
    }
    for (size_t k = 0; numbered && !whole && k < fetch.size(); k++) {
        if (places[k]) continue;
        // The text-only places follow the others: the lowest number counts.
        mark = std::min(mark, number(fetch[k]));
    }
    return count;
}

bool MailPlan::changed() const {
    if (recorded || forgot) return true;
    return numbered && (loaded != MailRecord::Ready || renumbered || mark != recordnext || vouched > 0);
}

bool MailPlan::save(MailRecord& record) const {
    std::vector<uint32_t> order;
    for (size_t i = 0; i < fetched.size(); i++)
        if (fetched[i] >= 0) order.push_back(static_cast<uint32_t>(i));
    // A folder's record goes by number, as its next does.
    if (numbered) {
        std::stable_sort(order.begin(), order.end(),
                         [this](uint32_t a, uint32_t b) { return numberof(list.id(a)) < numberof(list.id(b)); });
        record.validity = validity;
        record.next = mark;
    }
    size_t next = 0;
    return record.save([this, &order, &next](MailRecord::Entry& entry) {
        if (next == order.size()) return false;
        uint32_t i = order[next++];
        entry.id = list.id(i);
        entry.time = fetched[i];
        entry.messageid = numbered ? messageids[i] : std::string_view();
        entry.text = numbered && textids[i];
        return true;
    });
}

std::vector<uint32_t> MailPlan::over(int64_t most) const {
    std::vector<uint32_t> places;
    for (uint32_t at : fetch)
        if (list.messages[at].size > most) places.push_back(at);
    return places;
}

void MailPlan::leave(const std::vector<uint32_t>& places) {
    for (size_t k = 0; k < fetch.size();) {
        if (std::find(places.begin(), places.end(), fetch[k]) == places.end()) {
            k++;
            continue;
        }
        uint32_t n = numbered ? number(fetch[k]) : 0;
        if (n != 0 && (leftmark == 0 || n < leftmark)) leftmark = n;
        fetch.erase(fetch.begin() + static_cast<long>(k));
        fetchids.erase(fetchids.begin() + static_cast<long>(k));
    }
}

void MailPlan::textonly(const std::vector<uint32_t>& places) {
    std::vector<uint32_t> order(fetch.size());
    for (size_t k = 0; k < order.size(); k++) order[k] = static_cast<uint32_t>(k);
    auto text = [this, &places](uint32_t k) {
        return std::find(places.begin(), places.end(), fetch[k]) != places.end();
    };
    auto split = std::stable_partition(order.begin(), order.end(), [&text](uint32_t k) { return !text(k); });
    texts = static_cast<size_t>(order.end() - split);
    std::vector<uint32_t> reordered, ids;
    for (uint32_t k : order) {
        reordered.push_back(fetch[k]);
        ids.push_back(fetchids[k]);
    }
    fetch.swap(reordered);
    fetchids.swap(ids);
}

std::vector<uint32_t> MailPlan::removals() const {
    std::vector<uint32_t> places;
    for (size_t at = 0; at < drop.size(); at++)
        if (drop[at]) places.push_back(static_cast<uint32_t>(at));
    return places;
}

size_t MailPlan::earlier() const { return dropped; }

void MailPlan::removed() {
    for (size_t at = 0; at < drop.size(); at++) {
        uint32_t i = list.messages[at].id;
        if (drop[at] && i != MailList::noid) fetched[i] = unseen;
    }
}
