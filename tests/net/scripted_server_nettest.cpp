// The scripted server itself: every protocol test relies on it reporting a
// wrong or missing client line, and on it never hanging.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

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
    s.settimeout(3);
    // The first piece arrives on its own.
    EXPECT_EQ(s.Recv(100), 4);
    EXPECT_STREQ(s.line(), "+OK ");
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
        s.settimeout(2);
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

// A TLS client that trusts the test CA only; every read ends after 3 s.
struct TlsClient {
    int fd;
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    SSL* ssl = SSL_new(ctx);

    explicit TlsClient(unsigned short port, bool v6 = false)
        : fd(socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0)) {
        timeval tv{3, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        sockaddr_in a4{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
        sockaddr_in6 a6{AF_INET6, htons(port), 0, in6addr_loopback, 0};
        if (v6) connect(fd, reinterpret_cast<sockaddr*>(&a6), sizeof a6);
        else connect(fd, reinterpret_cast<sockaddr*>(&a4), sizeof a4);
        SSL_CTX_load_verify_locations(ctx, VORPA_CERTS "/ca.pem", nullptr);
        SSL_set_verify(ssl, SSL_VERIFY_PEER, nullptr);
        SSL_set_fd(ssl, fd);
    }
    ~TlsClient() {
        SSL_free(ssl);
        SSL_CTX_free(ctx);
        close(fd);
    }
    // True when the server's certificate is good for name (a host name or
    // an IP literal).
    bool handshake(const char* name) { return SSL_set1_host(ssl, name) == 1 && SSL_connect(ssl) == 1; }
    std::string recv(bool tls = true) {
        char buf[512];
        long n = tls ? SSL_read(ssl, buf, sizeof buf) : ::recv(fd, buf, sizeof buf, 0);
        return std::string(buf, n > 0 ? n : 0);
    }
    void send(const std::string& text, bool tls = true) {
        if (tls) SSL_write(ssl, text.data(), static_cast<int>(text.size()));
        else ::send(fd, text.data(), text.size(), 0);
    }
};

TEST(ScriptedServer, SpeaksTlsAtOnceOrAfterStarttls) {
    ScriptedServer implicit(0, 3000);
    implicit.tls();
    implicit.session().send("+OK hi\r\n").expect("USER joe\r\n").send("+OK\r\n");
    implicit.start();
    {
        TlsClient c(implicit.port());
        ASSERT_TRUE(c.handshake("localhost"));
        EXPECT_EQ(c.recv(), "+OK hi\r\n");
        c.send("USER joe\r\n");
        EXPECT_EQ(c.recv(), "+OK\r\n");
    }
    EXPECT_TRUE(implicit.finish()) << implicit.errortext();
    EXPECT_EQ(implicit.received(0), "USER joe\r\n");

    ScriptedServer srv(0, 3000);
    srv.session().expect("STLS\r\n").send("+OK go\r\n").starttls().expect("PASS secret\r\n");
    srv.start();
    {
        TlsClient c(srv.port());
        c.send("STLS\r\n", false);
        EXPECT_EQ(c.recv(false), "+OK go\r\n");
        ASSERT_TRUE(c.handshake("127.0.0.1"));
        c.send("PASS secret\r\n");
    }
    EXPECT_TRUE(srv.finish()) << srv.errortext();
    EXPECT_EQ(srv.received(0), "STLS\r\nPASS secret\r\n");
}

TEST(ScriptedServer, ListensOnIpv6Loopback) {
    ScriptedServer srv(0, 3000, ScriptedServer::IPv6);
    if (!srv.listening()) GTEST_SKIP() << srv.errortext();
    srv.tls();
    srv.session().expect("HELO\r\n");
    srv.start();
    TlsClient c(srv.port(), true);
    ASSERT_TRUE(c.handshake("::1"));
    c.send("HELO\r\n");
    EXPECT_TRUE(srv.finish()) << srv.errortext();
}

// Clients that refuse the certificate, send no ClientHello or stall: each
// failure is recorded, and none holds the server beyond the bound.
TEST(ScriptedServer, RecordsFailedHandshakes) {
    ScriptedServer srv(0, 800);
    const std::pair<const char*, long> refused[] = {{"wrongname", X509_V_ERR_HOSTNAME_MISMATCH},
                                                    {"untrusted", X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT},
                                                    {"expired", X509_V_ERR_CERT_HAS_EXPIRED}};
    for (auto& r : refused) srv.session().starttls(r.first).expect("never\r\n");
    srv.session().starttls();
    srv.session().starttls();
    srv.start();
    for (auto& r : refused) {
        TlsClient c(srv.port());
        EXPECT_FALSE(c.handshake("localhost")) << r.first;
        EXPECT_EQ(SSL_get_verify_result(c.ssl), r.second) << r.first;
    }
    TlsClient garbage(srv.port());
    garbage.send("GET / HTTP/1.0\r\n\r\n", false);
    TlsClient stalled(srv.port());
    auto t0 = Clock::now();
    EXPECT_FALSE(srv.finish());
    EXPECT_LT(secondssince(t0), 1.5);
    std::vector<std::string> errors = srv.errors();
    ASSERT_EQ(errors.size(), 5u) << srv.errortext();
    for (size_t i = 0; i < errors.size(); i++)
        EXPECT_EQ(errors[i].find("session " + std::to_string(i) + ": TLS handshake failed: "), 0u)
            << errors[i];
    EXPECT_EQ(errors[4], "session 4: TLS handshake failed: not done within 800 ms");
}

}  // namespace
