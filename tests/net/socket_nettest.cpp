// Connecting, closing, listening, socket options and peer names, over real
// loopback connections inside the test's own network namespace.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "net/socket.h"
#include "scripted_server.h"

namespace {

unsigned short boundport(int fd) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    return ntohs(sa.sin_port);
}

int intoption(int fd, int name) {
    int value = -1;
    socklen_t len = sizeof value;
    getsockopt(fd, SOL_SOCKET, name, &value, &len);
    return value;
}

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
    EXPECT_EQ(s.usLocalPort, boundport(s.iSocket));
    EXPECT_EQ(s.saLocal.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(ntohs(s.saRemote.sin_port), srv.port());
    EXPECT_EQ(s.RecvTeol(), 7);
    char empty[] = "";
    EXPECT_EQ(s.Send(empty), 0);
    char bye[] = "bye\r\n";
    EXPECT_EQ(s.Send(bye), 5);
    EXPECT_EQ(s.iResult, 5);

    s.ulTimeout = 7;
    EXPECT_EQ(s.Close(), 0);
    EXPECT_EQ(s.iSocket, -1);
    EXPECT_EQ(s.ulTimeout, 300u);
    EXPECT_EQ(s.usLocalPort, 0);
    EXPECT_TRUE(allzero(s.pszBuf, 16384));
    EXPECT_EQ(s.Close(), -1);
    EXPECT_EQ(s.iResult, -1);
    EXPECT_EQ(s.iSocket, -1);

    // The object is usable again, here with a chosen local port and address.
    Socket probe;
    probe.Create();
    probe.Passive(0, 1, 0);
    unsigned short local = probe.usLocalPort;
    probe.Close();
    ASSERT_GE(s.Create(), 0);
    char name[] = "localhost";
    ASSERT_EQ(s.Connect(name, srv.port(), local, htonl(INADDR_LOOPBACK)), 0);
    EXPECT_EQ(s.usLocalPort, local);
    EXPECT_EQ(boundport(s.iSocket), local);
    EXPECT_EQ(s.RecvTeol(), 7);
    EXPECT_EQ(std::string(s.pszBuf), "again\r\n");
    EXPECT_TRUE(srv.finish()) << srv.errortext();
    EXPECT_EQ(srv.accepted(), 2u);
}

TEST(Connect, FailuresReturnMinusOne) {
    Socket listener;
    listener.Create();
    ASSERT_EQ(listener.Passive(0, 1, 0), 0);

    Socket s;
    ASSERT_GE(s.Create(), 0);
    for (const char* bad : {"255.255.255.255", "no-such-host.invalid", "1.2.3.4.5"}) {
        std::string host = bad;
        s.iResult = 0;
        EXPECT_EQ(s.Connect(&host[0], listener.usLocalPort), -1) << bad;
        EXPECT_EQ(s.iResult, -1) << bad;
        EXPECT_EQ(boundport(s.iSocket), 0) << bad << ": the socket was touched";
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
    EXPECT_EQ(none.Connect(host, listener.usLocalPort), -1);
    EXPECT_EQ(none.iResult, -1);
    EXPECT_EQ(none.iSocket, -1);
    // Receiving without a socket fails at once rather than after ulTimeout.
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
        EXPECT_EQ(failed.iSocket, fd);
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
// and never taken from. Each address gets ulTimeout, not the system's
// minutes.
TEST(Connect, IsBoundedByTheTimeOut) {
    Socket listener;
    listener.Create();
    ASSERT_EQ(listener.Passive(0, 1, htonl(INADDR_LOOPBACK)), 0);
    std::vector<std::unique_ptr<Socket>> queued;
    char host[] = "127.0.0.1";
    for (int i = 0; i < 40; i++) {
        queued.push_back(std::make_unique<Socket>());
        queued.back()->Create();
        fcntl(queued.back()->iSocket, F_SETFL, O_NONBLOCK);
        connect(queued.back()->iSocket, reinterpret_cast<sockaddr*>(&listener.saLocal), sizeof listener.saLocal);
    }
    Socket s;
    s.Create();
    s.ulTimeout = 1;
    auto start = std::chrono::steady_clock::now();
    errno = 0;
    EXPECT_EQ(s.Connect(host, listener.usLocalPort), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_GE(ms.count(), 900);
    EXPECT_LT(ms.count(), 3000);
}

TEST(Passive, ListensAcceptsAndNamesThePeer) {
    Socket listener;
    ASSERT_GE(listener.Create(), 0);
    ASSERT_EQ(listener.Passive(0, 1, htonl(INADDR_LOOPBACK)), 0);
    EXPECT_NE(listener.usLocalPort, 0);
    EXPECT_EQ(listener.usLocalPort, boundport(listener.iSocket));

    Socket other;
    other.Create();
    EXPECT_EQ(other.Passive(listener.usLocalPort, 0, htonl(INADDR_LOOPBACK)), -1);
    EXPECT_EQ(other.iResult, -1);

    char host[] = "127.0.0.1";
    for (int round = 0; round < 2; round++) {
        Socket client;
        client.Create();
        ASSERT_EQ(client.Connect(host, listener.usLocalPort), 0);
        std::unique_ptr<Socket> peer(listener.Accept());
        ASSERT_TRUE(peer);
        EXPECT_STREQ(peer->pszPeerAddr, "127.0.0.1");
        EXPECT_EQ(peer->pszPeerName, nullptr);
        EXPECT_EQ(ntohs(peer->saRemote.sin_port), client.usLocalPort);
        EXPECT_EQ(peer->ulTimeout, 300u);

        char hello[] = "+OK hello\r\n";
        EXPECT_EQ(peer->Send(hello), 11);
        EXPECT_EQ(client.RecvTeol(1), 9);
        char cmd[] = "QUIT\r\n";
        client.Send(cmd);
        EXPECT_EQ(peer->RecvTeol(), 6);
        EXPECT_STREQ(peer->pszBuf, "QUIT\r\n");

        EXPECT_EQ(peer->SetPeerName(), 0);
        EXPECT_STREQ(peer->pszPeerName, "[127.0.0.1]");
        int found = peer->ResolveName();
        ASSERT_NE(peer->pszPeerName, nullptr);
        if (found == 0) {
            EXPECT_STRNE(peer->pszPeerName, "[127.0.0.1]");
            EXPECT_GT(std::strlen(peer->pszPeerName), 0u);
        } else {
            EXPECT_EQ(found, -1);
            EXPECT_STREQ(peer->pszPeerName, "127.0.0.1");
        }
        EXPECT_EQ(peer->iResult, found);
        EXPECT_EQ(peer->ResolveName(), found);

        // The client names the server the same way.
        EXPECT_EQ(client.SetPeerName(), 0);
        EXPECT_STREQ(client.pszPeerAddr, "127.0.0.1");
        EXPECT_STREQ(client.pszPeerName, "[127.0.0.1]");
        client.Close();
        EXPECT_EQ(client.pszPeerName, nullptr);
        EXPECT_EQ(client.pszPeerAddr, nullptr);
        // Closing an accepted connection leaves the listener listening.
        peer->Close();
    }

    // Accepting on a socket that does not listen fails without a leak.
    Socket idle;
    idle.Create();
    EXPECT_EQ(idle.Accept(), nullptr);
    EXPECT_EQ(idle.iResult, -1);
}

TEST(Options, SetWhatTheyNameAndReportFailures) {
    Socket s;
    ASSERT_GE(s.Create(), 0);
    EXPECT_EQ(s.SetReusePort(1), 0);
    EXPECT_NE(intoption(s.iSocket, SO_REUSEADDR), 0);
    EXPECT_EQ(s.SetReusePort(2), 0);
    EXPECT_EQ(intoption(s.iSocket, SO_REUSEADDR), 0);
    EXPECT_EQ(s.SetReusePort(1), 0);
    EXPECT_EQ(s.SetReusePort(0), 0);
    EXPECT_EQ(intoption(s.iSocket, SO_REUSEADDR), 0);

    EXPECT_EQ(s.SetLinger(0), 0);
    linger lg{};
    socklen_t len = sizeof lg;
    ASSERT_EQ(getsockopt(s.iSocket, SOL_SOCKET, SO_LINGER, &lg, &len), 0);
    EXPECT_NE(lg.l_onoff, 0);
    EXPECT_EQ(lg.l_linger, 20);

    EXPECT_EQ(s.SetKeepAlive(), 0);
    EXPECT_NE(intoption(s.iSocket, SO_KEEPALIVE), 0);
    EXPECT_EQ(s.SetOob(), 0);
    EXPECT_NE(intoption(s.iSocket, SO_OOBINLINE), 0);

    Socket none;
    EXPECT_EQ(none.SetKeepAlive(), -1);
    EXPECT_EQ(none.iResult, -1);
    EXPECT_EQ(none.SetLinger(1), -1);
    EXPECT_EQ(none.SetOob(), -1);
    EXPECT_EQ(none.SetReusePort(1), -1);
}

}  // namespace

TEST(Send, GivesUpOnAPeerThatStopsReading) {
    Socket listener;
    ASSERT_GE(listener.Create(), 0);
    ASSERT_EQ(listener.Passive(0, 1, htonl(INADDR_LOOPBACK)), 0);
    char host[] = "127.0.0.1";
    Socket client;
    client.Create();
    ASSERT_EQ(client.Connect(host, listener.usLocalPort), 0);
    std::unique_ptr<Socket> peer(listener.Accept());
    ASSERT_TRUE(peer);

    // Far more than the two socket buffers hold: the peer reads nothing.
    std::string block(64 << 20, 'x');
    client.ulTimeout = 1;
    auto start = std::chrono::steady_clock::now();
    errno = 0;
    EXPECT_EQ(client.Send(&block[0], static_cast<int>(block.size())), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_EQ(client.iResult, -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}
