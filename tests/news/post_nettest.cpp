// Black-box runs of "vorpa news post" against a scripted NNTP server on
// 127.0.0.1:119, in this test's own network namespace: the bytes on the
// wire, the reports and their channel, which message files stay and
// whether REPLIES is removed.
#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "run.h"
#include "scripted_server.h"

using namespace std::string_literals;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

const std::string G = "\x01\x01\x01\x01";

std::string rnews(const std::string& text) { return "#! rnews " + std::to_string(text.size()) + "\n" + text; }

// A packet directory with its configuration and log.
struct Packet {
    TempDir dir;
    std::string soup = dir / "soup";
    std::string log = dir / "vorpa.log";
    std::string cfg = dir / "vorpa.cfg";

    explicit Packet(const std::string& settings = "NNTPHOST 127.0.0.1\n") {
        mkdir(soup.c_str(), 0700);
        writefile(cfg, "ADDHEADERS off\n" + settings + "SOUPDIR " + soup + "\nLOGFILE " + log + "\n");
    }
    void put(const std::string& name, const std::string& data) { writefile(soup + "/" + name, data); }
    RunResult run(std::vector<std::string> args = {"news", "post"}) {
        args.push_back("/config=" + cfg);
        return runvorpa(args, dir.path(), 60);
    }
    // The reports of the run: the log after its header line.
    std::string reports() {
        std::string text = readfile(log);
        size_t header = text.find("--- ");
        size_t end = header == std::string::npos ? std::string::npos : text.find('\n', header);
        return end == std::string::npos ? "(no log header in: " + text + ")" : text.substr(end + 1);
    }
    std::vector<std::string> files() { return listdir(soup); }
};

// Plays the server's side and notes every byte the client must send, for
// one exact comparison at the end.
struct Dialogue {
    Script& s;
    std::string client;

    explicit Dialogue(Script& script, const std::string& greeting = "200 news.test ready\r\n") : s(script) {
        s.send(greeting);
    }
    void ask(const std::string& command, const std::string& reply) {
        s.expect(command).send(reply);
        client += command;
    }
    void article(const std::string& wire, const std::string& reply = "240 article posted\r\n") {
        ask("POST\r\n", "340 send article\r\n");
        s.expectdata().send(reply);
        client += wire;
    }
    void quit(const std::string& reply = "205 bye\r\n") { ask("QUIT\r\n", reply); }
    // The fetch that follows on the connection asks CAPABILITIES with its
    // first GROUPs.
    void group(const std::string& name, const std::string& reply) {
        nntpcaps(s);
        client += "CAPABILITIES\r\n";
        ask("GROUP " + name + "\r\n", reply);
    }
};

TEST(PostNews, EveryFormatOneConnection) {
    Packet p;
    const std::string longline = "." + std::string(299, 'x');
    // A batch of two: dot-stuffing, a 300-character line beginning with a
    // dot, and CR LF lines with a last line that has no line end.
    const std::string a1 = "newsgroups:   comp.test,alt.test\nSubject: one\n\n.signature\n.\n" + longline + "\n";
    const std::string a1wire =
        "newsgroups:   comp.test,alt.test\r\nSubject: one\r\n\r\n..signature\r\n..\r\n." + longline + "\r\n.\r\n";
    const std::string a2 = "From: b@x.org\r\nNewsgroups:local.test\r\n\r\nNewsgroups: body.not\r\nno end";
    const std::string a2wire = "From: b@x.org\r\nNewsgroups:local.test\r\n\r\nNewsgroups: body.not\r\nno end\r\n.\r\n";
    // Mailbox: the envelope lines are not sent.
    const std::string a3 = "Newsgroups: mbox.one\n\nthree\n";
    const std::string a4 = "NEWSGROUPS:\tmbox.two\n\nfour\n";
    // MMDF, and a binary record with NUL bytes and no Newsgroups header.
    const std::string a5 = "Newsgroups: mmdf.one\n\nfive\n";
    const std::string a6 = "Subject: nul\n\na\0b\n"s;
    // A stated length past the end of the file: not sent, and the file
    // stays.
    const std::string a7 = "Newsgroups: short.one\n\ncut";

    p.put("0000000A.MSG", rnews(a1) + rnews(a2));
    p.put("0000000B.MSG", "From x Mon Dec  7 10:00:00 2026\n" + a3 + "From y\n" + a4);
    p.put("0000000C.MSG", G + a5 + G);
    p.put("0000000D.MSG", record(a6));
    p.put("0000000E.MSG", be32(1000) + a7);
    p.put("0000000F.MSG", record("From: m@x.org\nTo: r@y.org\n\nmail\n"));
    p.put("REPLIES", "0000000A\tnews\tun\n0000000B\tnews\tm\n0000000F\tmail\tbn\n0000000C\tnews\tM\n"
                     "0000000D\tNEWS\tBn\n0000000E\tNews\tb\n");

    ScriptedServer server(119);
    Dialogue d(server.session());
    d.article(a1wire);
    d.article(a2wire);
    d.article("Newsgroups: mbox.one\r\n\r\nthree\r\n.\r\n");
    d.article("NEWSGROUPS:\tmbox.two\r\n\r\nfour\r\n.\r\n");
    d.article("Newsgroups: mmdf.one\r\n\r\nfive\r\n.\r\n");
    d.article("Subject: nul\r\n\r\na\0b\r\n.\r\n"s);
    d.quit();
    server.start();

    RunResult r = p.run({"news", "post", "/verbose"});
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_EQ(server.received(0), d.client);
    EXPECT_EQ(p.reports(),
              "Posting news to 127.0.0.1...\n"
              "+ Connecting to NNTP host 127.0.0.1...\n"
              "* Posting article to comp.test,alt.test\n"
              "* Posting article to local.test\n"
              "* Posting article to mbox.one\n"
              "* Posting article to mbox.two\n"
              "Email found --- will keep REPLIES file\n"
              "* Posting article to mmdf.one\n"
              "! Message in " + p.soup + "/0000000E.MSG ends before its length - not sent\n"
              "+ Signing off...\n"
              "+ NNTP session successfully terminated\n");
    EXPECT_THAT(r.out, HasSubstr("+ NNTP session successfully terminated\n\nPosted 6 articles; 1 file kept for the next run.\nDone.\n"));
    // The posted files go; the cut one, the mail file and REPLIES (mail not
    // posted in this run) stay.
    EXPECT_EQ(p.files(), (std::vector<std::string>{"0000000E.MSG", "0000000F.MSG", "REPLIES"}));
}

TEST(PostNews, RefusedArticleIsGivenUpAndTheOthersGoOn) {
    Packet p;
    const std::string a = "Newsgroups: local.test\nSubject: a\n\nA\n";
    const std::string b = "Newsgroups: local.archive\nSubject: b\n\nB\n";
    const std::string c = "Newsgroups: local.test\nSubject: c\n\nC\n";
    p.put("00000001.MSG", rnews(a) + rnews(b) + rnews(c));
    p.put("00000002.MSG", record(c));
    p.put("REPLIES", "00000001\tnews\tu\n00000002\tnews\tB\n");

    ScriptedServer server(119);
    Dialogue d(server.session());
    d.article("Newsgroups: local.test\r\nSubject: a\r\n\r\nA\r\n.\r\n");
    d.article("Newsgroups: local.archive\r\nSubject: b\r\n\r\nB\r\n.\r\n", "441 posting failed\r\n");
    d.article("Newsgroups: local.test\r\nSubject: c\r\n\r\nC\r\n.\r\n");
    d.article("Newsgroups: local.test\r\nSubject: c\r\n\r\nC\r\n.\r\n");
    d.quit();
    server.start();

    RunResult r = p.run();
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ(server.received(0), d.client);
    EXPECT_EQ(p.reports(),
              "Posting news to 127.0.0.1...\n"
              "* Posting article to local.test\n"
              "* Posting article to local.archive\n"
              "NNTP host returned error: 441 posting failed\n"
              "! 00000001.MSG \"b\" to local.archive: NNTP server did not accept message\n"
              "! Letter moved to " + p.soup + "/refused/00000001-1.eml, and a notice into area Vorpa\n"
              "* Posting article to local.test\n"
              "* Posting article to local.test\n");
    // The refused article leaves for refused/, with a notice; the files
    // are done with.
    EXPECT_EQ(p.files(), (std::vector<std::string>{"00000000.MSG", "AREAS", "refused"}));
    EXPECT_EQ(readfile(p.soup + "/refused/00000001-1.eml"), b);
    EXPECT_NE(readfile(p.soup + "/00000000.MSG").find("    local.archive\n"), std::string::npos);
}

// The next POST goes right behind an article's text, before its verdict,
// and QUIT behind the last one. A server that refuses a POST sent so, or
// answers it before the article, is spoken to one article at a time from
// then on: POST alone, the verdict before the next.
TEST(PostNews, NextPostBehindTheTextAndTheFallBack) {
    auto wire = [](int n) { return "Newsgroups: local.test\r\n\r\n" + std::to_string(n) + "\r\n.\r\n"; };
    const std::string ok = "240 article posted\r\n", go = "340 send article\r\n";
    for (const std::string mode : {"ahead", "refused", "out of order"}) {
        SCOPED_TRACE(mode);
        Packet p;
        std::string batch;
        for (int n = 1; n <= 4; n++) batch += rnews("Newsgroups: local.test\n\n" + std::to_string(n) + "\n");
        p.put("00000001.MSG", batch);
        p.put("REPLIES", "00000001\tnews\tu\n");
        ScriptedServer server(119);
        Dialogue d(server.session());
        d.ask("POST\r\n", go);
        d.s.expectdata();
        // The second POST came before the first verdict.
        d.s.expect("POST\r\n");
        d.client += wire(1) + "POST\r\n";
        if (mode == "ahead") {
            for (int n = 2; n <= 4; n++) {
                d.s.send(ok + go).expectdata().expect(n < 4 ? "POST\r\n" : "QUIT\r\n");
                d.client += wire(n) + (n < 4 ? "POST\r\n" : "QUIT\r\n");
            }
            d.s.send(ok + "205 bye\r\n");
        } else {
            if (mode == "refused") d.s.send(ok + "500 one command at a time\r\n").expect("POST\r\n").send(go);
            if (mode == "out of order") d.s.send(go + ok);
            d.client += mode == "refused" ? "POST\r\n" : "";
            for (int n = 2; n <= 4; n++) {
                if (n > 2) d.ask("POST\r\n", go);
                d.s.expectdata().nothingahead(300).send(ok);
                d.client += wire(n);
            }
            d.quit();
        }
        server.start();
        RunResult r = p.run();
        EXPECT_TRUE(server.finish()) << server.errortext();
        EXPECT_EQ(server.received(0), d.client);
        EXPECT_EQ(r.status, 0) << r.out;
        std::string reports = "Posting news to 127.0.0.1...\n";
        for (int n = 1; n <= 4; n++) reports += "* Posting article to local.test\n";
        EXPECT_EQ(p.reports(), reports);
        EXPECT_EQ(p.files(), std::vector<std::string>{});
    }
}

// A run that ends the phase early: what the server got, what the user is
// told, and that the files not yet posted and REPLIES stay.
TEST(PostNews, FailuresEndThePhaseAndKeepReplies) {
    struct Case {
        std::string name;
        std::string settings;
        bool listen;
        std::string greeting;
        std::function<void(Dialogue&)> play;
        std::string reports;  // in the log, as on the console
        std::vector<std::string> files;
        std::string err;
    };
    const std::string a = "Newsgroups: local.test\n\nA\n";
    const std::string awire = "Newsgroups: local.test\r\n\r\nA\r\n.\r\n";
    const std::string posting = "Posting news to 127.0.0.1...\n";
    const std::string one = "* Posting article to local.test\n";
    const std::string skip = "(skipping news post)\n";
    const std::string lost = "!!! Error 0 on recv() nr 1\nReceive: connection closed by the server\n";
    const std::vector<std::string> all = {"00000001.MSG", "00000002.MSG", "REPLIES"};
    const std::string host = "NNTPHOST 127.0.0.1\n";
    std::vector<Case> cases = {
        {"no NNTPHOST", "", false, "", nullptr, "NNTP hostname not defined\n" + skip, all, ""},
        {"nothing listens", host, false, "", nullptr,
         posting + "Cannot connect to host 127.0.0.1 at port 119: Connection refused\n" + skip, all, ""},
        {"greeting refused: no POST, no QUIT", host, true, "502 access denied\r\n", [](Dialogue&) {},
         posting + "NNTP host returned error: 502 access denied\n" + skip, all, ""},
        {"POST refused: no QUIT", host, true, "200 ready\r\n",
         [&](Dialogue& d) { d.ask("POST\r\n", "440 posting not allowed\r\n"); },
         posting + "NNTP host returned error: 440 posting not allowed\n! NNTP server doesn't allow us to post\n" +
             skip,
         all, ""},
        // A lost connection is said as such, never as a refusal.
        {"no reply to POST", host, true, "200 ready\r\n",
         [&](Dialogue& d) {
             d.s.expect("POST\r\n").drop();
             d.client += "POST\r\n";
         },
         posting + lost + skip, all, "Receive: "},
        // The article may or may not have been taken: its file stays, and
        // of the next file only the POST behind the text went.
        {"no reply to the text", host, true, "200 ready\r\n",
         [&](Dialogue& d) {
             d.ask("POST\r\n", "340 go\r\n");
             d.s.expectdata().expect("POST\r\n").drop();
             d.client += awire + "POST\r\n";
         },
         posting + one + lost + skip, all, "Receive: "},
        // Every file was posted, but the phase did not finish: the lines
        // of the files go, and REPLIES with them.
        {"QUIT refused", host, true, "200 ready\r\n",
         [&](Dialogue& d) {
             d.article(awire);
             d.article(awire);
             d.quit("500 what\r\n");
         },
         posting + one + one + "NNTP host returned error: 500 what\n" + skip, {}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Packet p(c.settings);
        p.put("00000001.MSG", rnews(a));
        p.put("00000002.MSG", record(a));
        p.put("REPLIES", "00000001\tnews\tu\n00000002\tnews\tB\n");
        // A server listens from its construction on.
        std::unique_ptr<ScriptedServer> server;
        std::string client;
        if (c.listen) {
            server = std::make_unique<ScriptedServer>(119, 5000);
            Dialogue d(server->session(), c.greeting);
            c.play(d);
            // Catches anything sent after the last step (a stray QUIT).
            d.s.drain();
            client = d.client;
            server->start();
        }
        RunResult r = p.run();
        if (server) {
            EXPECT_TRUE(server->finish()) << server->errortext();
            EXPECT_EQ(server->received(0), client);
        }
        // Only the network failed: no server, or none of its answers.
        bool network = c.name == "nothing listens" || c.name.rfind("no reply", 0) == 0;
        EXPECT_EQ(r.status, network ? 75 : 2);
        EXPECT_EQ(p.reports(), c.reports);
        EXPECT_EQ(r.out.find("! NNTP server") == std::string::npos,
                  c.reports.find("! NNTP server") == std::string::npos);
        // One failed reception ends the phase: no second try on the dead
        // connection.
        size_t receives = 0;
        for (size_t at = 0; (at = r.err.find("Receive: ", at)) != std::string::npos; at++) receives++;
        EXPECT_EQ(receives, c.err.empty() ? 0u : 1u) << r.err;
        // Both articles went when only the QUIT failed.
        std::string summary = c.files.empty() ? "Posted 2 articles." : "Posted 0 articles; 2 files kept for the next run.";
        EXPECT_THAT(r.out, HasSubstr("(skipping news post)\n\n" + summary + "\nDone.\n"));
        EXPECT_EQ(p.files(), c.files);
    }
}

TEST(PostNews, BadEntriesAndFilesKeepReplies) {
    // A batch whose second header is broken: the first article goes, the
    // rest of the file is skipped and the file stays. Missing files and
    // prefixes that reach outside the packet are passed over.
    Packet p;
    const std::string a = "Newsgroups: local.test\n\nA\n";
    p.put("00000001.MSG", rnews(a) + "garbage\n" + rnews(a));
    p.put("00000003.MSG", "not a mailbox\n");
    p.put("00000004.MSG", record(a));
    p.put("REPLIES", "00000001\tnews\tu\n00000002\tnews\tu\n../00000004\tnews\tB\n00000003\tnews\tm\n"
                     "00000004\tnews\tx\n00000004\tnews\tB\n");
    writefile(p.dir / "00000004.MSG", record(a));
    ScriptedServer server(119);
    Dialogue d(server.session());
    d.article("Newsgroups: local.test\r\n\r\nA\r\n.\r\n");
    d.article("Newsgroups: local.test\r\n\r\nA\r\n.\r\n");
    d.quit();
    server.start();
    RunResult r = p.run();
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ(server.received(0), d.client);
    EXPECT_EQ(p.reports(), "Posting news to 127.0.0.1...\n"
                           "* Posting article to local.test\n"
                           "! Error in message file " + p.soup + "/00000001.MSG\n"
                           "! Cannot open message file " + p.soup + "/00000002.MSG\n"
                           "! Error in REPLIES file\n"
                           "! Error in message file " + p.soup + "/00000003.MSG\n"
                           "! Unknown message format in REPLIES\n"
                           "* Posting article to local.test\n");
    EXPECT_EQ(p.files(), (std::vector<std::string>{"00000001.MSG", "00000001.SNT", "00000003.MSG", "REPLIES"}));
    EXPECT_TRUE(fileexists(p.dir / "00000004.MSG"));

    // Test mode posts everything, records it and deletes nothing.
    Packet t;
    t.put("00000001.MSG", rnews(a) + rnews(a));
    t.put("REPLIES", "00000001\tnews\tu\n");
    ScriptedServer again(119);
    Dialogue e(again.session());
    e.article("Newsgroups: local.test\r\n\r\nA\r\n.\r\n");
    e.article("Newsgroups: local.test\r\n\r\nA\r\n.\r\n");
    e.quit();
    again.start();
    r = t.run({"news", "post", "/test"});
    EXPECT_TRUE(again.finish()) << again.errortext();
    EXPECT_EQ(again.received(0), e.client);
    EXPECT_EQ(t.files(), (std::vector<std::string>{"00000001.MSG", "00000001.SNT", "REPLIES"}));
}

TEST(PostNews, LinesLeftToTheMailPost) {
    // Under "post" the mail line is the mail post's: no word, no NNTP
    // connection (nothing listens on 119). A broken line is reported by
    // both phases, an unknown kind once.
    Packet p("HOSTNAME me\nNNTPHOST 127.0.0.1\n");
    p.put("REPLIES", "broken line\n00000001\tmail\tb\n00000002\tfax\tb\n");
    RunResult r = p.run({"post", "/verbose"});
    EXPECT_EQ(p.reports(),
              "SMTP hostname not defined\n(skipping email post)\n"
              "! Error in REPLIES file\n"
              "+ No news messages to be posted\n");
    EXPECT_THAT(r.out, Not(HasSubstr("Cannot connect")));

    // Only mail lines, and the mail post finished: the news post votes too,
    // and REPLIES goes.
    Packet q("HOSTNAME me\nNNTPHOST 127.0.0.1\nSMTPHOST 127.0.0.1\n");
    q.put("REPLIES", "00000001\tmail\tb\n");
    q.put("00000001.MSG", record("From: a@x.org\nTo: b@y.org\n\nhi\n"));
    ScriptedServer smtp(25);
    smtp.session()
        .send("220 ready\r\n")
        .expect("EHLO me\r\n")
        .send("250 hi\r\n")
        .expect("MAIL FROM:<a@x.org>\r\n")
        .send("250 ok\r\n")
        .expect("RCPT TO:<b@y.org>\r\n")
        .send("250 ok\r\n")
        .expect("DATA\r\n")
        .send("354 go\r\n")
        .expectdata()
        .send("250 ok\r\n")
        .expect("QUIT\r\n")
        .send("221 bye\r\n");
    smtp.start();
    r = q.run({"post", "/verbose"});
    EXPECT_TRUE(smtp.finish()) << smtp.errortext();
    // The mail post dropped the last line, and REPLIES with it.
    EXPECT_THAT(q.reports(),
                HasSubstr("+ SMTP session successfully terminated\n+ No REPLIES file found, not posting any news\n"));
    EXPECT_EQ(q.files(), std::vector<std::string>{});
}

}  // namespace

namespace {

// An article that an earlier run posted but could not record (killed with
// the answer in flight) is refused as a duplicate: it counts as posted, or
// its file would stay for ever.
TEST(PostNews, DuplicateCountsAsPosted) {
    Packet p;
    const std::string a = "Newsgroups: local.test\nSubject: a\n\nA\n";
    p.put("00000001.MSG", rnews(a));
    p.put("REPLIES", "00000001\tnews\tu\n");
    ScriptedServer server(119);
    Dialogue d(server.session());
    d.article("Newsgroups: local.test\r\nSubject: a\r\n\r\nA\r\n.\r\n", "441 435 Duplicate\r\n");
    d.quit();
    server.start();
    RunResult r = p.run();
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_THAT(r.out, HasSubstr("441 435 Duplicate\n! Article already on the NNTP server\n"));
    EXPECT_EQ(p.files(), std::vector<std::string>{});
}

}  // namespace

// An article goes to the news server of the first account whose state file
// lists the first group of its Newsgroups line, else the default account's;
// each account then fetches the groups of its own state file.
TEST(PostNews, ArticlesGoByTheAccountOfTheirFirstGroup) {
    Packet p("NNTPHOST 127.0.0.1\nNEWSGROUPS newsrc\n");
    writefile(p.cfg, readfile(p.cfg) + "ACCOUNT work\nNNTPHOST 127.0.0.1:1119\n");
    writefile(p.dir / "newsrc", "local.one: 1-5\n");
    writefile(p.dir / "newsrc-work", "work.misc: 1-7\n");
    const std::string a = "Newsgroups: work.misc,local.one\n\na\n", b = "Newsgroups: local.one, work.misc\n\nb\n",
                      c = "Newsgroups: other.group\n\nc\n";
    auto wire = [](std::string text) {
        std::string out;
        for (char ch : text) out += ch == '\n' ? "\r\n"s : std::string(1, ch);
        return out + ".\r\n";
    };
    p.put("1.MSG", rnews(a) + rnews(b));
    p.put("2.MSG", rnews(c));
    p.put("REPLIES", "1\tnews\tu\n2\tnews\tu\n");
    // Each account's fetch goes on with the connection its post used.
    ScriptedServer home(119), work(1119);
    Dialogue hp(home.session()), wp(work.session());
    wp.article(wire(a));
    wp.group("work.misc", "211 0 7 7 work.misc\r\n");
    wp.quit();
    hp.article(wire(b));
    hp.article(wire(c));
    hp.group("local.one", "211 0 5 5 local.one\r\n");
    hp.quit();
    home.start();
    work.start();
    RunResult r = p.run({"news"});
    EXPECT_TRUE(home.finish()) << home.errortext();
    EXPECT_TRUE(work.finish()) << work.errortext();
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(work.received(0), wp.client);
    EXPECT_EQ(home.received(0), hp.client);
    EXPECT_THAT(r.out, HasSubstr("Posting news for work to 127.0.0.1:1119...\n* Posting article to work.misc,local.one\n"
                                 "Posting news to 127.0.0.1...\n* Posting article to local.one, work.misc\n"));
    EXPECT_EQ(p.files(), std::vector<std::string>{});
}
