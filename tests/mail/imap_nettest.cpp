// Black-box runs of "vorpa email fetch" against a scripted IMAP server on
// 127.0.0.1:143 (in this test's own network namespace).
#include <signal.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "run.h"
#include "netns.h"
#include "scripted_server.h"

namespace {


struct Account {
    TempDir dir;
    std::string soup = dir / "soup";
    std::string cfg = dir / "vorpa.cfg";

    explicit Account(const std::string& more = "") {
        mkdir(soup.c_str(), 0700);
        writefile(cfg, "IMAPHOST 127.0.0.1\nIMAPUSER joe\nIMAPPASS secret\nSOUPDIR " + soup + "\nLOGFILE " +
                           (dir / "log") + "\nNEWSGROUPS " + (dir / "newsrc") + "\n" + more);
    }
    RunResult fetch(std::vector<std::string> extra = {}) {
        std::vector<std::string> args{"email", "fetch", "/config=" + cfg};
        args.insert(args.end(), extra.begin(), extra.end());
        return runvorpa(args, dir.path(), 30);
    }
    std::string file(const std::string& name) { return readfile(soup + "/" + name); }
    // The record with its times replaced by "T" where they are now's.
    std::string record(const std::string& folder = "INBOX") {
        std::string text = readfile(dir / ("imapkeep-default-" + folder)), out;
        for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
            std::string line = text.substr(at, end - at);
            size_t a = line.find(' '), b = line.find(' ', a + 1);
            if (at > 0 && b != std::string::npos && line.compare(a + 1, 3, "100") != 0)
                line = line.substr(0, a) + " T" + line.substr(b);
            out += line + "\n";
        }
        return out;
    }
};

// Greeting and LOGIN with quoted strings; the login's answer names the
// capabilities, and INBOX needs no delimiter: nothing is asked after it.
Script& login(Script& s, const std::string& caps = "IMAP4rev1 UIDPLUS") {
    return s.send("* OK [CAPABILITY IMAP4rev1] ready\r\n")
        .expect("L LOGIN \"joe\" \"secret\"\r\n")
        .send("L OK [CAPABILITY " + caps + "] in\r\n");
}

std::string a(int tag) { return "A" + std::to_string(tag); }

// The answer to EXAMINE or SELECT.
std::string selected(long exists, int validity, int next, int tag) {
    return "* " + std::to_string(exists) + " EXISTS\r\n* OK [UIDVALIDITY " + std::to_string(validity) +
           "] v\r\n* OK [UIDNEXT " + std::to_string(next) + "] n\r\n" + a(tag) + " OK\r\n";
}

// A folder's flight, both before any answer: the selection and the
// listing from the record's next UID on, which asks for the bodies too
// where the fetch takes all that is new.
Script& flight(Script& s, const std::string& verb, const std::string& name, int from, int tag = 1,
               bool bodies = true) {
    return s.expect(a(tag) + " " + verb + " \"" + name + "\"\r\n")
        .expect(a(tag + 1) + " UID FETCH " + std::to_string(from) +
                (bodies ? ":4294967295 (UID RFC822.SIZE BODY.PEEK[])\r\n" : ":* (UID RFC822.SIZE)\r\n"));
}

// The flight answered, then the bodies of the set (none where it is
// empty) in one command: the server sent none with the listing.
Script& folder(Script& s, const std::string& verb, const std::string& name, int from, long exists, int validity,
               int next, const std::string& listing, const std::string& set, const std::string& bodies,
               int tag = 1) {
    flight(s, verb, name, from, tag).send(selected(exists, validity, next, tag) + listing + a(tag + 1) + " OK\r\n");
    if (set.empty()) return s;
    return s.expect(a(tag + 2) + " UID FETCH " + set + " (BODY.PEEK[])\r\n").send(bodies + a(tag + 2) + " OK\r\n");
}

// One line of the listing: UID, size and, where asked, the Message-ID.
std::string listed(int seq, int uid, const std::string& body, const std::string& id = "") {
    std::string header = "Message-ID: " + id + "\r\n\r\n";
    return "* " + std::to_string(seq) + " FETCH (UID " + std::to_string(uid) + " RFC822.SIZE " +
           std::to_string(body.size()) +
           (id.empty() ? "" : " BODY[HEADER.FIELDS (MESSAGE-ID)] {" + std::to_string(header.size()) + "}\r\n" + header) +
           ")\r\n";
}

// A line of the listing that brings the body too.
std::string withbody(int seq, int uid, const std::string& body) {
    std::string size = std::to_string(body.size());
    return "* " + std::to_string(seq) + " FETCH (UID " + std::to_string(uid) + " RFC822.SIZE " + size + " BODY[] {" +
           size + "}\r\n" + body + ")\r\n";
}

std::string bodyof(int seq, int uid, const std::string& body) {
    return "* " + std::to_string(seq) + " FETCH (UID " + std::to_string(uid) + " BODY[] {" +
           std::to_string(body.size()) + "}\r\n" + body + ")\r\n";
}

// LOGOUT is not waited for.
Script& logout(Script& s, int tag) { return s.expect(a(tag) + " LOGOUT\r\n"); }

const std::string one = "From: Alice <a@x>\r\nMessage-ID: <a@x>\r\n\r\n.dot stays\r\n";
const std::string two = "Message-ID:\r\n <b@x>\r\n\r\nbody {5}\r\n";
const std::string three = "Message-Id: <c@x>\r\n\r\n3\r\n";

// Stored messages stay; the next run asks from the next UID on. After the
// login one flight asks for a folder and its listing (the server takes both
// before it answers), the next for the bodies by one set, and LOGOUT is not
// waited for.
TEST(ImapFetch, FetchesOnlyWhatIsNewInOneFlightAndLeavesTheServerAlone) {
    Account box;
    ScriptedServer server(143);
    // Proton's Bridge sends flags inside another command's answer; dovecot
    // may answer bodies asked for together in another order.
    logout(folder(login(server.session()), "EXAMINE", "INBOX", 1, 2, 7, 3,
                  listed(1, 1, one) + "* 1 FETCH (FLAGS (\\Seen))\r\n" + listed(2, 2, two), "1:2",
                  "* 2 FETCH (FLAGS (\\Recent))\r\n" + bodyof(2, 2, two) + "* 3 EXISTS\r\n" + bodyof(1, 1, one)),
           4);
    // Message 3 came.
    logout(folder(login(server.session()), "EXAMINE", "INBOX", 3, 3, 7, 4, listed(3, 3, three), "3",
                  bodyof(3, 3, three)),
           4);
    // 4 came and went: "4:*" names the highest UID, older than 4.
    logout(folder(login(server.session()), "EXAMINE", "INBOX", 4, 3, 7, 5, listed(3, 3, three), "", ""), 3);
    // UIDNEXT tells that nothing came: the listing's answer is not read.
    logout(flight(login(server.session()), "EXAMINE", "INBOX", 5).send(selected(3, 7, 5, 1)), 3);
    server.start();
    RunResult first = box.fetch();
    EXPECT_EQ(first.status, 0) << first.out;
    EXPECT_NE(first.out.find("There are 2 messages in INBOX on the IMAP server.\n2 of them are new.\n"),
              std::string::npos)
        << first.out;
    EXPECT_EQ(box.file("AREAS"), "00000000\tEmail\tbn\n");
    EXPECT_EQ(box.file("00000000.MSG"), record("Message-ID:\n <b@x>\n\nbody {5}\n") +
                                            record("From: Alice <a@x>\nMessage-ID: <a@x>\n\n.dot stays\n"));
    EXPECT_EQ(box.record(), "7 3\n1 T <a@x>\n2 T <b@x>\n");
    RunResult second = box.fetch();
    EXPECT_EQ(second.status, 0) << second.out;
    EXPECT_EQ(box.file("00000001.MSG"), record("Message-Id: <c@x>\n\n3\n"));
    RunResult third = box.fetch();
    EXPECT_NE(third.out.find("0 of them are new."), std::string::npos) << third.out;
    EXPECT_EQ(box.record(), "7 5\n1 T <a@x>\n2 T <b@x>\n3 T <c@x>\n");
    RunResult fourth = box.fetch();
    EXPECT_EQ(fourth.status, 0) << fourth.out;
    EXPECT_TRUE(server.finish());
    EXPECT_EQ(server.errortext(), "");
    EXPECT_EQ(listdir(box.soup), (std::vector<std::string>{"00000000.MSG", "00000001.MSG", "AREAS"}));
}

// Where the fetch takes all that is new, the bodies come in the answer to
// the listing sent with the selection: one round trip after the login. A
// body the server left out of it is asked for after it, and the items of
// a message may come in any order.
TEST(ImapFetch, BodiesComeWithTheListing) {
    Account box;
    writefile(box.dir / "imapkeep-default-INBOX", "7 1\n");
    ScriptedServer server(143);
    std::string size3 = std::to_string(three.size());
    logout(flight(login(server.session()), "EXAMINE", "INBOX", 1)
               .send(selected(3, 7, 4, 1) + withbody(1, 1, one) + "* 2 FETCH (UID 2 RFC822.SIZE " +
                     std::to_string(two.size()) + ")\r\n* 1 FETCH (FLAGS (\\Seen))\r\n* 3 FETCH (BODY[] {" + size3 +
                     "}\r\n" + three + " UID 3 RFC822.SIZE " + size3 + ")\r\nA2 OK\r\n")
               .expect("A3 UID FETCH 2 (BODY.PEEK[])\r\n")
               .send(bodyof(2, 2, two) + "A3 OK\r\n"),
           4);
    // A server that refuses the range is asked the listing alone.
    logout(flight(login(server.session()), "EXAMINE", "INBOX", 4)
               .send(selected(4, 7, 5, 1) + "A2 BAD invalid range\r\n")
               .expect("A3 UID FETCH 4:* (UID RFC822.SIZE)\r\n")
               .send(listed(4, 4, one) + "A3 OK\r\n")
               .expect("A4 UID FETCH 4 (BODY.PEEK[])\r\n")
               .send(bodyof(4, 4, one) + "A4 OK\r\n"),
           5);
    server.start();
    RunResult r = box.fetch();
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("There are 3 messages in INBOX on the IMAP server.\n3 of them are new.\n"), std::string::npos)
        << r.out;
    EXPECT_EQ(box.file("00000000.MSG"), record("From: Alice <a@x>\nMessage-ID: <a@x>\n\n.dot stays\n") +
                                            record("Message-Id: <c@x>\n\n3\n") +
                                            record("Message-ID:\n <b@x>\n\nbody {5}\n"));
    EXPECT_EQ(box.record(), "7 4\n1 T <a@x>\n2 T <b@x>\n3 T <c@x>\n");
    RunResult refused = box.fetch();
    EXPECT_TRUE(server.finish());
    EXPECT_EQ(server.errortext(), "");
    EXPECT_EQ(refused.status, 0) << refused.out;
    EXPECT_EQ(box.file("00000001.MSG"), record("From: Alice <a@x>\nMessage-ID: <a@x>\n\n.dot stays\n"));
    EXPECT_EQ(listdir(box.soup), (std::vector<std::string>{"00000000.MSG", "00000001.MSG", "AREAS"}));
}

// SIGTERM while the bodies come with the listing: the listing ends at the
// next body, nothing of the folder is stored or recorded, and the
// connection is dropped rather than awaited.
TEST(ImapFetch, AStopEndsTheListingThatBringsTheBodies) {
    Account box;
    writefile(box.dir / "imapkeep-default-INBOX", "7 1\n");
    std::string pidfile = box.dir / "pid";
    ScriptedServer server(143);
    flight(login(server.session()), "EXAMINE", "INBOX", 1)
        .send(selected(2, 7, 3, 1))
        .pause(300)
        .call([&] { kill(std::stoi(readfile(pidfile)), SIGTERM); })
        .pause(200)
        .send(withbody(1, 1, one) + withbody(2, 2, two) + "A2 OK\r\n")
        .drain();
    server.start();
    std::vector<std::string> args{"/bin/sh", "-c", "\"$0\" \"$@\" & echo $! > " + pidfile + "; wait $!",
                                  vorpapath(), "email", "fetch", "/config=" + box.cfg};
    RunResult r = runprogram(args, box.dir.path(), 30);
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_THAT(r.out, testing::HasSubstr("Interrupted by SIGTERM\n")) << r.out;
    EXPECT_EQ(server.received(0).find("LOGOUT"), std::string::npos) << server.received(0);
    EXPECT_EQ(box.record(), "7 1\n");
    EXPECT_EQ(listdir(box.soup), std::vector<std::string>{});
}

// MESSAGELIMIT: no command names more messages than the server takes. The
// listing waits for the selection (its UIDNEXT bounds the ranges), and 25
// new messages go as ranges and sets of at most 10.
TEST(ImapFetch, MessageLimitBoundsEveryCommand) {
    Account box;
    ScriptedServer server(143);
    std::string lists[3], bodies[3];
    for (int uid = 1; uid <= 25; uid++) {
        lists[(uid - 1) / 10] += listed(uid, uid, one);
        bodies[(uid - 1) / 10] += bodyof(uid, uid, one);
    }
    Script& s = login(server.session(), "IMAP4rev1 MESSAGELIMIT=10")
                    .expect("A1 EXAMINE \"INBOX\"\r\n")
                    .nothingahead(200)
                    .send(selected(25, 7, 26, 1))
                    .expect("A2 UID FETCH 1:10 (UID RFC822.SIZE)\r\n")
                    .expect("A3 UID FETCH 11:20 (UID RFC822.SIZE)\r\n")
                    .expect("A4 UID FETCH 21:25 (UID RFC822.SIZE)\r\n")
                    .send(lists[0] + "A2 OK\r\n" + lists[1] + "A3 OK\r\n" + lists[2] + "A4 OK\r\n")
                    .expect("A5 UID FETCH 1:10 (BODY.PEEK[])\r\n")
                    .expect("A6 UID FETCH 11:20 (BODY.PEEK[])\r\n")
                    .expect("A7 UID FETCH 21:25 (BODY.PEEK[])\r\n")
                    .send(bodies[0] + "A5 OK\r\n" + bodies[1] + "A6 OK\r\n" + bodies[2] + "A7 OK\r\n");
    logout(s, 8);
    server.start();
    RunResult r = box.fetch();
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(server.finish());
    EXPECT_EQ(server.errortext(), "");
    EXPECT_NE(r.out.find("25 of them are new."), std::string::npos) << r.out;
    EXPECT_EQ(box.record().substr(0, 5), "7 26\n");
}

// Quoted strings, a literal, SASL-IR, and an OAuth2 error challenge.
TEST(ImapFetch, LogsInAsTheBytesAndTheServerNeed) {
    struct Form {
        std::string settings, caps;
        std::vector<std::pair<std::string, std::string>> dialogue;  // expected, answered
        int status;
        std::string said;
    } forms[] = {
        {"IMAPPASS a \"q\" \\ b\n", "IMAP4rev1", {{"L LOGIN \"joe\" \"a \\\"q\\\" \\\\ b\"\r\n", "L OK in\r\n"}}, 0, ""},
        {"IMAPPASS gr\xc3\xbc\xc3\x9f\n",
         "IMAP4rev1",
         {{"L LOGIN \"joe\" {6}\r\n", "+ go\r\n"}, {"gr\xc3\xbc\xc3\x9f\r\n", "L OK in\r\n"}},
         0,
         ""},
        {"",
         "IMAP4rev1 SASL-IR AUTH=PLAIN",
         {{"L AUTHENTICATE PLAIN AGpvZQBzZWNyZXQ=\r\n", "L OK in\r\n"}},
         0,
         ""},
        {"IMAPAUTH xoauth2\nIMAPTLS on\nCAFILE " VORPA_CERTS "/ca.pem\n",
         "IMAP4rev1 AUTH=XOAUTH2",
         {{"L AUTHENTICATE XOAUTH2\r\n", "+ \r\n"},
          {"dXNlcj1qb2UBYXV0aD1CZWFyZXIgc2VjcmV0AQE=\r\n", "+ eyJzdGF0dXMiOiI0MDEifQ==\r\n"},
          {"\r\n", "L NO bad token\r\n"}},
         2,
         "IMAP login with XOAUTH2 refused: invalid_token (401)\n"},
        {"", "IMAP4rev1 LOGINDISABLED", {{"Z LOGOUT\r\n", "* BYE\r\nZ OK\r\n"}}, 2, "IMAP host takes no password in plain text (LOGINDISABLED)"},
    };
    for (const Form& form : forms) {
        Account box(form.settings);
        bool tls = form.settings.find("TLS on") != std::string::npos;
        ScriptedServer server(tls ? 993 : 143);
        if (tls) server.tls();
        Script& s = server.session().send("* OK [CAPABILITY " + form.caps + "] ready\r\n");
        for (const auto& step : form.dialogue) s.expect(step.first).send(step.second);
        if (form.status == 0) {
            s.expect("A1 CAPABILITY\r\n").send("* CAPABILITY IMAP4rev1\r\nA1 OK\r\n");
            logout(flight(s, "EXAMINE", "INBOX", 1, 2).send(selected(0, 1, 1, 2)), 4);
        }
        server.start();
        RunResult r = box.fetch();
        EXPECT_TRUE(server.finish());
        EXPECT_EQ(server.errortext(), "") << form.settings;
        EXPECT_EQ(r.status, form.status) << r.out;
        if (!form.said.empty()) {
            EXPECT_NE(r.out.find(form.said), std::string::npos) << r.out;
        }
    }
}

// A new UIDVALIDITY: a Message-ID the record holds vouches for one
// message, the first with it, which is recorded with this run's time; the
// others are fetched, and nothing is removed in that run nor, by an old
// time, in the next.
TEST(ImapFetch, ChangedUidValidityVouchesOnceAndRemovesNothing) {
    Account box("IMAPKEEPDAYS 30\n");
    writefile(box.dir / "imapkeep-default-INBOX", "7 3\n1 100 <a@x>\n2 100 <b@x>\n");
    ScriptedServer server(143);
    // The listing sent ahead (from the record's next UID) is passed over:
    // the folder is listed anew with its Message-IDs.
    logout(folder(login(server.session()), "SELECT", "INBOX", 3, 3, 8, 13,
                  withbody(1, 10, one) + withbody(2, 11, one) + withbody(3, 12, three), "", "")
               .expect("A3 UID FETCH 1:* (UID RFC822.SIZE BODY.PEEK[HEADER.FIELDS (MESSAGE-ID)])\r\n")
               .send(listed(1, 10, one, "<a@x>") + listed(2, 11, one, "<a@x>") + listed(3, 12, three, "<c@x>") +
                     "A3 OK\r\n")
               .expect("A4 UID FETCH 11:12 (BODY.PEEK[])\r\n")
               .send(bodyof(2, 11, one) + bodyof(3, 12, three) + "A4 OK\r\n"),
           5);
    logout(folder(login(server.session()), "SELECT", "INBOX", 13, 3, 8, 13, "", "", ""), 3);
    server.start();
    RunResult r = box.fetch();
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("UIDVALIDITY of INBOX changed: its messages are matched by Message-ID\n"
                         "UIDVALIDITY of INBOX changed: nothing in it is flagged or removed in this run\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(box.file("00000000.MSG"),
              record("From: Alice <a@x>\nMessage-ID: <a@x>\n\n.dot stays\n") + record("Message-Id: <c@x>\n\n3\n"));
    EXPECT_EQ(box.record(), "8 13\n10 T <a@x>\n11 T <a@x>\n12 T <c@x>\n");
    RunResult next = box.fetch();
    EXPECT_EQ(next.status, 0) << next.out;
    EXPECT_TRUE(server.finish());
    EXPECT_EQ(server.errortext(), "");
}

// IMAPDELETE removes what was stored with UID EXPUNGE; without UIDPLUS
// nothing is deleted, and the run says so once.
TEST(ImapFetch, DeleteNeedsUidPlus) {
    for (bool uidplus : {true, false}) {
        Account box("IMAPDELETE on\n");
        ScriptedServer server(143);
        Script& s = folder(login(server.session(), uidplus ? "IMAP4rev1 UIDPLUS" : "IMAP4rev1"), "SELECT", "INBOX",
                           1, 1, 7, 2, listed(1, 1, one), "1", bodyof(1, 1, one));
        if (uidplus)
            s.expect("A4 UID STORE 1 +FLAGS.SILENT (\\Deleted)\r\n")
                .expect("A5 UID EXPUNGE 1\r\n")
                .send("A4 OK\r\n* 1 EXPUNGE\r\nA5 OK\r\n");
        logout(s, uidplus ? 6 : 4);
        server.start();
        RunResult r = box.fetch();
        EXPECT_TRUE(server.finish());
        EXPECT_EQ(server.errortext(), "");
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(r.out.find("IMAP host does not offer UIDPLUS: no message is deleted\n") != std::string::npos,
                  !uidplus)
            << r.out;
        EXPECT_EQ(box.record(), uidplus ? "7 2\n" : "7 2\n1 T <a@x>\n");
    }
}

// /test fetches and changes nothing; then IMAPSEEN flags what was stored
// and IMAPKEEPDAYS removes what was stored long ago, said in one line.
TEST(ImapFetch, TestChangesNothingSeenAndKeepDaysDo) {
    Account box("IMAPSEEN on\nIMAPKEEPDAYS 30\n");
    // Written with CR LF line ends: read all the same.
    const std::string kept = "7 2\r\n1 100 <a@x>\r\n";
    writefile(box.dir / "imapkeep-default-INBOX", kept);
    ScriptedServer server(143);
    for (bool test : {true, false}) {
        Script& s = folder(login(server.session()), test ? "EXAMINE" : "SELECT", "INBOX", 2, 2, 7, 3,
                           listed(2, 2, two), "2", bodyof(2, 2, two));
        if (!test)
            s.expect("A4 UID STORE 2 +FLAGS.SILENT (\\Seen)\r\n")
                .send("A4 OK\r\n")
                .expect("A5 UID STORE 1 +FLAGS.SILENT (\\Deleted)\r\n")
                .expect("A6 UID EXPUNGE 1\r\n")
                .send("A5 OK\r\n* 1 EXPUNGE\r\nA6 OK\r\n");
        logout(s, test ? 4 : 7);
    }
    server.start();
    RunResult test = box.fetch({"/test"});
    EXPECT_EQ(test.status, 0) << test.out;
    EXPECT_EQ(readfile(box.dir / "imapkeep-default-INBOX"), kept);
    RunResult r = box.fetch();
    EXPECT_TRUE(server.finish());
    EXPECT_EQ(server.errortext(), "");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Removed 1 message stored 30 days ago or more from INBOX\n"), std::string::npos) << r.out;
    EXPECT_EQ(box.record(), "7 3\n2 T <b@x>\n");
}

// A run that ended after the record and before UID EXPUNGE: the next
// removes what the record names and the server still has.
TEST(ImapFetch, DeleteFinishesWhatAnEarlierRunStarted) {
    Account box("IMAPDELETE on\n");
    ScriptedServer server(143);
    folder(login(server.session()), "SELECT", "INBOX", 1, 2, 7, 3, listed(1, 1, one) + listed(2, 2, two), "1:2",
           bodyof(1, 1, one) + bodyof(2, 2, two))
        .expect("A4 UID STORE 1:2 +FLAGS.SILENT (\\Deleted)\r\n")
        .expect("A5 UID EXPUNGE 1:2\r\n")
        .drop();
    // Another client removed 2 meanwhile, and 3 came. The record's UIDs are
    // checked in one flight with the listing, whose answer comes first
    // (dovecot answers them at once).
    logout(login(server.session())
               .expect("A1 SELECT \"INBOX\"\r\n")
               .send(selected(2, 7, 4, 1))
               .expect("A2 UID FETCH 1:2 (UID)\r\n")
               .expect("A3 UID FETCH 3:* (UID RFC822.SIZE)\r\n")
               .send(listed(2, 3, three) + "* 1 FETCH (UID 1)\r\nA2 OK\r\nA3 OK\r\n")
               .expect("A4 UID FETCH 3 (BODY.PEEK[])\r\n")
               .send(bodyof(2, 3, three) + "A4 OK\r\n")
               .expect("A5 UID STORE 1,3 +FLAGS.SILENT (\\Deleted)\r\n")
               .expect("A6 UID EXPUNGE 1,3\r\n")
               .send("A5 OK\r\n* 1 EXPUNGE\r\n* 1 EXPUNGE\r\nA6 OK\r\n"),
           7);
    server.start();
    RunResult first = box.fetch();
    EXPECT_EQ(first.status, 75) << first.out;
    EXPECT_EQ(box.record(), "7 3\n1 T <a@x>\n2 T <b@x>\n");
    RunResult second = box.fetch();
    EXPECT_TRUE(server.finish());
    EXPECT_EQ(server.errortext(), "");
    EXPECT_EQ(second.status, 0) << second.out;
    EXPECT_NE(second.out.find("Removed 1 message stored earlier from INBOX\n"), std::string::npos) << second.out;
    EXPECT_EQ(box.record(), "7 4\n");
    EXPECT_EQ(box.file("00000001.MSG"), record("Message-Id: <c@x>\n\n3\n"));
}

// A connection lost in the middle of a literal, or a server that hangs up
// (BYE) between two bodies: the messages before are kept and recorded,
// the rest comes with the next run; the failure is said once, and passes
// by itself.
TEST(ImapFetch, DropOrByeInTheMiddleKeepsTheMessagesBefore) {
    for (bool bye : {false, true}) {
        Account box;
        ScriptedServer server(143);
        Script& s = flight(login(server.session()), "EXAMINE", "INBOX", 1)
                        .send(selected(2, 7, 3, 1) + listed(1, 1, one) + listed(2, 2, two) + "A2 OK\r\n")
                        .expect("A3 UID FETCH 1:2 (BODY.PEEK[])\r\n")
                        .send(bodyof(1, 1, one) +
                              (bye ? "* BYE going down\r\n"
                                   : "* 2 FETCH (UID 2 BODY[] {" + std::to_string(two.size()) + "}\r\nSubj"));
        if (bye) s.expect("Z LOGOUT\r\n");
        s.drop();
        server.start();
        RunResult r = box.fetch();
        EXPECT_TRUE(server.finish()) << server.errortext();
        EXPECT_EQ(r.status, 75) << r.out;
        std::string said = bye ? "IMAP host returned error: going down\n" : "Unable to fetch message\n";
        EXPECT_NE(r.out.find(said + "Kept 1 whole message; the others come with the next run.\n"), std::string::npos)
            << r.out;
        EXPECT_EQ(r.out.find(said), r.out.rfind(said)) << r.out;
        EXPECT_EQ(box.file("00000000.MSG"), record("From: Alice <a@x>\nMessage-ID: <a@x>\n\n.dot stays\n"));
        EXPECT_EQ(box.record(), "7 2\n1 T <a@x>\n");
    }
}

// A refused login is said in the server's words, without the tag.
TEST(ImapFetch, ARefusedLoginInTheServersWords) {
    Account box;
    ScriptedServer server(143);
    server.session()
        .send("* OK [CAPABILITY IMAP4rev1] ready\r\n")
        .expect("L LOGIN \"joe\" \"secret\"\r\n")
        .send("L NO [AUTHENTICATIONFAILED] Authentication failed.\r\n")
        .expect("Z LOGOUT\r\n")
        .send("* BYE\r\nZ OK\r\n");
    server.start();
    RunResult r = box.fetch();
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_NE(r.out.find("IMAP host refused the login: [AUTHENTICATIONFAILED] Authentication failed.\n"
                         "(skipping email fetch)\n"),
              std::string::npos)
        << r.out;
}

// Folders by their names: the server's delimiter and modified UTF-7 on
// the wire, the configured name in AREAS; a folder the server does not
// have is named and skipped, the others fetched, exit 2. /check changes
// nothing. The folders after the first are asked their STATUS in its
// flight, after its selection and listing, and one where nothing came is
// not selected.
TEST(ImapFetch, FoldersByNameAndCheck) {
    Account box("IMAPFOLDER Nope\nIMAPFOLDER Entw\xc3\xbc" "rfe\nIMAPFOLDER Lists/dev\n");
    ScriptedServer server(143);
    // The delimiter is asked with LOGIN; a folder the server does not have
    // answers NO to what went ahead too.
    auto start = [](Script& s, const std::string& statuses,
                    const char* items = "4294967295 (UID RFC822.SIZE BODY.PEEK[])") -> Script& {
        return s.send("* OK [CAPABILITY IMAP4rev1] ready\r\n")
            .expect("L LOGIN \"joe\" \"secret\"\r\n")
            .expect("A1 LIST \"\" \"\"\r\n")
            .send("L OK [CAPABILITY IMAP4rev1] in\r\n* LIST (\\Noselect) \".\" \"\"\r\nA1 OK\r\n")
            .expect("A2 EXAMINE \"Nope\"\r\n")
            .expect(std::string("A3 UID FETCH 1:") + items + "\r\n")
            .expect("A4 STATUS \"Entw&APw-rfe\" (MESSAGES UIDNEXT UIDVALIDITY)\r\n")
            .expect("A5 STATUS \"Lists.dev\" (MESSAGES UIDNEXT UIDVALIDITY)\r\n")
            .send(statuses + "A2 NO [NONEXISTENT] no such mailbox\r\nA3 BAD no mailbox selected\r\n")
            .expect("A6 LIST \"\" \"*\"\r\n")
            .send("* LIST (\\HasNoChildren) \".\" \"INBOX\"\r\n* LIST (\\Noselect) \".\" \"Archive\"\r\n"
                  "* LIST () \".\" \"Lists.dev\"\r\n* LIST () \".\" Sent\r\nA6 OK\r\n");
    };
    // The STATUS answers come out of turn, before the selection's.
    const std::string first = "* STATUS \"Entw&APw-rfe\" (MESSAGES 1 UIDNEXT 2 UIDVALIDITY 3)\r\nA4 OK\r\n"
                              "* STATUS Lists.dev (MESSAGES 1 UIDNEXT 8 UIDVALIDITY 5)\r\nA5 OK\r\n";
    // /check asks for no bodies.
    logout(start(server.session(), first, "* (UID RFC822.SIZE)")
               .expect("A7 EXAMINE \"Entw&APw-rfe\"\r\n")
               .expect("A8 UID FETCH 1:* (UID RFC822.SIZE)\r\n")
               .send(selected(1, 3, 2, 7) + listed(1, 1, one) + "A8 OK\r\n")
               .expect("A9 EXAMINE \"Lists.dev\"\r\n")
               .expect("A10 UID FETCH 1:* (UID RFC822.SIZE)\r\n")
               .send(selected(1, 5, 8, 9) + listed(1, 7, two) + "A10 OK\r\n"),
           11);
    Script& s = folder(start(server.session(), first), "EXAMINE", "Entw&APw-rfe", 1, 1, 3, 2, listed(1, 1, one), "1",
                       bodyof(1, 1, one), 7);
    logout(folder(s, "EXAMINE", "Lists.dev", 1, 1, 5, 8, listed(1, 7, two), "7", bodyof(1, 7, two), 10), 13);
    // The next run: nothing came to Entwürfe, one mail to Lists/dev.
    logout(folder(start(server.session(), "* STATUS \"Entw&APw-rfe\" (MESSAGES 1 UIDNEXT 2 UIDVALIDITY 3)\r\n"
                                          "A4 OK\r\n* STATUS \"Lists.dev\" (MESSAGES 2 UIDVALIDITY 5 UIDNEXT 9)\r\n"
                                          "A5 OK\r\n"),
                  "EXAMINE", "Lists.dev", 8, 2, 5, 9, listed(2, 8, three), "8", bodyof(2, 8, three), 7),
           10);
    server.start();
    RunResult check = box.fetch({"/check"});
    EXPECT_EQ(check.status, 2) << check.out;
    EXPECT_NE(check.out.find("IMAP host has no folder Nope (its folders: INBOX, Lists/dev, Sent): "
                             "[NONEXISTENT] no such mailbox\n"),
              std::string::npos)
        << check.out;
    EXPECT_NE(check.out.find("1 of them are new.\nA run would fetch 1 of them and delete 0.\n"), std::string::npos)
        << check.out;
    EXPECT_EQ(listdir(box.soup), std::vector<std::string>{});
    EXPECT_FALSE(fileexists(box.dir / "imapkeep-default-Entw%C3%BCrfe"));
    RunResult r = box.fetch();
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_EQ(box.file("AREAS"), "00000000\tEntw\xc3\xbcrfe\tbn\n00000001\tLists/dev\tbn\n");
    EXPECT_EQ(box.record("Lists%2Fdev"), "5 8\n7 T <b@x>\n");
    RunResult next = box.fetch();
    EXPECT_TRUE(server.finish());
    EXPECT_EQ(server.errortext(), "");
    EXPECT_EQ(next.status, 2) << next.out;
    EXPECT_NE(next.out.find("There are 1 messages in Entw\xc3\xbcrfe on the IMAP server.\n0 of them are new.\n"
                            "There are 2 messages in Lists/dev on the IMAP server.\n1 of them are new.\n"),
              std::string::npos)
        << next.out;
    EXPECT_EQ(box.file("AREAS"), "00000000\tEntw\xc3\xbcrfe\tbn\n00000001\tLists/dev\tbn\n00000002\tLists/dev\tbn\n");
    EXPECT_EQ(box.record("Entw%C3%BCrfe"), "3 2\n1 T <a@x>\n");
    EXPECT_EQ(box.record("Lists%2Fdev"), "5 9\n7 T <b@x>\n8 T <c@x>\n");
}

// Folders fetched before, where nothing is flagged or removed: the later
// ones are selected with their listings in the first one's flight, each
// read in its turn. A body the listing left out has those answers passed
// over and its folder selected again, the later ones then in their turn;
// one whose numbering changed meanwhile is not fetched from.
TEST(ImapFetch, FoldersSelectedAheadInOneFlight) {
    Account box("IMAPFOLDER A\nIMAPFOLDER B\nIMAPFOLDER C\n");
    writefile(box.dir / "imapkeep-default-A", "7 1\n");
    writefile(box.dir / "imapkeep-default-B", "8 1\n");
    writefile(box.dir / "imapkeep-default-C", "9 1\n");
    ScriptedServer server(143);
    auto three = [](Script& s, int from) -> Script& {
        return flight(flight(flight(login(s), "EXAMINE", "A", from, 1), "EXAMINE", "B", 1, 3), "EXAMINE", "C", from, 5);
    };
    logout(three(server.session(), 1)
               .send(selected(1, 7, 2, 1) + withbody(1, 1, one) + "A2 OK\r\n" + selected(0, 8, 1, 3) + "A4 OK\r\n" +
                     selected(1, 9, 2, 5) + withbody(1, 1, ::three) + "A6 OK\r\n"),
           7);
    const std::string passed = selected(0, 8, 1, 3) + "A4 OK\r\n" + selected(2, 9, 3, 5) + withbody(2, 2, two) +
                               "A6 OK\r\n";
    logout(flight(flight(three(server.session(), 2)
                             .send(selected(2, 7, 3, 1) + listed(2, 2, two) + "A2 OK\r\n" + passed)
                             .expect("A7 EXAMINE \"A\"\r\n")
                             .send(selected(2, 7, 3, 7))
                             .expect("A8 UID FETCH 2 (BODY.PEEK[])\r\n")
                             .send(bodyof(2, 2, two) + "A8 OK\r\n"),
                         "EXAMINE", "B", 1, 9)
                      .send(selected(0, 8, 1, 9) + "A10 OK\r\n"),
                  "EXAMINE", "C", 2, 11)
               .send(selected(2, 9, 3, 11) + withbody(2, 2, two) + "A12 OK\r\n"),
           13);
    three(server.session(), 3)
        .send(selected(3, 7, 4, 1) + listed(3, 3, two) + "A2 OK\r\n" + passed)
        .expect("A7 EXAMINE \"A\"\r\n")
        .send(selected(1, 70, 2, 7))
        .expect("Z LOGOUT\r\n")
        .send("Z OK\r\n");
    server.start();
    RunResult first = box.fetch();
    EXPECT_EQ(first.status, 0) << first.out;
    EXPECT_NE(first.out.find("There are no messages in B on the IMAP server.\n"), std::string::npos) << first.out;
    EXPECT_EQ(box.record("A"), "7 2\n1 T <a@x>\n");
    EXPECT_EQ(box.record("C"), "9 2\n1 T <c@x>\n");
    RunResult second = box.fetch();
    EXPECT_EQ(second.status, 0) << second.out;
    EXPECT_EQ(box.record("A"), "7 3\n1 T <a@x>\n2 T <b@x>\n");
    EXPECT_EQ(box.record("C"), "9 3\n1 T <c@x>\n2 T <b@x>\n");
    RunResult third = box.fetch();
    EXPECT_TRUE(server.finish());
    EXPECT_EQ(server.errortext(), "");
    EXPECT_EQ(third.status, 75) << third.out;
    EXPECT_NE(third.out.find("IMAP host returned error: [UIDVALIDITY 70] \"A\" was renumbered during the run\n"),
              std::string::npos)
        << third.out;
    EXPECT_EQ(box.record("A"), "7 3\n1 T <a@x>\n2 T <b@x>\n");
    EXPECT_EQ(box.file("AREAS"), "00000000\tA\tbn\n00000001\tC\tbn\n00000002\tA\tbn\n00000003\tC\tbn\n");
}

// After AUTHENTICATE, which nothing may follow in its flight, the
// delimiter of a folder with levels is guessed and asked in the
// selection's flight; its LIST may be answered first, and a wrong guess
// selects again by the right name, the other folders' STATUS with it.
// Where COMPRESS goes, the LIST goes with it.
TEST(ImapFetch, DelimiterGuessedInTheSelectionsFlight) {
    ASSERT_TRUE(addloopback("203.0.113.6"));
    auto authenticate = [](Script& s, const std::string& caps) -> Script& {
        return s.send("* OK [CAPABILITY IMAP4rev1 SASL-IR AUTH=PLAIN] ready\r\n")
            .expect("L AUTHENTICATE PLAIN AGpvZQBzZWNyZXQ=\r\n")
            .send("L OK [CAPABILITY " + caps + "] in\r\n");
    };
    const std::string slash = "* LIST (\\Noselect) \"/\" \"\"\r\n", dot = "* LIST (\\Noselect) \".\" \"\"\r\n";
    ScriptedServer server(143, 10000, ScriptedServer::AnyIPv4);
    logout(flight(authenticate(server.session(), "IMAP4rev1"), "EXAMINE", "Lists/dev", 1, 2)
               .expect("A4 LIST \"\" \"\"\r\n")
               .send(slash + "A4 OK\r\n" + selected(1, 5, 2, 2) + withbody(1, 1, one) + "A3 OK\r\n"),
           5);
    const std::string old = "(MESSAGES 0 UIDNEXT 1 UIDVALIDITY 9)\r\n";
    logout(flight(flight(flight(authenticate(server.session(), "IMAP4rev1"), "EXAMINE", "Lists/dev", 1, 2)
                             .expect("A4 LIST \"\" \"\"\r\n")
                             .expect("A5 STATUS \"Lists/old\" (MESSAGES UIDNEXT UIDVALIDITY)\r\n")
                             .send("A2 NO [NONEXISTENT] no\r\nA3 BAD no mailbox selected\r\n" + dot +
                                   "A4 OK\r\nA5 NO no\r\n"),
                         "EXAMINE", "Lists.dev", 1, 6)
                      .expect("A8 STATUS \"Lists.old\" (MESSAGES UIDNEXT UIDVALIDITY)\r\n")
                      .send(selected(1, 5, 2, 6) + withbody(1, 1, two) + "A7 OK\r\n* STATUS Lists.old " + old +
                            "A8 OK\r\n"),
                  "EXAMINE", "Lists.old", 1, 9)
               .send(selected(0, 9, 1, 9)),
           11);
    logout(flight(authenticate(server.session(), "IMAP4rev1 COMPRESS=DEFLATE")
                      .expect("A1 LIST \"\" \"\"\r\n")
                      .expect("A2 COMPRESS DEFLATE\r\n")
                      .send(dot + "A1 OK\r\nA2 NO not now\r\n"),
                  "EXAMINE", "Lists.dev", 1, 3)
               .send(selected(0, 5, 1, 3)),
           5);
    server.start();
    struct Run {
        const char* host;
        std::string said;
    } runs[] = {{"127.0.0.1", "5 2\n1 T <a@x>\n"}, {"127.0.0.1", "5 2\n1 T <b@x>\n"}, {"203.0.113.6", ""}};
    for (const Run& run : runs) {
        std::string more = &run == &runs[1] ? "IMAPFOLDER Lists/old\n" : "";
        Account box(std::string("IMAPFOLDER Lists/dev\n") + more + "IMAPTLS off\nIMAPHOST " + run.host + "\n");
        RunResult r = box.fetch();
        EXPECT_EQ(r.status, 0) << r.out;
        if (!run.said.empty())
            EXPECT_EQ(box.record("Lists%2Fdev"), run.said);
        else
            EXPECT_NE(r.out.find("There are no messages in Lists/dev on the IMAP server.\n"), std::string::npos)
                << r.out;
    }
    EXPECT_TRUE(server.finish());
    EXPECT_EQ(server.errortext(), "");
}

// With the delimiter guessed, the folders selected ahead follow its LIST.
// A server that answers one of them in part before the LIST has that part
// read under this wait: the folder is selected again in its turn, and its
// mail still comes.
TEST(ImapFetch, FoldersAheadAnsweredOutOfTurn) {
    Account box("IMAPFOLDER Lists/dev\nIMAPFOLDER Lists/old\n");
    writefile(box.dir / "imapkeep-default-Lists%2Fdev", "5 1\n");
    writefile(box.dir / "imapkeep-default-Lists%2Fold", "6 1\n");
    ScriptedServer server(143);
    Script& s = flight(server.session()
                           .send("* OK [CAPABILITY IMAP4rev1 SASL-IR AUTH=PLAIN] ready\r\n")
                           .expect("L AUTHENTICATE PLAIN AGpvZQBzZWNyZXQ=\r\n")
                           .send("L OK [CAPABILITY IMAP4rev1] in\r\n"),
                       "EXAMINE", "Lists/dev", 1, 2)
                    .expect("A4 LIST \"\" \"\"\r\n");
    logout(flight(flight(s, "EXAMINE", "Lists/old", 1, 5)
                      .send(selected(1, 5, 2, 2) + withbody(1, 1, one) + "A3 OK\r\n* 1 EXISTS\r\n"
                            "* LIST (\\Noselect) \"/\" \"\"\r\nA4 OK\r\n* OK [UIDVALIDITY 6] v\r\n"
                            "* OK [UIDNEXT 2] n\r\nA5 OK\r\n" + withbody(1, 1, two) + "A6 OK\r\n"),
                  "EXAMINE", "Lists/old", 1, 7)
               .send(selected(1, 6, 2, 7) + withbody(1, 1, two) + "A8 OK\r\n"),
           9);
    server.start();
    RunResult r = box.fetch();
    EXPECT_TRUE(server.finish());
    EXPECT_EQ(server.errortext(), "");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(box.record("Lists%2Fdev"), "5 2\n1 T <a@x>\n");
    EXPECT_EQ(box.record("Lists%2Fold"), "6 2\n1 T <b@x>\n");
}

// COMPRESS DEFLATE once the login's capabilities offer it, with untagged
// data compressed in the same write as its OK, by default only to a server
// far away (here, a public address on this namespace's loopback); a
// refusal goes on plain.
TEST(ImapFetch, CompressedWhereOfferedAndFarRefusalGoesOnPlain) {
    ASSERT_TRUE(addloopback("203.0.113.5"));
    Account box;
    ScriptedServer server(143, 10000, ScriptedServer::AnyIPv4);
    logout(folder(login(server.session(), "IMAP4rev1 COMPRESS=DEFLATE")
                      .expect("A1 COMPRESS DEFLATE\r\n")
                      .deflate("A1 OK deflating\r\n", "* 1 EXISTS\r\n"),
                  "EXAMINE", "INBOX", 1, 1, 7, 2, listed(1, 1, one), "1", bodyof(1, 1, one), 2),
           5);
    logout(flight(login(server.session(), "IMAP4rev1 COMPRESS=DEFLATE"), "EXAMINE", "INBOX", 2)
               .send(selected(1, 7, 2, 1)),
           3);
    logout(flight(login(server.session(), "IMAP4rev1 COMPRESS=DEFLATE")
                      .expect("A1 COMPRESS DEFLATE\r\n")
                      .send("A1 NO not now\r\n"),
                  "EXAMINE", "INBOX", 2, 2)
               .send(selected(1, 7, 2, 2)),
           4);
    server.start();
    writefile(box.cfg, readfile(box.cfg) + "IMAPHOST 203.0.113.5\nIMAPTLS off\n");
    RunResult first = box.fetch({"/verbose"});
    EXPECT_EQ(first.status, 0) << first.out;
    EXPECT_THAT(first.out, testing::ContainsRegex("\\+ Starting compression\\.\\.\\.\n(.*\n)*\\+ IMAP connection "
                                                  "compressed: [0-9]+ bytes on the wire for [0-9]+ bytes carried\n"));
    EXPECT_EQ(box.file("00000000.MSG"), record("From: Alice <a@x>\nMessage-ID: <a@x>\n\n.dot stays\n"));
    writefile(box.cfg, readfile(box.cfg) + "IMAPHOST 127.0.0.1\n");
    RunResult near = box.fetch();
    EXPECT_EQ(near.status, 0) << near.out;
    writefile(box.cfg, readfile(box.cfg) + "COMPRESS on\n");
    RunResult refused = box.fetch();
    EXPECT_TRUE(server.finish());
    EXPECT_EQ(server.errortext(), "");
    EXPECT_EQ(refused.status, 0) << refused.out;
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ(server.received(1).find("COMPRESS"), std::string::npos);
}

}  // namespace
