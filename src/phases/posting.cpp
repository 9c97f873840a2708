// The walk over REPLIES and the outgoing message files that both posting
// phases share; the phases supply the dialogue with their server.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "core/text.h"
#include "phases/shared.h"

namespace {

// Whether the other posting phase is part of the run.
int otherrunsof(const Context& run, int mine) {
    return mine == MAILKIND ? run.options.postnews : run.options.postmail;
}

// The worse of two ends of a phase: Ended over Kept over Offline over Done.
Result worse(Result a, Result b) {
    auto rank = [](Result r) { return r == Result::Ended ? 3 : r == Result::Kept ? 2 : r == Result::Offline ? 1 : 0; };
    return rank(a) >= rank(b) ? a : b;
}

// A file whose messages went out, its fate waiting for their answers while
// the next files' messages go.
struct Pending {
    size_t line;  // of REPLIES
    std::string path;
    File file;
    std::unique_ptr<PostedFile> posted;
    bool whole = false;  // every message of the file was dealt with
    // A message of the file waits for an account whose dialogue failed.
    bool stranded = false;
};

// One posting phase's walk, and whether it kept a line of REPLIES.
class Walk {
public:
    Walk(const Context& run, int mine, PostDialogue& dialogue, RepliesFile& replies)
        : run(run), out(run.report), soupdir(run.settings.soupdir), mine(mine), dialogue(dialogue), replies(replies),
          opened(dialogue.accounts(), false), dead(dialogue.accounts(), false), alive(dialogue.accounts()) {}

    Step postreplies();
    bool kept = false;
    // The account whose failure ended the walk, for the phase to end; -1
    // when there is none.
    int failing = 0;
    // How the accounts that failed while others went on ended.
    Result ended = Result::Done;

private:
    Step walk();
    Step postfile(size_t line, const ReplyEntry& entry);
    Step postmessages(Pending& file, char format);
    Step postone(Pending& file, const OutgoingMessage& message);
    Step open(size_t account);
    // The answers still outstanding, read through the dialogue of the
    // account that took the last message.
    Step settle();
    Step fail(size_t account, Step how);
    Step quitall();
    // Settles the fate of the files whose messages all have their verdict,
    // in the order of REPLIES; at the end, of every file: one with a
    // message whose verdict never came stays.
    void decide(bool end);
    void keep(const char* format, const std::string& path) {
        out.say(format, path.c_str());
        kept = true;
    }

    const Context& run;
    Report& out;
    const std::string& soupdir;
    const int mine;
    PostDialogue& dialogue;
    RepliesFile& replies;
    std::vector<bool> opened, dead;
    size_t alive;
    int current = -1;  // the account that took the last message
    std::deque<Pending> files;
};

Step Walk::settle() {
    if (current < 0 || dead[current]) return Step::Next;
    Step step = dialogue.settle(current);
    return step == Step::Next ? step : fail(current, step);
}

Step Walk::open(size_t account) {
    opened[account] = true;
    Step step = dialogue.open(account);
    return step == Step::Next ? step : fail(account, step);
}

// The dialogue of the account failed: while others may still post, it is
// ended at once and its messages wait for the next run; the last one is
// ended by the phase.
Step Walk::fail(size_t account, Step how) {
    dead[account] = true;
    if (--alive == 0) {
        failing = static_cast<int>(account);
        return how;
    }
    ended = worse(ended, dialogue.end(account, how));
    return Step::Next;
}

// Interrupted: every open dialogue is ended with QUIT, the last by the
// phase.
Step Walk::quitall() {
    failing = -1;
    for (size_t i = 0; i < opened.size(); i++) {
        if (!opened[i] || dead[i]) continue;
        if (failing >= 0) ended = worse(ended, dialogue.end(static_cast<size_t>(failing), Step::Quit));
        failing = static_cast<int>(i);
    }
    return Step::Quit;
}

void Walk::decide(bool end) {
    while (!files.empty()) {
        Pending& file = files.front();
        bool known = file.whole && file.posted->answered();
        if (!known && !end) return;
        std::string path = file.path;
        size_t line = file.line;
        bool failed = file.posted->failed, stranded = file.stranded;
        // A letter given up was said, and leaves the run unfinished.
        kept = kept || file.posted->gaveup;
        files.pop_front();
        // A file cut short by a failure stays as it is.
        if (!known) continue;
        if (failed) {
            kept = true;
        } else if (stranded) {
            // Its account's failure was said, and judges the run.
        } else if (!run.options.test && remove(path.c_str()) != 0) {
            // The line stays, and with it the record that keeps the next
            // run from sending these messages a second time.
            out.say("! Cannot remove message file %s: %s\n", path.c_str(), std::strerror(errno));
        } else if (!run.options.test) {
            replies.drop(line, path);
        }
    }
}

// Every message of one file not sent before; its fate is decided once
// their answers are in.
Step Walk::postfile(size_t line, const ReplyEntry& entry) {
    std::string path = soupdir + casedname(soupdir, std::string(entry.prefix) + ".MSG");
    // A file listed twice is settled first: its messages in flight are not
    // recorded yet.
    for (const Pending& earlier : files) {
        if (earlier.path != path) continue;
        Step step = settle();
        if (step != Step::Next) return step;
        decide(false);
        break;
    }
    Areas areas = listedinareas(soupdir, entry.prefix);
    int error = 0;
    File file(areas == Areas::Unlisted ? openregular(path.c_str(), error) : nullptr);
    std::unique_ptr<PostedFile> posted(file ? std::make_unique<PostedFile>(file.get(), path.c_str()) : nullptr);
    // What is said of this file comes after the answers of the files
    // before it.
    if (!posted || posted->stale || posted->changed) {
        Step step = settle();
        if (step != Step::Next) return step;
    }
    if (areas == Areas::Listed) {
        keep("! Message file %s is listed in AREAS - skipping\n", path);
        return Step::Next;
    }
    if (areas == Areas::Unreadable) {
        out.say("! Cannot read %sAREAS - skipping message file %s\n", soupdir.c_str(), path.c_str());
        kept = true;
        return Step::Next;
    }
    if (!file) {
        // Sent whole and removed by a run that died before it could drop
        // the line: its record says so.
        if (error == ENOENT && !run.options.test && partlysent(path)) {
            replies.drop(line, path);
            return Step::Next;
        }
        keep("! Cannot open message file %s\n", path);
        if (error == 0) keep("! Message file %s is not a regular file\n", path);
        return Step::Next;
    }
    if (posted->stale)
        out.say("! Record %s does not match %s - sending the file whole\n", posted->record.c_str(), path.c_str());
    PostedFile::Count count = posted->changed ? posted->count(entry.format) : PostedFile::Count();
    if (count.unsent > 0)
        out.say("! %s.MSG changed since it was partly sent: %ld of %ld messages goes again\n", entry.prefix,
                count.unsent, count.messages);
    files.push_back({line, path, std::move(file), std::move(posted)});
    Pending& pending = files.back();
    Step step = postmessages(pending, entry.format);
    pending.whole = step == Step::Next;
    return step;
}

Step Walk::postmessages(Pending& pending, char format) {
    PostedFile& posted = *pending.posted;
    FILE* file = posted.file;
    struct stat st;
    bool sized = fstat(fileno(file), &st) == 0;
    long offset = 0;
    // Each message is read once, here; all that follows works from this.
    OutgoingMessage message;
    for (;;) {
        long length = fseek(file, offset, SEEK_SET) == 0 ? readmessage(file, format, message) : -1;
        if (length == 0) return Step::Next;
        long start = length > 0 && sized ? message.start : -1;
        // A message that the file does not hold whole would go out cut.
        bool cut = start >= 0 && length > st.st_size - start;
        if (start < 0 || cut) {
            // The messages still in flight are answered first, so that the
            // reports come in the order of the messages.
            Step step = settle();
            if (step != Step::Next) return step;
            out.say(cut ? "! Message in %s ends before its length - not sent\n" : "! Error in message file %s\n",
                    posted.path.c_str());
            posted.refused();
            return Step::Next;
        }
        offset = start + length;
        if (posted.wassent(message)) continue;
        // Interrupted: what the server answered is recorded, the rest of
        // the file waits for the next run.
        if (run.interrupts.taken()) {
            Step step = settle();
            return step == Step::Next ? quitall() : step;
        }
        Step step = postone(pending, message);
        if (step != Step::Next) return step;
    }
}

// One message, through the dialogue of its account.
Step Walk::postone(Pending& pending, const OutgoingMessage& message) {
    PostedFile& posted = *pending.posted;
    std::string why;
    int to = dialogue.route() ? dialogue.route()(posted, message, why) : 0;
    if (to != current) {
        // The last account's verdicts come first, in the order of the
        // messages.
        Step step = settle();
        if (step != Step::Next) return step;
        current = to;
    }
    if (to < 0) {
        out.say("%s", why.c_str());
        posted.refused();
        return Step::Next;
    }
    size_t account = static_cast<size_t>(to);
    Step step = opened[account] ? Step::Next : open(account);
    if (step != Step::Next) return step;
    if (dead[account]) {
        pending.stranded = true;
        return Step::Next;
    }
    posted.handed(message.start);
    step = dialogue.post(account, posted, message);
    return step == Step::Next ? step : fail(account, step);
}

Step Walk::postreplies() {
    Step step = walk();
    decide(true);
    return step;
}

Step Walk::walk() {
    int otherruns = otherrunsof(run, mine);
    // Past the last file to post, a line said after the answers lets QUIT
    // go ahead of them.
    size_t last = 0;
    for (size_t i = 0; i < replies.lines.size(); i++) {
        std::string line = replies.lines[i];
        ReplyEntry entry;
        if (judgereply(line, mine, otherruns, entry) == ReplyAction::Post) last = i + 1;
    }
    for (size_t i = 0; i < replies.lines.size(); i++) {
        std::string line = replies.lines[i];
        ReplyEntry entry;
        ReplyAction action = judgereply(line, mine, otherruns, entry);
        if (action == ReplyAction::Keep) {
            if (entry.report) {
                for (size_t k = 0; i >= last && k < opened.size(); k++)
                    if (opened[k] && !dead[k]) dialogue.quitahead(k);
                Step step = settle();
                if (step != Step::Next) return step;
                out.say("%s", entry.report);
            }
            kept = kept || !entry.unasked;
        }
        if (action != ReplyAction::Post) continue;
        if (!dialogue.route() && !opened[0]) {
            Step step = open(0);
            if (step != Step::Next) return step;
        }
        Step step = postfile(i, entry);
        if (step != Step::Next) return step;
        decide(false);
    }
    // Each account reads the answers still to come as it signs off.
    bool connected = false;
    for (size_t i = 0; i < opened.size(); i++) {
        connected = connected || opened[i];
        if (!opened[i] || dead[i]) continue;
        Step step = dialogue.signoff(i);
        if (step != Step::Next && fail(i, step) != Step::Next) return step;
    }
    if (!connected) out.step("%s", dialogue.nothingposted());
    return Step::Next;
}

// The accounts that take a message not sent before of the files REPLIES
// lists for the phase of kind mine, in the order of their first; without
// route, the one account, where there is such a message.
std::vector<size_t> plan(const Context& run, const RepliesFile& replies, int mine, const PostRoute& route) {
    std::vector<size_t> order;
    const std::string& soupdir = run.settings.soupdir;
    for (std::string line : replies.lines) {
        ReplyEntry entry;
        if (judgereply(line, mine, otherrunsof(run, mine), entry) != ReplyAction::Post) continue;
        if (listedinareas(soupdir, entry.prefix) != Areas::Unlisted) continue;
        std::string path = soupdir + casedname(soupdir, std::string(entry.prefix) + ".MSG");
        int error = 0;
        File file(openregular(path.c_str(), error));
        if (!file) continue;
        PostedFile posted(file.get(), path.c_str());
        // The header is enough to route; the bytes are read where a record
        // names a message of their length.
        OutgoingMessage message;
        for (long offset = 0;;) {
            if (fseek(file.get(), offset, SEEK_SET) != 0 || readmessage(file.get(), entry.format, message, false) <= 0)
                break;
            offset = message.start + message.length;
            std::string why;
            int to = posted.wassent(message) ? -1 : route ? route(posted, message, why) : 0;
            if (to >= 0 && std::find(order.begin(), order.end(), static_cast<size_t>(to)) == order.end())
                order.push_back(static_cast<size_t>(to));
        }
    }
    return order;
}

// The files REPLIES lists for the phase of kind mine.
long listed(const Context& run, const RepliesFile& replies, int mine) {
    long files = 0;
    for (std::string line : replies.lines) {
        ReplyEntry entry;
        if (judgereply(line, mine, otherrunsof(run, mine), entry) == ReplyAction::Post) files++;
    }
    return files;
}

// A check run's account of REPLIES: the files it lists for the phase of
// kind mine, neither opened nor sent.
void listfiles(const Context& run, int mine) {
    Report& out = run.report;
    RepliesFile replies(run.settings.soupdir);
    RepliesFile::Load loaded = replies.load();
    if (loaded == RepliesFile::NotRegular) out.say("! REPLIES file %s is not a regular file\n", replies.path.c_str());
    if (loaded == RepliesFile::ReadErrors) out.say("! Error in REPLIES file\n");
    int otherruns = otherrunsof(run, mine);
    std::string files;
    for (std::string line : replies.lines) {
        ReplyEntry entry;
        ReplyAction action = judgereply(line, mine, otherruns, entry);
        if (action == ReplyAction::Keep && entry.report && !entry.unasked) out.say("%s", entry.report);
        if (action == ReplyAction::Post) files += std::string(" ") + entry.prefix + ".MSG";
    }
    out.say("%s files listed in REPLIES:%s\n", mine == MAILKIND ? "Mail" : "News",
            files.empty() ? " none" : files.c_str());
}

// A check run: the files to be posted, then each account's dialogue up to
// the login, and QUIT.
Result checkposting(const Context& run, bool ready, int mine, PostDialogue& dialogue) {
    if (!ready) return dialogue.end(0, Step::End);
    listfiles(run, mine);
    Result result = Result::Done;
    for (size_t i = 0; i < dialogue.accounts(); i++) {
        Step step = dialogue.open(i);
        if (step == Step::Next) step = dialogue.signoff(i);
        if (step != Step::Next) result = worse(result, dialogue.end(i, step));
    }
    return result;
}

}  // namespace

bool listsfiles(const Context& run, int mine) {
    RepliesFile replies(run.settings.soupdir);
    return replies.load() != RepliesFile::Missing && listed(run, replies, mine) > 0;
}

std::vector<size_t> postplan(const Context& run, int mine, const PostRoute& route) {
    RepliesFile replies(run.settings.soupdir);
    if (replies.load() == RepliesFile::Missing) return {};
    return plan(run, replies, mine, route);
}

std::string accountfrom(const Account& account) {
    for (const std::string& address : account.from) {
        if (address.find_first_of("*?[") != std::string::npos) continue;
        return account.realname.empty() ? address : account.realname + " <" + address + ">";
    }
    return "";
}

bool addedheaders(const Context& run, PostedFile& posted, const OutgoingMessage& message, const std::string& from,
                  std::string& head) {
    head.clear();
    if (!run.account.addheaders) return true;
    head = posted.added(message);
    if (!head.empty()) return true;
    bool hasfrom = false, hasdate = false, hasid = false;
    for (const std::string& line : message.fields) {
        auto is = [&line](const char* name) {
            size_t len = std::strlen(name);
            return line.size() >= len && memicmp(line.c_str(), name, static_cast<unsigned>(len)) == 0;
        };
        hasfrom = hasfrom || is("From:");
        hasdate = hasdate || is("Date:");
        hasid = hasid || is("Message-ID:");
    }
    time_t now = std::time(nullptr);
    if (!hasfrom && !from.empty()) head += "From: " + from + "\n";
    if (!hasdate) head += "Date: " + maildate(now) + "\n";
    if (!hasid) head += "Message-ID: " + newmessageid(now, run.account.hostname) + "\n";
    return head.empty() || recorded(run.report, posted, posted.addheaders(message, head));
}

std::string lettername(const PostedFile& posted, const OutgoingMessage& message, const std::string& to) {
    std::string name = posted.path.substr(posted.path.rfind('/') + 1) + " ";
    std::string subject;
    bool in = false;
    for (const std::string& line : message.fields) {
        bool more = line[0] == ' ' || line[0] == '\t';
        if (in && more) subject += line;
        if (in && !more) break;
        if (!in && line.size() >= 8 && memicmp(line.c_str(), "Subject:", 8) == 0) {
            subject = line.substr(8);
            in = true;
        }
    }
    for (char& c : subject)
        if (c == '\r' || c == '\n' || c == '\t') c = ' ';
    size_t first = subject.find_first_not_of(' ');
    if (first != std::string::npos)
        name += "\"" + safetext(subject.substr(first, subject.find_last_not_of(' ') + 1 - first)) + "\" ";
    if (!to.empty()) name += "to " + safetext(to) + " ";
    name.back() = ':';
    return name;
}

bool recorded(Report& report, const PostedFile& posted, bool ok) {
    if (!ok) report.say("! Cannot record what was sent in %s: %s\n", posted.record.c_str(), posted.reason());
    return ok;
}

bool recordsent(Report& report, PostedFile& posted, const OutgoingMessage& message) {
    return recorded(report, posted, posted.accepted(message));
}

bool givenup(const Context& run, PostedFile& posted, const OutgoingMessage& message, GivenUpLetter letter) {
    Report& out = run.report;
    const std::string& soupdir = run.settings.soupdir;
    std::string name = posted.path;
    name = name.substr(name.rfind('/') + 1);
    name = name.substr(0, name.size() - 4);  // ".MSG"
    std::string reason;
    if (!storerefused(soupdir, name.c_str(), message, letter.storedat, reason)) {
        out.say("Cannot write to %s: %s\n", letter.storedat.c_str(), reason.c_str());
        return false;
    }
    if (!writenotice(out, soupdir, run.account.hostname, letter)) return false;
    if (!recorded(out, posted, posted.givenup(message))) return false;
    out.say("! Letter moved to %s, and a notice into area Vorpa\n", letter.storedat.c_str());
    return true;
}

Result postphase(const Context& run, bool ready, int mine, PostDialogue& dialogue) {
    if (run.options.check) return checkposting(run, ready, mine, dialogue);
    (mine == MAILKIND ? run.tally.mailpost : run.tally.newspost) = true;
    Step step = Step::End;
    RepliesFile replies(run.settings.soupdir);
    Walk walk(run, mine, dialogue, replies);
    if (!ready) {
        replies.load();
    } else {
        RepliesFile::Load loaded = replies.load();
        if (loaded == RepliesFile::Missing) {
            run.report.step("%s", dialogue.noreplies());
            return Result::Done;
        }
        if (loaded == RepliesFile::NotRegular) {
            run.report.say("! REPLIES file %s is not a regular file\n", replies.path.c_str());
            return Result::Kept;
        }
        if (loaded == RepliesFile::ReadErrors) {
            run.report.say("! Error in REPLIES file\n");
            walk.kept = true;
        }
        // What a run killed while rewriting REPLIES left behind.
        if (!run.options.test) removeleftovers(run.settings.soupdir.c_str(), "TMP");
        step = walk.postreplies();
        // Its lines of files sent and removed would have them taken as unsent.
        if (replies.rewrite(run.options.test) == RepliesFile::Failed) {
            run.report.say("! Cannot rewrite %s: %s\n", replies.path.c_str(), replies.reason.c_str());
            walk.kept = true;
        }
    }
    run.tally.kept += listed(run, replies, mine);
    if (step == Step::Next) return worse(walk.ended, walk.kept ? Result::Kept : Result::Done);
    Result ended = walk.failing >= 0 ? dialogue.end(static_cast<size_t>(walk.failing), step) : Result::Ended;
    return worse(walk.ended, walk.kept ? Result::Ended : ended);
}

std::vector<Context> postaccounts(const Context& run, Server Account::*server) {
    std::vector<Context> those;
    if (run.accounts)
        for (const Account* a : *run.accounts)
            if (!(a->*server).host.empty())
                those.push_back(run.foraccount(*a));
    if (those.empty()) those.push_back(run);
    return those;
}

int routeto(const Settings& settings, const std::vector<Context>& accounts,
            const std::function<bool(const Account&)>& takes, const Account*& by) {
    by = &settings.accounts.front();
    for (const Account& a : settings.accounts)
        if (takes(a)) {
            by = &a;
            break;
        }
    for (size_t i = 0; i < accounts.size(); i++)
        if (&accounts[i].account == by) return static_cast<int>(i);
    return -1;
}

