// Line and block reception over real loopback connections, against a
// scripted server that controls how the bytes are split into reads.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "core/report.h"
#include "net/socket.h"
#include "scripted_server.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondssince(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

bool connectto(Socket& s, const ScriptedServer& srv) {
    char host[] = "127.0.0.1";
    return s.Create() >= 0 && s.Connect(host, srv.port()) == 0;
}

// True when every byte of the line buffer from index from on is zero.
bool zeroafter(const Socket& s, int from) {
    for (int i = from; i < 16384; i++)
        if (s.line()[i] != 0) return false;
    return true;
}

std::string line(const Socket& s, int len) {
    return std::string(s.line(), len);
}

TEST(RecvTeol, DeliversOneLineAtATimeWhateverTheReads) {
    ScriptedServer srv(0, 5000);
    srv.session()
        .send("+OK ready\r\n")
        .send("+OK ready\r\n")
        .expect("NEXT\r\n")
        .send("first line\r\nsecond line\r\n")
        .expect("NEXT\r\n")
        .sendsplit("split at the CR\r\n", {15, 1}, 100)
        .sendsplit("bare\nend\n", {5}, 100)
        .send("a\rb\r\n")
        .send("x\r\r\ny\r\rz\r\n")
        .send("\r\n\r\n")
        .expect("QUIT\r\n");
    srv.start();
    Socket s;
    ASSERT_TRUE(connectto(s, srv));
    char next[] = "NEXT\r\n";

    EXPECT_EQ(s.RecvTeol(), 11);
    EXPECT_EQ(line(s, 12), std::string("+OK ready\r\n\0", 12));
    EXPECT_EQ(s.iEol, 1);
    EXPECT_EQ(s.RecvTeol(1), 9);
    EXPECT_EQ(line(s, 10), std::string("+OK ready\0", 10));

    ASSERT_EQ(s.Send(next), 6);
    EXPECT_EQ(s.RecvTeol(), 12);
    EXPECT_EQ(line(s, 12), "first line\r\n");
    EXPECT_GT(s.iResult, 0) << "the first line needs a network read";
    EXPECT_EQ(s.RecvTeol(), 13);
    EXPECT_EQ(line(s, 13), "second line\r\n");
    EXPECT_EQ(s.iResult, 0) << "the second line was already read ahead";
    EXPECT_TRUE(zeroafter(s, 13)) << "the longer first line left bytes behind";

    ASSERT_EQ(s.Send(next), 6);
    EXPECT_EQ(s.RecvTeol(), 17);
    EXPECT_EQ(line(s, 17), "split at the CR\r\n");
    EXPECT_EQ(s.RecvTeol(), 5);
    EXPECT_EQ(line(s, 5), "bare\n");
    EXPECT_EQ(s.iEol, 1);
    EXPECT_EQ(s.RecvTeol(), 4);
    EXPECT_EQ(line(s, 4), "end\n");

    EXPECT_EQ(s.RecvTeol(), 5);
    EXPECT_EQ(line(s, 5), "a b\r\n");
    EXPECT_EQ(s.RecvTeol(), 4);
    EXPECT_EQ(line(s, 4), "x \r\n");
    EXPECT_EQ(s.RecvTeol(), 6);
    EXPECT_EQ(line(s, 6), "y  z\r\n");

    EXPECT_EQ(s.RecvTeol(), 2);
    EXPECT_EQ(line(s, 2), "\r\n");
    EXPECT_EQ(s.RecvTeol(1), 0);
    EXPECT_TRUE(zeroafter(s, 0));
    EXPECT_EQ(s.iEol, 1);

    char quit[] = "QUIT\r\n";
    ASSERT_EQ(s.Send(quit), 6);
    EXPECT_TRUE(srv.finish()) << srv.errortext();
    EXPECT_EQ(srv.received(), "NEXT\r\nNEXT\r\nQUIT\r\n");
}

// Line ends and lone CRs at every place of lines up to 70 characters, so
// that each falls on every position of the blocks a scan may take at once.
TEST(RecvTeol, FindsLineEndsAndLoneCrsAtEveryPlace) {
    std::string sent;
    std::vector<std::string> expected;
    for (int len = 1; len <= 70; len++) {
        std::string text;
        for (int i = 0; i < len; i++) text += static_cast<char>('a' + i % 26);
        sent += text + "\r\n";
        expected.push_back(text + "\r\n");
        sent += text + "\n";
        expected.push_back(text + "\n");
        for (int cr = 0; cr < len; cr++) {
            std::string withcr = text;
            withcr[cr] = '\r';
            std::string shown = text;
            shown[cr] = ' ';
            sent += withcr + "\r\n";
            expected.push_back(shown + "\r\n");
        }
    }
    ScriptedServer srv(0, 5000);
    srv.session().send(sent).expect("QUIT\r\n");
    srv.start();
    Socket s;
    ASSERT_TRUE(connectto(s, srv));
    for (const std::string& want : expected) {
        ASSERT_EQ(s.RecvTeol(), static_cast<int>(want.size())) << want;
        ASSERT_EQ(line(s, static_cast<int>(want.size())), want);
        ASSERT_EQ(s.iEol, 1);
        ASSERT_TRUE(zeroafter(s, static_cast<int>(want.size())));
    }
    char quit[] = "QUIT\r\n";
    ASSERT_EQ(s.Send(quit), 6);
    EXPECT_TRUE(srv.finish()) << srv.errortext();
}

TEST(RecvTeol, CutsOverlongLinesWithoutSplittingTheLineEnd) {
    std::string longline(20000, 'L');
    std::string crat16383 = std::string(16382, 'C') + "\r\n";
    std::string lfat16383 = std::string(16382, 'F') + "\n";
    std::string crinside = std::string(16381, 'D') + "\r\r\n";
    ScriptedServer srv(0, 5000);
    srv.session().send(longline + "\r\n" + crat16383 + lfat16383 + crinside).expect("QUIT\r\n");
    srv.start();
    Socket s;
    ASSERT_TRUE(connectto(s, srv));

    EXPECT_EQ(s.RecvTeol(), 16383);
    EXPECT_EQ(s.iEol, 0);
    EXPECT_EQ(line(s, 16384), std::string(16383, 'L') + '\0');
    EXPECT_EQ(s.RecvTeol(), 3619);
    EXPECT_EQ(s.iEol, 1);
    EXPECT_EQ(line(s, 3619), std::string(3617, 'L') + "\r\n");
    EXPECT_TRUE(zeroafter(s, 3619));

    EXPECT_EQ(s.RecvTeol(), 16382);
    EXPECT_EQ(s.iEol, 0);
    EXPECT_EQ(line(s, 16382), std::string(16382, 'C'));
    EXPECT_TRUE(zeroafter(s, 16382));
    EXPECT_EQ(s.RecvTeol(), 2);
    EXPECT_EQ(line(s, 2), "\r\n");
    EXPECT_EQ(s.iEol, 1);

    EXPECT_EQ(s.RecvTeol(), 16383);
    EXPECT_EQ(s.iEol, 1);
    EXPECT_EQ(s.line()[16382], '\n');

    EXPECT_EQ(s.RecvTeol(), 16382);
    EXPECT_EQ(s.line()[16381], ' ') << "a CR followed by a CR is a lone CR";
    EXPECT_EQ(s.RecvTeol(), 2);
    EXPECT_EQ(line(s, 2), "\r\n");

    char quit[] = "QUIT\r\n";
    s.Send(quit);
    EXPECT_TRUE(srv.finish()) << srv.errortext();
}

// 16383 bytes of complete lines fill the first read exactly; the server then
// waits for our command. Waiting for a second portion would stall the
// dialogue for the whole time-out.
TEST(RecvTeol, FullFirstReadDoesNotWaitForMore) {
    std::string block;
    while (block.size() + 80 <= 16383) block += std::string(78, 'r') + "\r\n";
    std::string last(16383 - block.size() - 2, 'e');
    block += last + "\r\n";
    ASSERT_EQ(block.size(), 16383u);
    ScriptedServer srv(0, 8000);
    srv.session().send(block).expect("NEXT\r\n").pause(150).send(block + "more\r\n").expect("QUIT\r\n");
    srv.start();
    Socket s;
    ASSERT_TRUE(connectto(s, srv));
    s.settimeout(3);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    auto t0 = Clock::now();
    int lines = 0;
    int total = 0;
    while (total < 16383) {
        int n = s.RecvTeol();
        ASSERT_GT(n, 0);
        total += n;
        lines++;
    }
    EXPECT_EQ(total, 16383);
    EXPECT_EQ(line(s, static_cast<int>(last.size()) + 2), last + "\r\n");
    EXPECT_LT(secondssince(t0), 1.0);

    // Now a full first read with more waiting: both portions are used.
    char next[] = "NEXT\r\n";
    s.Send(next);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    total = 0;
    while (total < 16383) {
        int n = s.RecvTeol();
        ASSERT_GT(n, 0);
        total += n;
    }
    EXPECT_EQ(s.RecvTeol(), 6);
    EXPECT_EQ(line(s, 6), "more\r\n");
    EXPECT_EQ(s.iResult, 0);

    char quit[] = "QUIT\r\n";
    s.Send(quit);
    EXPECT_TRUE(srv.finish()) << srv.errortext();
}

// RecvLine delivers what RecvTeol would, in place where a line lies whole in
// the read-ahead store and through line() where it does not (or where the
// line needs a network read).
TEST(RecvLine, InPlaceWhereWholeElseThroughTheBuffer) {
    std::vector<std::string> lines;
    std::string first;
    for (int i = 0; first.size() + 100 <= 16383; i++) {
        char text[32];
        std::snprintf(text, sizeof text, "line %03d ", i % 1000);
        lines.push_back(text + std::string(100 - 9 - 2, 'x') + "\r\n");
        first += lines.back();
    }
    std::string spanning = "spanning " + std::string(89, 's') + "\r\n";
    size_t cut = 16383 - first.size();
    first += spanning.substr(0, cut);
    std::string rest = spanning.substr(cut) + "a\rb\r\n" + std::string(20000, 'L') + "\r\nend\n";
    ScriptedServer srv(0, 5000);
    srv.session().send(first).pause(200).send(rest).expect("QUIT\r\n");
    srv.start();
    Socket s;
    ASSERT_TRUE(connectto(s, srv));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    // The first line comes with a network read, through line().
    const char* text = nullptr;
    for (const std::string& want : lines) {
        ASSERT_EQ(s.RecvLine(&text), static_cast<int>(want.size()));
        ASSERT_EQ(text == s.line(), &want == &lines[0]);
        ASSERT_EQ(std::string(text, want.size()), want);
        ASSERT_EQ(s.iEol, 1);
    }
    EXPECT_EQ(line(s, 100), lines[0]) << "lines given in place leave line() alone";
    EXPECT_TRUE(zeroafter(s, 100));
    EXPECT_EQ(s.RecvLine(&text), static_cast<int>(spanning.size()));
    EXPECT_EQ(text, s.line());
    EXPECT_EQ(line(s, static_cast<int>(spanning.size())), spanning);
    EXPECT_EQ(s.RecvLine(&text), 5);
    EXPECT_EQ(std::string(text, 5), "a b\r\n");
    EXPECT_EQ(s.RecvLine(&text), 16383);
    EXPECT_EQ(text, s.line());
    EXPECT_EQ(std::string(text, 16383), std::string(16383, 'L'));
    EXPECT_EQ(s.iEol, 0);
    EXPECT_EQ(s.RecvLine(&text), 20000 - 16383 + 2);
    EXPECT_EQ(std::string(text, 20000 - 16383 + 2), std::string(20000 - 16383, 'L') + "\r\n");
    EXPECT_EQ(s.RecvLine(&text), 4);
    EXPECT_EQ(std::string(text, 4), "end\n");

    char quit[] = "QUIT\r\n";
    ASSERT_EQ(s.Send(quit), 6);
    EXPECT_TRUE(srv.finish()) << srv.errortext();
}

// A server that closes right after a full first portion: the lines it sent
// are all delivered, and the close shows at the next read. A reset there is
// a failure of the follow-up read.
TEST(RecvTeol, CloseOrResetRightAfterAFullFirstRead) {
    ConsoleReport report;  // where the socket says what failed
    std::string block;
    while (block.size() < 16383 - 100) block += std::string(98, 'z') + "\r\n";
    block += std::string(16383 - block.size() - 2, 'e') + "\r\n";
    ASSERT_EQ(block.size(), 16383u);
    ScriptedServer srv(0, 5000);
    srv.session().send(block).drop();
    srv.session().send(block).pause(300).drop();
    srv.start();
    {
        Socket s;
        s.report = &report;
        ASSERT_TRUE(connectto(s, srv));
        s.settimeout(3);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        testing::internal::CaptureStdout();
        int total = 0;
        while (total < 16383) {
            int n = s.RecvTeol();
            ASSERT_GT(n, 0) << testing::internal::GetCapturedStdout();
            total += n;
        }
        EXPECT_EQ(s.RecvTeol(), -1);
        EXPECT_EQ(errno, kPeerClosed);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "!!! Error 0 on recv() nr 1\n");
    }
    {
        Socket s;
        s.report = &report;
        ASSERT_TRUE(connectto(s, srv));
        s.settimeout(3);
        // Left unread, this makes the server's close a reset.
        char junk[] = "junk\r\n";
        s.Send(junk);
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        testing::internal::CaptureStdout();
        errno = 0;
        EXPECT_EQ(s.RecvTeol(), -1);
        EXPECT_EQ(errno, ECONNRESET);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "!!! Error -1 on recv() nr 2\n");
    }
    EXPECT_TRUE(srv.finish()) << srv.errortext();
}

TEST(RecvTeol, FailuresPrintTheirDiagnosticAndSetErrno) {
    ConsoleReport report;  // where the socket says what failed
    ScriptedServer srv(0, 8000);
    srv.session().silence(3000);
    srv.session().send("half a li").drop();
    srv.session().expect("junk\r\n").pause(300).drop();
    srv.start();

    {
        Socket s;
        s.report = &report;
        ASSERT_TRUE(connectto(s, srv));
        s.settimeout(1);
        testing::internal::CaptureStdout();
        auto t0 = Clock::now();
        errno = 0;
        EXPECT_EQ(s.RecvTeol(), -1);
        EXPECT_EQ(errno, ETIMEDOUT);
        EXPECT_EQ(s.iResult, -1);
        EXPECT_EQ(s.iEol, 0);
        double took = secondssince(t0);
        EXPECT_GE(took, 0.9);
        EXPECT_LT(took, 2.0);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "!!! Error 0 on select() nr 1 -- ulTimeout = 1\n");
    }
    {
        Socket s;
        s.report = &report;
        ASSERT_TRUE(connectto(s, srv));
        s.settimeout(5);
        testing::internal::CaptureStdout();
        errno = 0;
        EXPECT_EQ(s.RecvTeol(), -1);
        EXPECT_EQ(errno, kPeerClosed);
        EXPECT_EQ(s.iResult, -1);
        EXPECT_EQ(std::string(s.line()), "half a li");
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "!!! Error 0 on recv() nr 1\n");
    }
    {
        // Data the server never read makes its close a reset.
        Socket s;
        s.report = &report;
        ASSERT_TRUE(connectto(s, srv));
        s.settimeout(5);
        char junk[] = "junk\r\n";
        s.Send(junk);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        s.Send(junk);
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        testing::internal::CaptureStdout();
        errno = 0;
        EXPECT_EQ(s.RecvTeol(), -1);
        EXPECT_EQ(errno, ECONNRESET);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "!!! Error -1 on recv() nr 1\n");
        // A send to the reset peer fails instead of ending the program.
        EXPECT_EQ(s.Send(junk), -1);
        EXPECT_EQ(s.iResult, -1);
    }
    EXPECT_TRUE(srv.finish()) << srv.errortext();
}

TEST(Recv, SharesTheReadAheadWithRecvTeol) {
    std::string ahead;
    for (int i = 0; i < 300; i++) ahead += static_cast<char>('A' + i % 26);
    ScriptedServer srv(0, 8000);
    srv.session().send("+OK\r\n" + ahead).silence(1500).send("late").pause(100).drop();
    srv.start();
    Socket s;
    ASSERT_TRUE(connectto(s, srv));
    s.settimeout(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    EXPECT_EQ(s.RecvTeol(), 5);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(s.Recv(100), 100);
        EXPECT_EQ(s.iResult, 100);
        EXPECT_EQ(std::string(s.line()), ahead.substr(100 * i, 100));
    }
    EXPECT_EQ(s.Recv(0), -1);
    EXPECT_EQ(s.iResult, -1);
    EXPECT_EQ(s.Recv(16385), -1);
    EXPECT_EQ(s.iResult, -1);

    // Commands built in line(), a long one and then a short one, leave
    // nothing behind for the next reception; nor does a text built there
    // and never sent, under a command sent after it.
    std::string longcmd = std::string(1000, 'c') + "\r\n";
    std::snprintf(s.line(), 16384, "%s", longcmd.c_str());
    ASSERT_EQ(s.Send(s.line()), 1002);
    std::snprintf(s.line(), 16384, "x\r\n");
    ASSERT_EQ(s.Send(s.line()), 3);
    std::snprintf(s.line(), 16384, "%s", std::string(3000, 'u').c_str());
    std::string overcmd = std::string(1500, 'd') + "\r\n";
    std::snprintf(s.line(), 16384, "%s", overcmd.c_str());
    ASSERT_EQ(s.Send(s.line()), 1502);

    testing::internal::CaptureStdout();
    EXPECT_EQ(s.Recv(100), -1);
    EXPECT_EQ(s.iResult, ETIMEDOUT);
    EXPECT_TRUE(zeroafter(s, 0));
    // So does a text built there and never sent.
    std::snprintf(s.line(), 16384, "%s", std::string(700, 'q').c_str());
    s.settimeout(5);
    EXPECT_EQ(s.Recv(16384), 4);
    EXPECT_EQ(std::string(s.line()), "late");
    EXPECT_TRUE(zeroafter(s, 4));
    EXPECT_EQ(s.Recv(100), -1);
    EXPECT_EQ(s.iResult, 0) << "an orderly close";
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "Recv prints nothing";
    EXPECT_TRUE(srv.finish()) << srv.errortext();
    EXPECT_EQ(srv.received(), longcmd + "x\r\n" + overcmd);
}

}  // namespace
