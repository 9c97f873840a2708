// The fetches, and a news post that has no news fetch to borrow from, open
// their connections while the mail post works, and each says its lines at
// its turn; a connection closed while it waited is opened again, and one
// a busy server refused while another of ours was open too. A second
// signal ends a run that waits for an opening.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "run.h"
#include "scripted_server.h"

using ::testing::HasSubstr;

namespace {

// What the servers saw, in the order they saw it; the SMTP server waits
// for the logins of the others before it answers the mail.
struct Events {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::string> seen;
    void add(const std::string& what) {
        std::lock_guard<std::mutex> hold(lock);
        seen.push_back(what);
        changed.notify_all();
    }
    void awaitcount(size_t n) {
        std::unique_lock<std::mutex> hold(lock);
        changed.wait_for(hold, std::chrono::seconds(3), [&] { return seen.size() >= n; });
    }
};

struct Packet {
    TempDir dir;
    std::string soup = dir / "soup/";
    Packet() {
        mkdir(soup.c_str(), 0700);
        writefile(soup + "REPLIES", "00000000\tmail\tbn\n");
        writefile(soup + "00000000.MSG", record("From: joe@home.org\nTo: ann@x.org\nSubject: m\n\nhi\n"));
        writefile(dir / "newsrc", "local.one: 1-1\n");
        writefile(dir / "vorpa.cfg", "HOSTNAME client.home.org\nSMTPHOST 127.0.0.1\nNNTPHOST 127.0.0.1\n"
                                     "POPHOST 127.0.0.1\nPOPUSER joe\nPOPPASS secret\nSOUPDIR " + soup +
                                         "\nNEWSGROUPS " + dir / "newsrc" + "\n");
    }
    RunResult run(std::vector<std::string> args) {
        args.push_back("/config=" + dir / "vorpa.cfg");
        return runvorpa(args, dir.path(), 30);
    }
};

Script& smtpmail(Script& s, Events& events, size_t waitfor) {
    return s.send("220 ready\r\n")
        .expect("EHLO client.home.org\r\n")
        .send("250 hi\r\n")
        .expect("MAIL FROM:<joe@home.org>\r\n")
        .call([&events, waitfor] { events.awaitcount(waitfor); })
        .pause(30)
        .call([&events] { events.add("smtp"); })
        .send("250 ok\r\n")
        .expect("RCPT TO:<ann@x.org>\r\n")
        .send("250 ok\r\n")
        .expect("DATA\r\n")
        .send("354 go\r\n")
        .expectdata()
        .send("250 queued\r\n")
        .expect("QUIT\r\n")
        .send("221 bye\r\n");
}

Script& poplogin(Script& s) {
    return s.send("+OK ready\r\n").expect("CAPA\r\n").send("+OK\r\nPIPELINING\r\n.\r\n").expect("USER joe\r\n").send("+OK\r\n")
        .expect("PASS secret\r\n").send("+OK\r\n");
}

Script& popempty(Script& s) {
    return s.expect("STAT\r\n").expect("LIST\r\n").expect("UIDL\r\n").send("+OK 0 0\r\n+OK\r\n.\r\n+OK\r\n.\r\n")
        .expect("QUIT\r\n").send("+OK bye\r\n");
}

long long msince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

size_t at(const std::string& out, const char* line) {
    size_t where = out.find(line);
    EXPECT_NE(where, std::string::npos) << line << " in:\n" << out;
    return where;
}

TEST(Openings, FetchesOpenWhileTheMailPostWorksAndSpeakInTurn) {
    Packet p;
    Events events;
    ScriptedServer smtp(25), pop(110), nntp(119);
    smtpmail(smtp.session(), events, 2);
    popempty(poplogin(pop.session()).call([&events] { events.add("pop"); }));
    // The news server refuses us: that phase fails at its turn.
    nntp.session().send("400 not now\r\n").call([&events] { events.add("nntp"); });
    smtp.start();
    pop.start();
    nntp.start();

    RunResult r = p.run({"all", "/verbose"});
    EXPECT_TRUE(smtp.finish()) << smtp.errortext();
    EXPECT_TRUE(pop.finish()) << pop.errortext();
    nntp.finish();
    ASSERT_EQ(events.seen.size(), 3u);
    EXPECT_EQ(events.seen[2], "smtp");
    EXPECT_EQ(r.status, 75) << r.out;
    size_t posted = at(r.out, "Posting mail to 127.0.0.1...\n");
    size_t fetching = at(r.out, "Fetching email from 127.0.0.1...\n");
    size_t empty = at(r.out, "There are no messages on the POP3 server.\n");
    size_t news = at(r.out, "Fetching news from 127.0.0.1...\n");
    size_t skipped = at(r.out, "(skipping news fetch)\n");
    EXPECT_LT(posted, at(r.out, "+ SMTP session successfully terminated\n"));
    EXPECT_LT(at(r.out, "+ SMTP session successfully terminated\n"), fetching);
    EXPECT_LT(fetching, empty);
    EXPECT_LT(empty, news);
    EXPECT_LT(news, at(r.out, "400 not now"));
    EXPECT_LT(at(r.out, "400 not now"), skipped);
}

TEST(Openings, AConnectionClosedWhileItWaitedIsOpenedAgain) {
    Packet p;
    Events events;
    ScriptedServer smtp(25), pop(110);
    smtpmail(smtp.session(), events, 1);
    poplogin(pop.session()).call([&events] { events.add("pop"); }).drop();
    popempty(poplogin(pop.session()));
    smtp.start();
    pop.start();

    RunResult r = p.run({"email"});
    EXPECT_TRUE(smtp.finish()) << smtp.errortext();
    EXPECT_TRUE(pop.finish()) << pop.errortext();
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(pop.accepted(), 2u);
    // The opening lost shows nothing.
    size_t first = at(r.out, "Fetching email from 127.0.0.1...\n");
    EXPECT_EQ(r.out.find("Fetching email from", first + 1), std::string::npos) << r.out;
    EXPECT_THAT(r.out, HasSubstr("There are no messages on the POP3 server.\n"));
}

Script& nntplogin(Script& s) {
    return s.send("200 ready\r\n").expect("AUTHINFO USER joe\r\n").send("381 more\r\n")
        .expect("AUTHINFO PASS secret\r\n").send("281 ok\r\n");
}

TEST(Openings, TheNewsPostOpensWhileTheMailPostWorksAndIsOpenedAgainIfClosed) {
    for (bool closed : {false, true}) {
        SCOPED_TRACE(closed ? "closed while it waited" : "kept open");
        Packet p;
        writefile(p.soup + "REPLIES", "00000000\tmail\tbn\n00000001\tnews\tBn\n");
        writefile(p.soup + "00000001.MSG", record("Newsgroups: local.one\nSubject: n\n\nhi\n"));
        writefile(p.dir / "vorpa.cfg", readfile(p.dir / "vorpa.cfg") + "NNTPUSER joe\nNNTPPASS secret\n");
        Events events;
        ScriptedServer smtp(25), nntp(119);
        smtpmail(smtp.session(), events, 1);
        Script& first = nntplogin(nntp.session()).call([&events] { events.add("nntp"); });
        if (closed) first.drop();
        Script& post = closed ? nntplogin(nntp.session()) : first;
        post.expect("POST\r\n").send("340 go\r\n").expectdata().send("240 posted\r\n")
            .expect("QUIT\r\n").send("205 bye\r\n");
        smtp.start();
        nntp.start();

        RunResult r = p.run({"post", "/verbose"});
        EXPECT_TRUE(smtp.finish()) << smtp.errortext();
        EXPECT_TRUE(nntp.finish()) << nntp.errortext();
        ASSERT_EQ(events.seen.size(), 2u);
        EXPECT_EQ(events.seen[1], "smtp");
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(nntp.accepted(), closed ? 2u : 1u);
        size_t ended = at(r.out, "+ SMTP session successfully terminated\n");
        size_t news = at(r.out, "Posting news to 127.0.0.1...\n");
        EXPECT_EQ(r.out.find("Posting news to", news + 1), std::string::npos) << r.out;
        EXPECT_LT(ended, news);
        EXPECT_LT(news, at(r.out, "+ Logging in as joe...\n"));
        EXPECT_LT(at(r.out, "+ Logging in as joe...\n"), at(r.out, "* Posting article to local.one\n"));
        EXPECT_LT(at(r.out, "* Posting article to local.one\n"), at(r.out, "+ NNTP session successfully terminated\n"));
    }
}

// With POP3 and IMAP on one account, IMAP logs in while POP3 works, and
// speaks after it.
TEST(Openings, ImapOpensWhilePop3Works) {
    Packet p;
    writefile(p.dir / "vorpa.cfg", readfile(p.dir / "vorpa.cfg") + "IMAPHOST 127.0.0.1\nIMAPUSER ann\nIMAPPASS pw\n");
    Events events;
    ScriptedServer pop(110), imap(143);
    poplogin(pop.session()).expect("STAT\r\n").expect("LIST\r\n").expect("UIDL\r\n")
        .call([&events] { events.awaitcount(1); }).call([&events] { events.add("pop"); })
        .send("+OK 0 0\r\n+OK\r\n.\r\n+OK\r\n.\r\n").expect("QUIT\r\n").send("+OK bye\r\n");
    imap.session().send("* OK [CAPABILITY IMAP4rev1] ready\r\n").expect("L LOGIN \"ann\" \"pw\"\r\n")
        .send("L OK [CAPABILITY IMAP4rev1] in\r\n").call([&events] { events.add("imap"); })
        .expect("A1 EXAMINE \"INBOX\"\r\n").expect("A2 UID FETCH 1:4294967295 (UID RFC822.SIZE BODY.PEEK[])\r\n")
        .send("* 0 EXISTS\r\n* OK [UIDVALIDITY 1] v\r\nA1 OK\r\n")
        .expect("A3 LOGOUT\r\n");
    pop.start();
    imap.start();

    RunResult r = p.run({"email", "fetch"});
    EXPECT_TRUE(pop.finish()) << pop.errortext();
    EXPECT_TRUE(imap.finish()) << imap.errortext();
    EXPECT_EQ(events.seen, (std::vector<std::string>{"imap", "pop"}));
    EXPECT_EQ(r.status, 0) << r.out;
    size_t second = r.out.find("Fetching email from 127.0.0.1...\n", at(r.out, "Fetching email from") + 1);
    EXPECT_LT(at(r.out, "There are no messages on the POP3 server.\n"), second) << r.out;
    EXPECT_LT(second, at(r.out, "INBOX"));
}

// Mail routed to two accounts: the second one's connection opens while the
// first one's mail goes, its lines said at its first mail, and opened again
// if the server closed it meanwhile; an account with nothing to send is not
// contacted.
TEST(Openings, EveryAccountThatSendsOpensAtOnce) {
    for (bool closed : {false, true}) {
        SCOPED_TRACE(closed ? "closed while it waited" : "kept open");
        Packet p;
        writefile(p.soup + "REPLIES", "00000000\tmail\tbn\n00000001\tmail\tbn\n");
        writefile(p.soup + "00000001.MSG", record("From: ann@work.org\nTo: bob@x.org\nSubject: w\n\nhi\n"));
        // A record that names no message sent: the file goes whole, without a word.
        writefile(p.soup + "00000001.SNT", "file 1 2 3 4\n");
        writefile(p.dir / "vorpa.cfg", readfile(p.dir / "vorpa.cfg") + "ACCOUNT work\nFROM *@work.org\n"
                                           "SMTPHOST 127.0.0.1:587\nACCOUNT idle\nFROM *@idle.org\n"
                                           "SMTPHOST 127.0.0.1:2525\n");
        Events events;
        ScriptedServer home(25), work(587), idle(2525, 500);
        smtpmail(home.session(), events, 1);
        // Scripted, so that a connection would be taken and counted.
        idle.session().send("220 ready\r\n").drain();
        auto hello = [](Script& s) -> Script& {
            return s.send("220 ready\r\n").expect("EHLO client.home.org\r\n").send("250 hi\r\n");
        };
        Script& first = hello(work.session()).call([&events] { events.add("work"); });
        if (closed) first.drop();
        Script& mail = closed ? hello(work.session()) : first;
        mail.expect("MAIL FROM:<ann@work.org>\r\n").send("250 ok\r\n").expect("RCPT TO:<bob@x.org>\r\n")
            .send("250 ok\r\n").expect("DATA\r\n").send("354 go\r\n").expectdata().send("250 queued\r\n")
            .expect("QUIT\r\n").send("221 bye\r\n");
        home.start();
        work.start();
        idle.start();

        RunResult r = p.run({"email", "post"});
        EXPECT_TRUE(home.finish()) << home.errortext();
        EXPECT_TRUE(work.finish()) << work.errortext();
        idle.finish();
        EXPECT_EQ(idle.accepted(), 0u);
        EXPECT_EQ(work.accepted(), closed ? 2u : 1u);
        EXPECT_EQ(events.seen, (std::vector<std::string>{"work", "smtp"}));
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_NE(r.out.find("Posting mail to 127.0.0.1...\nMailing from joe@home.org\nMailing to ann@x.org\n"
                             "Posting mail for work to 127.0.0.1:587...\nMailing from ann@work.org\n"),
                  std::string::npos)
            << r.out;
        EXPECT_EQ(r.out.find("Posting mail for work", r.out.find("Posting mail for work") + 1), std::string::npos);
    }
}

// The same for news: the account of the second article opens while the
// first one goes.
TEST(Openings, EveryAccountThatPostsNewsOpensAtOnce) {
    Packet p;
    writefile(p.soup + "REPLIES", "00000000\tnews\tBn\n00000001\tnews\tBn\n");
    writefile(p.soup + "00000000.MSG", record("Newsgroups: local.one\nSubject: n\n\nhi\n"));
    writefile(p.soup + "00000001.MSG", record("Newsgroups: work.one\nSubject: w\n\nhi\n"));
    writefile(p.dir / "newsrc-work", "work.one: 1-1\n");
    writefile(p.dir / "vorpa.cfg", readfile(p.dir / "vorpa.cfg") + "NNTPUSER joe\nNNTPPASS secret\nACCOUNT work\n"
                                       "NNTPHOST 127.0.0.1:1119\nNNTPUSER joe\nNNTPPASS secret\nNEWSGROUPS " +
                                       p.dir / "newsrc-work" + "\n");
    Events events;
    ScriptedServer home(119), work(1119);
    nntplogin(home.session()).expect("POST\r\n").call([&events] { events.awaitcount(1); })
        .call([&events] { events.add("home"); }).send("340 go\r\n").expectdata().send("240 posted\r\n")
        .expect("QUIT\r\n").send("205 bye\r\n");
    nntplogin(work.session()).call([&events] { events.add("work"); }).expect("POST\r\n").send("340 go\r\n")
        .expectdata().send("240 posted\r\n").expect("QUIT\r\n").send("205 bye\r\n");
    home.start();
    work.start();

    RunResult r = p.run({"news", "post"});
    EXPECT_TRUE(home.finish()) << home.errortext();
    EXPECT_TRUE(work.finish()) << work.errortext();
    EXPECT_EQ(events.seen, (std::vector<std::string>{"work", "home"}));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Posting news to 127.0.0.1...\n* Posting article to local.one\n"
                         "Posting news for work to 127.0.0.1:1119...\n* Posting article to work.one\n"),
              std::string::npos)
        << r.out;
}

// An account that no article goes by opens no news connection.
TEST(Openings, NoNewsConnectionForNothingToPost) {
    Packet p;
    writefile(p.soup + "REPLIES", "00000001\tnews\tBn\n");
    writefile(p.soup + "00000001.MSG", record("Newsgroups: work.one\nSubject: w\n\nhi\n"));
    writefile(p.dir / "newsrc-work", "work.one: 1-1\n");
    writefile(p.dir / "vorpa.cfg", readfile(p.dir / "vorpa.cfg") + "ACCOUNT work\nNNTPHOST 127.0.0.1:1119\n"
                                       "NEWSGROUPS " + p.dir / "newsrc-work" + "\n");
    ScriptedServer home(119, 500), work(1119);
    // Scripted, so that a connection would be taken and counted.
    home.session().send("200 ready\r\n").drain();
    work.session().send("200 ready\r\n").expect("POST\r\n").send("340 go\r\n").expectdata().send("240 posted\r\n")
        .expect("QUIT\r\n").send("205 bye\r\n");
    home.start();
    work.start();

    RunResult r = p.run({"news", "post"});
    EXPECT_TRUE(work.finish()) << work.errortext();
    home.finish();
    EXPECT_EQ(home.accepted(), 0u);
    EXPECT_EQ(r.status, 0) << r.out;
}

// Under vorpa all the news post borrows the news fetch's connection: one
// the server closed meanwhile is opened again for both; one whose login
// was refused is named by the post at once, with no second password sent.
TEST(Openings, TheNewsConnectionSharedByPostAndFetch) {
    for (bool refused : {false, true}) {
        SCOPED_TRACE(refused ? "login refused" : "closed while it waited");
        Packet p;
        writefile(p.soup + "REPLIES", "00000000\tmail\tbn\n00000001\tnews\tBn\n");
        writefile(p.soup + "00000001.MSG", record("Newsgroups: local.one\nSubject: n\n\nhi\n"));
        writefile(p.dir / "vorpa.cfg", "HOSTNAME client.home.org\nSMTPHOST 127.0.0.1\nNNTPHOST 127.0.0.1\n"
                                       "NNTPUSER joe\nNNTPPASS secret\nSOUPDIR " + p.soup + "\nNEWSGROUPS " +
                                           p.dir / "newsrc" + "\n");
        Events events;
        ScriptedServer smtp(25), nntp(119);
        smtpmail(smtp.session(), events, 1);
        if (refused) {
            nntp.session().send("200 ready\r\n").expect("AUTHINFO USER joe\r\n").send("381 more\r\n")
                .expect("AUTHINFO PASS secret\r\n").send("481 no\r\n").call([&events] { events.add("nntp"); })
                .expect("QUIT\r\n").send("205 bye\r\n");
        } else {
            nntplogin(nntp.session()).call([&events] { events.add("nntp"); }).drop();
            nntplogin(nntp.session()).expect("POST\r\n").send("340 go\r\n").expectdata().send("240 posted\r\n")
                .expect("CAPABILITIES\r\n").expect("GROUP local.one\r\n")
                .send("101 list\r\nVERSION 2\r\n.\r\n211 1 1 1 local.one\r\n")
                .expect("QUIT\r\n").send("205 bye\r\n");
        }
        smtp.start();
        nntp.start();

        auto start = std::chrono::steady_clock::now();
        RunResult r = p.run({"all"});
        long long took = msince(start);
        EXPECT_TRUE(smtp.finish()) << smtp.errortext();
        EXPECT_TRUE(nntp.finish()) << nntp.errortext();
        EXPECT_EQ(nntp.accepted(), refused ? 1u : 2u);
        size_t posting = at(r.out, "Posting news to 127.0.0.1...\n");
        EXPECT_EQ(r.out.find("Posting news to", posting + 1), std::string::npos) << r.out;
        EXPECT_LT(posting, at(r.out, "Fetching news from 127.0.0.1...\n"));
        if (refused) {
            EXPECT_EQ(r.status, 2) << r.out;
            EXPECT_LT(took, 10000);
            EXPECT_EQ(posting, at(r.out, "Posting news to 127.0.0.1...\nNNTP host returned error: 481 no\n"
                                         "(skipping news post)\n"));
            const std::string sent = nntp.received(0);
            EXPECT_EQ(sent.find("AUTHINFO PASS", sent.find("AUTHINFO PASS") + 1), std::string::npos) << sent;
        } else {
            EXPECT_EQ(r.status, 0) << r.out;
            EXPECT_LT(posting, at(r.out, "* Posting article to local.one\n"));
            EXPECT_THAT(r.out, HasSubstr("There are no new messages in this newsgroup.\n"));
        }
    }
}

// A POP3 server that serves one connection at a time: another that comes
// meanwhile is refused at its password, [IN-USE], as dovecot does. It
// notes whose mailbox it served.
class OneAtATime {
public:
    OneAtATime() : fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(110);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 8) != 0) ADD_FAILURE() << "listen";
        acceptor = std::thread([this] {
            for (int c; (c = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;)
                sessions.emplace_back([this, c] { serve(c); });
        });
    }
    ~OneAtATime() {
        shutdown(fd, SHUT_RDWR);
        acceptor.join();
        for (std::thread& t : sessions) t.join();
        close(fd);
    }
    std::vector<std::string> served() {
        std::lock_guard<std::mutex> hold(lock);
        return users;
    }

private:
    void serve(int c) {
        timeval bound{5, 0};
        setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
        bool holder = false;
        std::string user, line;
        auto say = [c](const std::string& text) { return send(c, text.data(), text.size(), MSG_NOSIGNAL) > 0; };
        for (bool more = say("+OK ready\r\n"); more;) {
            char ch;
            if (recv(c, &ch, 1, 0) != 1) break;
            line += ch;
            if (ch != '\n') continue;
            std::string command = line.substr(0, 4);
            if (command == "USER") user = line.substr(5, line.size() - 7);
            if (command == "PASS" && !(holder = !busy.exchange(true))) {
                more = say("-ERR [IN-USE] mailbox locked\r\n");
            } else if (command == "PASS") {
                std::lock_guard<std::mutex> hold(lock);
                users.push_back(user);
                more = say("+OK\r\n");
            } else {
                // The mailbox is free by the time QUIT is answered, as the
                // update state of RFC 1939 has it.
                if (command == "QUIT" && holder) busy = holder = false;
                more = say(command == "CAPA" ? "+OK\r\n.\r\n" : command == "STAT" ? "+OK 0 0\r\n" : "+OK\r\n");
            }
            if (command == "QUIT") break;
            line.clear();
        }
        close(c);
        if (holder) busy = false;
    }

    int fd;
    std::atomic<bool> busy{false};
    std::mutex lock;
    std::vector<std::string> users;
    std::thread acceptor;
    std::vector<std::thread> sessions;
};

// Two accounts on a server that takes one connection per client: the
// second, refused while the first one's was open, opens again at its turn.
TEST(Openings, TwoAccountsOnAServerThatTakesOneConnection) {
    Packet p;
    writefile(p.dir / "vorpa.cfg", readfile(p.dir / "vorpa.cfg") + "ACCOUNT work\nPOPHOST 127.0.0.1\n"
                                       "POPUSER ann\nPOPPASS secret\n");
    OneAtATime pop;
    RunResult r = p.run({"email", "fetch"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(pop.served(), (std::vector<std::string>{"joe", "ann"}));
    size_t first = at(r.out, "There are no messages on the POP3 server.\n");
    EXPECT_NE(r.out.find("There are no messages on the POP3 server.\n", first + 1), std::string::npos) << r.out;
}

// The first signal is taken while the run waits for an opening on a
// silent server; the second ends the run at once.
TEST(Openings, ASecondSignalEndsTheWaitForAnOpening) {
    Packet p;
    Events events;
    ScriptedServer pop(110);
    pop.session().call([&events] { events.add("pop"); }).silence(15000);
    pop.start();
    std::vector<std::string> args{vorpapath(), "email", "fetch", "/config=" + p.dir / "vorpa.cfg"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    int out = open((p.dir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out, 1);
        dup2(out, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out);
    events.awaitcount(1);
    kill(pid, SIGINT);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    kill(pid, SIGINT);
    auto second = std::chrono::steady_clock::now();
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0 && msince(second) < 5000)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    long long took = msince(second);
    if (took >= 5000) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    pop.finish();
    EXPECT_LT(took, 1000) << readfile(p.dir / "out");
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
}

}  // namespace

