// The SMTP client against a scripted server in this process: what it tells
// its caller, in which order, with which class of failure.
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "proto/smtp.h"
#include "scripted_server.h"
#include "soup/soup.h"

namespace {

// Every event as one line.
struct Recorder : SmtpEvents {
    std::vector<std::string> log;

    static std::string fault(const SmtpFault& f) {
        static const char* const whats[] = {"Dialogue", "NoStartTls", "Login", "Sender", "Recipient", "Data",
                                            "Text",     "NoFrom",     "NoTo",  "NoneAccepted", "File"};
        static const char* const classes[] = {"None", "Network", "Login", "Refused", "Protocol", "Local"};
        return std::string(whats[f.what]) + " " + classes[static_cast<int>(f.cause.failure)];
    }
    void step(SmtpStep step, const std::string& detail) override {
        static const char* const steps[] = {"connect", "hello", "helo", "tls", "MAIL ", "RCPT ", "withdata"};
        log.push_back(steps[static_cast<int>(step)] + detail);
    }
    void loggingin(const SaslLogin&) override { log.push_back("login"); }
    bool done(const SmtpMessage& m) override {
        log.push_back("done " + std::to_string(m.text.start));
        return true;
    }
    void refused(const SmtpMessage& m, const SmtpFault& f) override {
        log.push_back("refused " + std::to_string(m.text.start) + " " + fault(f));
    }
    void failed(const SmtpFault& f) override { log.push_back("failed " + fault(f)); }
};

// Outgoing messages, one after the other in a file of their own.
struct Messages {
    FILE* file = std::tmpfile();
    std::vector<long> starts;
    explicit Messages(const std::vector<std::string>& texts) {
        for (const std::string& t : texts) {
            starts.push_back(std::ftell(file));
            std::fwrite(t.data(), 1, t.size(), file);
        }
        starts.push_back(std::ftell(file));
        std::fflush(file);
    }
    ~Messages() { std::fclose(file); }
    SmtpMessage operator[](size_t i) const {
        SmtpMessage message{{}, withoutbcc()};
        EXPECT_TRUE(readoutgoing(file, starts[i], starts[i + 1] - starts[i], message.text));
        return message;
    }
};

// A client of joe (password pw) with its server's scripts.
struct Fixture {
    ScriptedServer server{0};
    Server smtp{Protocol::Smtp};
    std::string cafile, pin, hostname = "me";
    Recorder events;
    SmtpClient client{smtp, cafile, pin, hostname, events};

    Fixture() {
        smtp.host = "127.0.0.1:" + std::to_string(server.port());
        smtp.user = "joe";
    }
    // The greeting, EHLO answered with keywords, and AUTH answered so.
    Script& opening(const std::string& keywords, const std::string& auth = "235 ok\r\n") {
        Script& s = server.session();
        s.send("220 ready\r\n").expect("EHLO me\r\n").send("250-hi\r\n" + keywords + "250 AUTH PLAIN\r\n");
        s.expect("AUTH PLAIN AGpvZQBwdw==\r\n").send(auth);
        return s;
    }
};

const char* const kOpened = "EHLO me\r\nAUTH PLAIN AGpvZQBwdw==\r\n";

// Pipelined with DATA: the verdict on a text comes while the next message
// goes, before its steps; a message without recipients waits for it too.
TEST(SmtpClient, EventsComeInTheOrderOfTheDialogue) {
    Messages m({"From: a@x.org\nTo: r@y.org, s@y.org\n\none\n", "From: b@x.org\nBcc: t@y.org\n\ntwo\n",
                "From: c@x.org\n\nthree\n"});
    Fixture f;
    Script& s = f.opening("250-PIPELINING\r\n");
    const std::string group1 = "MAIL FROM:<a@x.org>\r\nRCPT TO:<r@y.org>\r\nRCPT TO:<s@y.org>\r\nDATA\r\n";
    const std::string group2 = "MAIL FROM:<b@x.org>\r\nRCPT TO:<t@y.org>\r\nDATA\r\n";
    for (int i = 0; i < 4; i++) s.expectany();
    s.send("250 ok\r\n550 no such user\r\n250 ok\r\n354 go\r\n").expectdata();
    for (int i = 0; i < 3; i++) s.expectany();
    s.send("250 queued\r\n250 ok\r\n250 ok\r\n354 go\r\n").expectdata().send("554 refused\r\n");
    s.expect("QUIT\r\n").send("221 bye\r\n");
    f.server.start();

    ASSERT_EQ(f.client.open("pw"), Step::Next);
    for (size_t i = 0; i < 3; i++) EXPECT_EQ(f.client.post(m[i]), Step::Next) << i;
    EXPECT_EQ(f.client.settle(), Step::Next);
    EXPECT_TRUE(f.client.connection().signoff().done());
    EXPECT_TRUE(f.server.finish()) << f.server.errortext();
    EXPECT_EQ(f.server.received(), kOpened + group1 + "From: a@x.org\r\nTo: r@y.org, s@y.org\r\n\r\none\r\n.\r\n" +
                                       group2 + "From: b@x.org\r\n\r\ntwo\r\n.\r\nQUIT\r\n");
    const std::string second = std::to_string(m.starts[1]), third = std::to_string(m.starts[2]);
    EXPECT_EQ(f.events.log, (std::vector<std::string>{"connect", "hello", "login", "MAIL a@x.org", "RCPT r@y.org",
                                                      "failed Recipient Refused", "RCPT s@y.org", "done 0",
                                                      "MAIL b@x.org", "RCPT t@y.org", "refused " + second + " Text Refused",
                                                      "refused " + third + " NoTo Local"}));
}

// A refused login ends the opening, QUIT is sent; a lost answer after
// BDAT refuses its message once, and is the network's failure.
TEST(SmtpClient, FailuresCarryTheirClass) {
    {
        Fixture f;
        f.opening("", "535 5.7.8 bad credentials\r\n").expect("QUIT\r\n").send("221 bye\r\n");
        f.server.start();
        EXPECT_EQ(f.client.open("pw"), Step::Quit);
        f.client.end(Step::Quit);
        EXPECT_TRUE(f.server.finish()) << f.server.errortext();
        EXPECT_EQ(f.events.log, (std::vector<std::string>{"connect", "hello", "login", "failed Login Login"}));
    }
    Messages m({"From: a@x.org\nTo: r@y.org\n\none\n"});
    const std::string plain = "From: a@x.org\r\nTo: r@y.org\r\n\r\none\r\n";
    Fixture f;
    Script& s = f.opening("250-PIPELINING\r\n250-CHUNKING\r\n");
    for (int i = 0; i < 8; i++) s.expectany();
    s.send("250 reset\r\n250 ok\r\n250 ok\r\n").drop();
    f.server.start();
    ASSERT_EQ(f.client.open("pw"), Step::Next);
    EXPECT_EQ(f.client.post(m[0]), Step::Next);
    EXPECT_EQ(f.client.settle(), Step::Quit);
    f.client.end(Step::Quit);
    EXPECT_TRUE(f.server.finish()) << f.server.errortext();
    EXPECT_EQ(f.server.received(), std::string(kOpened) +
                                       "RSET\r\nMAIL FROM:<a@x.org>\r\nRCPT TO:<r@y.org>\r\nBDAT " +
                                       std::to_string(plain.size()) + " LAST\r\n" + plain);
    EXPECT_EQ(f.events.log, (std::vector<std::string>{"connect", "hello", "login", "MAIL a@x.org", "RCPT r@y.org",
                                                      "failed Dialogue Network"}));
}

}  // namespace
