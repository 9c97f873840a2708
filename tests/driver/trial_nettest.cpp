// Trial runs against scripted servers on ports 25, 110 and 119: what /test
// sends is not sent again by the next run, and /check logs in, counts and
// quits, leaving every file as it was.
#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "run.h"
#include "scripted_server.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

const std::string MAIL = "From: joe@home.org\nTo: ann@x.org\nSubject: m\n\nhi\n";
const std::string NEWS = "Newsgroups: local.one\nSubject: n\n\nhi\n";

struct Packet {
    TempDir dir;
    std::string soup = dir / "soup/";
    Packet() {
        mkdir(soup.c_str(), 0700);
        writefile(soup + "REPLIES", "00000000\tmail\tbn\n00000001\tnews\tBn\n");
        writefile(soup + "00000000.MSG", record(MAIL));
        writefile(soup + "00000001.MSG", record(NEWS));
        writefile(dir / "newsrc", "local.one: 1-1\n");
        writefile(dir / "vorpa.cfg", "HOSTNAME client.home.org\nSMTPHOST 127.0.0.1\nNNTPHOST 127.0.0.1\n"
                                     "POPHOST 127.0.0.1\nPOPUSER joe\nPOPPASS secret\nSOUPDIR " + soup +
                                         "\nNEWSGROUPS " + dir / "newsrc" + "\nLOGFILE " + dir / "log" + "\n");
    }
    RunResult run(std::vector<std::string> args) {
        args.push_back("/config=" + dir / "vorpa.cfg");
        return runvorpa(args, dir.path(), 60);
    }
    // Every file of the packet and the state file, by name.
    std::map<std::string, std::string> files() const {
        std::map<std::string, std::string> all;
        for (const std::string& name : listdir(soup)) all[name] = readfile(soup + name);
        all["newsrc"] = readfile(dir / "newsrc");
        return all;
    }
};

Script& smtpgreeting(Script& s) {
    return s.send("220 ready\r\n").expect("EHLO client.home.org\r\n").send("250 hi\r\n");
}

TEST(Trial, WhatATestRunSentIsNotSentAgain) {
    Packet p;
    ScriptedServer smtp(25), nntp(119);
    smtpgreeting(smtp.session())
        .expect("MAIL FROM:<joe@home.org>\r\n")
        .send("250 ok\r\n")
        .expect("RCPT TO:<ann@x.org>\r\n")
        .send("250 ok\r\n")
        .expect("DATA\r\n")
        .send("354 go\r\n")
        .expectdata()
        .send("250 queued\r\n")
        .expect("QUIT\r\n")
        .send("221 bye\r\n");
    nntp.session().send("200 ready\r\n").expect("POST\r\n").send("340 send\r\n").expectdata().send("240 ok\r\n")
        .expect("QUIT\r\n").send("205 bye\r\n");
    // The next run finds everything sent: it only signs on and off.
    smtpgreeting(smtp.session()).expect("QUIT\r\n").send("221 bye\r\n");
    nntp.session().send("200 ready\r\n").expect("QUIT\r\n").send("205 bye\r\n");
    smtp.start();
    nntp.start();

    RunResult trial = p.run({"post", "/test"});
    EXPECT_EQ(trial.status, 0) << trial.out;
    // A test run deletes nothing.
    EXPECT_TRUE(fileexists(p.soup + "REPLIES") && fileexists(p.soup + "00000000.MSG") &&
                fileexists(p.soup + "00000001.MSG"));
    RunResult normal = p.run({"post"});
    EXPECT_EQ(normal.status, 0) << normal.out;
    EXPECT_TRUE(smtp.finish()) << smtp.errortext();
    EXPECT_TRUE(nntp.finish()) << nntp.errortext();
    EXPECT_THAT(smtp.received(1), Not(HasSubstr("MAIL")));
    EXPECT_THAT(nntp.received(1), Not(HasSubstr("POST")));
    EXPECT_EQ(listdir(p.soup), std::vector<std::string>{});
}

TEST(Trial, CheckLogsInCountsAndChangesNothing) {
    Packet p;
    writefile(p.soup + "00000009.PRT", "left by a killed run");
    ScriptedServer smtp(25), pop(110), nntp(119);
    smtpgreeting(smtp.session()).expect("QUIT\r\n").send("221 bye\r\n");
    pop.session()
        .send("+OK ready\r\n")
        .expect("CAPA\r\n")
        .send("+OK\r\nPIPELINING\r\n.\r\n")
        .expect("USER joe\r\n")
        .send("+OK\r\n")
        .expect("PASS secret\r\n")
        .send("+OK\r\n")
        .expect("STAT\r\n")
        .expect("LIST\r\n")
        .expect("UIDL\r\n")
        .send("+OK 2 3000\r\n+OK\r\n1 1000\r\n2 2000\r\n.\r\n+OK\r\n1 a\r\n2 b\r\n.\r\n")
        .expect("QUIT\r\n")
        .send("+OK bye\r\n");
    // A refused password: the check failed.
    pop.session().send("+OK ready\r\n").expect("CAPA\r\n").send("-ERR\r\n").expect("USER joe\r\n").send("+OK\r\n")
        .expect("PASS secret\r\n").send("-ERR no\r\n").expect("QUIT\r\n").send("+OK\r\n");
    // The news post's check and the news fetch's share one connection.
    nntpready(nntp.session(), "200 ready\r\n")
        .expect("GROUP local.one\r\n")
        .send("211 3 1 4 local.one\r\n")
        .expect("QUIT\r\n")
        .send("205 bye\r\n");
    smtp.start();
    pop.start();
    nntp.start();

    // Named by AREAS, by REPLIES in another case, by neither.
    writefile(p.soup + "AREAS", "00000002\tEmail\tbn\n");
    writefile(p.soup + "REPLIES", readfile(p.soup + "REPLIES") + "R0000005\tmail\tbn\n");
    for (const char* name : {"00000002.MSG", "r0000005.msg", "r0000003.msg", "R0000004.MSG"})
        writefile(p.soup + name, record(MAIL));
    auto before = p.files();
    RunResult r = p.run({"all", "/check"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(p.files(), before);
    std::string log = readfile(p.dir / "log");
    for (const char* line : {"Message files named by neither AREAS nor REPLIES: R0000004.MSG r0000003.msg\n",
                             "Mail files listed in REPLIES: 00000000.MSG R0000005.MSG\n",
                             "News files listed in REPLIES: 00000001.MSG\n",
                             "There are 2 messages (3000 bytes) on the POP3 server.\n",
                             "* Checking local.one\nThere are 3 new messages (2-4) in this newsgroup.\n"}) {
        EXPECT_THAT(r.out, HasSubstr(line));
        EXPECT_THAT(log, HasSubstr(line));
    }
    RunResult refused = p.run({"email", "fetch", "--check"});
    EXPECT_EQ(refused.status, 2) << refused.out;
    EXPECT_TRUE(smtp.finish()) << smtp.errortext();
    EXPECT_TRUE(pop.finish()) << pop.errortext();
    EXPECT_TRUE(nntp.finish()) << nntp.errortext();
    std::string sent = smtp.received() + pop.received() + nntp.received(0);
    for (const char* command : {"RETR", "DELE", "ARTICLE", "MAIL", "POST"}) EXPECT_THAT(sent, Not(HasSubstr(command)));
}

}  // namespace
