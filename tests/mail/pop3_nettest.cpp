// Black-box runs of "vorpa email fetch" against a scripted POP3 server on
// 127.0.0.1:110 (in this test's own network namespace).
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "run.h"
#include "scripted_server.h"

using namespace std::string_literals;

namespace {

// Everything from the phase's first report on; the banner and the log's
// header line belong to the driver.
std::string fromphase(const std::string& text) {
    size_t at = text.find("Fetching email from");
    return at == std::string::npos ? "(no phase output in: " + text + ")" : text.substr(at);
}

Script& login(Script& s, const std::string& user = "joe") {
    return s.send("+OK POP3 ready\r\n")
        .expect("USER " + user + "\r\n")
        .send("+OK\r\n")
        .expect("PASS secret\r\n")
        .send("+OK logged in\r\n")
        .expect("CAPA\r\n")
        .send("+OK\r\nTOP\r\nPIPELINING\r\n.\r\n");
}

// A packet directory, a log and a configuration pointing at the server.
struct Mailbox {
    TempDir dir;
    std::string soup = dir / "soup";
    std::string log = dir / "vorpa.log";
    std::string cfg = dir / "vorpa.cfg";

    Mailbox() {
        mkdir(soup.c_str(), 0700);
        writefile(cfg, "POPHOST 127.0.0.1\nPOPUSER joe\nPOPPASS secret\nSOUPDIR " + soup + "\nLOGFILE " + log +
                           "\n");
    }
    RunResult fetch(std::vector<std::string> extra = {}) {
        std::vector<std::string> args{"email", "fetch", "/config=" + cfg};
        args.insert(args.end(), extra.begin(), extra.end());
        return runvorpa(args, dir.path(), 60);
    }
    std::string file(const std::string& name) { return readfile(soup + "/" + name); }
    std::vector<std::string> files() { return listdir(soup); }
    // What the fetch stored, by UIDL id, beside the newsgroups state file.
    std::string record = dir / "popkeep-joe@127.0.0.1-110";
};

// The record's lines with their times replaced by "T".
std::string recordids(const std::string& path) {
    std::string text = readfile(path), out;
    for (size_t from = 0; from < text.size();) {
        size_t end = text.find('\n', from);
        size_t space = text.find(' ', from);
        if (end == std::string::npos || space > end) return "(bad record: " + text + ")";
        out += "T" + text.substr(space, end + 1 - space);
        from = end + 1;
    }
    return out;
}

// Three messages as the server sends them (dot-stuffed, CR LF) and as they
// must be stored.
const std::string wire1 =
    "From: Alice <alice@example.org>\r\n"
    "To: joe@example.org\r\n"
    "Subject: one\r\n"
    "\r\n"
    "..leading dot kept once\r\n"
    ".x loses its dot\r\n"
    "From: not reported in the body\r\n"
    "\r\n";
const std::string stored1 =
    "From: Alice <alice@example.org>\n"
    "To: joe@example.org\n"
    "Subject: one\n"
    "\n"
    ".leading dot kept once\n"
    "x loses its dot\n"
    "From: not reported in the body\n"
    "\n";
const std::string wire2 =
    "FROM:\r\n"
    "from:\t Bob <bob@example.org>\0 not shown\r\n"
    "\r\n"
    "nul\0byte, lone\rCR\r\n"
    "bare lf\n"s;
const std::string stored2 =
    "FROM:\n"
    "from:\t Bob <bob@example.org>\0 not shown\n"
    "\n"
    "nul\0byte, lone CR\n"
    "bare lf\n"s;
const std::string wire3 = "Subject: three\r\n";
const std::string stored3 = "Subject: three\n";

std::string listing() {
    return "+OK 3 messages\r\n1 " + std::to_string(wire1.size()) + "\r\n2 " + std::to_string(wire2.size()) +
           "\r\n3 " + std::to_string(wire3.size()) + "\r\n.\r\n";
}

Script& listthree(Script& s) {
    size_t total = wire1.size() + wire2.size() + wire3.size();
    return login(s)
        .expect("STAT\r\n")
        .send("+OK 3 " + std::to_string(total) + "\r\n")
        .expect("LIST\r\n")
        .send(listing())
        .expect("UIDL\r\n")
        .send("+OK\r\n1 aaa\r\n2 bbb\r\n3 ccc\r\n.\r\n");
}

Script& retrievethree(Script& s) {
    return s.expect("RETR 1\r\n")
        .send("+OK message follows\r\n" + wire1 + ".\r\n")
        .expect("RETR 2\r\n")
        .send("+OK\r\n" + wire2 + ".\r\n")
        .expect("RETR 3\r\n")
        // A terminator inside the header still ends the message.
        .send("+OK\r\n" + wire3 + ".\r\n");
}

const std::string commandsthree =
    "USER joe\r\nPASS secret\r\nCAPA\r\nSTAT\r\nLIST\r\nUIDL\r\nRETR 1\r\nRETR 2\r\nRETR 3\r\n";

TEST(Pop3Fetch, WholeSessionStoresDeletesAndSignsOff) {
    Mailbox box;
    writefile(box.soup + "/AREAS", "00000007\tEmail\tbn\n");
    writefile(box.soup + "/00000000.MSG", "taken");
    ScriptedServer server(110);
    // QUIT goes with the DELEs: all four come before the first answer.
    retrievethree(listthree(server.session()))
        .expect("DELE 1\r\n")
        .expect("DELE 2\r\n")
        .expect("DELE 3\r\n")
        .expect("QUIT\r\n")
        .send("+OK\r\n+OK\r\n+OK\r\n+OK bye\r\n");
    server.start();
    RunResult r = box.fetch({"/verbose"});
    EXPECT_TRUE(server.finish());
    EXPECT_EQ(server.errors(), std::vector<std::string>{});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(server.received(0), commandsthree + "DELE 1\r\nDELE 2\r\nDELE 3\r\nQUIT\r\n");

    EXPECT_EQ(box.files(), (std::vector<std::string>{"00000000.MSG", "00000001.MSG", "AREAS"}));
    EXPECT_EQ(box.file("00000001.MSG"), record(stored1) + record(stored2) + record(stored3));
    EXPECT_EQ(box.file("AREAS"), "00000007\tEmail\tbn\n00000001\tEmail\tbn\n");
    EXPECT_EQ(recordids(box.record), "T aaa\nT bbb\nT ccc\n");

    size_t total = wire1.size() + wire2.size() + wire3.size();
    const std::string reports =
        "Fetching email from 127.0.0.1...\n"
        "+ Connecting to POP3 host 127.0.0.1...\n"
        "+ Sending USER command...\n"
        "+ Sending PASS command...\n"
        "+ Getting message information...\n"
        "There are 3 messages (" +
        std::to_string(total) +
        " bytes) on the POP3 server.\n"
        "* Message from Alice <alice@example.org>\n"
        "* Message from \n"
        "* Message from Bob <bob@example.org>\n"
        "+ Deleting messages from POP3 server...\n"
        "+ Signing off...\n"
        "+ POP3 session successfully terminated\n";
    EXPECT_EQ(fromphase(readfile(box.log)), reports);

    // The console: per-message lines and the "From:" reports; into a pipe
    // without the meter.
    EXPECT_NE(r.out.find("Fetching message 1 of 3 (" + std::to_string(wire1.size()) +
                         " bytes)...\n* Message from Alice <alice@example.org>\nFetching message 2 of 3"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find('\r'), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("cps"), std::string::npos);
    EXPECT_EQ(r.out.find("Average CPS"), std::string::npos);
    EXPECT_NE(r.out.find("+ POP3 session successfully terminated\n\nFetched 3 mails.\nDone.\n"), std::string::npos);

    // The password is never shown, not even with /verbose.
    EXPECT_EQ(r.out.find("secret"), std::string::npos);
    EXPECT_EQ(r.err.find("secret"), std::string::npos);
    EXPECT_EQ(readfile(box.log).find("secret"), std::string::npos);
}

TEST(Pop3Fetch, TestModeStoresButDeletesNothing) {
    Mailbox box;
    ScriptedServer server(110);
    // Nothing is deleted after the RETRs: QUIT goes with them.
    listthree(server.session()).expect("RETR 1\r\n").expect("RETR 2\r\n").expect("RETR 3\r\n").expect("QUIT\r\n")
        .send("+OK\r\n" + wire1 + ".\r\n+OK\r\n" + wire2 + ".\r\n+OK\r\n" + wire3 + ".\r\n+OK bye\r\n");
    server.start();
    RunResult r = box.fetch({"/test"});
    EXPECT_TRUE(server.finish());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(server.received(0), commandsthree + "QUIT\r\n");
    EXPECT_EQ(box.file("00000000.MSG"), record(stored1) + record(stored2) + record(stored3));
    EXPECT_EQ(box.file("AREAS"), "00000000\tEmail\tbn\n");
    EXPECT_EQ(r.out.find("(skipping email fetch)"), std::string::npos);
    EXPECT_FALSE(fileexists(box.record));
}

// Without PIPELINING in the CAPA answer, or from a server that does not
// know CAPA, every command waits for the answer to the one before.
TEST(Pop3Fetch, OneCommandAtATimeWithoutPipelining) {
    for (const char* capa : {"-ERR what?\r\n", "+OK\r\nTOP\r\nUSER\r\n.\r\n"}) {
        SCOPED_TRACE(capa);
        Mailbox box;
        ScriptedServer server(110);
        size_t total = wire1.size() + wire3.size();
        server.session().send("+OK ready\r\n").expect("USER joe\r\n").send("+OK\r\n")
            .expect("PASS secret\r\n").send("+OK\r\n")
            .expect("CAPA\r\n").send(capa)
            .expect("STAT\r\n").send("+OK 2 " + std::to_string(total) + "\r\n")
            .expect("LIST\r\n").nothingahead(100).send("+OK\r\n1 " + std::to_string(wire1.size()) + "\r\n2 " +
                                       std::to_string(wire3.size()) + "\r\n.\r\n")
            .expect("UIDL\r\n").send("+OK\r\n1 a\r\n2 b\r\n.\r\n")
            .expect("RETR 1\r\n").nothingahead(100).send("+OK\r\n" + wire1 + ".\r\n")
            .expect("RETR 2\r\n").nothingahead(100).send("+OK\r\n" + wire3 + ".\r\n")
            .expect("DELE 1\r\n").nothingahead(100).send("+OK\r\n")
            .expect("DELE 2\r\n").nothingahead(100).send("+OK\r\n")
            .expect("QUIT\r\n").send("+OK\r\n");
        server.start();
        RunResult r = box.fetch();
        EXPECT_TRUE(server.finish()) << server.errortext();
        EXPECT_EQ(r.out.find("POP3 host returned error"), std::string::npos) << r.out;
        EXPECT_EQ(box.file("00000000.MSG"), record(stored1) + record(stored3));
    }
}

TEST(Pop3Fetch, EmptyMailboxMakesNoFile) {
    for (const char* stat : {"+OK 0 0\r\n", "+OK\r\n", "+ok none\r\n"}) {
        SCOPED_TRACE(stat);
        Mailbox box;
        ScriptedServer server(110);
        login(server.session()).expect("STAT\r\n").send(stat).expect("QUIT\r\n").send("+OK\r\n");
        server.start();
        RunResult r = box.fetch();
        EXPECT_TRUE(server.finish());
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(server.received(0), "USER joe\r\nPASS secret\r\nCAPA\r\nSTAT\r\nQUIT\r\n");
        EXPECT_EQ(box.files(), std::vector<std::string>{});
        EXPECT_EQ(fromphase(readfile(box.log)),
                  "Fetching email from 127.0.0.1...\nThere are no messages on the POP3 server.\n");
    }
}

// Size 0 is skipped but deleted; an entry without a readable size, or with
// a negative one, stays on the server untouched.
TEST(Pop3Fetch, EmptyAndUnreadableListEntries) {
    Mailbox box;
    ScriptedServer server(110);
    login(server.session())
        .expect("STAT\r\n")
        .send("+OK 6 16\r\n")
        .expect("LIST\r\n")
        .send("+OK\r\n1 0\r\n2 abc\r\n3 -5\r\n7\r\n\r\n12 16\r\n.\r\n")
        .expect("UIDL\r\n")
        .send("-ERR unknown\r\n")
        .expect("RETR 12\r\n")
        .send("+OK\r\n" + wire3 + ".\r\n")
        .expect("DELE 1\r\n")
        .send("+OK\r\n")
        .expect("DELE 12\r\n")
        .send("+OK\r\n")
        .expect("QUIT\r\n")
        .send("+OK\r\n");
    server.start();
    RunResult r = box.fetch();
    EXPECT_TRUE(server.finish());
    EXPECT_EQ(server.errors(), std::vector<std::string>{});
    EXPECT_EQ(box.file("00000000.MSG"), record(stored3));
    EXPECT_EQ(box.file("AREAS"), "00000000\tEmail\tbn\n");
    EXPECT_NE(r.out.find("Fetching message 6 of 6 (16 bytes)...\n"), std::string::npos);
    EXPECT_EQ(r.out.find("Fetching message 1 of"), std::string::npos);

    // Only empty messages: an empty file, still listed.
    Mailbox empty;
    ScriptedServer again(110);
    login(again.session())
        .expect("STAT\r\n")
        .send("+OK 1 0\r\n")
        .expect("LIST\r\n")
        .send("+OK\r\n1 0\r\n.\r\n")
        .expect("UIDL\r\n")
        .send("-ERR unknown\r\n")
        .expect("DELE 1\r\n")
        .send("+OK\r\n")
        .expect("QUIT\r\n")
        .send("+OK\r\n");
    again.start();
    empty.fetch();
    EXPECT_TRUE(again.finish());
    EXPECT_EQ(empty.file("00000000.MSG"), "");
    EXPECT_EQ(empty.file("AREAS"), "00000000\tEmail\tbn\n");
}

// Each case: what the server says, what it must have received, and the
// phase's reports in the log.
struct Failure {
    const char* name;
    void (*script)(Script&);
    std::string commands;
    std::string reports;
    std::string msgfile;  // expected contents of 00000000.MSG, "-" when none
    std::string areas;    // expected AREAS, "-" when none
};

TEST(Pop3Fetch, RefusalsAtEveryStep) {
    const std::string afterlogin = "USER joe\r\nPASS secret\r\nCAPA\r\n";
    const std::string head = "Fetching email from 127.0.0.1...\n";
    const std::string three = head + "There are 3 messages (" +
                              std::to_string(wire1.size() + wire2.size() + wire3.size()) +
                              " bytes) on the POP3 server.\n";
    const std::string skip = "(skipping email fetch)\n";
    const std::string all = record(stored1) + record(stored2) + record(stored3);
    const std::string area = "00000000\tEmail\tbn\n";
    const std::vector<Failure> cases = {
        {"greeting", [](Script& s) { s.send("-ERR go away\r\n").drain(); }, "",
         head + "POP3 host returned error: go away\n" + skip, "-", "-"},
        {"garbled greeting", [](Script& s) { s.send("HELLO\r\n").drain(); }, "",
         head + "POP3 host 127.0.0.1 at port 110 did not answer like a POP3 server: check POPHOST\n" + skip, "-", "-"},
        {"USER",
         [](Script& s) { s.send("+OK\r\n").expect("USER joe\r\n").send("-ERR who\r\n").expect("QUIT\r\n").send("+OK\r\n"); },
         "USER joe\r\nQUIT\r\n", head + "POP3 host refused the login: who\n" + skip, "-", "-"},
        {"PASS",
         [](Script& s) {
             s.send("+OK\r\n")
                 .expect("USER joe\r\n")
                 .send("+OK\r\n")
                 .expect("PASS secret\r\n")
                 .send("-ERR [AUTH] no\r\n")
                 .expect("QUIT\r\n")
                 .send("+OK\r\n");
         },
         "USER joe\r\nPASS secret\r\nQUIT\r\n", head + "POP3 host refused the login: [AUTH] no\n" + skip, "-", "-"},
        // The QUIT after it is lost: said, but the refusal judges the run.
        {"PASS, then QUIT lost",
         [](Script& s) {
             s.send("+OK\r\n").expect("USER joe\r\n").send("+OK\r\n").expect("PASS secret\r\n")
                 .send("-ERR [AUTH] no\r\n").expect("QUIT\r\n").drop();
         },
         "USER joe\r\nPASS secret\r\nQUIT\r\n",
         head + "POP3 host refused the login: [AUTH] no\n" +
             "!!! Error 0 on recv() nr 1\nReceive: connection closed by the server\n" + skip, "-", "-"},
        {"STAT",
         [](Script& s) { login(s).expect("STAT\r\n").send("-ERR busy\r\n").expect("QUIT\r\n").send("+OK\r\n"); },
         afterlogin + "STAT\r\nQUIT\r\n", head + "POP3 host returned error: busy\n" + skip, "-", "-"},
        {"huge STAT count",
         [](Script& s) {
             login(s).expect("STAT\r\n").send("+OK 2147483647 99\r\n").expect("QUIT\r\n").send("+OK\r\n");
         },
         afterlogin + "STAT\r\nQUIT\r\n",
         head + "There are 2147483647 messages (99 bytes) on the POP3 server.\n" +
             "Out of memory reading message list\n" + skip,
         "-", "-"},
        // Counts and sizes beyond 32 bits are read whole: the count is one
        // no list can hold, not an empty mailbox.
        {"STAT beyond 32 bits",
         [](Script& s) {
             login(s).expect("STAT\r\n").send("+OK 4294967297 3000000000\r\n").expect("QUIT\r\n").send("+OK\r\n");
         },
         afterlogin + "STAT\r\nQUIT\r\n",
         head + "There are 4294967297 messages (3000000000 bytes) on the POP3 server.\n" +
             "Out of memory reading message list\n" + skip,
         "-", "-"},
        {"negative STAT count",
         [](Script& s) { login(s).expect("STAT\r\n").send("+OK -4 0\r\n").expect("QUIT\r\n").send("+OK\r\n"); },
         afterlogin + "STAT\r\nQUIT\r\n", head + "POP3 host did not send valid answer\n" + skip, "-", "-"},
        // UIDL goes out with LIST.
        {"LIST",
         [](Script& s) {
             login(s).expect("STAT\r\n").send("+OK 3 9\r\n").expect("LIST\r\n").send("-ERR no\r\n")
                 .expect("UIDL\r\n").expect("QUIT\r\n").send("+OK\r\n");
         },
         afterlogin + "STAT\r\nLIST\r\nUIDL\r\nQUIT\r\n",
         head + "There are 3 messages (9 bytes) on the POP3 server.\nPOP3 host returned error: no\n" + skip,
         "-", "-"},
        // A short list must not wait for entries that never come.
        {"LIST too short",
         [](Script& s) {
             login(s)
                 .expect("STAT\r\n")
                 .send("+OK 3 9\r\n")
                 .expect("LIST\r\n")
                 .send("+OK\r\n1 4\r\n2 5\r\n.\r\n")
                 .expect("UIDL\r\n")
                 .expect("QUIT\r\n")
                 .send("+OK\r\n");
         },
         afterlogin + "STAT\r\nLIST\r\nUIDL\r\nQUIT\r\n",
         head + "There are 3 messages (9 bytes) on the POP3 server.\nUnable to retrieve list of messages\n" + skip,
         "-", "-"},
        {"LIST too long",
         [](Script& s) {
             login(s)
                 .expect("STAT\r\n")
                 .send("+OK 1 4\r\n")
                 .expect("LIST\r\n")
                 .send("+OK\r\n1 4\r\n2 5\r\n.\r\n")
                 .expect("UIDL\r\n")
                 .expect("QUIT\r\n")
                 .send("+OK\r\n");
         },
         afterlogin + "STAT\r\nLIST\r\nUIDL\r\nQUIT\r\n",
         head + "There are 1 messages (4 bytes) on the POP3 server.\nList of messages not properly terminated\n" +
             // The answer to QUIT is read after the stray terminator.
             "POP3 host did not send valid answer\n" + skip,
         "-", "-"},
        // RETR 3 went out with the others; its answer is what the client
        // reads after QUIT before it closes. The message before the refused
        // one is kept and recorded.
        {"RETR",
         [](Script& s) {
             listthree(s)
                 .expect("RETR 1\r\n")
                 .expect("RETR 2\r\n")
                 .expect("RETR 3\r\n")
                 .send("+OK\r\n" + wire1 + ".\r\n")
                 .send("-ERR gone\r\n")
                 .send("+OK\r\n" + wire3 + ".\r\n")
                 .expect("QUIT\r\n");
         },
         commandsthree + "QUIT\r\n",
         three + "* Message from Alice <alice@example.org>\nPOP3 host returned error: gone\n" +
             "Kept 1 whole message; the others come with the next run.\n" + skip,
         record(stored1), area},
        // The file is complete and listed before the first DELE, so a
        // refusal half-way leaves every message either stored or on the
        // server. The answers to the DELEs sent ahead are read (and
        // reported) before QUIT, so that QUIT gets its own answer.
        {"DELE",
         [](Script& s) {
             retrievethree(listthree(s))
                 .expect("DELE 1\r\n")
                 .expect("DELE 2\r\n")
                 .expect("DELE 3\r\n")
                 .send("+OK\r\n-ERR locked\r\n-ERR still locked\r\n")
                 .expect("QUIT\r\n")
                 .send("+OK\r\n");
         },
         commandsthree + "DELE 1\r\nDELE 2\r\nDELE 3\r\nQUIT\r\n",
         three + "* Message from Alice <alice@example.org>\n* Message from \n* Message from Bob <bob@example.org>\n" +
             "POP3 host returned error: locked\nPOP3 host returned error: still locked\n" + skip,
         all, area},
        {"QUIT",
         [](Script& s) {
             retrievethree(listthree(s))
                 .expect("DELE 1\r\n")
                 .send("+OK\r\n")
                 .expect("DELE 2\r\n")
                 .send("+OK\r\n")
                 .expect("DELE 3\r\n")
                 .send("+OK\r\n")
                 .expect("QUIT\r\n")
                 .send("-ERR cannot commit\r\n");
         },
         commandsthree + "DELE 1\r\nDELE 2\r\nDELE 3\r\nQUIT\r\n",
         three + "* Message from Alice <alice@example.org>\n* Message from \n* Message from Bob <bob@example.org>\n" +
             "POP3 host returned error: cannot commit\n" + skip,
         all, area},
    };
    for (const Failure& c : cases) {
        SCOPED_TRACE(c.name);
        Mailbox box;
        ScriptedServer server(110);
        c.script(server.session());
        server.start();
        auto t0 = std::chrono::steady_clock::now();
        RunResult r = box.fetch();
        auto took = std::chrono::steady_clock::now() - t0;
        EXPECT_TRUE(server.finish());
        EXPECT_EQ(server.errors(), std::vector<std::string>{});
        // A greeting that refuses passes by itself.
        EXPECT_EQ(r.status, c.name == std::string("greeting") ? 75 : 2);
        EXPECT_LT(took, std::chrono::seconds(15));
        EXPECT_EQ(server.received(0), c.commands);
        EXPECT_EQ(fromphase(readfile(box.log)), c.reports);
        EXPECT_EQ(fileexists(box.soup + "/00000000.MSG") ? box.file("00000000.MSG") : "-", c.msgfile);
        EXPECT_EQ(fileexists(box.soup + "/AREAS") ? box.file("AREAS") : "-", c.areas);
        // A fetch that failed leaves nothing of its file behind.
        EXPECT_FALSE(fileexists(box.soup + "/00000000.PRT"));
    }
}

// The commands go out ahead of the answers, 256 of them, and the pipeline
// is refilled once half of them are answered: a server that answers only
// after it has read 256 RETRs, or 256 DELEs, is served all the same.
TEST(Pop3Fetch, CommandsArePipelined) {
    Mailbox box;
    const int count = 300;
    const int window = 256;
    std::string wire = "From: p@q\r\n\r\n..body\r\n";
    std::string list = "+OK\r\n";
    std::string uidl = "+OK\r\n";
    for (int i = 1; i <= count; i++) {
        list += std::to_string(i) + " " + std::to_string(wire.size()) + "\r\n";
        uidl += std::to_string(i) + " id" + std::to_string(i) + "\r\n";
    }
    ScriptedServer server(110);
    Script& s = login(server.session())
                    .expect("STAT\r\n")
                    .send("+OK " + std::to_string(count) + " 999\r\n")
                    .expect("LIST\r\n")
                    .send(list + ".\r\n")
                    .expect("UIDL\r\n")
                    .send(uidl + ".\r\n");
    std::string commands = "USER joe\r\nPASS secret\r\nCAPA\r\nSTAT\r\nLIST\r\nUIDL\r\n";
    for (const char* verb : {"RETR", "DELE"}) {
        std::string answer = verb[0] == 'R' ? "+OK\r\n" + wire + ".\r\n" : "+OK\r\n";
        for (int i = 1; i <= window; i++) s.expect(verb + " "s + std::to_string(i) + "\r\n");
        for (int i = 1; i <= window / 2; i++) s.send(answer);
        for (int i = window + 1; i <= count; i++) s.expect(verb + " "s + std::to_string(i) + "\r\n");
        for (int i = window / 2 + 1; i <= count; i++) s.send(answer);
        for (int i = 1; i <= count; i++) commands += verb + " "s + std::to_string(i) + "\r\n";
    }
    s.expect("QUIT\r\n").send("+OK\r\n");
    server.start();
    RunResult r = box.fetch();
    EXPECT_TRUE(server.finish());
    EXPECT_EQ(server.errors(), std::vector<std::string>{});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(server.received(0), commands + "QUIT\r\n");
    std::string records;
    for (int i = 0; i < count; i++) records += record("From: p@q\n\n.body\n");
    EXPECT_EQ(box.file("00000000.MSG"), records);
    EXPECT_EQ(box.file("AREAS"), "00000000\tEmail\tbn\n");
    EXPECT_NE(r.out.find("Fetching message 300 of 300 (" + std::to_string(wire.size()) + " bytes)...\n"),
              std::string::npos);
}

// Into one file, as in a cron mail, the error stream's lines stand where they
// happened among the reports, although standard output is gathered there.
TEST(Pop3Fetch, ErrorLinesKeepTheirPlaceInOneFile) {
    Mailbox box;
    ScriptedServer server(110);
    server.session().send("+OK ready\r\n").expect("USER joe\r\n").drop();
    server.start();
    RunResult r = runprogram({"/bin/sh", "-c", "exec \"$0\" email fetch /verbose \"/config=$1\" 2>&1", vorpapath(),
                              box.cfg},
                             box.dir.path(), 60);
    EXPECT_TRUE(server.finish());
    size_t user = r.out.find("+ Sending USER command...\n!!! Error 0 on recv() nr 1\n");
    size_t error = r.out.find("Receive: ");
    ASSERT_NE(user, std::string::npos) << r.out;
    ASSERT_NE(error, std::string::npos) << r.out;
    EXPECT_LT(user, error) << r.out;
    // After the failed answer comes the QUIT, whose send may fail as well.
    size_t send = r.out.find("Send: ");
    if (send != std::string::npos) {
        EXPECT_LT(error, send) << r.out;
    }
    std::string end = "(skipping email fetch)\n\nFetched 0 mails.\nDone.\n";
    ASSERT_GE(r.out.size(), end.size());
    EXPECT_EQ(r.out.substr(r.out.size() - end.size()), end) << r.out;
}

// Gathered into a pipe, the reports still show while the program waits on a
// silent server.
TEST(Pop3Fetch, ReportsShowWhileWaiting) {
    Mailbox box;
    ScriptedServer server(110);
    server.session().send("+OK\r\n").expect("USER joe\r\n").silence(3000).drop();
    server.start();
    RunResult r = box.fetch({"/verbose"});
    EXPECT_TRUE(server.finish());
    size_t at = r.out.find("+ Sending USER command...\n");
    ASSERT_NE(at, std::string::npos) << r.out;
    long long shown = r.outat(at + 1);
    EXPECT_GE(shown, 0);
    EXPECT_LT(shown, 2000) << "shown only when the silence ended";
    EXPECT_NE(r.out.find("(skipping email fetch)\n"), std::string::npos);
}

// Neither a title change, a colour, a backspace nor a byte that is no UTF-8
// reaches the console or the log as it came.
TEST(Pop3Fetch, FromShownWithoutItsControls) {
    Mailbox box;
    ScriptedServer server(110);
    listthree(server.session())
        .expect("RETR 1\r\n")
        .send("+OK\r\nFrom: \x1b]0;owned\x07" "Eve \x1b[31m\xc3\xa9\xff\bx <eve@example.org>\r\n\r\npartial")
        .drop();
    server.start();
    RunResult r = box.fetch();
    EXPECT_TRUE(server.finish());
    const std::string shown = "* Message from ^[]0;owned^GEve ^[[31m\xc3\xa9\\xFF^Hx <eve@example.org>\n";
    EXPECT_NE(r.out.find(shown), std::string::npos) << r.out;
    EXPECT_NE(readfile(box.log).find(shown), std::string::npos);
}

// The message file cannot be written (file size limit): reported, no DELE,
// no AREAS line. Both a failure while storing and one at the final flush.
TEST(Pop3Fetch, WriteFailureDeletesNothing) {
    for (size_t size : {600u, 200000u}) {
        SCOPED_TRACE(size);
        Mailbox box;
        std::string body;
        while (body.size() < size) body += "line of text that fills the message file\r\n";
        ScriptedServer server(110);
        Script& script = server.session();
        login(script)
            .expect("STAT\r\n")
            .send("+OK 1 " + std::to_string(body.size()) + "\r\n")
            .expect("LIST\r\n")
            .send("+OK\r\n1 " + std::to_string(body.size()) + "\r\n.\r\n")
            .expect("UIDL\r\n")
            .send("-ERR\r\n")
            .expect("RETR 1\r\n")
            .send("+OK\r\n" + body + ".\r\n");
        // A small message fails only when the file is synced, after its
        // terminator: QUIT then. A failure mid-message closes the
        // connection instead of reading the rest of it as answers.
        bool whole = size < 1000;
        if (whole) script.expect("QUIT\r\n").send("+OK\r\n");
        script.drain();
        server.start();
        // The log goes to the packet directory's parent, which the limit
        // does not touch until it exceeds 512 bytes.
        RunResult r = runprogram({"/bin/sh", "-c", "trap '' XFSZ; ulimit -f 1; exec \"$0\" email fetch \"/config=$1\"",
                                  vorpapath(), box.cfg},
                                 box.dir.path(), 60);
        EXPECT_TRUE(server.finish());
        EXPECT_EQ(server.errors(), std::vector<std::string>{});
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_EQ(server.received(0),
                  "USER joe\r\nPASS secret\r\nCAPA\r\nSTAT\r\nLIST\r\nUIDL\r\nRETR 1\r\n"s + (whole ? "QUIT\r\n" : ""));
        EXPECT_NE(r.out.find("Cannot write to " + box.soup + "/00000000.MSG: File too large\n"), std::string::npos)
            << r.out;
        EXPECT_NE(r.out.find("(skipping email fetch)\n"), std::string::npos);
        EXPECT_FALSE(fileexists(box.soup + "/AREAS"));
    }
}

// A file that cannot be made is named, on the console and in the log: the
// message file in a read-only packet (nothing fetched, nothing deleted),
// the record's temporary file in a read-only folder of state files
// (without POPKEEP the stored message goes all the same).
TEST(Pop3Fetch, AFileThatCannotBeMadeIsNamed) {
    Mailbox box;
    const std::string state = box.dir / "state";
    mkdir(state.c_str(), 0700);
    writefile(box.cfg, readfile(box.cfg) + "NEWSGROUPS " + state + "/newsrc\n");
    const std::string message = "Subject: one\r\n\r\nhi\r\n";
    struct Case {
        std::string readonly;
        std::string line;
        bool stored;
    } cases[] = {
        {box.soup, "Cannot write to " + box.soup + "/00000000.MSG: Read-only file system\n(skipping email fetch)\n",
         false},
        {state, "Cannot write to " + state + "/00000000.TMP: Read-only file system\n", true},
    };
    for (const Case& c : cases) {
        ScriptedServer server(110);
        Script& s = login(server.session())
            .expect("STAT\r\n").send("+OK 1 " + std::to_string(message.size()) + "\r\n")
            .expect("LIST\r\n").send("+OK\r\n1 " + std::to_string(message.size()) + "\r\n.\r\n")
            .expect("UIDL\r\n").send("+OK\r\n1 id1\r\n.\r\n");
        if (c.stored)
            s.expect("RETR 1\r\n").send("+OK\r\n" + message + ".\r\n").expect("DELE 1\r\n").send("+OK\r\n");
        s.expect("QUIT\r\n").send("+OK\r\n");
        server.start();
        // The folder is read-only in a mount namespace of the run's own.
        RunResult r = runprogram({"/usr/bin/unshare", "-m", "/bin/sh", "-c",
                                  "mount --bind \"$1\" \"$1\" && mount -o remount,ro,bind \"$1\" && "
                                  "exec \"$0\" email fetch \"/config=$2\"",
                                  vorpapath(), c.readonly, box.cfg},
                                 box.dir.path(), 60);
        EXPECT_TRUE(server.finish()) << server.errortext();
        if (r.out.empty()) GTEST_SKIP() << "no read-only mount here: " << r.err;
        EXPECT_EQ(r.status, c.stored ? 0 : 2) << r.out;
        EXPECT_NE(r.out.find(c.line), std::string::npos) << r.out;
        EXPECT_NE(readfile(box.log).find(c.line), std::string::npos);
        EXPECT_EQ(fileexists(box.soup + "/00000000.MSG"), c.stored);
    }
}

// Without its AREAS line the file would be found by no reader: nothing is
// deleted then, and the file goes, lest the next run store the mail twice.
TEST(Pop3Fetch, AreasFailureDeletesNothing) {
    Mailbox box;
    mkdir((box.soup + "/AREAS").c_str(), 0700);
    ScriptedServer server(110);
    retrievethree(listthree(server.session())).expect("QUIT\r\n").send("+OK\r\n");
    server.start();
    RunResult r = box.fetch();
    EXPECT_TRUE(server.finish());
    EXPECT_EQ(server.received(0), commandsthree + "QUIT\r\n");
    EXPECT_EQ(box.files(), std::vector<std::string>{"AREAS"});
    std::string log = readfile(box.log);
    EXPECT_NE(log.find("Cannot append to " + box.soup + "/AREAS: Is a directory\n(skipping email fetch)\n"),
              std::string::npos)
        << log;
}

// Lines longer than the socket's line buffer arrive in pieces; a piece that
// merely looks like a terminator or a stuffed dot is still text.
TEST(Pop3Fetch, LongLinesStoredWhole) {
    Mailbox box;
    std::string a(16383, 'a');
    std::string b(16383, 'b');
    std::string c(40000, 'c');
    std::string wire = "Subject: long\r\n\r\n" + a + ".\r\n" + b + "..x\r\n" + c + "\r\n.end\r\n";
    std::string stored = "Subject: long\n\n" + a + ".\n" + b + "..x\n" + c + "\nend\n";
    ScriptedServer server(110);
    login(server.session())
        .expect("STAT\r\n")
        .send("+OK 1 " + std::to_string(wire.size()) + "\r\n")
        .expect("LIST\r\n")
        .send("+OK\r\n1 " + std::to_string(wire.size()) + "\r\n.\r\n")
        .expect("UIDL\r\n")
        .send("-ERR\r\n")
        .expect("RETR 1\r\n")
        .send("+OK\r\n" + wire + ".\r\n")
        .expect("DELE 1\r\n")
        .send("+OK\r\n")
        .expect("QUIT\r\n")
        .send("+OK\r\n");
    server.start();
    RunResult r = box.fetch();
    EXPECT_TRUE(server.finish());
    EXPECT_EQ(server.errors(), std::vector<std::string>{});
    EXPECT_EQ(box.file("00000000.MSG"), record(stored));
}

// A slow transfer of more than 5000 bytes per message and 10000 in all
// shows the rates and reports the average. A long "From:" line is reported
// whole.
TEST(Pop3Fetch, RatesAndAverage) {
    Mailbox box;
    std::string body;
    while (body.size() < 30000) body += "0123456789012345678901234567890123456789012345678\r\n";
    std::string sender;
    while (sender.size() < 300) sender += "Someone Long <some.one@example.org> ";
    std::string wire = "From: " + sender + "\r\n\r\n" + body;
    std::vector<size_t> pieces(wire.size() / 3000, 3000);
    pieces.push_back(wire.size() % 3000);
    ScriptedServer server(110);
    login(server.session())
        .expect("STAT\r\n")
        .send("+OK 1 " + std::to_string(wire.size()) + "\r\n")
        .expect("LIST\r\n")
        .send("+OK\r\n1 " + std::to_string(wire.size()) + "\r\n.\r\n")
        .expect("UIDL\r\n")
        .send("-ERR\r\n")
        .expect("RETR 1\r\n")
        .send("+OK\r\n")
        .sendsplit(wire, pieces, 20)
        .send(".\r\n")
        .expect("DELE 1\r\n")
        .send("+OK\r\n")
        .expect("QUIT\r\n")
        .send("+OK\r\n");
    server.start();
    RunResult r = runonterminal({"email", "fetch", "/config=" + box.cfg}, box.dir.path());
    EXPECT_TRUE(server.finish());
    EXPECT_NE(r.out.find(" cps, "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" avg]      \b\b\b\b\b\b"), std::string::npos);
    EXPECT_NE(r.out.find("\r100% ["), std::string::npos);
    std::string log = readfile(box.log);
    EXPECT_NE(log.find("\n* Message from " + sender + "\n"), std::string::npos) << log;
    EXPECT_NE(r.out.find("\r0%\r* Message from " + sender + "\n1%"), std::string::npos);
    size_t at = log.find("Average CPS fetching email: ");
    ASSERT_NE(at, std::string::npos) << log;
    unsigned long avg = std::stoul(log.substr(at + 28));
    // About 3000 bytes every 20 ms: well below a megabyte a second.
    EXPECT_GT(avg, 0u);
    EXPECT_LT(avg, 1000000u);
}

}  // namespace

// POPKEEP: a mailbox read from several devices stays on the server.
struct KeptMailbox : Mailbox {
    explicit KeptMailbox(const std::string& more = "") {
        writefile(cfg, readfile(cfg) + "NEWSGROUPS " + (dir / "newsrc") + "\nPOPKEEP on\n" + more);
    }
};

// STAT, LIST and UIDL of messages given as id and text; without uidl the
// server does not know UIDL.
Script& listkept(Script& s, const std::vector<std::pair<std::string, std::string>>& box, bool uidl = true,
                 const std::string& user = "joe") {
    std::string list, ids;
    size_t total = 0;
    for (size_t i = 0; i < box.size(); i++) {
        list += std::to_string(i + 1) + " " + std::to_string(box[i].second.size()) + "\r\n";
        ids += std::to_string(i + 1) + " " + box[i].first + "\r\n";
        total += box[i].second.size();
    }
    return login(s, user)
        .expect("STAT\r\n")
        .send("+OK " + std::to_string(box.size()) + " " + std::to_string(total) + "\r\n")
        .expect("LIST\r\n")
        .send("+OK\r\n" + list + ".\r\n")
        .expect("UIDL\r\n")
        .send(uidl ? "+OK\r\n" + ids + ".\r\n" : "-ERR\r\n");
}

const std::string keptlogin = "USER joe\r\nPASS secret\r\nCAPA\r\nSTAT\r\nLIST\r\nUIDL\r\n";

TEST(Pop3Keep, SecondRunFetchesOnlyTheNewOne) {
    KeptMailbox box;
    {
        ScriptedServer server(110);
        listkept(server.session(), {{"aaa", wire1}, {"bbb", wire3}})
            .expect("RETR 1\r\n").expect("RETR 2\r\n").expect("QUIT\r\n")
            .send("+OK\r\n" + wire1 + ".\r\n+OK\r\n" + wire3 + ".\r\n+OK\r\n");
        server.start();
        RunResult r = box.fetch();
        EXPECT_TRUE(server.finish());
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(server.received(0), keptlogin + "RETR 1\r\nRETR 2\r\nQUIT\r\n");
        EXPECT_EQ(box.file("00000000.MSG"), record(stored1) + record(stored3));
        EXPECT_EQ(recordids(box.record), "T aaa\nT bbb\n");
        EXPECT_NE(readfile(box.log).find("2 of them are new.\n"), std::string::npos);
    }
    // aaa was deleted elsewhere and is forgotten; ccc is new, listed twice
    // by a broken server, and fetched once.
    {
        ScriptedServer server(110);
        listkept(server.session(), {{"bbb", wire3}, {"ccc", wire2}, {"ccc", wire2}})
            .expect("RETR 2\r\n").send("+OK\r\n" + wire2 + ".\r\n")
            .expect("QUIT\r\n").send("+OK\r\n");
        server.start();
        RunResult r = box.fetch();
        EXPECT_TRUE(server.finish());
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(server.received(0), keptlogin + "RETR 2\r\nQUIT\r\n");
        EXPECT_EQ(box.file("00000001.MSG"), record(stored2));
        EXPECT_EQ(recordids(box.record), "T bbb\nT ccc\n");
    }
    // /test fetches what is new and leaves the record; nothing new, no file.
    for (const char* id : {"ddd", "bbb"}) {
        ScriptedServer server(110);
        Script& s = listkept(server.session(), {{id, wire3}});
        if (std::string(id) == "ddd") s.expect("RETR 1\r\n").send("+OK\r\n" + wire3 + ".\r\n");
        s.expect("QUIT\r\n").send("+OK\r\n");
        server.start();
        std::string before = readfile(box.record);
        RunResult r = box.fetch({"/test"});
        EXPECT_TRUE(server.finish());
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(readfile(box.record), before);
    }
    EXPECT_EQ(box.files(), (std::vector<std::string>{"00000000.MSG", "00000001.MSG", "00000002.MSG", "AREAS"}));
}

TEST(Pop3Keep, DaysDeleteOnlyTheOldOnes) {
    KeptMailbox box("POPKEEPDAYS 2\n");
    std::string recent = std::to_string(time(nullptr) - 86400);
    writefile(box.record, "1000 old\n" + recent + " fresh\n");
    {
        ScriptedServer server(110);
        listkept(server.session(), {{"old", wire1}, {"fresh", wire2}, {"new", wire3}})
            .expect("QUIT\r\n").send("+OK\r\n");
        server.start();
        RunResult r = box.fetch({"/check"});
        EXPECT_TRUE(server.finish()) << server.errortext();
        EXPECT_NE(r.out.find("There are 3 messages (" + std::to_string(wire1.size() + wire2.size() + wire3.size()) +
                             " bytes) on the POP3 server.\n1 of them are new.\nA run would fetch 1 of them and "
                             "delete 1.\n"),
                  std::string::npos)
            << r.out;
    }
    ScriptedServer server(110);
    listkept(server.session(), {{"old", wire1}, {"fresh", wire2}, {"new", wire3}})
        .expect("RETR 3\r\n").send("+OK\r\n" + wire3 + ".\r\n")
        .expect("DELE 1\r\n").send("+OK\r\n")
        .expect("QUIT\r\n").send("+OK\r\n");
    server.start();
    RunResult r = box.fetch();
    EXPECT_TRUE(server.finish());
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(server.received(0), keptlogin + "RETR 3\r\nDELE 1\r\nQUIT\r\n");
    EXPECT_NE(readfile(box.log).find("Deleting 1 message fetched 2 or more days ago.\n"), std::string::npos);
    std::string text = readfile(box.record);
    EXPECT_EQ(text.substr(0, text.find('\n', 10) + 1), "1000 old\n" + recent + " fresh\n");
    EXPECT_EQ(recordids(box.record), "T old\nT fresh\nT new\n");
}

TEST(Pop3Keep, ServerWithoutUidlFetchesAllAndDeletesNothing) {
    KeptMailbox box;
    ScriptedServer server(110);
    retrievethree(listkept(server.session(), {{"aaa", wire1}, {"bbb", wire2}, {"ccc", wire3}}, false))
        .expect("QUIT\r\n").send("+OK\r\n");
    server.start();
    RunResult r = box.fetch();
    EXPECT_TRUE(server.finish());
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(server.received(0), "USER joe\r\nPASS secret\r\nCAPA\r\nSTAT\r\nLIST\r\nUIDL\r\nRETR 1\r\nRETR 2\r\nRETR 3\r\nQUIT\r\n");
    EXPECT_EQ(box.file("00000000.MSG"), record(stored1) + record(stored2) + record(stored3));
    std::string log = fromphase(readfile(box.log));
    EXPECT_NE(log.find("POP3 host does not know UIDL: every message is fetched, none deleted\n"), std::string::npos)
        << log;
    EXPECT_EQ(log.find("-ERR"), std::string::npos) << log;
    EXPECT_NE(access(box.record.c_str(), F_OK), 0);
}

// A run killed after storing and before the record took the new one (the
// old record and a partial temporary file left): the next run fetches the
// message once more, the one after that not again.
TEST(Pop3Keep, UnrecordedMessageComesAgainOnce) {
    KeptMailbox box;
    for (int run = 0; run < 3; run++) {
        ScriptedServer server(110);
        Script& s = listkept(server.session(), {{"aaa", wire3}});
        if (run < 2) s.expect("RETR 1\r\n").send("+OK\r\n" + wire3 + ".\r\n");
        s.expect("QUIT\r\n").send("+OK\r\n");
        server.start();
        RunResult r = box.fetch();
        EXPECT_TRUE(server.finish());
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(recordids(box.record), "T aaa\n");
        if (run == 0) {
            std::remove(box.record.c_str());
            writefile(box.dir / "00000000.TMP", "123 a");
        }
    }
    EXPECT_EQ(box.files(), (std::vector<std::string>{"00000000.MSG", "00000001.MSG", "AREAS"}));
    EXPECT_FALSE(fileexists(box.dir / "00000000.TMP"));
}

// A record written with CR LF line ends is read as it is meant; a mailbox
// found empty leaves no id in it.
TEST(Pop3Keep, RecordFollowsTheServer) {
    KeptMailbox box;
    writefile(box.record, "1000 aaa\r\n");
    for (bool empty : {false, true}) {
        ScriptedServer server(110);
        if (empty)
            login(server.session()).expect("STAT\r\n").send("+OK 0 0\r\n").expect("QUIT\r\n").send("+OK\r\n");
        else
            listkept(server.session(), {{"aaa", wire1}, {"bbb", wire3}})
                .expect("RETR 2\r\n").send("+OK\r\n" + wire3 + ".\r\n")
                .expect("QUIT\r\n").send("+OK\r\n");
        server.start();
        RunResult r = box.fetch();
        EXPECT_TRUE(server.finish()) << server.errortext();
        EXPECT_EQ(r.status, 0) << r.out;
        if (!empty) {
            EXPECT_EQ(readfile(box.record).substr(0, 9), "1000 aaa\n");
        }
    }
    EXPECT_FALSE(fileexists(box.record));
    EXPECT_EQ(box.files(), (std::vector<std::string>{"00000000.MSG", "AREAS"}));
}

// Cut off before the server answered QUIT, when POP3 deletes: the next run
// knows the messages by their ids and only deletes them, passing over the
// lines of the record it cannot read.
TEST(Pop3Fetch, DropBeforeQuitAnswerFetchesNothingAgain) {
    Mailbox box;
    for (bool first : {true, false}) {
        ScriptedServer server(110);
        Script& s = first ? retrievethree(listthree(server.session())) : listthree(server.session());
        s.expect("DELE 1\r\n").expect("DELE 2\r\n").expect("DELE 3\r\n").send("+OK\r\n+OK\r\n+OK\r\n");
        s.expect("QUIT\r\n");
        if (!first) s.send("+OK\r\n");
        if (!first) writefile(box.record, readfile(box.record) + "garbage\n12x ddd\n");
        server.start();
        RunResult r = box.fetch();
        EXPECT_TRUE(server.finish()) << server.errortext();
        EXPECT_EQ(r.status, first ? 75 : 0) << r.out;
        EXPECT_EQ(box.files(), (std::vector<std::string>{"00000000.MSG", "AREAS"}));
    }
    EXPECT_NE(readfile(box.log).find("! Ignored 2 unreadable lines of " + box.record +
                                     "\n3 of them were stored by an earlier run.\n"),
              std::string::npos) << readfile(box.log);
}

// Cut off in the fourth of five messages: the three before it are kept and
// the next run fetches only the others, here one as POPMAX says (those only
// deleted do not count). A server without UIDL gives nothing to record
// them by: there the fetch keeps nothing.
TEST(Pop3Fetch, DropAfterThreeOfFiveKeepsThree) {
    std::vector<std::pair<std::string, std::string>> five;
    std::string stored;  // 15 bytes a message
    for (int i = 1; i <= 5; i++) {
        five.push_back({"m" + std::to_string(i), "Subject: " + std::to_string(i) + "\r\n"});
        stored += record("Subject: " + std::to_string(i) + "\n");
    }
    for (bool uidl : {false, true}) {
        SCOPED_TRACE(uidl);
        Mailbox box;
        ScriptedServer server(110);
        Script& s = listkept(server.session(), five, uidl);
        for (int i = 1; i <= 5; i++) s.expect("RETR " + std::to_string(i) + "\r\n");
        for (int i = 0; i < 3; i++) s.send("+OK\r\n" + five[i].second + ".\r\n");
        s.send("+OK\r\nSubj").drop();
        server.start();
        RunResult r = box.fetch();
        EXPECT_TRUE(server.finish());
        EXPECT_EQ(r.status, 75);
        // The connection is gone: no QUIT, and no wait for its answer.
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(box.files().size(), uidl ? 2u : 0u);
        if (!uidl) continue;
        EXPECT_EQ(box.file("00000000.MSG"), stored.substr(0, 45));
        EXPECT_NE(readfile(box.log).find("Unable to fetch message\nKept 3 whole messages; the others come with the "
                                         "next run.\n(skipping email fetch)\n"),
                  std::string::npos) << readfile(box.log);

        writefile(box.cfg, readfile(box.cfg) + "POPMAX 1\n");
        ScriptedServer again(110);
        Script& next = listkept(again.session(), five).expect("RETR 4\r\n").send("+OK\r\n" + five[3].second + ".\r\n");
        for (int i = 1; i <= 4; i++) next.expect("DELE " + std::to_string(i) + "\r\n").send("+OK\r\n");
        next.expect("QUIT\r\n").send("+OK\r\n");
        again.start();
        EXPECT_EQ(box.fetch().status, 0);
        EXPECT_TRUE(again.finish()) << again.errortext();
        EXPECT_NE(readfile(box.log).find("3 of them were stored by an earlier run.\nFetching 1 of them now, 1 in a "
                                         "later run.\n"),
                  std::string::npos) << readfile(box.log);
        EXPECT_EQ(box.file("00000001.MSG"), stored.substr(45, 15));
        EXPECT_EQ(recordids(box.record), "T m1\nT m2\nT m3\nT m4\n");
    }
}

// A record that cannot be trusted at all stops the fetch rather than have
// every message it names fetched again.
TEST(Pop3Fetch, UnreadableRecordStopsTheFetch) {
    for (std::string text : {"", "garbage\n1000\n"}) {
        Mailbox box;
        writefile(box.record, text);
        ScriptedServer server(110);
        listthree(server.session()).expect("QUIT\r\n").send("+OK\r\n");
        server.start();
        EXPECT_EQ(box.fetch().status, 2);
        EXPECT_TRUE(server.finish()) << server.errortext();
        std::string why = text.empty() ? "it is empty" : "no line of it is a time and an id";
        EXPECT_NE(readfile(box.log).find("Cannot read " + box.record + ": " + why + "\n"), std::string::npos);
        EXPECT_EQ(box.files(), std::vector<std::string>{});
    }
}

// Every account's mailbox in one run, each into a file of its own and an
// area the reader tells apart; a named account's record follows its name,
// not the spelling of its host.
TEST(Pop3Accounts, EveryMailboxIntoOnePacket) {
    KeptMailbox box;
    writefile(box.cfg, readfile(box.cfg) + "ACCOUNT work\nPOPUSER ann\nPOPPASS secret\nPOPKEEP on\nPOPHOST 127.0.0.1\n");
    {
        ScriptedServer server(110);
        listkept(server.session(), {{"aaa", wire1}})
            .expect("RETR 1\r\n").send("+OK\r\n" + wire1 + ".\r\n")
            .expect("QUIT\r\n").send("+OK\r\n");
        listkept(server.session(), {{"bbb", wire3}}, true, "ann")
            .expect("RETR 1\r\n").send("+OK\r\n" + wire3 + ".\r\n")
            .expect("QUIT\r\n").send("+OK\r\n");
        server.start();
        RunResult r = box.fetch();
        EXPECT_TRUE(server.finish()) << server.errortext();
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_NE(r.out.find("Fetching email from 127.0.0.1...\n"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("Fetching mail for work from 127.0.0.1...\n"), std::string::npos) << r.out;
        EXPECT_EQ(box.file("00000000.MSG"), record(stored1));
        EXPECT_EQ(box.file("00000001.MSG"), record(stored3));
        EXPECT_EQ(box.file("AREAS"), "00000000\tEmail\tbn\n00000001\tEmail (work)\tbn\n");
        EXPECT_EQ(recordids(box.record), "T aaa\n");
        EXPECT_EQ(recordids(box.dir / "popkeep-work"), "T bbb\n");
    }
    // Only work, its host spelt another way: nothing is fetched again.
    writefile(box.cfg, readfile(box.cfg) + "POPHOST 127.0.0.1:110\n");
    ScriptedServer server(110);
    listkept(server.session(), {{"bbb", wire3}}, true, "ann").expect("QUIT\r\n").send("+OK\r\n");
    server.start();
    RunResult r = box.fetch({"/account=work"});
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(server.accepted(), 1u);
    EXPECT_EQ(box.files(), (std::vector<std::string>{"00000000.MSG", "00000001.MSG", "AREAS"}));
}
