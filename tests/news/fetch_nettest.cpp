// The news fetch against a scripted NNTP server on 127.0.0.1:119: what the
// server receives, what lands in the packet and in the state file, and what
// the user is told.
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "run.h"
#include "scripted_server.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using namespace std::string_literals;

const std::string GREETING = "200 news.test ready\r\n";
// A file size limit of 2 KB makes writes fail as on a full disk.
const std::string FULLDISK = "ulimit -f 2; trap '' XFSZ; exec \"$0\" \"$@\"";

// A packet directory, a state file and a configuration, in a fresh directory.
struct NewsRun {
    TempDir dir;
    std::string soup = dir / "soup/";

    explicit NewsRun(const std::string& state, const std::string& soupdir = "", const std::string& base = "/tmp")
        : dir(base) {
        if (!soupdir.empty()) soup = soupdir;
        mkdir(soup.c_str(), 0700);
        writefile(dir / "newsrc", state);
        writefile(dir / "vorpa.cfg", "NNTPHOST 127.0.0.1\nSOUPDIR " + soup + "\nNEWSGROUPS " + dir / "newsrc" +
                                         "\nLOGFILE " + dir / "log" + "\n");
    }
    // launch, when given, is a shell command that starts vorpa as "$0" "$@".
    RunResult run(const std::vector<std::string>& options = {}, const std::string& launch = "") {
        std::vector<std::string> args{"news", "fetch", "/config=" + dir / "vorpa.cfg"};
        args.insert(args.end(), options.begin(), options.end());
        if (launch.empty()) return runvorpa(args, dir.path(), 30);
        args.insert(args.begin(), {"/bin/sh", "-c", launch, vorpapath()});
        return runprogram(args, dir.path(), 30);
    }
    std::string newsrc() { return readfile(dir / "newsrc"); }
    std::string areas() { return fileexists(soup + "AREAS") ? readfile(soup + "AREAS") : ""; }
    bool tmpleft() {
        for (const std::string& name : listdir(dir.path()))
            if (name.find(".TMP") != std::string::npos) return true;
        return false;
    }
};

Script& group(Script& s, const std::string& name, const std::string& reply) {
    return s.expect("GROUP " + name + "\r\n").send(reply + "\r\n");
}

// Serves one article; text is as on the wire, dot-stuffed, without the ".".
// Articles of other texts have other Message-IDs: none is a cross-post.
Script& article(Script& s, long n, const std::string& text) {
    std::string num = std::to_string(n);
    std::string id = "<" + num + "." + std::to_string(std::hash<std::string>{}(text) % 100000) + "@test>";
    return s.expect("ARTICLE " + num + "\r\n").send("220 " + num + " " + id + " article\r\n" + text + ".\r\n");
}

Script& quit(Script& s) { return s.expect("QUIT\r\n").send("205 bye\r\n"); }

TEST(FetchNews, RangesMarksAndPacket) {
    NewsRun r("comp.inside: 1-100\ncomp.expired: 1-100\ncomp.zero: 1-100\ncomp.above: 5-300\ncomp.nocolon\n"
              "a.b: 1-5,7-9\n\ncomp.refused: 3-9\ncomp.lastmissing: 0-10\n");
    ScriptedServer server(119);
    Script& s = nntpready(server.session(), GREETING);
    group(s, "comp.inside", "211 50 80 102 comp.inside");
    group(s, "comp.expired", "211 3 200 202 comp.expired");
    group(s, "comp.zero", "211 0 200 250 comp.zero");
    group(s, "comp.above", "211 10 200 250 comp.above");
    group(s, "comp.nocolon", "211 1 7 7 comp.nocolon");
    group(s, "a.b", "211 2 5 6 a.b");
    group(s, "", "411 no such group");
    group(s, "comp.refused", "411 no such group");
    group(s, "comp.lastmissing", "211 2 11 12 comp.lastmissing");
    group(s, "comp.inside", "211 50 80 102 comp.inside");
    article(s, 101, "Subject: one\r\n\r\n..foo\r\nnul\0byte\r\n"s);
    article(s, 102, "Subject: two\r\n\r\nbody\r\n");
    group(s, "comp.expired", "211 3 200 202 comp.expired");
    article(s, 200, "A: 200\r\n");
    s.expect("ARTICLE 201\r\n").send("423 no such article\r\n");
    article(s, 202, "A: 202\r\n");
    article(group(s, "comp.nocolon", "211 1 7 7 comp.nocolon"), 7, "A: 7\r\n");
    article(group(s, "a.b", "211 2 5 6 a.b"), 6, "A: 6\r\n");
    group(s, "comp.lastmissing", "211 2 11 12 comp.lastmissing");
    article(s, 11, "A: 11\r\n");
    s.expect("ARTICLE 12\r\n").send("423 no such article\r\n");
    quit(s);
    server.start();
    RunResult out = r.run();
    EXPECT_TRUE(server.finish()) << server.errortext();
    // A group the server does not have is a misspelling to mend.
    EXPECT_EQ(2, out.status);
    EXPECT_THAT(out.out, testing::EndsWith("\n\nFetched 7 articles in 7 groups; no group comp.refused on the "
                                           "server.\nDone.\n"));

    EXPECT_EQ("comp.inside: 1-102\ncomp.expired: 1-202\ncomp.zero: 1-100\ncomp.above: 5-300\ncomp.nocolon: 0-7\n"
              "a.b: 1-6\n: 0-0\ncomp.refused: 3-9\ncomp.lastmissing: 0-11\n",
              r.newsrc());
    EXPECT_FALSE(r.tmpleft());
    EXPECT_EQ("00000000\tcomp.inside\tBn\n00000001\tcomp.expired\tBn\n00000002\tcomp.nocolon\tBn\n"
              "00000003\ta.b\tBn\n00000004\tcomp.lastmissing\tBn\n",
              r.areas());
    EXPECT_EQ(record("Subject: one\n\n.foo\nnul\0byte\n"s) + record("Subject: two\n\nbody\n"),
              readfile(r.soup + "00000000.MSG"));
    EXPECT_EQ(record("A: 200\n") + record("A: 202\n"), readfile(r.soup + "00000001.MSG"));
    EXPECT_EQ(record("A: 11\n"), readfile(r.soup + "00000004.MSG"));

    for (const std::string& text : {out.out, readfile(r.dir / "log")}) {
        EXPECT_THAT(text, HasSubstr("* Fetching comp.inside\nThere are 2 new messages (101-102) in this newsgroup.\n"));
        EXPECT_THAT(text, HasSubstr("There are 3 new messages (200-202) in this newsgroup.\n"));
        EXPECT_THAT(text, HasSubstr("* Fetching comp.zero\nThere are no new messages in this newsgroup.\n"));
        // Said once, for the one mark above the server's last article.
        EXPECT_THAT(text, HasSubstr("* Fetching comp.above\n! Mark 300 of comp.above lies above the server's last "
                                    "article 250 - left as it is\nThere are no new messages in this newsgroup.\n"));
        EXPECT_EQ(text.find("! Mark"), text.rfind("! Mark"));
        EXPECT_THAT(text, HasSubstr("NNTP host returned error: 411 no such group\n"
                                    "! Wasn't able to select newsgroup comp.refused - skipping\n"));
        EXPECT_THAT(text, Not(HasSubstr("423")));
        EXPECT_THAT(text, Not(HasSubstr("Average CPS")));
        EXPECT_THAT(text, Not(HasSubstr("skipping news fetch")));
    }
}

// Lines longer than the line buffer arrive in pieces: a dot that starts a
// later piece is text, and the record keeps every byte. A transfer slow
// enough for the clock to move shows rates and the group's average.
TEST(FetchNews, LongLinesAndAverage) {
    NewsRun r("big: 0-0\n");
    std::string longline = std::string(16383, 'x') + "..y\r\n";
    std::string crcut = std::string(16382, 'z') + "\r\n";
    std::string text = "Subject: big\r\n\r\n" + longline + crcut;
    ScriptedServer server(119);
    Script& s = nntpready(server.session(), GREETING);
    group(s, "big", "211 1 1 1 big");
    s.expect("ARTICLE 1\r\n").send("220 1 <1@test> article\r\n");
    s.sendsplit(text + ".\r\n", {6000, 6000, 6000, 6000, 6000}, 30);
    quit(s);
    server.start();
    RunResult out = r.run();
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ(record("Subject: big\n\n" + std::string(16383, 'x') + "..y\n" + std::string(16382, 'z') + "\n"),
              readfile(r.soup + "00000000.MSG"));
    EXPECT_EQ("big: 0-1\n", r.newsrc());
    // Into a pipe, without the meter.
    EXPECT_THAT(out.out, Not(HasSubstr("\r")));
    EXPECT_THAT(out.out, ::testing::ContainsRegex("\nAverage CPS fetching news: [1-9][0-9]*\n"));
}

// Every GROUP goes out before the first answer is read: the server answers
// only once it has both. Then the stream: each group's GROUP again and its
// ARTICLEs. A group that the stream's GROUP refuses is skipped, and the
// answers to its ARTICLEs (another group's articles) are thrown away. Long
// names fill the window by bytes: 8 GROUPs of 1008 bytes, then a wait for
// half of them to be answered.
TEST(FetchNews, GroupsInOneFlight) {
    ScriptedServer server(119);
    Script& flight = nntpready(server.session(), GREETING).expect("GROUP a\r\n").expect("GROUP b\r\n");
    flight.send("211 1 1 1 a\r\n211 2 1 2 b\r\n");
    article(group(flight, "a", "211 1 1 1 a"), 1, "A: 1\r\n");
    quit(article(article(group(flight, "b", "211 2 1 2 b"), 1, "B: 1\r\n"), 2, "B: 2\r\n"));
    Script& refused = nntpready(server.session(), GREETING);
    group(group(refused, "a", "211 1 1 1 a"), "b", "211 1 1 1 b");
    article(group(refused, "a", "411 gone"), 1, "Other: 1\r\n");
    quit(article(group(refused, "b", "211 1 1 1 b"), 1, "B: 1\r\n"));
    Script& wide = nntpready(server.session(), GREETING);
    const std::string four = "211 0 0 0\r\n211 0 0 0\r\n211 0 0 0\r\n211 0 0 0\r\n";
    std::string state;
    for (int i = 0; i < 12; i++) {
        std::string name(1000, static_cast<char>('a' + i));
        state += name + ": 1-1\n";
        if (i == 8) wide.nothingahead(200).send(four);
        wide.expect("GROUP " + name + "\r\n");
    }
    quit(wide.send(four + four));
    server.start();

    NewsRun two("a: 0-0\nb: 0-0\n");
    EXPECT_EQ(0, two.run().status);
    NewsRun skip("a: 0-0\nb: 0-0\n");
    RunResult out = skip.run();
    NewsRun longnames(state);
    EXPECT_EQ(0, longnames.run().status);
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ("CAPABILITIES\r\nGROUP a\r\nGROUP b\r\nGROUP a\r\nARTICLE 1\r\nGROUP b\r\nARTICLE 1\r\nARTICLE 2\r\nQUIT\r\n",
              server.received(0));
    EXPECT_EQ("a: 0-1\nb: 0-2\n", two.newsrc());
    EXPECT_EQ("00000000\ta\tBn\n00000001\tb\tBn\n", two.areas());
    EXPECT_EQ(record("B: 1\n") + record("B: 2\n"), readfile(two.soup + "00000001.MSG"));

    EXPECT_EQ(0, out.status);
    EXPECT_THAT(out.out, HasSubstr("* Fetching a\nNNTP host returned error: 411 gone\n! Wasn't able to select "
                                   "newsgroup a - skipping\n* Fetching b\n"));
    EXPECT_EQ("a: 0-0\nb: 0-1\n", skip.newsrc());
    EXPECT_EQ("00000000\tb\tBn\n", skip.areas());
    EXPECT_EQ(record("B: 1\n"), readfile(skip.soup + "00000000.MSG"));
    EXPECT_EQ(state, longnames.newsrc());
}

// A drop in the third of four groups: the first two keep their new marks
// and files, the third and fourth their lines as they were.
TEST(FetchNews, DropInTheThirdGroupKeepsTheFirstTwo) {
    const std::string rest = "g3\ng4: 1-2,4-4\n";
    NewsRun r("g1: 0-0\ng2: 5-5\n" + rest);
    ScriptedServer server(119);
    Script& s = nntpready(server.session(), GREETING);
    for (const char* name : {"g1", "g2", "g3", "g4"}) group(s, name, "211 2 5 6 "s + name);
    article(article(group(s, "g1", "211 2 5 6 g1"), 5, "A: 5\r\n"), 6, "A: 6\r\n");
    article(group(s, "g2", "211 2 5 6 g2"), 6, "B: 6\r\n");
    group(s, "g3", "211 2 5 6 g3").expect("ARTICLE 5\r\n").expect("ARTICLE 6\r\n");
    s.expect("GROUP g4\r\n").expect("ARTICLE 5\r\n").expect("ARTICLE 6\r\n");
    s.send("220 5 <5@t>\r\nC: half\r\n").drop();
    server.start();
    RunResult out = r.run();
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ(75, out.status);
    EXPECT_EQ("g1: 0-6\ng2: 5-6\n" + rest, r.newsrc());
    EXPECT_EQ("00000000\tg1\tBn\n00000001\tg2\tBn\n", r.areas());
    EXPECT_EQ(record("A: 5\n") + record("A: 6\n"), readfile(r.soup + "00000000.MSG"));
    EXPECT_EQ(record("B: 6\n"), readfile(r.soup + "00000001.MSG"));
    EXPECT_EQ(listdir(r.soup), (std::vector<std::string>{"00000000.MSG", "00000001.MSG", "AREAS"}));
    EXPECT_THAT(out.out, HasSubstr("* Fetching g1\nThere are 2 new messages (5-6) in this newsgroup.\n"
                                   "* Fetching g2\nThere are 1 new messages (6-6) in this newsgroup.\n"
                                   "* Fetching g3\nThere are 2 new messages (5-6) in this newsgroup.\n"));
    EXPECT_THAT(out.out, HasSubstr("Unable to fetch message\n(skipping news fetch)\n"));
    EXPECT_THAT(out.out, Not(HasSubstr("g4")));
}

// After a failed reception the connection is only fit for closing: the
// group being fetched gets no AREAS line and keeps its mark, while groups
// finished before keep theirs, in AREAS and in the state file, and are not
// fetched again.
TEST(FetchNews, FailuresKeepStateFile) {
    const std::string state = "g.one: 0-0\ng.two: 4-5\n";
    ScriptedServer server(119);
    Script& during = nntpready(server.session(), GREETING);  // drop inside an article
    group(group(during, "g.one", "211 1 1 1 g.one"), "g.two", "211 2 6 7 g.two");
    article(group(during, "g.one", "211 1 1 1 g.one"), 1, "A: 1\r\n");
    group(during, "g.two", "211 2 6 7 g.two").expect("ARTICLE 6\r\n").send("220 6 <6@t>\r\nSubject: half\r\n").drop();
    Script& again = nntpready(server.session(), GREETING);  // the first run again: g.two was selected last
    article(article(group(group(again, "g.one", "211 1 1 1 g.one"), "g.two", "211 2 6 7 g.two"), 6, "A: 6\r\n"), 7,
            "A: 7\r\n");
    quit(again);
    Script& noreply = nntpready(server.session(), GREETING);  // no reply to ARTICLE
    group(group(noreply, "g.one", "211 1 1 1 g.one"), "g.two", "211 0 6 5 g.two");
    group(noreply, "g.one", "211 1 1 1 g.one").expect("ARTICLE 1\r\n").drop();
    Script& nogroup = nntpready(server.session(), GREETING);  // no reply to GROUP
    nogroup.expect("GROUP g.one\r\n").drop();
    Script& badquit = nntpready(server.session(), GREETING);
    group(group(badquit, "g.one", "211 0 0 0 g.one"), "g.two", "211 0 0 0 g.two");
    badquit.expect("QUIT\r\n").send("500 what?\r\n");
    server.start();

    std::vector<std::string> areas{"00000000\tg.one\tBn\n", "", "", ""};
    for (size_t i = 0; i < areas.size(); i++) {
        SCOPED_TRACE(i);
        NewsRun r(state);
        RunResult out = r.run();
        EXPECT_EQ(i < 3 ? 75 : 2, out.status);
        EXPECT_EQ(i == 0 ? "g.one: 0-1\ng.two: 4-5\n" : state, r.newsrc());
        EXPECT_FALSE(r.tmpleft());
        EXPECT_EQ(areas[i], r.areas());
        EXPECT_THAT(out.out, HasSubstr("(skipping news fetch)\n"));
        EXPECT_EQ(i < 2, out.out.find("Unable to fetch message\n") != std::string::npos);
        // The reason, too, is in the log.
        EXPECT_EQ(i == 2, readfile(r.dir / "log").find("* Fetching g.one\nReceive: connection closed by the server\n"
                                                         "! Wasn't able to select newsgroup g.one - skipping\n"
                                                         "(skipping news fetch)\n") != std::string::npos);
        EXPECT_FALSE(fileexists(r.soup + "00000001.MSG"));
        EXPECT_FALSE(fileexists(r.soup + "00000001.PRT"));
        if (i > 0) continue;
        r.run();
        EXPECT_EQ("g.one: 0-1\ng.two: 4-7\n", r.newsrc());
        EXPECT_EQ("00000000\tg.one\tBn\n00000001\tg.two\tBn\n", r.areas());
        EXPECT_EQ(record("A: 6\n") + record("A: 7\n"), readfile(r.soup + "00000001.MSG"));
    }
    EXPECT_TRUE(server.finish()) << server.errortext();
}

// The new state file claims the fetched articles, so it replaces the old
// one only once the message file, its name in the packet directory and the
// new state file itself are on disk.
TEST(FetchNews, StateFileReplacedLast) {
    if (!fileexists("/usr/bin/strace")) GTEST_SKIP() << "needs /usr/bin/strace";
    NewsRun r("g.one: 0-0\n");
    ScriptedServer server(119);
    Script& s = nntpready(server.session(), GREETING);
    quit(article(group(s, "g.one", "211 1 1 1 g.one"), 1, "A: 1\r\n"));
    server.start();
    std::string trace = r.dir / "trace";
    // LeakSanitizer, in a sanitizer build, refuses to run under ptrace.
    RunResult out = r.run({}, "ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 exec /usr/bin/strace -f -y "
                              "-e trace=fsync,rename,renameat2 -o " + trace + " \"$0\" \"$@\"");
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ(0, out.status);
    EXPECT_EQ("g.one: 0-1\n", r.newsrc());
    std::string calls = readfile(trace);
    std::string soupdir = r.soup.substr(0, r.soup.size() - 1);
    size_t msg = calls.find(r.soup + "00000000.NWS>)");
    size_t named = calls.find("\"" + r.soup + "00000000.NWS\", AT_FDCWD<");
    size_t dir = calls.find(soupdir + ">)");
    size_t areas = calls.find(r.soup + "AREAS>)");
    size_t tmp = calls.find(r.dir / "00000000.TMP>)");
    size_t rename = calls.find("rename(\"" + r.dir / "00000000.TMP\", \"" + r.dir / "newsrc\")");
    EXPECT_LT(msg, named) << calls;
    EXPECT_LT(named, dir) << calls;
    EXPECT_LT(dir, rename) << calls;
    EXPECT_LT(areas, rename) << calls;
    EXPECT_LT(tmp, rename) << calls;
    EXPECT_NE(std::string::npos, rename) << calls;
}

// In test mode the articles are fetched and AREAS grows, but the state file
// is neither replaced nor shadowed by a temporary file.
TEST(FetchNews, TestModeLeavesStateFile) {
    NewsRun r("g.one: 0-0\n");
    writefile(r.soup + "AREAS", "00000009\tEmail\tbn\n");
    ScriptedServer server(119);
    Script& s = nntpready(server.session(), GREETING);
    quit(article(group(s, "g.one", "211 1 1 1 g.one"), 1, "A: 1\r\n"));
    server.start();
    EXPECT_EQ(0, r.run({"/test"}).status);
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ("g.one: 0-0\n", r.newsrc());
    EXPECT_FALSE(r.tmpleft());
    EXPECT_EQ("00000009\tEmail\tbn\n00000000\tg.one\tBn\n", r.areas());
}

// An empty state file still makes a whole session, and an empty state file
// replaces the old one. The list keeps names only, marks groups closed to
// posting and undoes dot-doubling.
TEST(FetchNews, ListIntoFile) {
    NewsRun r("");
    ScriptedServer server(119);
    Script& s = server.session().send(GREETING).expect("LIST\r\n");
    s.send("215 list follows\r\ncomp.lang.c 0000012345 0000010000 y\r\nmisc.closed 100 1 n\r\n"
           "misc.shut 100 1 N\r\nmisc.mod 5 1 m\r\n..hidden 5 1 y\r\nalone\r\n.\r\n");
    quit(s);
    server.start();
    RunResult out = r.run({"/list=groups.txt"});
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ("comp.lang.c\nmisc.closed [no posting]\nmisc.shut [no posting]\nmisc.mod\n.hidden\nalone\n",
              readfile(r.dir / "groups.txt"));
    EXPECT_THAT(out.out, HasSubstr("* Fetching newsgroup list into groups.txt\n"));
    EXPECT_TRUE(fileexists(r.dir / "newsrc"));
    EXPECT_EQ("", r.newsrc());
    EXPECT_FALSE(r.tmpleft());
}

TEST(FetchNews, NewGroupsAndListFailures) {
    ScriptedServer server(119);
    Script& y1999 = server.session().send(GREETING).expect("NEWGROUPS 990203 040506\r\n").send("231 new\r\n.\r\n");
    quit(group(nntpcaps(y1999), "g.one", "211 0 0 0 g.one"));
    Script& y2001 = server.session().send(GREETING).expect("NEWGROUPS 011231 000000\r\n");
    quit(group(nntpcaps(y2001.send("231 new\r\nalt.new 1 1 y\r\n.\r\n")), "g.one", "211 0 0 0 g.one"));
    Script& refused = server.session().send(GREETING).expect("LIST\r\n").send("503 no list\r\n");
    quit(group(nntpcaps(refused), "g.one", "211 0 0 0 g.one"));
    Script& cut = server.session().send(GREETING).expect("LIST\r\n");
    cut.send("215 list\r\na.one 1 1 y\r\na.two 2").drop();
    server.session().send(GREETING).expect("LIST\r\n").drop();
    server.start();

    struct Case {
        std::string option, list, said, newsrc;
    } cases[] = {
        {";1999-02-03;04:05:06", "", "* Fetching new newsgroups since 99-02-03 04:05:06 into new.txt\n", "g.one: 0-0\n"},
        {";2001-12-31", "alt.new\n", "* Fetching new newsgroups since 01-12-31 00:00:00 into new.txt\n", "g.one: 0-0\n"},
        {"", "", "NNTP host returned error: 503 no list\n! Wasn't able to retrieve newsgroup list - skipping\n",
         "g.one: 0-0\n"},
        {"", "a.one\n", "Error fetching newsgroup list\n(skipping news fetch)\n", "g.one\n"},
        {"", "", "! Wasn't able to retrieve newsgroup list - skipping\n(skipping news fetch)\n", "g.one\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.option + c.said);
        NewsRun r("g.one\n");
        r.run({"/list=new.txt" + c.option});
        EXPECT_EQ(c.list, readfile(r.dir / "new.txt"));
        EXPECT_THAT(readfile(r.dir / "log"), HasSubstr(c.said));
        EXPECT_EQ(c.newsrc, r.newsrc());
    }
    EXPECT_TRUE(server.finish()) << server.errortext();
}

// A packet or state file that cannot be written ends the phase before the
// state file could claim what is not on disk; a greeting that refuses gets
// no QUIT.
TEST(FetchNews, WriteFailuresAndRefusedGreeting) {
    ScriptedServer server(119);
    Script& big = nntpready(server.session(), GREETING);
    article(group(big, "g.one", "211 1 1 1 g.one"), 1, "Subject: big\r\n\r\n" + std::string(6000, 'b') + "\r\n");
    big.expect("QUIT\r\n").send("205 bye\r\n");
    Script& many = nntpready(server.session(), GREETING);
    std::string state;
    // More than the size limit, less than one stdio buffer: the failure
    // shows only when the file is flushed after QUIT.
    for (int i = 0; i < 15; i++) {
        std::string name = "g." + std::string(200, 'a' + i % 26) + std::to_string(i);
        state += name + ": 1-1\n";
        group(many, name, "211 0 0 0");
    }
    many.expect("QUIT\r\n").send("205 bye\r\n");
    server.session().send("502 go away\r\n").drain();
    server.start();

    NewsRun msgfull("g.one: 0-0\n");
    RunResult out = msgfull.run({}, FULLDISK);
    EXPECT_THAT(out.out, HasSubstr("Cannot write to " + msgfull.soup + "00000000.MSG: File too large\n"));
    EXPECT_EQ("", msgfull.areas());
    EXPECT_EQ("g.one: 0-0\n", msgfull.newsrc());

    NewsRun tempfull(state);
    out = tempfull.run({}, FULLDISK);
    EXPECT_THAT(out.out, HasSubstr("(skipping news fetch)\n"));
    EXPECT_THAT(out.out,
                HasSubstr("Temporary file " + tempfull.dir / "00000000.TMP" + " can't be written: File too large\n"));
    EXPECT_EQ(state, tempfull.newsrc());
    EXPECT_FALSE(tempfull.tmpleft());

    NewsRun refused("g.one: 0-0\n");
    out = refused.run();
    EXPECT_THAT(out.out, HasSubstr("NNTP host returned error: 502 go away\n(skipping news fetch)\n"));
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ("", server.received(2));
}

}  // namespace

// The ARTICLE commands of a group go out together: a server that answers
// only once it has all three still serves the whole group. A drop with
// commands outstanding keeps the old mark and lists nothing.
TEST(FetchNews, ArticlesAreAskedForAhead) {
    NewsRun r("a.b: 1-1\n");
    ScriptedServer server(119);
    Script& s = group(nntpready(server.session(), GREETING), "a.b", "211 3 2 4 a.b")
                    .expect("ARTICLE 2\r\n").expect("ARTICLE 3\r\n").expect("ARTICLE 4\r\n")
                    .send("220 2 <2@test>\r\nA: 2\r\n.\r\n423 gone\r\n220 4 <4@test>\r\nA: 4\r\n.\r\n");
    quit(s);
    nntpready(server.session(), GREETING).expect("GROUP a.b\r\n").send("211 3 2 4 a.b\r\n")
        .expect("ARTICLE 2\r\n").send("220 2 <2@test>\r\nA: 2\r\n.\r\n").drop();
    server.start();
    RunResult ok = r.run();
    EXPECT_EQ(r.newsrc(), "a.b: 1-4\n") << ok.out;
    EXPECT_EQ(readfile(r.soup + "00000000.MSG"), record("A: 2\n") + record("A: 4\n"));
    writefile(r.dir / "newsrc", "a.b: 1-1\n");
    RunResult dropped = r.run();
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_NE(dropped.out.find("Unable to fetch message\n"), std::string::npos) << dropped.out;
    EXPECT_EQ(r.newsrc(), "a.b: 1-1\n");
    EXPECT_EQ(r.areas(), "00000000\ta.b\tBn\n");
}

// What a killed run left behind goes at the next run (not in test mode,
// which removes nothing, but whose fetch does not take the number); files
// that are not ours by name stay.
TEST(FetchNews, LeftoversOfAKilledRunAreRemoved) {
    NewsRun r("g.one: 0-0\n");
    for (const char* name : {"00000000.PRT", "0000000a.PRT", "X0000000.PRT"}) writefile(r.soup + name, "part");
    writefile(r.dir / "00000007.TMP", "g.one: 0-5\n");
    ScriptedServer server(119);
    for (int i = 0; i < 2; i++)
        quit(article(group(nntpready(server.session(), GREETING), "g.one", "211 1 1 1 g.one"), 1, "A: 1\r\n"));
    server.start();
    r.run({"/test"});
    EXPECT_EQ(r.areas(), "00000001\tg.one\tBn\n");
    EXPECT_TRUE(fileexists(r.soup + "00000000.PRT") && fileexists(r.dir / "00000007.TMP"));
    r.run();
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ(listdir(r.soup), (std::vector<std::string>{"00000000.MSG", "00000001.MSG", "0000000a.PRT", "AREAS",
                                                         "X0000000.PRT"}));
    EXPECT_FALSE(r.tmpleft());
    EXPECT_EQ(r.newsrc(), "g.one: 0-1\n");
}

// The disk fills up in the middle of an article: the connection is closed,
// not read on as if the rest of the article were answers.
TEST(FetchNews, DiskFullMidArticleClosesTheConnection) {
    NewsRun r("g.one: 0-0\n");
    std::string body;
    while (body.size() < 200000) body += "a line of the article that fills the disk\r\n";
    ScriptedServer server(119);
    article(group(nntpready(server.session(), GREETING), "g.one", "211 1 1 1 g.one"), 1, "Subject: big\r\n\r\n" + body)
        .drain();
    server.start();
    RunResult out = r.run({}, FULLDISK);
    server.finish();
    EXPECT_THAT(out.out,
                HasSubstr("Cannot write to " + r.soup + "00000000.MSG: File too large\n(skipping news fetch)\n"));
    EXPECT_THAT(out.out, Not(HasSubstr("NNTP host returned error")));
    // Only the QUIT that went with the ARTICLE: none after the failure.
    EXPECT_THAT(server.received(0), testing::EndsWith("ARTICLE 1\r\nQUIT\r\n"));
    EXPECT_EQ("g.one: 0-0\n", r.newsrc());
    EXPECT_EQ(listdir(r.soup), std::vector<std::string>{});
}

// A run killed in the 26th of 50 groups loses that group only: the next
// run fetches none of the first 25 again, and every mark ends in the state
// file.
TEST(FetchNews, KilledRunKeepsFinishedGroups) {
    const int groups = 50;
    std::string state, marked;
    auto name = [](int g) { return "g" + std::to_string(g); };
    for (int g = 1; g <= groups; g++) {
        state += name(g) + ": 0-0\n";
        marked += name(g) + ": 0-1\n";
    }
    NewsRun r(state);
    std::string pid = r.dir / "pid";
    ScriptedServer server(119);
    Script& killed = nntpready(server.session(), GREETING);
    for (int g = 1; g <= groups; g++) group(killed, name(g), "211 1 1 1 " + name(g));
    for (int g = 1; g < 26; g++) article(group(killed, name(g), "211 1 1 1 " + name(g)), 1, "A: " + name(g) + "\r\n");
    group(killed, "g26", "211 1 1 1 g26").expect("ARTICLE 1\r\n").send("220 1 <1@t>\r\nB: half\r\n");
    // Killed once the 25th group is marked, with the 26th half read.
    killed.call([&pid, &r] {
        auto marks = [&r] {
            std::string journal = r.dir / "newsrc.marks";
            return r.newsrc() + (fileexists(journal) ? readfile(journal) : "");
        };
        for (int i = 0; i < 500 && marks().find("g25: 0-1\n") == std::string::npos; i++) usleep(10000);
        kill(std::stoi(readfile(pid)), SIGKILL);
    }).drain();
    Script& again = nntpready(server.session(), GREETING);
    for (int g = 1; g <= groups; g++) group(again, name(g), "211 1 1 1 " + name(g));
    for (int g = 26; g <= groups; g++)
        article(group(again, name(g), "211 1 1 1 " + name(g)), 1, "B: " + name(g) + "\r\n");
    quit(again);
    server.start();
    EXPECT_EQ(-1, r.run({}, "echo $$ >pid; exec \"$0\" \"$@\"").status);
    EXPECT_EQ(0, r.run().status);
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ(marked, r.newsrc());
    EXPECT_FALSE(fileexists(r.dir / "newsrc.marks"));
    std::string areas;
    for (int g = 1; g <= groups; g++) {
        char number[16];
        std::snprintf(number, sizeof number, "%08X", g - 1);
        areas += std::string(number) + "\t" + name(g) + "\tBn\n";
        EXPECT_EQ(record((g < 26 ? "A: " : "B: ") + name(g) + "\n"), readfile(r.soup + number + ".MSG"));
    }
    EXPECT_EQ(areas, r.areas());
}

// A thousand groups: each file's number is found with a look or two, not
// one for every file before it, and the state file is written once, not
// once a group. On tmpfs, where syncs cost nothing.
TEST(FetchNews, ThousandGroupsGrowLinearly) {
    if (!fileexists("/usr/bin/strace") || !fileexists("/dev/shm")) GTEST_SKIP() << "needs strace and /dev/shm";
    const int groups = 1000;
    std::string state;
    for (int g = 0; g < groups; g++) state += "g" + std::to_string(g) + ": 0-0\n";
    NewsRun r(state, "", "/dev/shm");
    ScriptedServer server(119, 60000);
    Script& s = nntpready(server.session(), GREETING);
    for (int g = 0; g < groups; g++) group(s, "g" + std::to_string(g), "211 1 1 1 g");
    for (int g = 0; g < groups; g++) article(group(s, "g" + std::to_string(g), "211 1 1 1 g"), 1, "A: 1\r\n");
    quit(s);
    server.start();
    std::string trace = r.dir / "trace";
    RunResult out = r.run({}, "ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 exec /usr/bin/strace -f "
                              "--seccomp-bpf -e trace=access,faccessat,faccessat2,rename,renameat,renameat2 -o " +
                              trace + " \"$0\" \"$@\"");
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ(0, out.status) << out.out;
    EXPECT_EQ(std::string::npos, r.newsrc().find(": 0-0"));
    std::string calls = readfile(trace);
    size_t looks = 0, replaced = 0;
    for (size_t at = 0; (at = calls.find('\n', at)) != std::string::npos; at++) {
        size_t begin = calls.rfind('\n', at - 1);
        std::string line = calls.substr(begin == std::string::npos ? 0 : begin + 1, at - begin);
        looks += line.find("access") != std::string::npos && line.find(r.soup) != std::string::npos;
        replaced += line.find("rename") != std::string::npos && line.find(r.dir / "newsrc\"") != std::string::npos;
    }
    EXPECT_LE(looks, 3u * groups);
    EXPECT_EQ(1u, replaced);
}

// AREAS that cannot take the line: the file just fetched goes again, AREAS
// keeps no part of the line, and the group keeps its mark.
TEST(FetchNews, AreasFailureRemovesTheFile) {
    NewsRun r("g.one: 0-0\n");
    // The line does not fit under the size limit of 1024 bytes.
    const std::string areas = std::string(1014, '#') + "\n";
    writefile(r.soup + "AREAS", areas);
    ScriptedServer server(119);
    quit(article(group(nntpready(server.session(), GREETING), "g.one", "211 1 1 1 g.one"), 1, "A: 1\r\n"));
    server.start();
    RunResult out = r.run({}, FULLDISK);
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ(2, out.status);
    EXPECT_THAT(out.out, HasSubstr("Cannot append to " + r.soup + "AREAS: File too large\n(skipping news fetch)\n"));
    EXPECT_EQ(listdir(r.soup), std::vector<std::string>{"AREAS"});
    EXPECT_EQ(areas, r.areas());
    EXPECT_EQ("g.one: 0-0\n", r.newsrc());
}

// A state file line is read whole: a name of 295 bytes goes out whole. A
// line longer than 64 KB names no group; it is said, kept as it is, and the
// next line is fetched.
TEST(FetchNews, LongStateFileLines) {
    const std::string name = "g." + std::string(293, 'n');
    const std::string huge = std::string(70000, 'h') + ": 1-2";
    NewsRun r(name + ": 0-0\n" + huge + "\ng.last: 0-0\n");
    ScriptedServer server(119);
    Script& s = group(nntpready(server.session(), GREETING), name, "211 0 0 0 " + name);
    quit(article(group(s, "g.last", "211 1 1 1 g.last"), 1, "A: 1\r\n"));
    server.start();
    RunResult out = r.run();
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ(0, out.status);
    EXPECT_THAT(out.out, HasSubstr("! Line 2 of " + r.dir / "newsrc" + " is longer than 65536 bytes - kept as it is\n"
                                   "* Fetching g.last\n"));
    EXPECT_EQ(name + ": 0-0\n" + huge + "\ng.last: 0-1\n", r.newsrc());
}

// A state file that is no regular file is said and not read: a FIFO would
// hang the run, and a symbolic link is not followed.
TEST(FetchNews, StateFileNotRegular) {
    for (bool fifo : {true, false}) {
        SCOPED_TRACE(fifo);
        NewsRun r("");
        std::string newsrc = r.dir / "newsrc";
        unlink(newsrc.c_str());
        writefile(r.dir / "real", "g.one: 0-0\n");
        ASSERT_EQ(0, fifo ? mkfifo(newsrc.c_str(), 0600) : symlink("real", newsrc.c_str()));
        RunResult out = r.run();
        EXPECT_EQ(2, out.status);
        EXPECT_THAT(out.out, HasSubstr("Newsgroups list file " + newsrc + " is not a regular file\n"
                                       "(skipping news fetch)\n"));
        EXPECT_THAT(out.out, Not(HasSubstr("Fetching news from")));
    }
}

// NEWSFIRST: a group without a mark, or whose mark lies below the server's
// first article with articles lost in between, brings only its newest
// ones; a group going on from its mark is not bounded.
TEST(FetchNews, NewsFirstBoundsAFirstFetch) {
    NewsRun r("comp.huge\ncomp.expired: 1-5\ncomp.next: 1-10\n");
    writefile(r.dir / "vorpa.cfg", readfile(r.dir / "vorpa.cfg") + "NEWSFIRST 500\n");
    ScriptedServer server(119);
    Script& s = nntpready(server.session(), GREETING);
    group(s, "comp.huge", "211 10000000 1 10000000 comp.huge");
    group(s, "comp.expired", "211 900 100 999 comp.expired");
    group(s, "comp.next", "211 600 11 610 comp.next");
    group(s, "comp.huge", "211 10000000 1 10000000 comp.huge");
    for (long n = 10000000 - 499; n <= 10000000; n++) article(s, n, "A: 1\r\n");
    group(s, "comp.expired", "211 900 100 999 comp.expired");
    for (long n = 500; n <= 999; n++) article(s, n, "A: 1\r\n");
    group(s, "comp.next", "211 600 11 610 comp.next");
    for (long n = 11; n <= 610; n++) article(s, n, "A: 1\r\n");
    quit(s);
    server.start();
    RunResult out = r.run();
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ(0, out.status);
    EXPECT_EQ("comp.huge: 0-10000000\ncomp.expired: 1-999\ncomp.next: 1-610\n", r.newsrc());
    EXPECT_THAT(out.out, HasSubstr("There are 10000000 new messages (1-10000000) in this newsgroup, fetching the "
                                   "newest 500.\n"));
    EXPECT_THAT(out.out, HasSubstr("There are 900 new messages (100-999) in this newsgroup, fetching the newest "
                                   "500.\n"));
    EXPECT_THAT(out.out, HasSubstr("There are 600 new messages (11-610) in this newsgroup.\n"));
}

// NEWSMAX: at most that many numbers a run, the oldest first, and the mark
// follows what was asked (a missing article too); on a first fetch it takes
// the start of NEWSFIRST's range.
TEST(FetchNews, NewsMaxAcrossTwoRuns) {
    NewsRun r("comp.big: 1-10\ncomp.new\n");
    writefile(r.dir / "vorpa.cfg", readfile(r.dir / "vorpa.cfg") + "NEWSFIRST 5\nNEWSMAX 3\n");
    for (int run = 0; run < 2; run++) {
        ScriptedServer server(119);
        Script& s = nntpready(server.session(), GREETING);
        group(group(s, "comp.big", "211 8 11 18 comp.big"), "comp.new", "211 100 1 100 comp.new");
        group(s, "comp.big", "211 8 11 18 comp.big");
        if (run == 0) {
            article(s, 11, "A: 1\r\n");
            article(s, 12, "A: 1\r\n");
            s.expect("ARTICLE 13\r\n").send("423 no such article\r\n");
        } else {
            for (long n = 14; n <= 16; n++) article(s, n, "A: 1\r\n");
        }
        group(s, "comp.new", "211 100 1 100 comp.new");
        for (long n = run == 0 ? 96 : 99; n <= (run == 0 ? 98 : 100); n++) article(s, n, "A: 1\r\n");
        quit(s);
        server.start();
        RunResult out = r.run();
        EXPECT_TRUE(server.finish()) << server.errortext();
        EXPECT_EQ(0, out.status);
        if (run == 0) {
            EXPECT_EQ("comp.big: 1-13\ncomp.new: 0-98\n", r.newsrc());
            EXPECT_THAT(out.out, HasSubstr("There are 8 new messages (11-18) in this newsgroup, fetching 3 of them "
                                           "(11-13).\n"));
            EXPECT_THAT(out.out, HasSubstr("There are 100 new messages (1-100) in this newsgroup, fetching 3 of "
                                           "them (96-98).\n"));
        } else {
            EXPECT_EQ("comp.big: 1-16\ncomp.new: 0-100\n", r.newsrc());
        }
    }
}

// A range of four billion numbers holding three articles: LISTGROUP names
// them, in a flight between the GROUPs and the stream, and only they are
// asked for. The group it selected needs no GROUP again. The largest
// article number there is is taken.
TEST(FetchNews, SparseRangeListsItsArticles) {
    NewsRun r("g.sparse: 0-4\ng.max: 0-0\n");
    const std::string max = "9223372036854775807";
    ScriptedServer server(119);
    Script& s = nntpready(server.session(), GREETING);
    group(group(s, "g.sparse", "211 3 1 4000000000 g.sparse"), "g.max", "211 1 " + max + " " + max + " g.max");
    s.expect("LISTGROUP g.sparse 5-4000000000\r\n").send("211 3 1 4000000000 list follows\r\n3\r\n7\r\n3000000000\r\n"
                                                          "4000000000\r\n.\r\n");
    article(article(article(s, 7, "A: 7\r\n"), 3000000000, "A: 3\r\n"), 4000000000, "A: 4\r\n");
    s.expect("GROUP g.max\r\n").send("211 1 " + max + " " + max + " g.max\r\n");
    quit(s.expect("ARTICLE " + max + "\r\n").send("220 " + max + " <m@test>\r\nA: max\r\n.\r\n"));
    server.start();
    RunResult out = r.run();
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ(0, out.status);
    EXPECT_EQ("g.sparse: 0-4000000000\ng.max: 0-" + max + "\n", r.newsrc());
    EXPECT_EQ(record("A: 7\n") + record("A: 3\n") + record("A: 4\n"), readfile(r.soup + "00000000.MSG"));
    EXPECT_THAT(out.out, HasSubstr("* Fetching g.sparse\nThere are 3 new messages (5-4000000000) in this "
                                   "newsgroup.\n"));
}

// Without LISTGROUP a sparse range is asked for as far as the server's
// count, its newest numbers, and said so. Numbers that are no article
// numbers refuse their group only.
TEST(FetchNews, SparseRangeWithoutListgroupAndInvalidRanges) {
    NewsRun r("g.neg: 1-2\ng.huge: 1-2\ng.sparse: 0-4\n");
    ScriptedServer server(119);
    Script& s = nntpready(server.session(), GREETING);
    group(s, "g.neg", "211 3 -5 10 g.neg");
    group(s, "g.huge", "211 3 1 9223372036854775808 g.huge");
    group(s, "g.sparse", "211 3 1 4000000000 g.sparse");
    s.expect("LISTGROUP g.sparse 5-4000000000\r\n").send("500 what?\r\n");
    group(s, "g.sparse", "211 3 1 4000000000 g.sparse");
    article(s, 3999999998, "A: 8\r\n");
    s.expect("ARTICLE 3999999999\r\n").send("423 no such article\r\n");
    quit(article(s, 4000000000, "A: 0\r\n"));
    server.start();
    RunResult out = r.run();
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ(0, out.status);
    EXPECT_EQ("g.neg: 1-2\ng.huge: 1-2\ng.sparse: 0-4000000000\n", r.newsrc());
    EXPECT_EQ("00000000\tg.sparse\tBn\n", r.areas());
    EXPECT_THAT(out.out, HasSubstr("* Fetching g.neg\n! The server's article numbers of newsgroup g.neg are not "
                                   "valid: 211 3 -5 10 g.neg - skipping\n* Fetching g.huge\n! The server's article "
                                   "numbers of newsgroup g.huge are not valid: 211 3 1 9223372036854775808 g.huge - "
                                   "skipping\n"));
    EXPECT_THAT(out.out, HasSubstr("There are 3 new messages (5-4000000000) in this newsgroup.\n! The server lists "
                                   "no article numbers of g.sparse: asking only for the newest 3 "
                                   "(3999999998-4000000000)\n"));
    EXPECT_THAT(out.out, Not(HasSubstr("500")));
}

// A group named on three lines is selected and fetched once, from the
// highest mark; the state file keeps its first line only.
TEST(FetchNews, GroupListedTwice) {
    NewsRun r("g.one: 1-5\ng.two: 0-0\ng.one: 3-9\ng.one\n");
    ScriptedServer server(119);
    Script& s = nntpready(server.session(), GREETING);
    group(group(s, "g.one", "211 4 8 11 g.one"), "g.two", "211 0 0 0 g.two");
    quit(article(article(group(s, "g.one", "211 4 8 11 g.one"), 10, "A: 10\r\n"), 11, "A: 11\r\n"));
    server.start();
    RunResult out = r.run();
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ("g.one: 0-11\ng.two: 0-0\n", r.newsrc());
    EXPECT_EQ("00000000\tg.one\tBn\n", r.areas());
    EXPECT_THAT(out.out, HasSubstr("! Line 3 of " + r.dir / "newsrc" + " names g.one again - merged into line 1\n"
                                   "! Line 4 of " + r.dir / "newsrc" + " names g.one again - merged into line 1\n"));
}

namespace {

// SIGTERM in the middle of a group: the articles stored so far are kept,
// listed and marked, the run ends with one line saying why, exit 2.
TEST(FetchNews, InterruptKeepsWhatWasStored) {
    NewsRun r("g: 0-0\nh: 0-0\n");
    std::string pidfile = r.dir / "pid";
    ScriptedServer server(119);
    Script& s = nntpready(server.session(), GREETING);
    group(group(s, "g", "211 4 1 4 g"), "h", "211 1 1 1 h");
    group(s, "g", "211 4 1 4 g").expect("ARTICLE 1\r\n").expect("ARTICLE 2\r\n").expect("ARTICLE 3\r\n");
    s.expect("ARTICLE 4\r\n").send("220 1 <1@t>\r\nA: 1\r\n.\r\n220 2 <2@t>\r\nA: 2\r\n.\r\n").pause(300);
    s.call([&] { kill(std::stoi(readfile(pidfile)), SIGTERM); }).pause(200);
    s.send("220 3 <3@t>\r\nA: 3\r\n.\r\n220 4 <4@t>\r\nA: 4\r\n.\r\n").drain();
    server.start();
    RunResult out = r.run({}, "\"$0\" \"$@\" & echo $! > " + pidfile + "; wait $!");
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ(2, out.status);
    EXPECT_THAT(out.out, HasSubstr("(skipping news fetch)\n\nFetched 3 articles in 1 group.\nInterrupted by SIGTERM\n"));
    EXPECT_THAT(out.out, Not(HasSubstr("Done.")));
    EXPECT_EQ("g: 0-3\nh: 0-0\n", r.newsrc());
    EXPECT_EQ("00000000\tg\tBn\n", r.areas());
    EXPECT_EQ(record("A: 1\n") + record("A: 2\n") + record("A: 3\n"), readfile(r.soup + "00000000.MSG"));
    EXPECT_EQ(listdir(r.soup), (std::vector<std::string>{"00000000.MSG", "AREAS"}));
    EXPECT_FALSE(r.tmpleft());
}

}  // namespace

namespace {

// A fetch over a compressed connection stores what a plain one does, and
// /verbose says what the compression saved; COMPRESS off (and the default,
// to a server on this machine) asks nothing of it.
TEST(FetchNews, CompressedFetchAndCompressOff) {
    std::string text;
    for (int i = 0; i < 200; i++) text += "Line " + std::to_string(i % 7) + " of a text that repeats itself\r\n";
    ScriptedServer server(119);
    Script& s = server.session()
                    .send(GREETING)
                    .expect("CAPABILITIES\r\n")
                    .send("101 list\r\nVERSION 2\r\nCOMPRESS DEFLATE SHRINK\r\n.\r\n")
                    .expect("COMPRESS DEFLATE\r\n")
                    .deflate("206 on\r\n");
    quit(article(group(s, "g.one", "211 1 1 1 g.one"), 1, text));
    quit(group(server.session().send(GREETING), "g.one", "211 1 1 1 g.one"));
    server.start();
    NewsRun r("g.one: 0-0\n");
    writefile(r.dir / "vorpa.cfg", readfile(r.dir / "vorpa.cfg") + "COMPRESS on\n");
    std::string out = r.run({"/verbose"}).out;
    EXPECT_THAT(out, testing::ContainsRegex("\\+ Starting compression\\.\\.\\.\n.*\n\\+ NNTP connection compressed: "
                                            "[0-9]{3} bytes on the wire for [0-9]{4} bytes carried\n\\+ NNTP session"));
    // One record: its length, then the text with LF line ends.
    EXPECT_EQ(readfile(r.soup + "00000000.MSG").size(), 4 + text.size() - 200);
    writefile(r.dir / "vorpa.cfg", readfile(r.dir / "vorpa.cfg") + "COMPRESS off\n");
    r.run();
    EXPECT_TRUE(server.finish()) << server.errortext();
}

}  // namespace
