// Two runs on one packet, or on one configuration's state files: the second,
// started while the first writes, touches nothing and exits 75; the first
// loses nothing.
#include <sys/stat.h>

#include <functional>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "run.h"
#include "scripted_server.h"

namespace {

const std::string text = "From: a@x.org\r\nSubject: s\r\n\r\nbody\r\n";

// An email fetch by cfg from cwd into soup, with second called while the
// POP3 server holds back the rest of its one message.
void firstrun(const std::string& cfg, const std::string& cwd, const std::string& soup,
              const std::function<void()>& second) {
    ScriptedServer server(110);
    server.session()
        .send("+OK ready\r\n")
        .expect("CAPA\r\n").send("-ERR\r\n")
        .expect("USER joe\r\n").send("+OK\r\n")
        .expect("PASS secret\r\n").send("+OK\r\n")
        .expect("STAT\r\n").send("+OK 1 " + std::to_string(text.size()) + "\r\n")
        .expect("LIST\r\n").send("+OK\r\n1 " + std::to_string(text.size()) + "\r\n.\r\n")
        .expect("UIDL\r\n").send("-ERR\r\n")
        .expect("RETR 1\r\n").send("+OK\r\n" + text.substr(0, 20)).pause(300)
        .call(second)
        .send(text.substr(20) + ".\r\n")
        .expect("DELE 1\r\n").send("+OK\r\n")
        .expect("QUIT\r\n").send("+OK\r\n");
    server.start();
    RunResult first = runvorpa({"email", "fetch", "/config=" + cfg}, cwd, 30);
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ(first.status, 0) << first.out;
    EXPECT_EQ(listdir(soup), (std::vector<std::string>{"00000000.MSG", "AREAS"}));
    EXPECT_EQ(readfile(soup + "/00000000.MSG"), record("From: a@x.org\nSubject: s\n\nbody\n"));
}

// Runs a news fetch by cfg from cwd while the first run works; it must say
// that the first uses what, and leave dir, soup, the log and the newsrc as
// they were.
void secondrun(const TempDir& dir, const std::string& cfg, const std::string& cwd, const std::string& soup,
               const std::string& what) {
    std::vector<std::string> files = listdir(dir.path()), packet = listdir(soup);
    std::string log = readfile(dir / "vorpa.log");
    RunResult second = runvorpa({"news", "fetch", "/config=" + cfg}, cwd, 20);
    EXPECT_EQ(second.status, 75) << second.out << second.err;
    EXPECT_TRUE(std::regex_match(second.err, std::regex("Another vorpa run \\(pid [0-9]+\\) is using " + what + "\n")))
        << second.err;
    EXPECT_EQ(listdir(dir.path()), files);
    EXPECT_EQ(listdir(soup), packet);
    EXPECT_EQ(readfile(dir / "vorpa.log"), log);
    EXPECT_EQ(readfile(dir / "newsrc"), "a.b 1-5\n");
}

void writeconfig(const TempDir& dir, const std::string& soupdir) {
    writefile(dir / "vorpa.cfg", "POPHOST 127.0.0.1\nPOPUSER joe\nPOPPASS secret\nNNTPHOST 127.0.0.1\nSOUPDIR " +
                                     soupdir + "\nLOGFILE " + (dir / "vorpa.log") + "\n");
    writefile(dir / "newsrc", "a.b 1-5\n");
}

}  // namespace

TEST(PacketLock, SecondRunTouchesNothing) {
    TempDir dir;
    std::string soup = dir / "soup", cfg = dir / "vorpa.cfg";
    mkdir(soup.c_str(), 0700);
    writeconfig(dir, soup);
    firstrun(cfg, dir.path(), soup, [&] { secondrun(dir, cfg, dir.path(), soup, soup); });
}

// A relative SOUPDIR run from two folders gives two packets, but the
// configuration's state is one.
TEST(StateLock, SecondRunOnOtherPacketTouchesNothing) {
    TempDir dir;
    std::string cfg = dir / "vorpa.cfg";
    for (const char* folder : {"a", "a/soup", "b", "b/soup"}) mkdir((dir / folder).c_str(), 0700);
    writeconfig(dir, "soup");
    firstrun(cfg, dir / "a", dir / "a/soup",
             [&] { secondrun(dir, cfg, dir / "b", dir / "b/soup", dir / "newsrc"); });
}
