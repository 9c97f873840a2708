// Scored news and cross-posts against a scripted NNTP server: which
// ARTICLEs go, what lands in the packet and the state file, and what the
// user is told. Also a server with too many connections.
#include <sys/stat.h>

#include <ctime>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "run.h"
#include "scripted_server.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

struct ScoreRun {
    TempDir dir;
    std::string soup = dir / "soup/";

    ScoreRun(const std::string& state, const std::string& settings) {
        mkdir(soup.c_str(), 0700);
        writefile(dir / "newsrc", state);
        writefile(dir / "vorpa.cfg",
                  "NNTPHOST 127.0.0.1\nSOUPDIR " + soup + "\nNEWSGROUPS " + dir / "newsrc" + "\n" + settings);
    }
    RunResult run() { return runvorpa({"news", "fetch", "/config=" + dir / "vorpa.cfg"}, dir.path(), 30); }
    std::string newsrc() { return readfile(dir / "newsrc"); }
    std::string packet(const char* file) { return readfile(soup + file); }
};

Script& group(Script& s, const std::string& name, const std::string& reply) {
    return s.expect("GROUP " + name + "\r\n").send(reply + "\r\n");
}

Script& article(Script& s, long n, const std::string& id, const std::string& text) {
    std::string num = std::to_string(n);
    return s.expect("ARTICLE " + num + "\r\n").send("220 " + num + " " + id + "\r\n" + text + ".\r\n");
}

Script& quit(Script& s) {
    return s.expect("QUIT\r\n").send("205 bye\r\n");
}

std::string today() {
    char text[64];
    time_t now = time(nullptr);
    strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S +0000", gmtime(&now));
    return text;
}

// One overview line: number, subject, from, date, id, references, bytes,
// lines, xref.
std::string over(long n, const std::string& subject, const std::string& from, const std::string& date,
                 const std::string& refs, long bytes, long lines, const std::string& xref) {
    return std::to_string(n) + "\t" + subject + "\t" + from + "\t" + date + "\t<" + std::to_string(n) + "@x>\t" + refs +
           "\t" + std::to_string(bytes) + "\t" + std::to_string(lines) + "\tXref: news.test " + xref + "\r\n";
}

const char* const scores =
    "# kills and a bonus\n"
    "[g.* other.*]\n"
    "-9999: Subject: *cheap pills*\n"
    "-100: From: ~^spam(mer)?@\n"
    "-100: References: *<troll@x>*\n"
    "-100: Xref: *alt.binaries.*\n"
    "-100: Newsgroups: *alt.flame*\n"
    "-100: Crossposts: > 3\n"
    "-100: Lines: > 1000\n"
    "-100: Bytes: < 10\n"
    "-100: Age: > 30\n"
    "\n[*.score]\n"
    "-50: Subject: *meh*\n"
    "60: Message-ID: <21@*\n";

// Each header kind kills one article of the overview; the bonus of one
// rule outweighs another's malus. Only the survivors are asked for, the
// mark moves past the last article though it was killed, and a group no
// section names is fetched as always.
TEST(Score, OverviewKillsBeforeArticles) {
    ScoreRun r("g.score: 1-10\nh.plain: 1-1\n", "SCOREFILE score\nLOGFILE " + std::string("log") + "\n");
    writefile(r.dir / "score", scores);
    std::string now = today();
    std::string x = "g.score:1";
    std::string lines =
        over(11, "fine", "ann@x", now, "", 2000, 40, x) + over(12, "CHEAP PILLS", "ann@x", now, "", 2000, 40, x) +
        over(13, "a", "spammer@x", now, "", 2000, 40, x) + over(14, "a", "ann@x", now, "<a@x> <troll@x>", 2000, 40, x) +
        over(15, "a", "ann@x", now, "", 2000, 40, x + " alt.binaries.x:5") +
        over(16, "a", "ann@x", now, "", 2000, 40, x + " alt.flame:9") +
        over(17, "a", "ann@x", now, "", 2000, 40, x + " a:1 b:2 c:3") +
        over(18, "a", "ann@x", now, "", 1048576, 5000, x) + over(19, "a", "ann@x", now, "", 5, 1, x) +
        over(20, "a", "ann@x", "Mon, 3 Jan 2000 10:00:00 +0000", "", 2000, 40, x) +
        over(21, "meh", "ann@x", now, "", 2000, 40, x) + over(22, "meh", "ann@x", now, "", 2000, 40, x);
    ScriptedServer server(119);
    Script& s = nntpready(server.session());
    group(group(s, "g.score", "211 12 11 22 g.score"), "h.plain", "211 1 2 2 h.plain");
    group(s, "g.score", "211 12 11 22 g.score").expect("XOVER 11-22\r\n").send("224 overview\r\n" + lines + ".\r\n");
    article(article(s, 11, "<11@x>", "Subject: fine\r\n\r\nA\r\n"), 21, "<21@x>", "Subject: meh\r\n\r\nB\r\n");
    quit(article(group(s, "h.plain", "211 1 2 2 h.plain"), 2, "<2@h>", "Subject: plain\r\n\r\nC\r\n"));
    server.start();
    RunResult out = r.run();
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ(0, out.status) << out.out;
    EXPECT_EQ(
        "CAPABILITIES\r\nGROUP g.score\r\nGROUP h.plain\r\nGROUP g.score\r\nXOVER 11-22\r\nARTICLE 11\r\n"
        "ARTICLE 21\r\nGROUP h.plain\r\nARTICLE 2\r\nQUIT\r\n",
        server.received(0));
    EXPECT_EQ("g.score: 1-22\nh.plain: 1-2\n", r.newsrc());
    EXPECT_EQ(record("Subject: fine\n\nA\n") + record("Subject: meh\n\nB\n"), r.packet("00000000.MSG"));
    EXPECT_EQ(record("Subject: plain\n\nC\n"), r.packet("00000001.MSG"));
    for (const std::string& text : {out.out, readfile(r.dir / "log")})
        EXPECT_THAT(text, HasSubstr("* Fetching g.score\nThere are 12 new messages (11-22) in this newsgroup.\n"
                                    "Killed 10 articles (1.0 MB) by score\n* Fetching h.plain\n"));
    EXPECT_THAT(out.out, HasSubstr("Fetched 3 articles in 2 groups.\n"));

    // A score file that cannot be read, or a line that cannot, refuses
    // the run as a bad configuration does, before anything goes out.
    for (const std::string& bad : {std::string("[g.*]\n-10 Subject *x*\n"), std::string("[g.*]\n1: Color: red\n"),
                                   std::string("\n1: Subject: ~a(\n"), std::string("# c\n1: Lines: many\n")}) {
        writefile(r.dir / "score", bad);
        out = r.run();
        EXPECT_EQ(1, out.status);
        EXPECT_THAT(out.err + out.out, HasSubstr(" in line 2 of " + r.dir / "score\n")) << bad;
    }
    writefile(r.dir / "vorpa.cfg", readfile(r.dir / "vorpa.cfg") + "SCOREFILE missing\n");
    out = r.run();
    EXPECT_EQ(1, out.status);
    EXPECT_THAT(out.err + out.out, HasSubstr("Error: can't read score file " + r.dir / "missing"));
}

// A range of four billion numbers: its OVER (the server lists OVER) names
// the articles present, in place of LISTGROUP. Every one killed: nothing
// is asked for, no file made, and the mark moves past the last.
TEST(Score, SparseRangeAllKilled) {
    ScoreRun r("g.sparse: 0-4\nh.plain: 0-0\n", "SCOREFILE score\n");
    writefile(r.dir / "score", "[g.*]\n-1: Lines: > 10\n");
    ScriptedServer server(119);
    Script& s = server.session().send("200 ready\r\n").expect("CAPABILITIES\r\n");
    s.send("101 list\r\nVERSION 2\r\nREADER\r\nOVER\r\n.\r\n");
    group(group(s, "g.sparse", "211 2 1 4000000000 g.sparse"), "h.plain", "211 1 1 1 h.plain");
    group(s, "g.sparse", "211 2 1 4000000000 g.sparse").expect("OVER 5-4000000000\r\n");
    s.send("224 overview\r\n7\ta\tb\t\t<7@x>\t\t900\t30\r\n3000000000\ta\tb\t\t<8@x>\t\t900\t40\r\n.\r\n");
    quit(article(group(s, "h.plain", "211 1 1 1 h.plain"), 1, "<1@h>", "A: 1\r\n"));
    server.start();
    RunResult out = r.run();
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ(0, out.status) << out.out;
    EXPECT_EQ("g.sparse: 0-3000000000\nh.plain: 0-1\n", r.newsrc());
    EXPECT_EQ("00000000\th.plain\tBn\n", r.packet("AREAS"));
    EXPECT_THAT(out.out, HasSubstr("* Fetching g.sparse\nThere are 2 new messages (5-4000000000) in this newsgroup.\n"
                                   "Killed 2 articles (0.0 MB) by score\n* Fetching h.plain\n"));
}

// Without an overview the articles come whole and are scored on their
// header before any of it is stored; the mark moves past the killed.
TEST(Score, WithoutOverviewScoredOnHeaders) {
    ScoreRun r("g.score: 1-10\n", "SCOREFILE score\n");
    writefile(r.dir / "score", scores);
    ScriptedServer server(119);
    Script& s = nntpready(server.session());
    group(s, "g.score", "211 3 11 13 g.score");
    group(s, "g.score", "211 3 11 13 g.score").expect("XOVER 11-13\r\n").send("500 what?\r\n");
    article(s, 11, "<11@x>", "Subject: fine\r\nFrom: ann@x\r\n\r\n..dot\r\n");
    article(s, 12, "<12@x>", "Subject: ok\r\nFrom: spam@x\r\n\r\nbody\r\n");
    quit(article(s, 13, "<13@x>", "Subject: buy\r\n cheap pills\r\n\r\nbody\r\n"));
    server.start();
    RunResult out = r.run();
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ(0, out.status) << out.out;
    EXPECT_EQ("g.score: 1-13\n", r.newsrc());
    EXPECT_EQ(record("Subject: fine\nFrom: ann@x\n\n.dot\n"), r.packet("00000000.MSG"));
    EXPECT_THAT(out.out, HasSubstr("There are 3 new messages (11-13) in this newsgroup.\nKilled 2 articles (0.0 MB) "
                                   "by score\n"));
    EXPECT_THAT(out.out, HasSubstr("Fetched 1 article in 1 group.\n"));
}

// An article in two subscribed groups is stored in the first only: asked
// for again but dropped where nothing said so before (its answer names
// it), never asked for where the overview named it; both marks move on.
TEST(Score, CrossPostStoredOnce) {
    const std::string a = "Subject: both\r\nXref: news.test a.one:1 b.two:7\r\n\r\nhi\r\n";
    for (bool scored : {false, true}) {
        ScoreRun r("a.one: 0-0\nb.two: 1-6\n", scored ? "SCOREFILE score\n" : "");
        writefile(r.dir / "score", "[b.*]\n1: Subject: *\n");
        ScriptedServer server(119);
        Script& s = nntpready(server.session());
        group(group(s, "a.one", "211 1 1 1 a.one"), "b.two", "211 2 7 8 b.two");
        if (scored) {
            std::string x = "Xref: news.test a.one:1 b.two:7";
            group(s, "b.two", "211 2 7 8 b.two").expect("XOVER 7-8\r\n");
            s.send("224 overview\r\n7\tboth\tann@x\t\t<c@x>\t\t50\t2\t" + x +
                   "\r\n8\tmine\tbob@x\t\t<d@x>\t\t50\t2\t\r\n"
                   ".\r\n");
        }
        article(group(s, "a.one", "211 1 1 1 a.one"), 1, "<c@x>", a);
        group(s, "b.two", "211 2 7 8 b.two");
        if (!scored) article(s, 7, "<c@x>", a);
        quit(article(s, 8, "<d@x>", "Subject: mine\r\n\r\nho\r\n"));
        server.start();
        RunResult out = r.run();
        EXPECT_TRUE(server.finish()) << server.errortext();
        EXPECT_EQ(0, out.status) << out.out;
        EXPECT_EQ("a.one: 0-1\nb.two: 1-8\n", r.newsrc());
        EXPECT_EQ(record("Subject: both\nXref: news.test a.one:1 b.two:7\n\nhi\n"), r.packet("00000000.MSG"));
        EXPECT_EQ(record("Subject: mine\n\nho\n"), r.packet("00000001.MSG"));
        EXPECT_THAT(out.out, HasSubstr("Fetched 2 articles in 2 groups; 1 cross-post stored once.\n"));
        EXPECT_THAT(out.out, Not(HasSubstr("Killed")));
    }
}

// Too many connections, said at the greeting or to the login, passes by
// itself: status 75, with the hint; a 502 that says nothing of them
// stays a refusal.
TEST(Score, TooManyConnectionsIsTemporary) {
    const std::string hint = "! The news server takes no more connections now: let fewer accounts use it at once\n";
    ScoreRun r("g: 0-0\n", "NNTPUSER joe\nNNTPPASS secret\n");
    ScriptedServer server(119);
    server.session().send("502 Too many connections\r\n");
    server.session()
        .send("200 ok\r\n")
        .expect("AUTHINFO USER joe\r\n")
        .send("381 more\r\n")
        .expect("AUTHINFO PASS secret\r\n")
        .send("400 max connections for your address\r\n");
    server.start();
    RunResult greeting = r.run();
    RunResult login = r.run();
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ(75, greeting.status) << greeting.out;
    EXPECT_THAT(greeting.out, HasSubstr("NNTP host returned error: 502 Too many connections\n" + hint));
    EXPECT_EQ(75, login.status) << login.out;
    EXPECT_THAT(login.out, HasSubstr("NNTP host returned error: 400 max connections for your address\n" + hint));
}

}  // namespace
