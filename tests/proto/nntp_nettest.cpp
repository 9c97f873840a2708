// The NNTP client against a scripted server on 127.0.0.1:119, in this
// test's own network namespace: the commands on the wire, and what the
// client tells its caller, in order, with the class of each failure.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "proto/nntp.h"
#include "scripted_server.h"

namespace {

using Item = NntpEvents::Item;

const char* itemname(Item item) {
    static const char* const names[] = {"Opening", "Newsgroups", "Select", "Listing", "Overview", "Reselect",
                                        "Article", "Discarded", "Post", "Posted", "Signoff"};
    return names[static_cast<int>(item)];
}

const char* failurename(Failure failure) {
    static const char* const names[] = {"None", "Network", "Login", "Refused", "Protocol", "Local"};
    return names[static_cast<int>(failure)];
}

// Every event as one line: "refused Article 0 423".
struct Recorder : NntpEvents {
    std::vector<std::string> seen;
    Outcome last;  // the failure told last
    void opening(Opening step, const Connection&) override { seen.push_back("opening " + std::to_string(int(step))); }
    void ready() override { seen.push_back("ready"); }
    void done(Item item, size_t i, const Reply& r) override { note("done", item, i, r.text.substr(0, 3)); }
    void refused(Item item, size_t i, const Reply& r) override { note("refused", item, i, r.text.substr(0, 3)); }
    void failed(Item item, size_t i, const Connection&, const Outcome& f) override {
        last = f;
        note("failed", item, i, failurename(f.failure));
    }
    void note(const char* what, Item item, size_t i, const std::string& rest) {
        seen.push_back(std::string(what) + " " + itemname(item) + " " + std::to_string(i) + " " + rest);
    }
};

// A client of the server on port 119 (with a login when user is set),
// and the greeting of each of its sessions.
struct Peer {
    explicit Peer(const std::string& user = "") : server(Protocol::Nntp) {
        server.host = "127.0.0.1";
        server.user = user;
    }
    Script& session(const std::string& greeting = "200 news ready\r\n") { return scripted.session().send(greeting); }
    // Opens the client after starting the scripts.
    Step open(const std::string& secret = "") {
        scripted.start();
        return client.open(secret);
    }

    Server server;
    std::string cafile, pin;
    Recorder events;
    ScriptedServer scripted{119};
    NntpClient client{server, cafile, pin, events};
};

TEST(NntpClient, RefusedLoginIsLoginAndTheConnectionIsQuitOnce) {
    Peer peer("joe");
    peer.session()
        .expect("AUTHINFO USER joe\r\n")
        .send("381 more\r\n")
        .expect("AUTHINFO PASS pw\r\n")
        .send("481 no\r\n")
        .expect("QUIT\r\n")
        .send("205 bye\r\n");
    EXPECT_EQ(peer.open("pw"), Step::Quit);
    peer.client.close(true);
    EXPECT_TRUE(peer.scripted.finish()) << peer.scripted.errortext();
    EXPECT_EQ(peer.events.seen, (std::vector<std::string>{"opening 0", "opening 2", "failed Opening 0 Login"}));
    EXPECT_FALSE(peer.events.last.passing());
}

// Uncompressed, CAPABILITIES goes with the first GROUPs: the script takes
// all of them before it answers.
TEST(NntpClient, FlightsAndStreamWithARefusedArticleAndALostConnection) {
    Peer peer;
    peer.session()
        .expect("CAPABILITIES\r\n")
        .expect("GROUP a\r\n")
        .expect("GROUP b\r\n")
        .send("101 Capability list:\r\nVERSION 2\r\nREADER\r\n.\r\n211 3 1 3 a\r\n411 no b\r\n")
        .expect("LISTGROUP a 1-3\r\n")
        .send("211 list\r\n1\r\n3\r\n.\r\n")
        .expect("ARTICLE 1\r\n")
        .expect("ARTICLE 3\r\n")
        .expect("GROUP c\r\n")
        .expect("ARTICLE 7\r\n")
        .send("220 1\r\n..one\r\n.\r\n423 gone\r\n211 1 7 7 c\r\n220 7\r\npart\r\n")
        .drop();
    ASSERT_EQ(peer.open(), Step::Next);
    ASSERT_EQ(peer.client.select({"a", "b"}), Step::Next);
    std::vector<long> listed;
    ASSERT_EQ(peer.client.list({{"a", 1, 3, 10, &listed}}), Step::Next);
    EXPECT_EQ(listed, (std::vector<long>{1, 3}));

    ArticleNumbers a{0, -1, true, listed}, c{7, 7, false, {}};
    peer.client.stream({{"a", false, &a}, {"c", true, &c}});
    std::string text;
    auto keep = [&text](const char* p, size_t n, bool) {
        text.append(p, n);
        return true;
    };
    ASSERT_TRUE(peer.client.article().ok());
    EXPECT_EQ(peer.client.text(keep), BodyEnd::Whole);
    EXPECT_TRUE(peer.client.article().refused());
    EXPECT_TRUE(peer.client.reselect().ok());
    ASSERT_TRUE(peer.client.article().ok());
    EXPECT_EQ(peer.client.text(keep), BodyEnd::Lost);
    // Dot-stuffing stays: the packet keeps the lines as they came.
    EXPECT_EQ(text, "..one\r\npart\r\n");
    peer.client.close(true);
    EXPECT_TRUE(peer.scripted.finish()) << peer.scripted.errortext();
    EXPECT_EQ(peer.events.seen,
              (std::vector<std::string>{"opening 0", "ready", "done Select 0 211", "refused Select 1 411",
                                        "done Listing 0 211", "refused Article 0 423", "done Reselect 0 211",
                                        "failed Article 0 Network"}));
    EXPECT_EQ(peer.events.last.stage, Stage::Text);
    EXPECT_TRUE(peer.events.last.passing());
}

// Each POST goes behind the text before it, and its answer comes after
// that text's verdict.
TEST(NntpClient, PostVerdictsAndARefusedPost) {
    Peer peer;
    const char* article = "Newsgroups: t\r\n\r\nbody\r\n.\r\n";
    Script& s = peer.session();
    s.expect("POST\r\n").send("340 send\r\n").expectdata();
    for (const char* verdict : {"240 ok\r\n", "441 435 Duplicate\r\n"})
        s.expect("POST\r\n").send(std::string(verdict) + "340 send\r\n").expectdata();
    s.expect("POST\r\n").send("441 bad\r\n440 no posting\r\n").drain();
    ASSERT_EQ(peer.open(), Step::Next);
    ArticleText text = [article](Socket& sock) {
        int n = static_cast<int>(std::strlen(article));
        return sock.Send(article, n) == n ? TextSent::Whole : TextSent::SendFailed;
    };
    ASSERT_EQ(peer.client.askpost(), Step::Next);
    ASSERT_EQ(peer.client.sendtext(text), Step::Next);
    Verdict verdict;
    for (Verdict expected : {Verdict::Accepted, Verdict::Duplicate, Verdict::Refused}) {
        ASSERT_EQ(peer.client.askpost(), Step::Next);
        ASSERT_EQ(peer.client.verdict(verdict), Step::Next);
        EXPECT_EQ(verdict, expected);
        if (expected != Verdict::Refused) {
            ASSERT_EQ(peer.client.sendtext(text), Step::Next);
        }
    }
    EXPECT_EQ(peer.client.sendtext(text), Step::End);
    peer.client.close(false);
    EXPECT_TRUE(peer.scripted.finish()) << peer.scripted.errortext();
    EXPECT_EQ(peer.events.seen, (std::vector<std::string>{"opening 0", "ready", "done Posted 0 240",
                                                          "refused Posted 0 441", "refused Posted 0 441",
                                                          "refused Post 0 440"}));
    EXPECT_EQ(peer.scripted.received(), std::string("POST\r\n") + article + "POST\r\n" + article + "POST\r\n" +
                                            article + "POST\r\n");
}

}  // namespace

namespace {

const std::string kCompressing = "101 Capability list:\r\nVERSION 2\r\nCOMPRESS DEFLATE\r\n.\r\n";

// CAPABILITIES and COMPRESS go in one flight. After 206 everything is
// deflated both ways, what came in the read of the 206 included; the
// ARTICLEs of two groups and QUIT go in one flight, so the script takes all
// of them before it answers. A refused COMPRESS goes on in plain text.
TEST(NntpClient, CompressionWherePipelinedArticlesAndQuitGoInOneFlight) {
    Peer peer;
    peer.server.compress = Compress::On;
    peer.scripted.session()
        .send("200 news ready\r\n")
        .expect("CAPABILITIES\r\n")
        .expect("COMPRESS DEFLATE\r\n")
        .send(kCompressing)
        .deflate("206 Compression active\r\n", "211 2 1 2 a\r\n")
        .expect("GROUP a\r\n")
        .expect("GROUP b\r\n")
        .send("211 1 5 5 b\r\n")
        .expect("GROUP a\r\n")
        .expect("ARTICLE 1\r\n")
        .expect("ARTICLE 2\r\n")
        .expect("GROUP b\r\n")
        .expect("ARTICLE 5\r\n")
        .expect("QUIT\r\n")
        .send("211 2 1 2 a\r\n220 1\r\none\r\n.\r\n220 2\r\ntwo\r\n.\r\n211 1 5 5 b\r\n220 5\r\nfive\r\n.\r\n"
              "205 bye\r\n");
    peer.scripted.session()
        .send("200 news ready\r\n")
        .expect("CAPABILITIES\r\n")
        .expect("COMPRESS DEFLATE\r\n")
        .send(kCompressing + "403 not now\r\n")
        .expect("GROUP a\r\n")
        .send("211 0 1 0 a\r\n")
        .expect("QUIT\r\n")
        .send("205 bye\r\n");
    ASSERT_EQ(peer.open(), Step::Next);
    ASSERT_EQ(peer.client.select({"a", "b"}), Step::Next);
    ArticleNumbers a{1, 2, false, {}}, b{5, 5, false, {}};
    peer.client.stream({{"a", true, &a}, {"b", true, &b}});
    std::string text;
    auto keep = [&text](const char* p, size_t n, bool) {
        text.append(p, n);
        return true;
    };
    EXPECT_TRUE(peer.client.reselect().ok());
    for (int i = 0; i < 3; i++) {
        if (i == 2) {
            EXPECT_TRUE(peer.client.reselect().ok());
        }
        ASSERT_TRUE(peer.client.article().ok());
        EXPECT_EQ(peer.client.text(keep), BodyEnd::Whole);
    }
    EXPECT_EQ(text, "one\r\ntwo\r\nfive\r\n");
    const Carried* carried = peer.client.connection().sock.Compression();
    ASSERT_NE(carried, nullptr);
    EXPECT_GT(carried->received, 0u);
    EXPECT_TRUE(peer.client.signoff());

    ASSERT_EQ(peer.client.open(""), Step::Next);
    EXPECT_EQ(peer.client.connection().sock.Compression(), nullptr);
    ASSERT_EQ(peer.client.select({"a"}), Step::Next);
    EXPECT_TRUE(peer.client.signoff());
    EXPECT_TRUE(peer.scripted.finish()) << peer.scripted.errortext();
    EXPECT_EQ(peer.scripted.received(0),
              "CAPABILITIES\r\nCOMPRESS DEFLATE\r\nGROUP a\r\nGROUP b\r\nGROUP a\r\nARTICLE 1\r\nARTICLE 2\r\n"
              "GROUP b\r\nARTICLE 5\r\nQUIT\r\n");
}

}  // namespace
