// Listening, accepting, socket options and peer names (tests/support's
// testnet), over real loopback connections inside the test's own network
// namespace.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>

#include <memory>
#include <string>

#include "net/socket.h"
#include "testnet.h"

namespace {

int intoption(int fd, int name) {
    int value = -1;
    socklen_t len = sizeof value;
    getsockopt(fd, SOL_SOCKET, name, &value, &len);
    return value;
}

TEST(Passive, ListensAcceptsAndNamesThePeer) {
    Socket listener;
    ASSERT_GE(listener.Create(), 0);
    ASSERT_EQ(testnet::Passive(listener, 0, 1, htonl(INADDR_LOOPBACK)), 0);
    EXPECT_NE(listener.usLocalPort, 0);
    EXPECT_EQ(listener.usLocalPort, testnet::BoundPort(listener.descriptor()));

    Socket other;
    other.Create();
    EXPECT_EQ(testnet::Passive(other, listener.usLocalPort, 0, htonl(INADDR_LOOPBACK)), -1);
    EXPECT_EQ(other.iResult, -1);

    char host[] = "127.0.0.1";
    for (int round = 0; round < 2; round++) {
        Socket client;
        client.Create();
        ASSERT_EQ(client.Connect(host, listener.usLocalPort), 0);
        std::unique_ptr<Socket> peer = testnet::Accept(listener);
        ASSERT_TRUE(peer);
        EXPECT_EQ(testnet::PeerAddr(*peer), "127.0.0.1");
        EXPECT_EQ(ntohs(peer->saRemote.sin_port), client.usLocalPort);
        EXPECT_EQ(peer->timeout(), 300u);

        char hello[] = "+OK hello\r\n";
        EXPECT_EQ(peer->Send(hello), 11);
        EXPECT_EQ(client.RecvTeol(1), 9);
        char cmd[] = "QUIT\r\n";
        client.Send(cmd);
        EXPECT_EQ(peer->RecvTeol(), 6);
        EXPECT_STREQ(peer->line(), "QUIT\r\n");

        EXPECT_EQ(testnet::AddressLiteral(*peer), "[127.0.0.1]");
        std::string name;
        int found = testnet::ResolveName(*peer, name);
        if (found == 0) {
            EXPECT_NE(name, "[127.0.0.1]");
            EXPECT_FALSE(name.empty());
        } else {
            EXPECT_EQ(found, -1);
            EXPECT_EQ(name, "127.0.0.1");
        }
        EXPECT_EQ(peer->iResult, found);
        std::string again;
        EXPECT_EQ(testnet::ResolveName(*peer, again), found);
        EXPECT_EQ(again, name);

        // The client names the server the same way.
        EXPECT_EQ(testnet::PeerAddr(client), "127.0.0.1");
        EXPECT_EQ(testnet::AddressLiteral(client), "[127.0.0.1]");
        client.Close();
        // Closing an accepted connection leaves the listener listening.
        peer->Close();
    }

    // Accepting on a socket that does not listen fails without a leak.
    Socket idle;
    idle.Create();
    EXPECT_EQ(testnet::Accept(idle), nullptr);
    EXPECT_EQ(idle.iResult, -1);
}

TEST(Options, SetWhatTheyNameAndReportFailures) {
    Socket s;
    ASSERT_GE(s.Create(), 0);
    EXPECT_EQ(testnet::SetReusePort(s, 1), 0);
    EXPECT_NE(intoption(s.descriptor(), SO_REUSEADDR), 0);
    EXPECT_EQ(testnet::SetReusePort(s, 2), 0);
    EXPECT_EQ(intoption(s.descriptor(), SO_REUSEADDR), 0);
    EXPECT_EQ(testnet::SetReusePort(s, 1), 0);
    EXPECT_EQ(testnet::SetReusePort(s, 0), 0);
    EXPECT_EQ(intoption(s.descriptor(), SO_REUSEADDR), 0);

    EXPECT_EQ(testnet::SetLinger(s), 0);
    linger lg{};
    socklen_t len = sizeof lg;
    ASSERT_EQ(getsockopt(s.descriptor(), SOL_SOCKET, SO_LINGER, &lg, &len), 0);
    EXPECT_NE(lg.l_onoff, 0);
    EXPECT_EQ(lg.l_linger, 20);

    EXPECT_EQ(testnet::SetKeepAlive(s), 0);
    EXPECT_NE(intoption(s.descriptor(), SO_KEEPALIVE), 0);
    EXPECT_EQ(testnet::SetOob(s), 0);
    EXPECT_NE(intoption(s.descriptor(), SO_OOBINLINE), 0);

    Socket none;
    EXPECT_EQ(testnet::SetKeepAlive(none), -1);
    EXPECT_EQ(none.iResult, -1);
    EXPECT_EQ(testnet::SetLinger(none), -1);
    EXPECT_EQ(testnet::SetOob(none), -1);
    EXPECT_EQ(testnet::SetReusePort(none, 1), -1);
}

}  // namespace
