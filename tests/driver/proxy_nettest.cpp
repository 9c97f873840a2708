// Black-box runs through a SOCKS5 proxy scripted on 127.0.0.1:1080 (in
// this test's own network namespace), which speaks for the server too.
#include <sys/stat.h>

#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "run.h"
#include "scripted_server.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

struct Box {
    TempDir dir;
    std::string soup = dir / "soup";
    std::string cfg = dir / "vorpa.cfg";

    explicit Box(const std::string& proxy, const std::string& more = "") {
        mkdir(soup.c_str(), 0700);
        writefile(cfg, "POPHOST hidden.onion\nPOPTLS off\nPOPUSER joe\nPOPPASS secret\nSOUPDIR " + soup +
                           "\nNEWSGROUPS " + (dir / "newsrc") + "\nPROXY " + proxy + "\n" + more);
    }
    RunResult fetch() { return runvorpa({"email", "fetch", "/config=" + cfg}, dir.path(), 30); }
};

// The greeting offering no login and the user login, the login, and the
// CONNECT to hidden.onion:110 by name.
Script& socks(Script& s, const std::string& login) {
    return s.expectbytes(std::string("\x05\x02\x00\x02", 4))
        .send(std::string("\x05\x02", 2))
        .expectbytes(login)
        .send(std::string("\x01\x00", 2))
        .expectbytes(std::string("\x05\x01\x00\x03\x0chidden.onion\x00\x6e", 19));
}

// A name that no resolver here knows reaches the server by the proxy, with
// the proxy's password from its command; the POP3 password is not taken
// for one to this machine, as the proxy is.
TEST(Proxy, TheServerIsReachedThroughTheProxyByName) {
    Box box("socks5h://me@127.0.0.1:1080", "PROXYPASSCMD echo pw\n");
    ScriptedServer proxy(1080);
    socks(proxy.session(), std::string("\x01\x02me\x02pw", 7))
        .send(std::string("\x05\x00\x00\x01\x7f\x00\x00\x01\x00\x6e", 10))
        .send("+OK ready\r\n")
        .expect("USER joe\r\n").send("+OK\r\n")
        .expect("PASS secret\r\n").send("+OK\r\n")
        .expect("CAPA\r\n").send("-ERR\r\n")
        .expect("STAT\r\n").send("+OK 0 0\r\n")
        .expect("QUIT\r\n").send("+OK\r\n");
    proxy.start();
    RunResult run = box.fetch();
    EXPECT_TRUE(proxy.finish()) << proxy.errortext();
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_THAT(run.out, HasSubstr("Warning: the POP3 password goes unencrypted to hidden.onion (POPTLS off)\n"));
    EXPECT_THAT(run.out, HasSubstr("There are no messages on the POP3 server.\n"));
}

// A proxy that is not there, or that will not connect on, is the
// network's failure: 75, with the proxy named.
TEST(Proxy, AProxyUnreachableOrRefusingIsTheNetworks) {
    {
        Box box("socks5h://127.0.0.1:1081");
        RunResult run = box.fetch();
        EXPECT_EQ(run.status, 75) << run.out << run.err;
        EXPECT_THAT(run.out, HasSubstr("Proxy 127.0.0.1 at port 1081 cannot be reached: Connection refused\n"));
    }
    {
        // socks5:// names the server by an address found here: there is none.
        Box box("socks5://127.0.0.1:1080");
        ScriptedServer proxy(1080);
        proxy.session().drain();
        proxy.start();
        RunResult run = box.fetch();
        EXPECT_TRUE(proxy.finish()) << proxy.errortext();
        EXPECT_EQ(proxy.received(), "");
        EXPECT_EQ(run.status, 75) << run.out << run.err;
        EXPECT_THAT(run.out, HasSubstr("Proxy 127.0.0.1 at port 1080 was not asked: hidden.onion has no address here"));
    }
    Box box("socks5h://me:pw@127.0.0.1");
    ScriptedServer proxy(1080);
    socks(proxy.session(), std::string("\x01\x02me\x02pw", 7)).send(std::string("\x05\x04\x00\x01", 4));
    proxy.start();
    RunResult run = box.fetch();
    EXPECT_TRUE(proxy.finish()) << proxy.errortext();
    EXPECT_EQ(run.status, 75) << run.out << run.err;
    EXPECT_THAT(run.out, HasSubstr("Proxy 127.0.0.1 at port 1080 refused the connection to hidden.onion at port 110: "
                                   "host unreachable\n"));
    EXPECT_THAT(run.out, Not(HasSubstr("USER")));
}

}  // namespace
