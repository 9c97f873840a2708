// Connecting, closing and sending, over real loopback connections inside the
// test's own network namespace.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "core/report.h"
#include "net/socket.h"
#include "scripted_server.h"
#include "testnet.h"

namespace {

bool allzero(const char* buf, int n) {
    for (int i = 0; i < n; i++)
        if (buf[i] != 0) return false;
    return true;
}

TEST(Connect, ReachesTheServerAndLearnsTheLocalEnd) {
    ScriptedServer srv(0, 5000);
    srv.session().send("hello\r\n").expect("bye\r\n");
    srv.session().send("again\r\n");
    srv.start();

    Socket s;
    ASSERT_GE(s.Create(), 0);
    char dotted[] = "127.0.0.1";
    ASSERT_EQ(s.Connect(dotted, srv.port()), 0);
    EXPECT_EQ(s.iResult, 0);
    EXPECT_NE(s.usLocalPort, 0);
    EXPECT_EQ(s.usLocalPort, testnet::BoundPort(s.descriptor()));
    EXPECT_EQ(s.saLocal.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(ntohs(s.saRemote.sin_port), srv.port());
    EXPECT_EQ(s.RecvTeol(), 7);
    char empty[] = "";
    EXPECT_EQ(s.Send(empty), 0);
    char bye[] = "bye\r\n";
    EXPECT_EQ(s.Send(bye), 5);
    EXPECT_EQ(s.iResult, 5);

    s.settimeout(7);
    EXPECT_EQ(s.Close(), 0);
    EXPECT_EQ(s.descriptor(), -1);
    EXPECT_EQ(s.timeout(), 300u);
    EXPECT_EQ(s.usLocalPort, 0);
    EXPECT_TRUE(allzero(s.line(), 16384));
    EXPECT_EQ(s.Close(), -1);
    EXPECT_EQ(s.iResult, -1);
    EXPECT_EQ(s.descriptor(), -1);

    // The object is usable again, here with a chosen local port and address.
    Socket probe;
    probe.Create();
    testnet::Passive(probe, 0, 1, 0);
    unsigned short local = probe.usLocalPort;
    probe.Close();
    ASSERT_GE(s.Create(), 0);
    char name[] = "localhost";
    ASSERT_EQ(s.Connect(name, srv.port(), local, htonl(INADDR_LOOPBACK)), 0);
    EXPECT_EQ(s.usLocalPort, local);
    EXPECT_EQ(testnet::BoundPort(s.descriptor()), local);
    EXPECT_EQ(s.RecvTeol(), 7);
    EXPECT_EQ(std::string(s.line()), "again\r\n");
    EXPECT_TRUE(srv.finish()) << srv.errortext();
    EXPECT_EQ(srv.accepted(), 2u);
}

TEST(Connect, FailuresReturnMinusOne) {
    Socket listener;
    listener.Create();
    ASSERT_EQ(testnet::Passive(listener, 0, 1, 0), 0);

    Socket s;
    ASSERT_GE(s.Create(), 0);
    for (const char* bad : {"255.255.255.255", "no-such-host.invalid", "1.2.3.4.5"}) {
        std::string host = bad;
        s.iResult = 0;
        EXPECT_EQ(s.Connect(&host[0], listener.usLocalPort), -1) << bad;
        EXPECT_EQ(s.iResult, -1) << bad;
        EXPECT_EQ(testnet::BoundPort(s.descriptor()), 0) << bad << ": the socket was touched";
    }
    char host[] = "127.0.0.1";

    // Nothing listens on port 9 in this namespace.
    errno = 0;
    EXPECT_EQ(s.Connect(host, 9), -1);
    EXPECT_EQ(s.iResult, -1);
    EXPECT_EQ(errno, ECONNREFUSED);

    // The local port is taken by the listener.
    Socket t;
    t.Create();
    errno = 0;
    EXPECT_EQ(t.Connect(host, listener.usLocalPort, listener.usLocalPort, 0), -1);
    EXPECT_EQ(t.iResult, -1);
    EXPECT_EQ(errno, EADDRINUSE);

    Socket none;
    ConsoleReport report;  // where the socket says what failed
    none.report = &report;
    EXPECT_EQ(none.Connect(host, listener.usLocalPort), -1);
    EXPECT_EQ(none.iResult, -1);
    EXPECT_EQ(none.descriptor(), -1);
    // Receiving without a socket fails at once rather than after timeout().
    testing::internal::CaptureStdout();
    errno = 0;
    EXPECT_EQ(none.RecvTeol(), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(none.Recv(10), -1);
    EXPECT_EQ(none.iResult, -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "!!! Error -1 on select() nr 1 -- ulTimeout = 300\n");

    // The destructor closes the descriptor a failed Connect left open.
    int fd = -1;
    {
        Socket failed;
        fd = failed.Create();
        ASSERT_GE(fd, 0);
        EXPECT_EQ(failed.Connect(host, 9), -1);
        EXPECT_EQ(failed.descriptor(), fd);
    }
    errno = 0;
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);

    // Creating again replaces the socket held, rather than leaking it.
    Socket twice;
    int first = twice.Create();
    ASSERT_GE(first, 0);
    EXPECT_EQ(twice.Create(), first);
}

// A host that drops connection attempts: a listener whose queue is full
// and never taken from. Each address gets timeout(), not the system's
// minutes.
TEST(Connect, IsBoundedByTheTimeOut) {
    Socket listener;
    listener.Create();
    ASSERT_EQ(testnet::Passive(listener, 0, 1, htonl(INADDR_LOOPBACK)), 0);
    std::vector<std::unique_ptr<Socket>> queued;
    char host[] = "127.0.0.1";
    for (int i = 0; i < 40; i++) {
        queued.push_back(std::make_unique<Socket>());
        queued.back()->Create();
        fcntl(queued.back()->descriptor(), F_SETFL, O_NONBLOCK);
        connect(queued.back()->descriptor(), reinterpret_cast<sockaddr*>(&listener.saLocal), sizeof listener.saLocal);
    }
    Socket s;
    s.Create();
    s.settimeout(1);
    auto start = std::chrono::steady_clock::now();
    errno = 0;
    EXPECT_EQ(s.Connect(host, listener.usLocalPort), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_GE(ms.count(), 900);
    EXPECT_LT(ms.count(), 3000);
}

}  // namespace

TEST(Send, GivesUpOnAPeerThatStopsReading) {
    Socket listener;
    ASSERT_GE(listener.Create(), 0);
    ASSERT_EQ(testnet::Passive(listener, 0, 1, htonl(INADDR_LOOPBACK)), 0);
    char host[] = "127.0.0.1";
    Socket client;
    client.Create();
    ASSERT_EQ(client.Connect(host, listener.usLocalPort), 0);
    std::unique_ptr<Socket> peer = testnet::Accept(listener);
    ASSERT_TRUE(peer);

    // Far more than the two socket buffers hold: the peer reads nothing.
    std::string block(64 << 20, 'x');
    client.settimeout(1);
    auto start = std::chrono::steady_clock::now();
    errno = 0;
    EXPECT_EQ(client.Send(&block[0], static_cast<int>(block.size())), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_EQ(client.iResult, -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}
