// Flaky links: a server that resets a TLS connection ends only its phase,
// and a server that drips its bytes cannot stretch a wait beyond its bound.
#include <sys/stat.h>

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "core/report.h"
#include "net/socket.h"
#include "run.h"
#include "scripted_server.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondssince(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// A packet with one mail to post, and settings for it.
struct Packet {
    TempDir dir;
    std::string cfg = dir / "vorpa.cfg";

    explicit Packet(const std::string& settings) {
        mkdir((dir / "soup").c_str(), 0700);
        std::string mail = "From: joe@example.org\nTo: ann@example.org\n\nhi\n";
        writefile(dir / "soup/MAIL01.MSG", be32(static_cast<uint32_t>(mail.size())) + mail);
        writefile(dir / "soup/REPLIES", "MAIL01\tmail\tb\n");
        writefile(cfg, settings + "HOSTNAME myhost\nCAFILE " + std::string(VORPA_CERTS) +
                           "/ca.pem\nPOPUSER joe\nPOPPASS x\nSOUPDIR soup\n");
    }
    RunResult run(const std::string& command) { return runvorpa({command, "/config=" + cfg}, dir.path(), 60); }
};

TEST(Bounds, TlsServerThatResetsEndsOnlyItsPhase) {
    ScriptedServer smtp(465);
    smtp.tls("server");
    smtp.session().send("220 hi\r\n").expect("EHLO myhost\r\n").reset();
    ScriptedServer pop(110);
    pop.session().send("+OK\r\n").expect("CAPA\r\n").send("-ERR\r\n").expect("USER joe\r\n").send("+OK\r\n")
        .expect("PASS x\r\n").send("+OK\r\n").expect("STAT\r\n").send("+OK 0 0\r\n")
        .expect("QUIT\r\n").send("+OK bye\r\n");
    smtp.start();
    pop.start();
    Packet p("SMTPHOST localhost\nSMTPTLS on\nPOPHOST 127.0.0.1\n");
    RunResult r = p.run("email");
    EXPECT_TRUE(smtp.finish()) << smtp.errortext();
    EXPECT_TRUE(pop.finish()) << pop.errortext();
    EXPECT_EQ(r.status, 75) << r.out << r.err;
    EXPECT_NE(r.err.find("Receive: Connection reset by peer\n"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("(skipping email post)\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\nDone.\n"), std::string::npos) << r.out;
    EXPECT_TRUE(fileexists(p.dir / "soup/MAIL01.MSG"));
}

// Each byte well within the time-out, the greeting as a whole not.
TEST(Bounds, DrippingGreetingEndsWithinItsTimeOut) {
    ScriptedServer pop(110, 60000);
    std::string greeting = "+OK slow\r\n";
    pop.session().sendsplit(greeting, std::vector<size_t>(greeting.size(), 1), 3000);
    pop.start();
    Packet p("POPHOST 127.0.0.1\n");
    auto t0 = Clock::now();
    RunResult r = p.run("fetch");
    double took = secondssince(t0);
    EXPECT_GE(took, 19.5);
    EXPECT_LT(took, 24.0);
    EXPECT_EQ(r.status, 75);
    EXPECT_NE(r.out.find("!!! Error 0 on select() nr 1 -- ulTimeout = 20\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("(skipping email fetch)\n"), std::string::npos) << r.out;
}

// The reply's line within the time-out from when it is awaited; what
// follows it must bring 1 KB in every time-out, however it is split.
TEST(Bounds, RepliesAndTransfersAreBoundedAsAWhole) {
    ConsoleReport report;
    std::string drip, flow, slowline = "+OK a status line that drips\r\n";
    for (int i = 0; i < 20; i++) drip += "CAPA" + std::to_string(i) + "\r\n";
    for (int i = 0; i < 12; i++) flow += std::string(598, 'a' + i) + "\r\n";
    ScriptedServer dripping(0, 10000), flowing(0, 10000);
    dripping.session().send("+OK\r\n").sendsplit(drip, std::vector<size_t>(20, 7), 150);
    flowing.session().send("+OK\r\n").sendsplit(flow, std::vector<size_t>(12, 600), 250)
        .expect("NEXT\r\n").sendsplit(slowline, std::vector<size_t>(slowline.size(), 1), 100);
    dripping.start();
    flowing.start();
    char host[] = "127.0.0.1";
    {
        Socket s;
        s.report = &report;
        ASSERT_TRUE(s.Create() >= 0 && s.Connect(host, dripping.port()) == 0);
        s.settimeout(1);
        auto t0 = Clock::now();
        testing::internal::CaptureStdout();
        int lines = 0;
        while (s.RecvTeol() > 0) lines++;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "!!! Error 0 on select() nr 1 -- ulTimeout = 1\n");
        EXPECT_LT(lines, 10);
        EXPECT_LT(secondssince(t0), 1.5);
    }
    Socket s;
    s.report = &report;
    ASSERT_TRUE(s.Create() >= 0 && s.Connect(host, flowing.port()) == 0);
    s.settimeout(1);
    auto t0 = Clock::now();
    for (int i = 0; i < 13; i++) ASSERT_GT(s.RecvTeol(), 0) << i;
    EXPECT_GT(secondssince(t0), 2.5);
    char next[] = "NEXT\r\n";
    ASSERT_EQ(s.Send(next), 6);
    t0 = Clock::now();
    testing::internal::CaptureStdout();
    EXPECT_EQ(s.RecvTeol(), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "!!! Error 0 on select() nr 1 -- ulTimeout = 1\n");
    EXPECT_LT(secondssince(t0), 1.5);
}

}  // namespace
