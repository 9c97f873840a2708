// Complete "vorpa all" runs against scripted SMTP, POP3 and NNTP servers at
// once (ports 25, 110 and 119 of this test's own network namespace): every
// command each server received, every file of the packet afterwards, the
// new state file and the fate of REPLIES, when everything goes through and
// when one of the posting servers fails.
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "run.h"
#include "scripted_server.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

std::string rnews(const std::string& text) { return "#! rnews " + std::to_string(text.size()) + "\n" + text; }

// The outgoing packet: two mail files and two news files, listed in
// REPLIES under the numbers the fetches will want to reuse.
const std::string REPLIES = "00000000\tmail\tbn\n00000001\tnews\tun\n00000002\tmail\tm\n00000003\tnews\tBn\n";
const std::string MAIL0 = "From: Joe <joe@home.org>\nTo: ann@x.org\nSubject: m0\n\n.dot\n";
const std::string MAIL2 = "From: joe@home.org\nTo: bob@y.org\nCc: cy@z.org\nSubject: m2\n\nhi\n";
const std::string NEWS1A = "Newsgroups: local.one\nSubject: n1a\n\n.dot\n";
const std::string NEWS1B = "Newsgroups: local.two,local.one\nSubject: n1b\n\nb\n";
const std::string NEWS3 = "Newsgroups: local.two\nSubject: n3\n\nlast";

// The mailbox, as the POP3 server sends it and as it must be stored.
const std::string POPWIRE1 = "From: ann@x.org\r\nSubject: p1\r\n\r\n..dotted\r\nline\r\n";
const std::string POPSTORED1 = "From: ann@x.org\nSubject: p1\n\n.dotted\nline\n";
const std::string POPWIRE2 = "From: bob@y.org\r\nSubject: p2\r\n\r\nbody\r\n";
const std::string POPSTORED2 = "From: bob@y.org\nSubject: p2\n\nbody\n";

// Two subscribed groups with two new articles each.
const std::string NEWSRC = "local.one: 1-1\nlocal.two: 1-9\n";
const std::string NEWSRCAFTER = "local.one: 1-3\nlocal.two: 1-11\n";
std::string fetchedwire(long n) {
    return "Message-ID: <" + std::to_string(n) + "@test>\r\nSubject: a" + std::to_string(n) + "\r\n\r\n..x\r\n";
}
std::string fetchedstored(long n) {
    return "Message-ID: <" + std::to_string(n) + "@test>\nSubject: a" + std::to_string(n) + "\n\n.x\n";
}

enum class Smtp { Up, Refusing };
enum class Post { Accepts, Refuses };

struct Outcome {
    RunResult run;
    std::string smtp, pop, nntppost, nntpfetch;  // what each server received
    std::string log;
    std::vector<std::string> files;
    std::string areas, newsrc;
    TempDir dir;
    std::string soup = dir / "soup/";
    std::string file(const std::string& name) const { return readfile(soup + name); }
};

void smtpsession(Script& s) {
    s.send("220 mail.test ready\r\n")
        .expect("EHLO client.home.org\r\n")
        .send("250 hello\r\n")
        .expect("MAIL FROM:<joe@home.org>\r\n")
        .send("250 ok\r\n")
        .expect("RCPT TO:<ann@x.org>\r\n")
        .send("250 ok\r\n")
        .expect("DATA\r\n")
        .send("354 go\r\n")
        .expectdata()
        .send("250 queued\r\n")
        .expect("MAIL FROM:<joe@home.org>\r\n")
        .send("250 ok\r\n")
        .expect("RCPT TO:<bob@y.org>\r\n")
        .send("250 ok\r\n")
        .expect("RCPT TO:<cy@z.org>\r\n")
        .send("250 ok\r\n")
        .expect("DATA\r\n")
        .send("354 go\r\n")
        .expectdata()
        .send("250 queued\r\n")
        .expect("QUIT\r\n")
        .send("221 bye\r\n");
}
const std::string SMTPCLIENT =
    "EHLO client.home.org\r\nMAIL FROM:<joe@home.org>\r\nRCPT TO:<ann@x.org>\r\nDATA\r\n"
    "From: Joe <joe@home.org>\r\nTo: ann@x.org\r\nSubject: m0\r\n\r\n..dot\r\n.\r\n"
    "MAIL FROM:<joe@home.org>\r\nRCPT TO:<bob@y.org>\r\nRCPT TO:<cy@z.org>\r\nDATA\r\n"
    "From: joe@home.org\r\nTo: bob@y.org\r\nCc: cy@z.org\r\nSubject: m2\r\n\r\nhi\r\n.\r\n"
    "QUIT\r\n";

void postsession(Script& s, Post post) {
    s.send("200 news.test ready\r\n").expect("POST\r\n");
    if (post == Post::Refuses) {
        s.send("440 posting not allowed\r\n").drain();
        return;
    }
    s.send("340 send\r\n").expectdata().send("240 ok\r\n");
    s.expect("POST\r\n").send("340 send\r\n").expectdata().send("240 ok\r\n");
    s.expect("POST\r\n").send("340 send\r\n").expectdata().send("240 ok\r\n");
}
// The news fetch goes on with the connection after the posts.
const std::string POSTCLIENT =
    "POST\r\nNewsgroups: local.one\r\nSubject: n1a\r\n\r\n..dot\r\n.\r\n"
    "POST\r\nNewsgroups: local.two,local.one\r\nSubject: n1b\r\n\r\nb\r\n.\r\n"
    "POST\r\nNewsgroups: local.two\r\nSubject: n3\r\n\r\nlast\r\n.\r\n";

void popsession(Script& s) {
    std::string size1 = std::to_string(POPWIRE1.size()), size2 = std::to_string(POPWIRE2.size());
    s.send("+OK pop.test ready\r\n")
        .expect("CAPA\r\n")
        .send("+OK\r\nPIPELINING\r\n.\r\n")
        .expect("USER joe\r\n")
        .send("+OK\r\n")
        .expect("PASS secret\r\n")
        .send("+OK in\r\n")
        .expect("STAT\r\n")
        .send("+OK 2 " + std::to_string(POPWIRE1.size() + POPWIRE2.size()) + "\r\n")
        .expect("LIST\r\n")
        .send("+OK\r\n1 " + size1 + "\r\n2 " + size2 + "\r\n.\r\n")
        .expect("UIDL\r\n")
        .send("-ERR\r\n")
        .expect("RETR 1\r\n")
        .send("+OK\r\n" + POPWIRE1 + ".\r\n")
        .expect("RETR 2\r\n")
        .send("+OK\r\n" + POPWIRE2 + ".\r\n")
        .expect("DELE 1\r\n")
        .send("+OK\r\n")
        .expect("DELE 2\r\n")
        .send("+OK\r\n")
        .expect("QUIT\r\n")
        .send("+OK bye\r\n");
}
const std::string POPCLIENT =
    "CAPA\r\nUSER joe\r\nPASS secret\r\nSTAT\r\nLIST\r\nUIDL\r\nRETR 1\r\nRETR 2\r\nDELE 1\r\nDELE 2\r\nQUIT\r\n";

void fetchsession(Script& s, bool greets) {
    if (greets) s.send("200 news.test ready\r\n");
    nntpcaps(s);
    s.expect("GROUP local.one\r\n").send("211 3 1 3 local.one\r\n");
    s.expect("GROUP local.two\r\n").send("211 2 10 11 local.two\r\n");
    s.expect("GROUP local.one\r\n").send("211 3 1 3 local.one\r\n");
    for (long n : {2, 3})
        s.expect("ARTICLE " + std::to_string(n) + "\r\n")
            .send("220 " + std::to_string(n) + " <" + std::to_string(n) + "@test>\r\n" + fetchedwire(n) + ".\r\n");
    s.expect("GROUP local.two\r\n").send("211 2 10 11 local.two\r\n");
    for (long n : {10, 11})
        s.expect("ARTICLE " + std::to_string(n) + "\r\n")
            .send("220 " + std::to_string(n) + " <" + std::to_string(n) + "@test>\r\n" + fetchedwire(n) + ".\r\n");
    s.expect("QUIT\r\n").send("205 bye\r\n");
}
const std::string FETCHCLIENT =
    "CAPABILITIES\r\nGROUP local.one\r\nGROUP local.two\r\nGROUP local.one\r\nARTICLE 2\r\nARTICLE 3\r\nGROUP local.two\r\nARTICLE 10\r\nARTICLE 11\r\nQUIT\r\n";

// One "vorpa all" run; the SMTP server is left out when it is to refuse
// the connection.
void fullrun(Outcome& o, Smtp smtp, Post post) {
    mkdir(o.soup.c_str(), 0700);
    writefile(o.soup + "REPLIES", REPLIES);
    writefile(o.soup + "AREAS", "000000FF\tEmail\tbn\n");
    writefile(o.soup + "00000000.MSG", record(MAIL0));
    writefile(o.soup + "00000001.MSG", rnews(NEWS1A) + rnews(NEWS1B));
    writefile(o.soup + "00000002.MSG", "From joe Mon Dec  7 10:00:00 2026\n" + MAIL2);
    writefile(o.soup + "00000003.MSG", record(NEWS3));
    writefile(o.dir / "newsrc", NEWSRC);
    writefile(o.dir / "vorpa.cfg", "ADDHEADERS off\nHOSTNAME client.home.org\nSMTPHOST 127.0.0.1\nNNTPHOST 127.0.0.1\n"
                                   "POPHOST 127.0.0.1\nPOPUSER joe\nPOPPASS secret\nSOUPDIR " + o.soup +
                                       "\nNEWSGROUPS " + o.dir / "newsrc" + "\nLOGFILE " + o.dir / "log" + "\n");

    std::unique_ptr<ScriptedServer> mail;
    if (smtp == Smtp::Up) {
        mail = std::make_unique<ScriptedServer>(25);
        smtpsession(mail->session());
        mail->start();
    }
    ScriptedServer pop(110), news(119);
    popsession(pop.session());
    Script& first = news.session();
    postsession(first, post);
    // A refused post ends its connection: the fetch opens another.
    fetchsession(post == Post::Refuses ? news.session() : first, post == Post::Refuses);
    pop.start();
    news.start();

    o.run = runvorpa({"all", "/config=" + o.dir / "vorpa.cfg"}, o.dir.path(), 60);
    if (mail) {
        EXPECT_TRUE(mail->finish()) << mail->errortext();
        o.smtp = mail->received(0);
    }
    EXPECT_TRUE(pop.finish()) << pop.errortext();
    EXPECT_TRUE(news.finish()) << news.errortext();
    o.pop = pop.received(0);
    o.nntppost = news.received(0);
    o.nntpfetch = news.received(1);
    if (post == Post::Accepts) {
        o.nntpfetch = o.nntppost.substr(std::min(o.nntppost.size(), POSTCLIENT.size()));
        o.nntppost.resize(o.nntppost.size() - o.nntpfetch.size());
    }
    o.log = readfile(o.dir / "log");
    o.files = listdir(o.soup);
    o.areas = readfile(o.soup + "AREAS");
    o.newsrc = readfile(o.dir / "newsrc");
}

// The phases' first reports, in the order the run must take.
void expectorder(const std::string& log, const std::vector<std::string>& lines) {
    size_t at = 0;
    for (const std::string& line : lines) {
        size_t found = log.find(line, at);
        EXPECT_NE(found, std::string::npos) << "\"" << line << "\" missing or out of order in:\n" << log;
        if (found != std::string::npos) at = found + line.size();
    }
}

std::string fetchedgroup(long first) { return record(fetchedstored(first)) + record(fetchedstored(first + 1)); }

TEST(FullRun, EverythingGoesThrough) {
    Outcome o;
    fullrun(o, Smtp::Up, Post::Accepts);
    EXPECT_EQ(o.run.status, 0) << o.run.err;
    EXPECT_EQ(o.smtp, SMTPCLIENT);
    EXPECT_EQ(o.nntppost, POSTCLIENT);
    EXPECT_EQ(o.pop, POPCLIENT);
    EXPECT_EQ(o.nntpfetch, FETCHCLIENT);
    expectorder(o.log, {"Posting mail to 127.0.0.1...\n", "Mailing from joe@home.org\nMailing to ann@x.org\n",
                        "Posting news to 127.0.0.1...\n* Posting article to local.one\n"
                        "* Posting article to local.two,local.one\n* Posting article to local.two\n",
                        "Fetching email from 127.0.0.1...\n", "Fetching news from 127.0.0.1...\n"});
    EXPECT_THAT(o.log, Not(HasSubstr("(skipping")));
    EXPECT_THAT(o.log, Not(HasSubstr("! ")));
    // Each posting phase leaves the other's lines alone without a word.
    EXPECT_THAT(o.log, Not(HasSubstr("found --- will keep REPLIES")));
    EXPECT_THAT(o.run.out, testing::EndsWith("\nDone.\n"));

    // The outgoing files and REPLIES are gone; the fetches reuse the
    // numbers from 00000000 on.
    EXPECT_EQ(o.files, (std::vector<std::string>{"00000000.MSG", "00000001.MSG", "00000002.MSG", "AREAS"}));
    EXPECT_EQ(o.file("00000000.MSG"), record(POPSTORED1) + record(POPSTORED2));
    EXPECT_EQ(o.file("00000001.MSG"), fetchedgroup(2));
    EXPECT_EQ(o.file("00000002.MSG"), fetchedgroup(10));
    EXPECT_EQ(o.areas, "000000FF\tEmail\tbn\n00000000\tEmail\tbn\n00000001\tlocal.one\tBn\n00000002\tlocal.two\tBn\n");
    EXPECT_EQ(o.newsrc, NEWSRCAFTER);
}

TEST(FullRun, SmtpRefusingKeepsMailAndReplies) {
    Outcome o;
    fullrun(o, Smtp::Refusing, Post::Accepts);
    EXPECT_EQ(o.run.status, 75) << o.run.err;
    EXPECT_EQ(o.nntppost, POSTCLIENT);
    EXPECT_EQ(o.pop, POPCLIENT);
    EXPECT_EQ(o.nntpfetch, FETCHCLIENT);
    expectorder(o.log, {"Posting mail to 127.0.0.1...\nCannot connect to host 127.0.0.1 at port 25: Connection refused\n"
                        "(skipping email post)\n",
                        "Posting news to 127.0.0.1...\n", "Fetching email from 127.0.0.1...\n",
                        "Fetching news from 127.0.0.1...\n"});
    EXPECT_THAT(o.log, Not(HasSubstr("(skipping news")));
    EXPECT_THAT(o.log, Not(HasSubstr("(skipping email fetch")));

    // The mail files stay, untouched; the news files are gone and their
    // numbers are taken by the fetches between the kept ones.
    EXPECT_EQ(o.files, (std::vector<std::string>{"00000000.MSG", "00000001.MSG", "00000002.MSG", "00000003.MSG",
                                                 "00000004.MSG", "AREAS", "REPLIES"}));
    // Only the lines of the unsent mail stay.
    EXPECT_EQ(o.file("REPLIES"), "00000000\tmail\tbn\n00000002\tmail\tm\n");
    EXPECT_EQ(o.file("00000000.MSG"), record(MAIL0));
    EXPECT_EQ(o.file("00000002.MSG"), "From joe Mon Dec  7 10:00:00 2026\n" + MAIL2);
    EXPECT_EQ(o.file("00000001.MSG"), record(POPSTORED1) + record(POPSTORED2));
    EXPECT_EQ(o.file("00000003.MSG"), fetchedgroup(2));
    EXPECT_EQ(o.file("00000004.MSG"), fetchedgroup(10));
    EXPECT_EQ(o.areas, "000000FF\tEmail\tbn\n00000001\tEmail\tbn\n00000003\tlocal.one\tBn\n00000004\tlocal.two\tBn\n");
    EXPECT_EQ(o.newsrc, NEWSRCAFTER);
}

TEST(FullRun, RefusedPostKeepsNewsAndReplies) {
    // The mail post drops its lines from REPLIES; the news post that fails
    // after it keeps its own, or the unsent news would be unlisted.
    Outcome o;
    fullrun(o, Smtp::Up, Post::Refuses);
    EXPECT_EQ(o.run.status, 2) << o.run.err;
    EXPECT_EQ(o.smtp, SMTPCLIENT);
    EXPECT_EQ(o.nntppost, "POST\r\n");
    EXPECT_EQ(o.pop, POPCLIENT);
    EXPECT_EQ(o.nntpfetch, FETCHCLIENT);
    expectorder(o.log, {"Posting news to 127.0.0.1...\nNNTP host returned error: 440 posting not allowed\n"
                        "! NNTP server doesn't allow us to post\n(skipping news post)\n",
                        "Fetching email from 127.0.0.1...\n", "Fetching news from 127.0.0.1...\n"});

    EXPECT_EQ(o.files, (std::vector<std::string>{"00000000.MSG", "00000001.MSG", "00000002.MSG", "00000003.MSG",
                                                 "00000004.MSG", "AREAS", "REPLIES"}));
    EXPECT_EQ(o.file("REPLIES"), "00000001\tnews\tun\n00000003\tnews\tBn\n");
    EXPECT_EQ(o.file("00000001.MSG"), rnews(NEWS1A) + rnews(NEWS1B));
    EXPECT_EQ(o.file("00000003.MSG"), record(NEWS3));
    EXPECT_EQ(o.file("00000000.MSG"), record(POPSTORED1) + record(POPSTORED2));
    EXPECT_EQ(o.file("00000002.MSG"), fetchedgroup(2));
    EXPECT_EQ(o.file("00000004.MSG"), fetchedgroup(10));
    EXPECT_EQ(o.areas, "000000FF\tEmail\tbn\n00000000\tEmail\tbn\n00000002\tlocal.one\tBn\n00000004\tlocal.two\tBn\n");
    EXPECT_EQ(o.newsrc, NEWSRCAFTER);
}

}  // namespace
