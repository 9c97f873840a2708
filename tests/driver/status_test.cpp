// What a scheduled run sees: the exit status after a run that did all its
// work, a refused password, a server that is down or busy (75: the network
// failed, nothing else) and a refused article;
// and the meter, drawn on a terminal but not into a pipe. The servers
// listen on free ports of 127.0.0.1.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "run.h"
#include "scripted_server.h"

namespace {

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string at(const ScriptedServer& server) { return "127.0.0.1:" + std::to_string(server.port()); }

class Status : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(mkdir((dir / "soup").c_str(), 0700), 0); }
    // The arguments of a run with these settings.
    std::vector<std::string> args(const std::string& settings, std::vector<std::string> commands) {
        writefile(dir / "vorpa.cfg", "SOUPDIR soup\nHOSTNAME client.example\nPOPUSER joe\nPOPPASS secret\n" + settings);
        commands.push_back("/c=" + (dir / "vorpa.cfg"));
        return commands;
    }
    TempDir dir;
};

// A mailbox of one message, long enough for the meter to move.
const std::string wire = [] {
    std::string text = "From: ann@example.org\r\nSubject: s\r\n\r\n";
    for (int i = 0; i < 40; i++) text += "line\r\n";
    return text;
}();
const std::string size = std::to_string(wire.size());

void fetchone(Script& s) {
    s.send("+OK ready\r\n")
        .expect("CAPA\r\n")
        .send("-ERR\r\n")
        .expect("USER joe\r\n")
        .send("+OK\r\n")
        .expect("PASS secret\r\n")
        .send("+OK\r\n")
        .expect("STAT\r\n")
        .send("+OK 1 " + size + "\r\n")
        .expect("LIST\r\n")
        .send("+OK\r\n1 " + size + "\r\n.\r\n")
        .expect("UIDL\r\n")
        .send("-ERR\r\n")
        .expect("RETR 1\r\n")
        .send("+OK\r\n" + wire + ".\r\n")
        .expect("DELE 1\r\n")
        .send("+OK\r\n")
        .expect("QUIT\r\n")
        .send("+OK\r\n");
}

TEST_F(Status, TwoWhenSomethingWasLeftUndone) {
    // A refused password.
    ScriptedServer pop3(0);
    pop3.session()
        .send("+OK ready\r\n")
        .expect("CAPA\r\n")
        .send("-ERR\r\n")
        .expect("USER joe\r\n")
        .send("+OK\r\n")
        .expect("PASS secret\r\n")
        .send("-ERR wrong password\r\n")
        .expect("QUIT\r\n")
        .send("+OK\r\n");
    pop3.start();
    RunResult r = runvorpa(args("POPHOST " + at(pop3) + "\n", {"email", "fetch"}), dir.path());
    EXPECT_TRUE(pop3.finish()) << pop3.errortext();
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_TRUE(contains(r.out, "(skipping email fetch)\n"));

    // A server that is down, and one that refuses the article: each keeps
    // the file and REPLIES.
    writefile(dir / "soup/REPLIES", "N1\tnews\tBn\n");
    writefile(dir / "soup/N1.MSG", record("Newsgroups: local.test\nSubject: n\n\nhello\n"));
    std::string down;
    {
        ScriptedServer closed(0);
        down = at(closed);
    }
    r = runvorpa(args("NNTPHOST " + down + "\n", {"news", "post"}), dir.path());
    EXPECT_EQ(r.status, 75) << r.out;
    EXPECT_TRUE(contains(r.out, "(skipping news post)\n"));

    // A greeting that refuses for now passes by itself; one that refuses
    // for good does not.
    writefile(dir / "newsrc", "local.test 0-0\n");
    for (const char* greeting : {"400 busy, come back later\r\n", "502 no permission\r\n"}) {
        ScriptedServer busy(0);
        busy.session().send(greeting);
        busy.session().send(greeting);
        busy.start();
        r = runvorpa(args("NNTPHOST " + at(busy) + "\n", {"news"}), dir.path());
        EXPECT_TRUE(busy.finish()) << busy.errortext();
        EXPECT_EQ(r.status, greeting[0] == '4' ? 75 : 2) << r.out;
    }

    ScriptedServer nntp(0);
    nntp.session().send("200 ready\r\n")
        .expect("POST\r\n")
        .send("340 send it\r\n")
        .expectdata()
        .send("441 posting failed\r\n")
        .expect("QUIT\r\n")
        .send("205 bye\r\n");
    nntp.start();
    r = runvorpa(args("NNTPHOST " + at(nntp) + "\n", {"news", "post"}), dir.path());
    EXPECT_TRUE(nntp.finish()) << nntp.errortext();
    // A refused article is given up: said, and the run left undone.
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_TRUE(fileexists(dir / "soup/refused/N1-1.eml") && !fileexists(dir / "soup/N1.MSG"));
}

// The same fetch into a pipe and onto a terminal: the reports are the same
// bytes, the meter is drawn only on the terminal. All is done: status 0.
TEST_F(Status, MeterOnlyOnATerminal) {
    ScriptedServer pop3(0);
    fetchone(pop3.session());
    fetchone(pop3.session());
    pop3.start();
    std::vector<std::string> fetch = args("POPHOST " + at(pop3) + "\n", {"email", "fetch"});
    RunResult piped = runvorpa(fetch, dir.path());
    RunResult terminal = runonterminal(fetch, dir.path());
    EXPECT_TRUE(pop3.finish()) << pop3.errortext();

    EXPECT_EQ(piped.status, 0) << piped.out;
    EXPECT_EQ(terminal.status, 0) << terminal.out;
    const std::string& shown = terminal.out;
    const std::string reports = "Fetching message 1 of 1 (" + size + " bytes)...\n* Message from ann@example.org\n";
    EXPECT_TRUE(contains(piped.out, reports + "\nFetched 1 mail.\nDone.\n")) << piped.out;
    EXPECT_EQ(piped.out.find('\r'), std::string::npos) << piped.out;
    EXPECT_EQ(piped.out.find('%'), std::string::npos);

    EXPECT_TRUE(contains(shown, "(" + size + " bytes)...\n\r0%\r* Message from ann@example.org\n")) << shown;
    EXPECT_TRUE(contains(shown, "\r50%"));
    EXPECT_TRUE(contains(shown, "\r100%\r                          \r\nFetched 1 mail.\nDone.\n")) << shown;
}

}  // namespace
