// The shared sender of a message text, over a socket pair: the bytes that
// reach the server.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "net/socket.h"
#include "proto/sendtext.h"
#include "soup/soup.h"

namespace {

struct Sent {
    int result = 1;
    std::string wire;
};

// Sends length bytes from start of a file holding data, and collects what
// the other end of the connection receives.
Sent send(const std::string& data, long start, long length, const HeaderWatch& watch = HeaderWatch(),
          long plain = -1, const std::string& head = "") {
    int pair[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    Sent sent;
    std::thread reader([&sent, fd = pair[1]] {
        char buf[4096];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0) sent.wire.append(buf, static_cast<size_t>(n));
    });
    FILE* file = tmpfile();
    fwrite(data.data(), 1, data.size(), file);
    fflush(file);
    {
        Socket sock;
        sock.adopt(pair[0]);  // closed by the destructor, which ends the reader
        sent.result = sendmessagetext(sock, file, start, length, watch, plain, head);
    }
    reader.join();
    close(pair[1]);
    fclose(file);
    return sent;
}

Sent sendall(const std::string& data, const HeaderWatch& watch = HeaderWatch()) {
    return send(data, 0, static_cast<long>(data.size()), watch);
}

TEST(SendText, LineEndsDotsAndBounds) {
    // LF gets its CR, CR LF stays, a bare CR inside a line stays, lines that
    // begin with a dot get another, and the text ends with ".\r\n".
    Sent s = sendall("Subject: x\n\na\nb\r\nc\rd\n.\n..x\n.\r\nlast");
    EXPECT_EQ(s.result, 0);
    EXPECT_EQ(s.wire, "Subject: x\r\n\r\na\r\nb\r\nc\rd\r\n..\r\n...x\r\n..\r\nlast\r\n.\r\n");

    // Only the bytes from start to start + length are sent; a last line cut
    // after its CR is ended with the LF alone.
    std::string before = "#! rnews 99\nnot this\n", message = "To: a@b\n\nbody\r";
    s = send(before + message + "\nNOT THIS EITHER\n", static_cast<long>(before.size()), static_cast<long>(message.size()));
    EXPECT_EQ(s.wire, "To: a@b\r\n\r\nbody\r\n.\r\n");

    // A length past the end of the file stops at the end.
    s = send("a: b\n\nshort", 0, 1000);
    EXPECT_EQ(s.result, 0);
    EXPECT_EQ(s.wire, "a: b\r\n\r\nshort\r\n.\r\n");

    // Long lines are one line: one dot added at the start only, none where
    // a 253-character piece would begin; NUL bytes go out as they are.
    std::string dotted = "." + std::string(299, 'x') + "\n";
    std::string inner = std::string(253, 'y') + ".z\n";
    std::string nul("n\0l\n", 4);
    s = sendall("\n" + dotted + inner + nul);
    EXPECT_EQ(s.wire, "\r\n." + dotted.substr(0, 300) + "\r\n" + inner.substr(0, 255) + "\r\n" +
                          std::string("n\0l\r\n", 5) + ".\r\n");

    // CR LF pairs that straddle the sender's read pieces are not doubled.
    std::string body;
    for (int i = 0; i < 10000; i++) body += "abc\r\n";
    s = sendall("\n" + body);
    EXPECT_EQ(s.wire, "\r\n" + body + ".\r\n");
}

// The plain text of BDAT must come to the size announced: a file that now
// gives more fails before a byte beyond it goes out, one that gives less
// fails too.
TEST(SendText, PlainTextHasTheCountedSize) {
    Sent s = send("A: b\n\n.x\nend", 0, 12, HeaderWatch(), 16);
    EXPECT_EQ(s.result, SENDTEXT_READFAILED);
    EXPECT_EQ(s.wire, "");
    EXPECT_EQ(send("A: b\n\n.x\nend", 0, 12, HeaderWatch(), 18).result, SENDTEXT_READFAILED);
}

// The size after BDAT comes from the message as the walk read it, not
// from the file again: it is the size of what goes out, read from a
// mailbox or from its place, across the pieces either reads in.
TEST(SendText, SizeAsReadIsSizeSent) {
    std::string crlf;
    for (int i = 0; i < 20000; i++) crlf += "abc\r\n";
    std::vector<std::string> messages = {"From: a@b\nBcc: x@y,\n z@w\nTo: c@d\r\n\r\nbody\nlast",
                                         "Subject: s\nBcc: only\r", "\nbody\r"};
    for (size_t p = 1; p <= 5; p++) messages.push_back(std::string(p, '\n') + crlf);
    for (const std::string& message : messages) {
        const std::string data = "From a\n" + message;
        FILE* file = tmpfile();
        fwrite(data.data(), 1, data.size(), file);
        OutgoingMessage boxed, placed;
        ASSERT_EQ(fseek(file, 0, SEEK_SET), 0);
        ASSERT_EQ(readmessage(file, 'm', boxed), static_cast<long>(message.size()));
        ASSERT_TRUE(readoutgoing(file, 7, static_cast<long>(message.size()), placed));
        fclose(file);
        for (const std::string head : {"", "Date: d\nMessage-ID: <m>\r\n"}) {
            long plain = plainsize(boxed, withoutbcc(), head);
            EXPECT_EQ(plainsize(placed, withoutbcc(), head), plain);
            Sent s = send(data, 7, boxed.length, withoutbcc(), plain, head);
            EXPECT_EQ(s.result, 0) << message.substr(0, 40);
            EXPECT_EQ(static_cast<long>(s.wire.size()), plain);
            EXPECT_EQ(s.wire.find("Bcc"), std::string::npos);
        }
    }
}

TEST(SendText, HeaderWatchSeesHeaderLinesOnly) {
    std::vector<std::string> seen;
    bool dropping = false;
    HeaderWatch watch = [&](const char* line, size_t len) {
        seen.emplace_back(line, len);
        if (line[0] != ' ') dropping = std::string(line, len).rfind("Drop:", 0) == 0;
        return !dropping;
    };
    std::string longvalue(20000, 'v');
    Sent s = sendall("From: a@b\nDrop: x\n  more\nLong: " + longvalue + "\nSubject: s\r\n\r\nDrop: body\n", watch);
    EXPECT_EQ(s.result, 0);
    EXPECT_EQ(seen, (std::vector<std::string>{"From: a@b\n", "Drop: x\n", "  more\n", "Long: " + longvalue + "\n",
                                              "Subject: s\r\n"}));
    EXPECT_EQ(s.wire, "From: a@b\r\nLong: " + longvalue + "\r\nSubject: s\r\n\r\nDrop: body\r\n.\r\n");
}

TEST(SendText, FailedSendIsReported) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    close(pair[1]);
    FILE* file = tmpfile();
    fputs("To: a@b\n\nbody\n", file);
    fflush(file);
    Socket sock;
    sock.adopt(pair[0]);
    EXPECT_EQ(sendmessagetext(sock, file, 0, 15, HeaderWatch()), SENDTEXT_SENDFAILED);
    fclose(file);
}

}  // namespace
