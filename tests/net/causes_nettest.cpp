// What a user reads when a server cannot be reached or does not answer as
// expected: the cause of a failed connection, a server that hangs up, and
// a port that wants TLS from the first byte.
#include <netdb.h>
#include <sys/stat.h>

#include <string>

#include <gtest/gtest.h>

#include "run.h"
#include "scripted_server.h"

namespace {

// A POP3 fetch with host; the console and the error stream.
// A failure of the network alone exits 75.
std::string fetch(const std::string& host, const std::string& more = "", int status = 75) {
    TempDir dir;
    mkdir((dir / "soup").c_str(), 0700);
    writefile(dir / "vorpa.cfg", "POPHOST " + host + "\nPOPUSER joe\nPOPPASS x\nSOUPDIR soup\n" + more);
    RunResult r = runvorpa({"email", "fetch", "/config=" + (dir / "vorpa.cfg")}, dir.path(), 60);
    EXPECT_EQ(r.status, status);
    return r.out + r.err;
}

TEST(Causes, CannotConnectSaysWhy) {
    EXPECT_NE(fetch("127.0.0.1:1").find("Cannot connect to host 127.0.0.1 at port 1: Connection refused\n"),
              std::string::npos);
    // This namespace has no route but the loopback.
    EXPECT_NE(fetch("10.9.9.9").find("Cannot connect to host 10.9.9.9 at port 110: Network is unreachable\n"),
              std::string::npos);
    // The resolver's own words, whichever it has here.
    addrinfo* found = nullptr;
    int error = getaddrinfo("no-such-host.invalid", nullptr, nullptr, &found);
    ASSERT_NE(error, 0);
    std::string why = error == EAI_SYSTEM ? "" : gai_strerror(error);
    std::string out = fetch("no-such-host.invalid");
    EXPECT_NE(out.find("Cannot connect to host no-such-host.invalid at port 110: " + why + "\n"), std::string::npos)
        << out;
}

TEST(Causes, ServerThatHangsUp) {
    ScriptedServer server(110);
    server.session().drop();
    server.start();
    std::string out = fetch("127.0.0.1");
    EXPECT_TRUE(server.finish());
    EXPECT_NE(out.find("!!! Error 0 on recv() nr 1\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Receive: connection closed by the server\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("timed out"), std::string::npos) << out;
}

// A TLS alert where the greeting should be, and silence on the port of TLS
// from the first byte with TLS set off (after the greeting's 20 s): both
// name the setting.
TEST(Causes, PortThatExpectsTls) {
    ScriptedServer alert(110), silent(995, 40000);
    alert.session().send(std::string("\x15\x03\x01\x00\x02\x02\x28", 7)).drop();
    silent.session().silence(30000);
    alert.start();
    silent.start();
    std::string out = fetch("127.0.0.1", "POPTLS starttls\n", 2);
    EXPECT_NE(out.find("POP3 host 127.0.0.1 at port 110 expects TLS from the first byte: set POPTLS on\n(skipping"),
              std::string::npos)
        << out;
    out = fetch("127.0.0.1:995", "POPTLS off\n", 2);
    EXPECT_NE(out.find("POP3 host 127.0.0.1 at port 995 expects TLS from the first byte: set POPTLS on\n(skipping"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("Receive:"), std::string::npos) << out;
    alert.finish();
    silent.finish();

    // The other way round: TLS spoken to a port that greets in plain text.
    ScriptedServer plain(110);
    plain.session().send("+OK ready\r\n").drain();
    plain.start();
    out = fetch("127.0.0.1", "POPTLS on\nPOPHOST 127.0.0.1:110\n", 2);
    EXPECT_NE(out.find("POP3 host 127.0.0.1 at port 110 expects plain text first: set POPTLS starttls or use port "
                       "995\n(skipping"), std::string::npos) << out;
    plain.finish();
}

}  // namespace
