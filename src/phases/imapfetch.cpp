// The fetch of an IMAP folder: the messages that came since the last run,
// by UID, into a message file of their own; the record of what was stored
// once the file is listed; then, where asked for, flags and removals.
#include <strings.h>

#include <algorithm>
#include <ctime>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/text.h"
#include "phases/mailfetch.h"

namespace {

// The message ids of the record, for a folder whose UIDs changed.
std::unordered_set<std::string> byid(const ImapRecord& record) {
    std::unordered_set<std::string> ids;
    for (const ImapRecord::Entry& e : record.entries)
        if (!e.messageid.empty()) ids.insert(e.messageid);
    return ids;
}

const char* plural(size_t n) { return n == 1 ? "" : "s"; }

}  // namespace

bool MailFetch::imapfolder(const std::string& folder) {
    FolderSize size;
    if (!imap->select(folder, size)) return false;
    const ImapFolder& f = imap->selected();
    std::string name = safetext(folder);
    if (f.missing) {
        out.say("IMAP host has no folder %s: %s", name.c_str(), safetext(f.reply.text).c_str());
        missing = true;
        return true;
    }
    const Account& account = run.account;
    ImapRecord record(account.newsgroups, account.name, folder);
    ImapRecord::Loaded loaded = record.load();
    if (loaded == ImapRecord::Failed) {
        out.say("Cannot read %s: %s\n", record.where().c_str(), record.reason());
        return false;
    }
    if (record.ignored() > 0)
        out.say("! Ignored %ld unreadable line%s of %s\n", record.ignored(), plural(record.ignored()),
                record.where().c_str());
    if (size.messages == 0) out.say("There are no messages in %s on the IMAP server.\n", name.c_str());
    else out.say("There are %ld messages in %s on the IMAP server.\n", size.messages, name.c_str());
    bool changed = loaded == ImapRecord::Ready && record.uidvalidity != f.uidvalidity;
    if (changed) out.say("UIDVALIDITY of %s changed: its messages are matched by Message-ID\n", name.c_str());
    // A Message-ID proves little: what it matched is not taken from the
    // server before a run has seen the folder under its new numbers.
    if (changed && (account.imapseen || account.imapdelete || account.imapkeepdays > 0))
        out.say("UIDVALIDITY of %s changed: nothing in it is flagged or removed in this run\n", name.c_str());
    std::vector<ImapRecord::Entry> entries = changed ? std::vector<ImapRecord::Entry>() : record.entries;
    // IMAPDELETE removes all that the record names, not only this run's:
    // what a run that ended before UID EXPUNGE left, what was stored
    // before it was turned on. Those the server no longer has leave the
    // record.
    std::vector<uint32_t> earlier;
    bool sweeping = !changed && account.imapdelete && !entries.empty() && imap->uidplus() && !run.options.test;
    if (sweeping) {
        std::vector<uint32_t> uids;
        for (const ImapRecord::Entry& e : entries) uids.push_back(e.uid);
        if (!imap->present(uids, earlier)) return false;
        entries.erase(std::remove_if(entries.begin(), entries.end(),
                                     [&earlier](const ImapRecord::Entry& e) {
                                         return !std::binary_search(earlier.begin(), earlier.end(), e.uid);
                                     }),
                      entries.end());
    }
    long long now = static_cast<long long>(std::time(nullptr));
    std::vector<uint32_t> old;
    if (!sweeping && account.imapkeepdays > 0)
        for (const ImapRecord::Entry& e : entries)
            if (now - e.time >= account.imapkeepdays * 86400LL) old.push_back(e.uid);
    uint32_t next = loaded == ImapRecord::Ready && !changed ? record.next : 1;
    // UIDNEXT tells that nothing came: not a command more.
    bool unchanged = (loaded == ImapRecord::Ready && !changed && f.uidnext != 0 && f.uidnext <= next) ||
                     size.messages == 0;
    MailList list;
    if (!unchanged) {
        // A new UIDVALIDITY: the messages are known by their Message-IDs.
        imap->since(next, changed);
        if (!imap->list(list)) return false;
    }
    const std::vector<ImapMessage>& listed = unchanged ? std::vector<ImapMessage>() : imap->listed();
    std::vector<uint32_t> fetch;  // places of listed, oldest first
    std::unordered_set<std::string> ids;
    if (changed) ids = byid(record);
    auto recorded = [&record](uint32_t uid) {
        auto at = std::lower_bound(record.entries.begin(), record.entries.end(), uid,
                                   [](const ImapRecord::Entry& e, uint32_t u) { return e.uid < u; });
        return at != record.entries.end() && at->uid == uid;
    };
    for (uint32_t i = 0; i < listed.size(); i++) {
        auto known = changed && !listed[i].messageid.empty() ? ids.find(listed[i].messageid) : ids.end();
        // A recorded Message-ID vouches for one message, the first with
        // it: it counts as stored now.
        if (known != ids.end()) {
            entries.push_back({listed[i].uid, now, listed[i].messageid});
            ids.erase(known);
        }
        // Stored by a run that ended before the one listed before it.
        else if (listed[i].size > 0 && (changed || !recorded(listed[i].uid))) {
            fetch.push_back(i);
        }
    }
    // A first fetch takes only the newest messages, where asked.
    if (loaded == ImapRecord::Missing && account.imapfirst > 0 && fetch.size() > static_cast<size_t>(account.imapfirst))
        fetch.erase(fetch.begin(), fetch.end() - account.imapfirst);
    out.say("%zu of them are new.\n", fetch.size());
    size_t left = 0;
    if (account.imapmax > 0) {
        size_t take = std::min(fetch.size(), static_cast<size_t>(imapleft));
        left = fetch.size() - take;
        imapleft -= static_cast<long>(take);
        if (left > 0) out.say("Fetching %zu of them now, %zu in a later run.\n", take, left);
    }
    // The first UID not dealt with once the fetch is through: the first
    // left for a later run, else past all that were listed.
    uint32_t after = next;
    if (left > 0) after = listed[fetch[fetch.size() - left]].uid;
    else if (!listed.empty()) after = std::max(after, listed.back().uid + 1);
    if (left == 0 && f.uidnext > after) after = f.uidnext;
    fetch.resize(fetch.size() - left);
    if (run.options.check) {
        size_t removals =
            old.size() + earlier.size() + (account.imapdelete && imap->uidplus() && !changed ? fetch.size() : 0);
        out.say("A run would fetch %zu of them and delete %zu.\n", fetch.size(), removals);
        return true;
    }
    Fetched got{Step::Next, 0};
    // The folder's name as configured; INBOX as the POP3 fetch names it.
    const char* area = strcasecmp(folder.c_str(), "INBOX") == 0 ? "Email" : folder.c_str();
    std::vector<std::string> found;  // the Message-IDs in the headers
    if (!fetch.empty()) got = retrieve(list, fetch, fetch.size(), area, false, &found);
    if (got.step == Step::End) return false;
    // The server may send bodies in any order: what came whole is in the
    // file, unless the fetch kept none.
    std::vector<uint32_t> stored;
    bool kept = got.step == Step::Next || got.stored > 0;
    for (size_t k = 0; kept && k < fetch.size(); k++) {
        const ImapMessage& m = listed[fetch[k]];
        if (!imap->delivered(k)) continue;
        stored.push_back(m.uid);
        entries.push_back({m.uid, now, m.messageid.empty() ? found[k] : m.messageid});
    }
    run.tally.mails += static_cast<long>(stored.size());
    for (size_t k = 0; got.step != Step::Next && k < fetch.size(); k++) {
        if (kept && imap->delivered(k)) continue;
        after = listed[fetch[k]].uid;
        break;
    }
    if (run.options.test) return got.step == Step::Next;
    if (loaded != ImapRecord::Ready || changed || after != record.next || !stored.empty() ||
        entries.size() != record.entries.size()) {
        std::sort(entries.begin(), entries.end(),
                  [](const ImapRecord::Entry& a, const ImapRecord::Entry& b) { return a.uid < b.uid; });
        record.uidvalidity = f.uidvalidity;
        record.next = after;
        record.entries = std::move(entries);
        if (!record.save()) {
            out.say("Cannot write to %s: %s\n", record.failedfile().c_str(), record.reason());
            return false;
        }
    }
    return got.step == Step::Next && (changed || imapafter(record, folder, stored, old, earlier));
}

// Flags and removals of what is safely stored and recorded.
bool MailFetch::imapafter(ImapRecord& record, const std::string& folder, const std::vector<uint32_t>& stored,
                          const std::vector<uint32_t>& old, const std::vector<uint32_t>& earlier) {
    const Account& account = run.account;
    bool removing = (account.imapdelete && !stored.empty()) || !old.empty() || !earlier.empty();
    if (removing && !imap->uidplus()) {
        if (!warneduidplus) out.say("IMAP host does not offer UIDPLUS: no message is deleted\n");
        warneduidplus = true;
        removing = false;
    }
    bool deleting = removing && account.imapdelete && !stored.empty();
    if (account.imapseen && !deleting && !stored.empty() && !imap->flag(stored, "\\Seen")) return false;
    if (!removing) return true;
    std::vector<uint32_t> gone = old;
    gone.insert(gone.end(), earlier.begin(), earlier.end());
    if (deleting) gone.insert(gone.end(), stored.begin(), stored.end());
    if (!imap->expunge(gone)) return false;
    if (!earlier.empty())
        out.say("Removed %zu message%s stored earlier from %s\n", earlier.size(), plural(earlier.size()),
                safetext(folder).c_str());
    if (!old.empty())
        out.say("Removed %zu message%s stored %ld days ago or more from %s\n", old.size(), plural(old.size()),
                account.imapkeepdays, safetext(folder).c_str());
    std::sort(gone.begin(), gone.end());
    auto& e = record.entries;
    e.erase(std::remove_if(e.begin(), e.end(),
                           [&gone](const ImapRecord::Entry& x) {
                               return std::binary_search(gone.begin(), gone.end(), x.uid);
                           }),
            e.end());
    if (record.save()) return true;
    out.say("Cannot write to %s: %s\n", record.failedfile().c_str(), record.reason());
    return false;
}
