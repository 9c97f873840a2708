// The scripted server itself: every protocol test relies on it reporting a
// wrong or missing client line, and on it never hanging.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "net/socket.h"
#include "scripted_server.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondssince(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

bool connectto(Socket& s, unsigned short port) {
    char host[] = "127.0.0.1";
    return s.Create() >= 0 && s.Connect(host, port) == 0;
}

TEST(ScriptedServer, ServesAFixedPortAndRecordsEveryByte) {
    ScriptedServer srv(110, 3000);
    ASSERT_EQ(srv.port(), 110);
    srv.session()
        .sendsplit("+OK one\r\n", {4}, 300)
        .expect("USER joe\r\n")
        .expectdata()
        .send("+OK\r\n")
        .pause(300);
    srv.start();

    Socket s;
    ASSERT_TRUE(connectto(s, 110));
    s.ulTimeout = 3;
    // The first piece arrives on its own.
    EXPECT_EQ(s.Recv(100), 4);
    EXPECT_STREQ(s.pszBuf, "+OK ");
    EXPECT_EQ(s.RecvTeol(), 5);
    char lines[] = "USER joe\r\nbody\r\n..stuffed\r\n.\r\n";
    s.Send(lines);
    EXPECT_EQ(s.RecvTeol(), 5);
    char after[] = "after the script\r\n";
    s.Send(after);
    EXPECT_TRUE(srv.finish()) << srv.errortext();
    EXPECT_EQ(srv.accepted(), 1u);
    // What came after the last step but before the session ended counts too.
    EXPECT_EQ(srv.received(0), "USER joe\r\nbody\r\n..stuffed\r\n.\r\nafter the script\r\n");
    EXPECT_EQ(srv.received(5), "");

    // With its scripts played, the server refuses further connections.
    ASSERT_EQ(srv.port(), 110);
    Socket late;
    late.Create();
    char host[] = "127.0.0.1";
    errno = 0;
    EXPECT_EQ(late.Connect(host, srv.port()), -1);
    EXPECT_EQ(errno, ECONNREFUSED);
}

TEST(ScriptedServer, ReportsWrongAndMissingLinesFast) {
    ScriptedServer srv(0, 800);
    srv.session().send("220 hi\r\n").expect("HELO me\r\n").send("250 ok\r\n");
    srv.session().expect("QUIT\r\n");
    srv.session().expect("QUIT\r\n");
    srv.session().send("never played\r\n");
    srv.start();

    {
        Socket s;
        ASSERT_TRUE(connectto(s, srv.port()));
        EXPECT_EQ(s.RecvTeol(), 8);
        char wrong[] = "HELO you\r\n";
        s.Send(wrong);
        // The mismatch ends the session: the connection closes, no reply.
        s.ulTimeout = 2;
        testing::internal::CaptureStdout();
        EXPECT_EQ(s.RecvTeol(), -1);
        testing::internal::GetCapturedStdout();
    }
    {
        // A client that says nothing.
        Socket s;
        ASSERT_TRUE(connectto(s, srv.port()));
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    }
    {
        // A client that leaves half-way through a line.
        Socket s;
        ASSERT_TRUE(connectto(s, srv.port()));
        char half[] = "QU";
        s.Send(half);
    }
    // Nobody connects for the last session.
    auto t0 = Clock::now();
    EXPECT_FALSE(srv.finish());
    EXPECT_LT(secondssince(t0), 2.0);
    std::vector<std::string> errors = srv.errors();
    ASSERT_EQ(errors.size(), 4u) << srv.errortext();
    EXPECT_EQ(errors[0], "session 0: expected \"HELO me\\r\\n\", got \"HELO you\\r\\n\"");
    EXPECT_NE(errors[1].find("session 1: expecting \"QUIT\\r\\n\": nothing within 800 ms"),
              std::string::npos)
        << errors[1];
    EXPECT_EQ(errors[2], "session 2: expecting \"QUIT\\r\\n\": client closed the connection after \"QU\"");
    EXPECT_EQ(errors[3], "session 3: no connection within 800 ms");
    EXPECT_EQ(srv.accepted(), 3u);
}

// A client that takes no reply: the server gives up on its send within the
// bound instead of leaving finish() waiting for it.
TEST(ScriptedServer, GivesUpOnAClientThatReadsNothing) {
    ScriptedServer srv(0, 500);
    srv.session().send(std::string(32 << 20, 'x')).send("never\r\n");
    srv.start();
    Socket s;
    ASSERT_TRUE(connectto(s, srv.port()));
    auto t0 = Clock::now();
    std::future<bool> finished = std::async(std::launch::async, [&srv] { return srv.finish(); });
    EXPECT_EQ(finished.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_LT(secondssince(t0), 3.0);
    s.Close();  // frees a server stuck in its send, so that the test ends
    EXPECT_FALSE(finished.get());
    ASSERT_EQ(srv.errors().size(), 1u) << srv.errortext();
    EXPECT_EQ(srv.errors()[0].find("session 0: sending \"xxx"), 0u) << srv.errors()[0];
    EXPECT_NE(srv.errors()[0].find("...\": not taken within 500 ms"), std::string::npos) << srv.errors()[0];
}

TEST(ScriptedServer, FinishReturnsWhileAScriptStillRuns) {
    ScriptedServer srv(0, 500);
    srv.session().silence(60000);
    srv.start();
    Socket s;
    ASSERT_TRUE(connectto(s, srv.port()));
    auto t0 = Clock::now();
    EXPECT_FALSE(srv.finish());
    EXPECT_LT(secondssince(t0), 1.5);
    ASSERT_EQ(srv.errors().size(), 1u);
    EXPECT_EQ(srv.errors()[0], "scripts still running after 500 ms");
}

}  // namespace
