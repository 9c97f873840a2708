// The POP3 client as a mail source against a scripted server in-process:
// what it tells its caller, with which failure class, and what it sends.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "proto/pop3.h"
#include "scripted_server.h"

using namespace std::string_literals;

namespace {

// The greeting, USER and PASS, and CAPA with PIPELINING.
Script& opened(Script& s) {
    return s.send("+OK ready\r\n").expect("CAPA\r\n").send("+OK\r\nPIPELINING\r\n.\r\n").expect("USER joe\r\n").send("+OK\r\n")
        .expect("PASS secret\r\n").send("+OK\r\n");
}

const char* const steps[] = {"connect", "tls", "user", "pass", "stat", "dele", "quit", "quitted"};
const char* const faults[] = {"step", "secret", "login", "short", "long", "huge", "lost", "sink"};

const char* classof(Failure failure) {
    switch (failure) {
    case Failure::None: return "none";
    case Failure::Network: return "network";
    case Failure::Login: return "login";
    case Failure::Refused: return "refused";
    case Failure::Protocol: return "protocol";
    case Failure::Local: return "local";
    }
    return "?";
}

// Every event and message line as one text, for comparison.
struct Recorder final : SourceEvents, MessageSink {
    std::string told;
    void step(SourceStep step) override { told += steps[static_cast<int>(step)] + "\n"s; }
    void loggingin(const SaslLogin&) override { told += "sasl\n"; }
    void refused(size_t k, const Reply& reply) override { told += "refused " + std::to_string(k) + " " + reply.text; }
    void failed(const SourceFailure& f) override {
        told += "failed "s + faults[static_cast<int>(f.fault)] + " " + classof(f.outcome.failure) + "\n";
    }
    bool next(size_t k) override {
        told += "next " + std::to_string(k) + "\n";
        return k < stopat;
    }
    bool take(size_t k, MessageText& text) override {
        told += "take " + std::to_string(k) + "\n";
        text.read([this](const char* line, size_t len, bool, size_t received) {
            told += std::to_string(received) + "|" + std::string(line, len);
            return true;
        });
        return text.end == BodyEnd::Whole;
    }
    size_t stopat = SIZE_MAX;
};

struct Client {
    explicit Client(const ScriptedServer& server) : pop(Protocol::Pop3) {
        pop.host = "127.0.0.1:" + std::to_string(server.port());
        pop.user = "joe";
    }
    Server pop;
    std::string cafile, pin;
    Recorder events;
    Pop3Client client{pop, cafile, pin, events};
};

// The steps of the opening above and of STAT.
const std::string openingsteps = "connect\nuser\npass\nstat\n";

TEST(Pop3Client, ListsJoinIdsByNumberAndRetrievesUnstuffed) {
    ScriptedServer server(0);
    // UIDL out of order, one message named twice, one not at all; a size
    // that cannot be read.
    opened(server.session()).expect("STAT\r\n").send("+OK 4 20\r\n").expect("LIST\r\n").expect("UIDL\r\n")
        .send("+OK\r\n1 5\r\n2 x\r\n3 0\r\n4 7\r\n.\r\n+OK\r\n4 dd\r\n1 aa\r\n4 d2\r\n2 bb\r\n.\r\n")
        .expect("RETR 1\r\n").expect("RETR 4\r\n")
        .send("+OK\r\n..a\r\n.\r\n+OK\r\nb\r\n.\r\n")
        .expect("QUIT\r\n").send("+OK\r\n");
    server.start();
    Client c(server);
    FolderState size;
    MailList list;
    ASSERT_TRUE(c.client.open("secret") && c.client.select("", size) && c.client.list({}, list)) << c.events.told;
    EXPECT_EQ(size.messages, 4);
    ASSERT_EQ(list.messages.size(), 4u);
    std::vector<std::string> ids;
    for (const MailList::Message& m : list.messages)
        ids.push_back(std::to_string(m.size) + (m.id == MailList::noid ? "" : " " + std::string(list.id(m.id))));
    EXPECT_EQ(ids, (std::vector<std::string>{"5 aa", "-1 bb", "0", "7 dd"}));
    // Nothing is asked for the empty message.
    EXPECT_TRUE(c.client.retrieve({0, 2, 3}, c.events, false));
    EXPECT_TRUE(c.client.close());
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ(c.events.told, openingsteps + "next 0\ntake 0\n5|.a\r\nnext 2\ntake 2\n3|b\r\n"
                                            "quit\nquitted\n");
}

// A refused login, a lost connection and a refused item, each with its
// class, and whether QUIT still goes.
TEST(Pop3Client, FailuresTellTheirClass) {
    ScriptedServer server(0);
    // A login refused in a flight: the answers of the others are taken
    // before QUIT.
    server.session().send("+OK\r\n").expect("CAPA\r\n").send("+OK\r\nPIPELINING\r\n.\r\n")
        .expect("USER joe\r\n").expect("PASS secret\r\n").expect("STAT\r\n").expect("LIST\r\n").expect("UIDL\r\n")
        .send("+OK\r\n-ERR [AUTH] no\r\n-ERR\r\n-ERR\r\n-ERR\r\n").expect("QUIT\r\n").send("+OK\r\n");
    opened(server.session()).expect("STAT\r\n").send("+OK 2 9\r\n").expect("LIST\r\n").expect("UIDL\r\n")
        .send("+OK\r\n1 4\r\n2 5\r\n.\r\n-ERR\r\n").expect("RETR 1\r\n").expect("RETR 2\r\n")
        .send("+OK\r\npart").drop();
    opened(server.session()).expect("STAT\r\n").send("+OK 2 9\r\n").expect("LIST\r\n").expect("UIDL\r\n")
        .send("+OK\r\n1 4\r\n2 5\r\n.\r\n-ERR\r\n").expect("DELE 1\r\n").expect("DELE 2\r\n")
        .send("-ERR locked\r\n-ERR still\r\n").expect("QUIT\r\n").send("+OK\r\n");
    server.start();
    {
        Client c(server);
        EXPECT_FALSE(c.client.open("secret"));
        c.client.abandon();
        EXPECT_EQ(c.events.told, "connect\nuser\npass\nfailed step login\n");
    }
    for (bool retrieve : {true, false}) {
        Client c(server);
        FolderState size;
        MailList list;
        ASSERT_TRUE(c.client.open("secret") && c.client.select("", size) && c.client.list({}, list));
        EXPECT_FALSE(list.hasids);
        EXPECT_FALSE(retrieve ? c.client.retrieve({0, 1}, c.events, false) : c.client.remove(list, {0, 1}));
        c.client.abandon();
        EXPECT_EQ(c.events.told, openingsteps + (retrieve ? "next 0\ntake 0\nfailed lost network\n"
                                                          : "dele\nrefused 0 -ERR locked\r\nrefused 1 -ERR still\r\n"));
    }
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ(server.received(0), "CAPA\r\nUSER joe\r\nPASS secret\r\nSTAT\r\nLIST\r\nUIDL\r\nQUIT\r\n");
}

// A stop asked for between messages ends the retrieve without a failure;
// the RETRs sent ahead are answered after QUIT.
TEST(Pop3Client, StopsBetweenMessages) {
    ScriptedServer server(0);
    opened(server.session()).expect("STAT\r\n").send("+OK 2 9\r\n").expect("LIST\r\n").expect("UIDL\r\n")
        .send("+OK\r\n1 4\r\n2 5\r\n.\r\n-ERR\r\n").expect("RETR 1\r\n").expect("RETR 2\r\n")
        .send("+OK\r\na\r\n.\r\n").expect("QUIT\r\n").send("+OK\r\nb\r\n.\r\n");
    server.start();
    Client c(server);
    c.events.stopat = 1;
    FolderState size;
    MailList list;
    ASSERT_TRUE(c.client.open("secret") && c.client.select("", size) && c.client.list({}, list));
    EXPECT_FALSE(c.client.retrieve({0, 1}, c.events, false));
    c.client.abandon();
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ(c.events.told, openingsteps + "next 0\ntake 0\n3|a\r\nnext 1\n");
}

}  // namespace
