// The bytes that SendText, SendDotText and SendBinary put on the wire.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "net/socket.h"
#include "run.h"
#include "scripted_server.h"
#include "testnet.h"

namespace {

struct Sent {
    int result;
    std::string wire;
};

// Runs send on a connection to a server that records everything, and
// returns its result with the bytes the server received.
Sent transmit(const std::function<int(Socket&)>& send) {
    ScriptedServer srv(0, 5000);
    srv.session().drain();
    srv.start();
    Socket s;
    char host[] = "127.0.0.1";
    EXPECT_GE(s.Create(), 0);
    EXPECT_EQ(s.Connect(host, srv.port()), 0);
    Sent out{send(s), ""};
    s.Close();
    EXPECT_TRUE(srv.finish()) << srv.errortext();
    out.wire = srv.received();
    return out;
}

Sent text(const std::string& path, unsigned long offset = 0) {
    return transmit([&](Socket& s) { return testnet::SendText(s, path.c_str(), offset); });
}

Sent dottext(const std::string& path) {
    return transmit([&](Socket& s) { return testnet::SendDotText(s, path.c_str()); });
}

Sent binary(const std::string& path, unsigned long offset = 0) {
    return transmit([&](Socket& s) { return testnet::SendBinary(s, path.c_str(), offset); });
}

void expectsent(const Sent& got, int result, const std::string& wire) {
    EXPECT_EQ(got.result, result);
    EXPECT_EQ(got.wire, wire);
}

TEST(SendText, EachLineEndsInCrLf) {
    TempDir dir;
    writefile(dir / "ab", "a\nb\n");
    writefile(dir / "open", "a\nb");
    writefile(dir / "crlf", "a\r\n");
    writefile(dir / "empty", "");
    std::string nul("a\0b\nc\n", 6);
    writefile(dir / "nul", nul);
    std::string longline = std::string(20000, 'x') + "\n" + std::string(8191, 'y') + "\nz\n";
    writefile(dir / "long", longline);

    expectsent(text(dir / "ab"), 6, "a\r\nb\r\n");
    expectsent(text(dir / "open"), 4, "a\r\nb");
    expectsent(text(dir / "crlf"), 4, "a\r\r\n");
    expectsent(text(dir / "empty"), 0, "");
    expectsent(text(dir / "ab", 2), 3, "b\r\n");
    writefile(dir / "words", "hello\nworld\n");
    expectsent(text(dir / "words", 2), 12, "llo\r\nworld\r\n");
    expectsent(text(dir / "words", 100), 0, "");
    expectsent(text(dir / "nul"), 8, std::string("a\0b\r\nc\r\n", 8));
    std::string wantlong = std::string(20000, 'x') + "\r\n" + std::string(8191, 'y') + "\r\nz\r\n";
    expectsent(text(dir / "long"), static_cast<int>(wantlong.size()), wantlong);
    expectsent(text(dir / "missing"), -1, "");
}

TEST(SendDotText, StuffsDotsAndEndsWithTheEndOfDataLine) {
    TempDir dir;
    writefile(dir / "dot", ".\nx\n");
    writefile(dir / "empty", "");
    writefile(dir / "open", "a\n.b");
    writefile(dir / "blank", "a\n\n");
    std::string nul(".\0.\n", 4);
    writefile(dir / "nul", nul);

    // The empty read after a final LF still goes out as an empty line.
    expectsent(dottext(dir / "dot"), 12, "..\r\nx\r\n\r\n.\r\n");
    expectsent(dottext(dir / "empty"), 5, "\r\n.\r\n");
    expectsent(dottext(dir / "open"), 11, "a\r\n..b\r\n.\r\n");
    expectsent(dottext(dir / "blank"), 10, "a\r\n\r\n\r\n.\r\n");
    expectsent(dottext(dir / "nul"), 11, std::string("..\0.\r\n\r\n.\r\n", 11));
    expectsent(dottext(dir / "missing"), -1, "");

    // Many lines and over-long ones: every line arrives whole, a dot is added
    // only at the start of a line.
    std::string file, want;
    for (int i = 0; i < 3000; i++) {
        std::string line = (i % 7 == 0 ? "." : "") + std::string(i % 50, 'a' + i % 26);
        if (i % 1000 == 999) line = "." + std::string(9000 + i, 'L') + "." + std::string(100, 'M');
        file += line + "\n";
        want += (line[0] == '.' ? "." : "") + line + "\r\n";
    }
    want += "\r\n.\r\n";
    writefile(dir / "big", file);
    expectsent(dottext(dir / "big"), static_cast<int>(want.size()), want);
}

TEST(SendBinary, SendsTheBytesUnchanged) {
    TempDir dir;
    std::string data;
    for (int i = 0; i < 16384; i++) data += static_cast<char>((i * 7 + i / 256) & 0xff);
    writefile(dir / "10000", data.substr(0, 10000));
    writefile(dir / "16384", data);
    writefile(dir / "empty", "");

    expectsent(binary(dir / "10000"), 1808, data.substr(0, 10000));
    expectsent(binary(dir / "16384"), 0, data);
    expectsent(binary(dir / "empty"), 0, "");
    expectsent(binary(dir / "16384", 100), 8092, data.substr(100));
    expectsent(binary(dir / "missing"), -1, "");
}

// A peer that went away makes every transmission end with -1, not with a
// total that looks like success, and not with a SIGPIPE.
TEST(SendFile, FailedSendEndsTheTransfer) {
    TempDir dir;
    std::string big;
    for (int i = 0; i < 40000; i++) big += "line of text\n";
    writefile(dir / "big", big);
    ScriptedServer srv(0, 5000);
    for (int i = 0; i < 3; i++) srv.session().drop();
    srv.start();
    std::string path = dir / "big";
    char host[] = "127.0.0.1";
    for (int i = 0; i < 3; i++) {
        Socket s;
        ASSERT_GE(s.Create(), 0);
        ASSERT_EQ(s.Connect(host, srv.port()), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        int r = i == 0   ? testnet::SendText(s, path.c_str(), 0)
                : i == 1 ? testnet::SendDotText(s, path.c_str())
                         : testnet::SendBinary(s, path.c_str(), 0);
        EXPECT_EQ(r, -1) << "transmission " << i;
        EXPECT_EQ(s.iResult, -1);
    }
    EXPECT_TRUE(srv.finish()) << srv.errortext();
}

}  // namespace
