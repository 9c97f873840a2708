// The mail sources through their seam with the one plan: a POP3 mailbox
// and an IMAP folder against scripted servers, the same cases for both
// (new, kept, removed, renumbered). What the server sees for the messages
// fetched and removed, and the record after.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <string>
#include <vector>

#include "proto/mailsource.h"
#include "run.h"
#include "scripted_server.h"
#include "soup/mailplan.h"

namespace {

// A message the server holds: its UIDL id, or its UID, and Message-ID.
struct Held {
    std::string id, messageid;
};

struct Case {
    const char* name;
    Protocol protocol;
    std::string before;  // the record; a folder's begins "7 <next>"
    uint32_t validity;   // the folder's now
    std::vector<Held> server;
    MailRules rules;
    std::vector<std::string> fetched, removed;  // ids
    std::string after;  // the record, this run's time as T
};

// Times: 100 is long ago, 4000000000 to come.
const Case cases[] = {
    {"new", Protocol::Pop3, "100 aa\n", 0, {{"aa", "<a@x>"}, {"bb", "<b@x>"}}, {true, 0, 0, true}, {"bb"}, {},
     "100 aa\nT bb\n"},
    {"new", Protocol::Imap, "7 2\n1 100 <a@x>\n", 7, {{"1", "<a@x>"}, {"2", "<b@x>"}}, {true, 0, 0}, {"2"}, {},
     "7 3\n1 100 <a@x>\n2 T <b@x>\n"},
    {"kept", Protocol::Pop3, "100 aa\n100 bb\n", 0, {{"aa", "<a@x>"}, {"bb", "<b@x>"}}, {true, 0, 0, true}, {}, {},
     "100 aa\n100 bb\n"},
    {"kept", Protocol::Imap, "7 3\n1 100 <a@x>\n2 100 <b@x>\n", 7, {{"1", "<a@x>"}, {"2", "<b@x>"}}, {true, 0, 0},
     {}, {}, "7 3\n1 100 <a@x>\n2 100 <b@x>\n"},
    // By age: a mailbox's record forgets at the next listing, a folder's at
    // once.
    {"removed by age", Protocol::Pop3, "100 aa\n4000000000 bb\n", 0,
     {{"aa", "<a@x>"}, {"bb", "<b@x>"}, {"cc", "<c@x>"}}, {true, 30, 0, true}, {"cc"}, {"aa"},
     "100 aa\n4000000000 bb\nT cc\n"},
    {"removed by age", Protocol::Imap, "7 3\n1 100 <a@x>\n2 4000000000 <b@x>\n", 7,
     {{"1", "<a@x>"}, {"2", "<b@x>"}, {"3", "<c@x>"}}, {true, 30, 0}, {"3"}, {"1"},
     "7 4\n2 4000000000 <b@x>\n3 T <c@x>\n"},
    // Without keep what is stored goes, also what an earlier run stored:
    // the folder is asked whether it still has it. An empty message goes
    // only where the mailbox is emptied.
    {"removed", Protocol::Pop3, "100 aa\n", 0, {{"aa", "<a@x>"}, {"bb", "<b@x>"}, {"dd", ""}}, {false, 0, 0, true},
     {"bb", "dd"}, {"aa", "bb", "dd"}, "100 aa\nT bb\nT dd\n"},
    {"removed", Protocol::Imap, "7 3\n1 100 <a@x>\n2 100 <b@x>\n", 7, {{"1", "<a@x>"}, {"3", "<c@x>"}, {"4", ""}},
     {false, 0, 0}, {"3"}, {"1", "3"}, "7 5\n"},
    // A mailbox's messages under new numbers; a folder's under new UIDs,
    // where a Message-ID vouches for one.
    {"renumbered", Protocol::Pop3, "100 aa\n100 bb\n", 0, {{"bb", "<b@x>"}, {"cc", "<c@x>"}, {"aa", "<a@x>"}},
     {true, 0, 0, true}, {"cc"}, {}, "100 bb\nT cc\n100 aa\n"},
    {"renumbered", Protocol::Imap, "7 3\n1 100 <a@x>\n2 100 <b@x>\n", 8, {{"10", "<a@x>"}, {"11", "<c@x>"}},
     {true, 0, 0}, {"11"}, {}, "8 12\n10 T <a@x>\n11 T <c@x>\n"},
};

// Without a Message-ID, an empty message.
std::string body(const Held& m) {
    return m.messageid.empty() ? "" : "Message-ID: " + m.messageid + "\r\n\r\nhi\r\n";
}

size_t place(const Case& c, const std::string& id) {
    return static_cast<size_t>(std::find_if(c.server.begin(), c.server.end(), [&id](const Held& m) {
                                   return m.id == id;
                               }) - c.server.begin());
}

void pop3script(Script& s, const Case& c) {
    std::string n = std::to_string(c.server.size()), list = "+OK\r\n", uidl = "+OK\r\n";
    for (size_t i = 0; i < c.server.size(); i++) {
        list += std::to_string(i + 1) + " " + std::to_string(body(c.server[i]).size()) + "\r\n";
        uidl += std::to_string(i + 1) + " " + c.server[i].id + "\r\n";
    }
    s.send("+OK\r\n").expect("CAPA\r\n").send("+OK\r\n.\r\n").expect("USER joe\r\n").send("+OK\r\n")
        .expect("PASS secret\r\n").send("+OK\r\n").expect("STAT\r\n").send("+OK " + n + " 0\r\n")
        .expect("LIST\r\n").send(list + ".\r\n").expect("UIDL\r\n").send(uidl + ".\r\n");
    for (const std::string& id : c.fetched)
        if (!body(c.server[place(c, id)]).empty())
            s.expect("RETR " + std::to_string(place(c, id) + 1) + "\r\n")
            .send("+OK\r\n" + body(c.server[place(c, id)]) + ".\r\n");
    for (const std::string& id : c.removed)
        s.expect("DELE " + std::to_string(place(c, id) + 1) + "\r\n").send("+OK\r\n");
    s.expect("QUIT\r\n").send("+OK\r\n");
}

// The folder's dialogue: the record's next where its numbering holds, the
// recorded UIDs checked where nothing is kept, Message-IDs listed where the
// numbering is new.
void imapscript(Script& s, const Case& c) {
    uint32_t validity = static_cast<uint32_t>(std::stoul(c.before));
    uint32_t next = static_cast<uint32_t>(std::stoul(c.before.substr(c.before.find(' '))));
    bool renumbered = validity != c.validity;
    uint32_t from = renumbered ? 1 : next;
    uint32_t uidnext = static_cast<uint32_t>(std::stoul(c.server.back().id)) + 1;
    int tags = 0;
    auto tag = [&tags] { return "A" + std::to_string(++tags); };
    s.send("* OK [CAPABILITY IMAP4rev1] ready\r\n").expect("L LOGIN \"joe\" \"secret\"\r\n")
        .send("L OK [CAPABILITY IMAP4rev1 UIDPLUS] in\r\n");
    std::string t = tag();
    s.expect(t + (c.rules.keep && c.rules.keepdays == 0 ? " EXAMINE" : " SELECT") + " \"INBOX\"\r\n")
        .send("* " + std::to_string(c.server.size()) + " EXISTS\r\n* OK [UIDVALIDITY " + std::to_string(c.validity) +
              "] v\r\n* OK [UIDNEXT " + std::to_string(uidnext) + "] n\r\n" + t + " OK\r\n");
    if (!c.rules.keep && !renumbered) {
        t = tag();
        std::string have;
        for (const Held& m : c.server)
            if (std::stoul(m.id) < next) have += "* 1 FETCH (UID " + m.id + ")\r\n";
        s.expect(t + " UID FETCH 1:" + std::to_string(next - 1) + " (UID)\r\n").send(have + t + " OK\r\n");
    }
    if (renumbered || uidnext > next) {
        t = tag();
        std::string listed;
        for (const Held& m : c.server) {
            if (std::stoul(m.id) < from) continue;
            std::string header = "Message-ID: " + m.messageid + "\r\n\r\n";
            listed += "* 1 FETCH (UID " + m.id + " RFC822.SIZE " + std::to_string(body(m).size()) +
                      (renumbered ? " BODY[HEADER.FIELDS (MESSAGE-ID)] {" + std::to_string(header.size()) + "}\r\n" +
                                        header
                                  : "") +
                      ")\r\n";
        }
        s.expect(t + " UID FETCH " + std::to_string(from) + ":* (UID RFC822.SIZE" +
                 (renumbered ? " BODY.PEEK[HEADER.FIELDS (MESSAGE-ID)]" : "") + ")\r\n")
            .send(listed + t + " OK\r\n");
    }
    // The bodies by one set; one of no size is not asked for.
    std::string bodies, set;
    for (const std::string& id : c.fetched) {
        std::string text = body(c.server[place(c, id)]);
        if (text.empty()) continue;
        set += (set.empty() ? "" : ",") + id;
        bodies += "* 1 FETCH (UID " + id + " BODY[] {" + std::to_string(text.size()) + "}\r\n" + text + ")\r\n";
    }
    if (!set.empty()) {
        t = tag();
        s.expect(t + " UID FETCH " + set + " (BODY.PEEK[])\r\n").send(bodies + t + " OK\r\n");
    }
    if (!c.removed.empty()) {
        std::string set, a = tag(), b = tag();
        for (const std::string& id : c.removed) set += (set.empty() ? "" : ",") + id;
        s.expect(a + " UID STORE " + set + " +FLAGS.SILENT (\\Deleted)\r\n")
            .expect(b + " UID EXPUNGE " + set + "\r\n")
            .send(a + " OK\r\n" + b + " OK\r\n");
    }
    // LOGOUT is not waited for.
    s.expect(tag() + " LOGOUT\r\n");
}

// What the source tells, and the messages: their places and Message-IDs.
struct Sink final : SourceEvents, MessageSink {
    std::string failures;
    std::vector<bool> stored;
    Texts found;
    void step(SourceStep) override {}
    void loggingin(const SaslLogin&) override {}
    void refused(size_t k, const Reply&) override { failures += "refused " + std::to_string(k) + "\n"; }
    void failed(const SourceFailure& f) override {
        failures += "failed " + std::to_string(static_cast<int>(f.fault)) + "\n";
    }
    bool next(size_t) override { return true; }
    bool take(size_t k, MessageText& text) override {
        text.read([this, k](const char* line, size_t len, bool, size_t) {
            if (len > 11 && std::string(line, 11) == "Message-ID:") found.set(k, messageid(line + 11, len - 11));
            return true;
        });
        stored[k] = text.end == BodyEnd::Whole;
        return stored[k];
    }
};

TEST(MailSource, OnePlanForEverySource) {
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + (c.protocol == Protocol::Imap ? " IMAP" : " POP3"));
        TempDir dir;
        ScriptedServer server(0);
        if (c.protocol == Protocol::Imap) imapscript(server.session(), c);
        else pop3script(server.session(), c);
        server.start();
        Server at(c.protocol);
        at.host = "127.0.0.1:" + std::to_string(server.port());
        at.user = "joe";
        std::string none;
        Sink sink;
        std::unique_ptr<MailSource> source =
            mailsource(at, {none, none, {"INBOX"}, c.rules.keep && c.rules.keepdays == 0}, sink);
        ASSERT_TRUE(source->open("secret")) << sink.failures;
        std::string folder = source->folders()[0];
        MailRecord record = folder.empty() ? MailRecord::mailbox(dir / "newsrc", "work", "joe", "h", 110)
                                           : MailRecord::folder(dir / "newsrc", "work", folder);
        writefile(record.where(), c.before);
        FolderState state;
        MailList list;
        MailPlan plan(list, c.rules, source->removes());
        ASSERT_TRUE(source->select(folder, state));
        if (record.numbered()) plan.load(record);
        ListAsk ask = plan.select(state.validity, state.next, state.messages, false);
        if (ask.from != 0 || !ask.known.empty()) {
            ASSERT_TRUE(source->list(ask, list)) << sink.failures;
        }
        if (!record.numbered()) plan.load(record);
        long long now = std::time(nullptr);
        plan.sort(now);
        plan.limit(SIZE_MAX);
        sink.stored.assign(plan.fetch.size(), false);
        sink.found.assign(plan.fetch.size());
        EXPECT_TRUE(source->retrieve(plan.fetch, sink, false)) << sink.failures;
        // A message of no size is passed, as good as stored.
        for (size_t k = 0; k < plan.fetch.size(); k++)
            if (list.messages[plan.fetch[k]].size <= 0) sink.stored[k] = true;
        for (size_t k = 0; k < plan.fetch.size(); k++)
            if (sink.stored[k]) plan.found(k, sink.found[k]);
        plan.stored(sink.stored, true, now);
        EXPECT_TRUE(!plan.changed() || plan.save(record));
        std::vector<uint32_t> removals = plan.removals();
        EXPECT_TRUE(removals.empty() || source->remove(list, removals)) << sink.failures;
        // A folder's removals leave its record at once.
        if (!removals.empty() && record.numbered()) {
            plan.removed();
            EXPECT_TRUE(plan.save(record));
        }
        EXPECT_TRUE(source->close()) << sink.failures;
        EXPECT_TRUE(server.finish()) << server.errortext();
        std::vector<std::string> fetched, removed;
        for (uint32_t p : plan.fetch) fetched.emplace_back(list.id(list.messages[p].id));
        for (uint32_t p : removals) removed.emplace_back(list.id(list.messages[p].id));
        EXPECT_EQ(fetched, c.fetched);
        EXPECT_EQ(removed, c.removed);
        std::string after = readfile(record.where()), stamp = std::to_string(now);
        for (size_t at = after.find(stamp); at != std::string::npos; at = after.find(stamp))
            after.replace(at, stamp.size(), "T");
        EXPECT_EQ(after, c.after);
    }
}

}  // namespace
