// A layer pushed on a connection, plain and over TLS: what the server sent
// after the line that started it, later reads, sends and the waits all
// pass through it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "net/socket.h"
#include "scripted_server.h"

namespace {

std::string flipped(const char* data, size_t len) {
    std::string out(data, len);
    for (char& c : out)
        if (std::isalpha(static_cast<unsigned char>(c))) c ^= 0x20;
    return out;
}

// Swaps the case of letters both ways. What is written waits for the
// flush, as a compressor's output would; what is read is held once, the
// read meeting EAGAIN, so that only pending() tells that it is there.
class Flip : public Layer {
public:
    int read(char* buf, int len) override {
        if (held.empty()) {
            char raw[4096];
            int n = readbelow(raw, sizeof raw);
            if (n <= 0) return n;
            held = flipped(raw, n);
            errno = EAGAIN;
            return -1;
        }
        int n = std::min(len, static_cast<int>(held.size()));
        std::memcpy(buf, held.data(), n);
        held.erase(0, n);
        return n;
    }
    int write(const char* data, int len) override {
        kept += flipped(data, len);
        return len;
    }
    int flush() override {
        while (!kept.empty()) {
            int n = writebelow(kept.data(), static_cast<int>(kept.size()));
            if (n < 0) return n;
            kept.erase(0, n);
        }
        return Layer::flush();
    }
    bool pending() const override { return !held.empty() || Layer::pending(); }

private:
    std::string held, kept;
};

std::string line(Socket& s) {
    int n = s.RecvTeol();
    return n < 0 ? "error " + std::to_string(errno) : std::string(s.line(), n);
}

TEST(Layer, CarriesEveryByteOnceItIsPushed) {
    for (bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "over TLS" : "on the descriptor");
        ScriptedServer srv(0, 5000);
        Script& script = srv.session();
        if (tls) script.send("+OK secure\r\n").starttls();
        script.send("+OK flip\r\nHELLO\r\n").expect("QUIT\r\n").send("bYE\r\n");
        srv.start();
        Socket s;
        char host[] = "127.0.0.1";
        ASSERT_TRUE(s.Create() >= 0 && s.Connect(host, srv.port()) == 0);
        // A wait that missed what the layer holds would last this long.
        s.settimeout(3);
        if (tls) {
            ASSERT_EQ(line(s), "+OK secure\r\n");
            std::string cafile = std::string(VORPA_CERTS) + "/ca.pem";
            ASSERT_EQ(s.StartTls(host, cafile.c_str(), ""), TLS_OK) << s.TlsError();
        }
        EXPECT_EQ(line(s), "+OK flip\r\n");
        s.Push(std::make_unique<Flip>());
        EXPECT_EQ(line(s), "hello\r\n") << "read ahead before the push";
        EXPECT_EQ(s.Send("quit\r\n"), 6);
        EXPECT_EQ(line(s), "Bye\r\n");
        EXPECT_TRUE(srv.finish()) << srv.errortext();
        EXPECT_EQ(srv.received(), "QUIT\r\n");
    }
}

}  // namespace

namespace {

// Lines that do not repeat, as mail text does not: many inflate rounds.
std::string text(int lines) {
    std::string out;
    for (int i = 0; i < lines; i++) out += "line " + std::to_string(i * 7919 % 100003) + " of the text\r\n";
    return out;
}

TEST(Deflate, CompressesBothWaysFromTheLineThatSwitchedItOn) {
    for (bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "over TLS" : "on the descriptor");
        ScriptedServer srv(0, 5000);
        if (tls) srv.tls();
        const std::string bulk = text(20000);
        srv.session()
            .deflate("206 on\r\n", "HELLO\r\n")
            .expect("A\r\n")
            .expect("B\r\n")
            .send(bulk)
            .expect("QUIT\r\n");
        srv.start();
        Socket s;
        char host[] = "127.0.0.1";
        ASSERT_TRUE(s.Create() >= 0 && s.Connect(host, srv.port()) == 0);
        s.settimeout(3);
        if (tls) {
            std::string cafile = std::string(VORPA_CERTS) + "/ca.pem";
            ASSERT_EQ(s.StartTls(host, cafile.c_str(), ""), TLS_OK) << s.TlsError();
        }
        ASSERT_EQ(line(s), "206 on\r\n");
        EXPECT_EQ(s.Compression(), nullptr);
        ASSERT_TRUE(s.Deflate());
        EXPECT_EQ(line(s), "HELLO\r\n") << "in the read of the 206";
        EXPECT_EQ(s.Send("A\r\nB\r\n"), 6);
        std::string got;
        while (got.size() < bulk.size()) {
            std::string next = line(s);
            if (next.rfind("error", 0) == 0) break;
            got += next;
        }
        EXPECT_EQ(got, bulk);
        EXPECT_EQ(s.Send("QUIT\r\n"), 6);
        EXPECT_TRUE(srv.finish()) << srv.errortext();
        EXPECT_EQ(srv.received(), "A\r\nB\r\nQUIT\r\n");
        const Carried* c = s.Compression();
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->received, bulk.size() + 7);
        EXPECT_EQ(c->sent, 12u);
        EXPECT_LT(c->wirereceived * 2, c->received);
        EXPECT_GT(c->wiresent, 0u);
    }
}

}  // namespace
