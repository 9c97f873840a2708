// The POP3 password goes out only over TLS or to this machine, unless
// POPTLS off is written out: then once, with a warning. The server here has
// an address that is not a loopback one.
#include <arpa/inet.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "run.h"
#include "testnet.h"

namespace {

const char address[] = "10.1.2.3";

// One POP3 session at address:110 that refuses USER; what the client sent.
std::string serve(Socket& listener) {
    std::unique_ptr<Socket> peer = testnet::Accept(listener);
    if (!peer) return "no connection";
    peer->settimeout(20);
    std::string got;
    peer->Send("+OK hi\r\n");
    while (peer->RecvTeol() > 0) {
        std::string line = peer->line();
        got += line;
        peer->Send(line.rfind("QUIT", 0) == 0 ? "+OK bye\r\n" : "-ERR no\r\n");
        if (line.rfind("QUIT", 0) == 0) break;
    }
    return got;
}

TEST(Pop3Password, NotInPlainTextToAnotherMachine) {
    ASSERT_EQ(std::system(("ip addr add " + std::string(address) + "/32 dev lo").c_str()), 0);
    Socket listener;
    ASSERT_GE(listener.Create(), 0);
    ASSERT_EQ(testnet::Passive(listener, 110, 1, inet_addr(address)), 0);
    const std::string settings = "POPHOST " + std::string(address) + "\nPOPUSER joe\nPOPPASS s3cret\nSOUPDIR soup\n";
    for (const std::string& more : {std::string(), std::string("POPTLS off\n")}) {
        TempDir dir;
        mkdir((dir / "soup").c_str(), 0700);
        writefile(dir / "vorpa.cfg", settings + more);
        std::string got;
        std::thread server([&] { got = serve(listener); });
        RunResult r = runvorpa({"email", "fetch", "/config=" + (dir / "vorpa.cfg")}, dir.path(), 60);
        server.join();
        EXPECT_EQ(r.status, 2);
        if (more.empty()) {
            EXPECT_EQ(got, "CAPA\r\nQUIT\r\n");
            EXPECT_NE(r.out.find("Not sending the POP3 password unencrypted to 10.1.2.3\n"), std::string::npos)
                << r.out;
        } else {
            EXPECT_EQ(got, "CAPA\r\nUSER joe\r\nQUIT\r\n");
            EXPECT_NE(r.out.find("Warning: the POP3 password goes unencrypted to 10.1.2.3 (POPTLS off)\n"),
                      std::string::npos)
                << r.out;
        }
    }
}

}  // namespace
