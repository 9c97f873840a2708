// The reply readers of the three protocols and the capability list, fed
// through a socket pair.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "proto/nntp.h"
#include "proto/pop3.h"
#include "proto/smtp.h"

namespace {

// A socket whose peer has sent text and closed.
struct Fed {
    Socket sock;
    explicit Fed(const std::string& text) {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return;
        sock.adopt(fds[0]);
        sock.settimeout(2);
        EXPECT_EQ(write(fds[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
        close(fds[1]);
    }
};

TEST(Reply, SmtpMultiLineAndCapabilities) {
    Fed f("250-mail.example greets you\r\n250-PIPELINING\r\n250-AUTH LOGIN Plain\r\n250 STARTTLS\r\n"
          "354 go ahead\r\n550 no\r\n");
    Reply ehlo = readsmtp(f.sock);
    EXPECT_TRUE(ehlo.ok());
    EXPECT_EQ(ehlo.text, "250 STARTTLS\r\n");
    ASSERT_EQ(ehlo.lines.size(), 4u);
    Capabilities caps;
    for (const std::string& line : ehlo.lines) caps.add(line);
    EXPECT_TRUE(caps.has("pipelining"));
    EXPECT_TRUE(caps.has("STARTTLS"));
    EXPECT_TRUE(caps.offers("AUTH", "PLAIN"));
    EXPECT_TRUE(caps.offers("AUTH", "login"));
    EXPECT_FALSE(caps.offers("AUTH", "XOAUTH2"));
    EXPECT_FALSE(caps.has("AUT"));
    EXPECT_TRUE(readsmtp(f.sock).ok());
    Reply no = readsmtp(f.sock);
    EXPECT_TRUE(no.refused());
    EXPECT_TRUE(no.is("550"));
    Reply lost = readsmtp(f.sock);
    EXPECT_EQ(lost.status, Reply::Lost);
    EXPECT_EQ(lost.error, kPeerClosed);
}

TEST(Reply, SmtpReplyThatNeverEndsIsInvalid) {
    std::string text;
    for (int i = 0; i < 1000; i++) text += "250-more\r\n";
    Fed f(text + "250 done\r\n");
    Reply reply = readsmtp(f.sock);
    EXPECT_EQ(reply.status, Reply::Invalid);
    EXPECT_EQ(reply.text, "250-more\r\n");
}

TEST(Reply, Pop3AndNntp) {
    Fed pop("+OK 2 320\r\n-ERR no such message\r\nHELLO\r\n");
    Reply ok = readpop3(pop.sock);
    EXPECT_TRUE(ok.ok());
    long count = 0, total = 0;
    pop3stat(ok, &count, &total);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(total, 320);
    EXPECT_TRUE(readpop3(pop.sock).refused());
    EXPECT_EQ(readpop3(pop.sock).status, Reply::Invalid);
    EXPECT_EQ(readpop3(pop.sock).status, Reply::Lost);

    Fed nntp("211 3 1 3 misc\r\n480 login\r\n441 435 Duplicate\r\n\r\n");
    EXPECT_TRUE(readnntp(nntp.sock).ok());
    Reply login = readnntp(nntp.sock);
    EXPECT_TRUE(login.refused());
    EXPECT_TRUE(needslogin(login));
    Reply duplicate = readnntp(nntp.sock);
    EXPECT_TRUE(isduplicate(duplicate));
    EXPECT_FALSE(isduplicate(login));
    EXPECT_TRUE(readnntp(nntp.sock).refused());  // an empty line is no positive reply
    EXPECT_EQ(readnntp(nntp.sock).status, Reply::Lost);
}

}  // namespace
