// Flaky links: a server that resets a TLS connection ends only its phase,
// and a server that drips its bytes cannot stretch a wait beyond its bound.
#include <sys/stat.h>

#include <string>

#include <gtest/gtest.h>

#include "run.h"
#include "scripted_server.h"

namespace {

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
    pop.session().send("+OK\r\n").expect("USER joe\r\n").send("+OK\r\n").expect("PASS x\r\n").send("+OK\r\n")
        .expect("CAPA\r\n").send("-ERR\r\n").expect("STAT\r\n").send("+OK 0 0\r\n")
        .expect("QUIT\r\n").send("+OK bye\r\n");
    smtp.start();
    pop.start();
    Packet p("SMTPHOST localhost\nSMTPTLS on\nPOPHOST 127.0.0.1\n");
    RunResult r = p.run("email");
    EXPECT_TRUE(smtp.finish()) << smtp.errortext();
    EXPECT_TRUE(pop.finish()) << pop.errortext();
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_NE(r.err.find("Receive: Connection reset by peer\n"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("(skipping email post)\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\nDone.\n"), std::string::npos) << r.out;
    EXPECT_TRUE(fileexists(p.dir / "soup/MAIL01.MSG"));
}

}  // namespace
