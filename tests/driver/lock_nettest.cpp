// Two runs on one packet: the second, started while the first writes,
// touches nothing and exits 75; the first loses nothing.
#include <sys/stat.h>

#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "run.h"
#include "scripted_server.h"

TEST(PacketLock, SecondRunTouchesNothing) {
    TempDir dir;
    std::string soup = dir / "soup", log = dir / "vorpa.log", cfg = dir / "vorpa.cfg";
    mkdir(soup.c_str(), 0700);
    writefile(cfg, "POPHOST 127.0.0.1\nPOPUSER joe\nPOPPASS secret\nNNTPHOST 127.0.0.1\nSOUPDIR " + soup +
                       "\nLOGFILE " + log + "\n");
    writefile(dir / "newsrc", "a.b 1-5\n");
    const std::string text = "From: a@x.org\r\nSubject: s\r\n\r\nbody\r\n";
    RunResult second;
    std::vector<std::string> during, after;
    std::string logduring, logafter;
    ScriptedServer server(110);
    server.session()
        .send("+OK ready\r\n")
        .expect("USER joe\r\n").send("+OK\r\n")
        .expect("PASS secret\r\n").send("+OK\r\n")
        .expect("CAPA\r\n").send("-ERR\r\n")
        .expect("STAT\r\n").send("+OK 1 " + std::to_string(text.size()) + "\r\n")
        .expect("LIST\r\n").send("+OK\r\n1 " + std::to_string(text.size()) + "\r\n.\r\n")
        .expect("UIDL\r\n").send("-ERR\r\n")
        .expect("RETR 1\r\n").send("+OK\r\n" + text.substr(0, 20)).pause(300)
        .call([&] {
            during = listdir(soup);
            logduring = readfile(log);
            second = runvorpa({"news", "fetch", "/config=" + cfg}, dir.path(), 20);
            after = listdir(soup);
            logafter = readfile(log);
        })
        .send(text.substr(20) + ".\r\n")
        .expect("DELE 1\r\n").send("+OK\r\n")
        .expect("QUIT\r\n").send("+OK\r\n");
    server.start();
    RunResult first = runvorpa({"email", "fetch", "/config=" + cfg}, dir.path(), 30);
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ(second.status, 75) << second.out << second.err;
    EXPECT_TRUE(std::regex_match(second.err, std::regex("Another vorpa run \\(pid [0-9]+\\) is using " + soup + "\n")))
        << second.err;
    EXPECT_EQ(after, during);
    EXPECT_EQ(logafter, logduring);
    EXPECT_EQ(readfile(dir / "newsrc"), "a.b 1-5\n");
    EXPECT_EQ(first.status, 0) << first.out;
    EXPECT_EQ(listdir(soup), (std::vector<std::string>{"00000000.MSG", "AREAS"}));
    EXPECT_EQ(readfile(soup + "/00000000.MSG"), record("From: a@x.org\nSubject: s\n\nbody\n"));
}
