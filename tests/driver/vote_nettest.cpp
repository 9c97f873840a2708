// The REPLIES vote across both posting phases: REPLIES goes only when both
// phases got through; a failure of either one, first or second, keeps it
// (and with it the entries that were not sent), and the run exits 2.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <string>

#include "run.h"
#include "scripted_server.h"

namespace {

struct Outcome {
    int status;
    bool replies, mailfile, newsfile;
    std::string out;
};

// Posts one mail and one news entry; a server is started only for the
// phases that are to succeed, the other finds its port closed.
Outcome postboth(bool smtpup, bool nntpup) {
    TempDir dir;
    mkdir((dir / "soup").c_str(), 0700);
    writefile(dir / "vorpa.cfg",
              "SOUPDIR " + dir.path() + "/soup\nHOSTNAME client.example\nSMTPHOST 127.0.0.1\nNNTPHOST 127.0.0.1\n");
    writefile(dir / "soup/REPLIES", "M1\tmail\tbn\nN1\tnews\tBn\n");
    writefile(dir / "soup/M1.MSG", record("From: joe@example.org\nTo: ann@example.org\nSubject: m\n\nhello\n"));
    writefile(dir / "soup/N1.MSG", record("From: joe@example.org\nNewsgroups: local.test\nSubject: n\n\nhello\n"));

    std::unique_ptr<ScriptedServer> smtp, nntp;
    if (smtpup) {
        smtp = std::make_unique<ScriptedServer>(25);
        smtp->session()
            .send("220 ready\r\n")
            .expectany()
            .send("250 hello\r\n")
            .expectany()
            .send("250 sender ok\r\n")
            .expectany()
            .send("250 recipient ok\r\n")
            .expect("DATA\r\n")
            .send("354 go ahead\r\n")
            .expectdata()
            .send("250 queued\r\n")
            .expect("QUIT\r\n")
            .send("221 bye\r\n");
        smtp->start();
    }
    if (nntpup) {
        nntp = std::make_unique<ScriptedServer>(119);
        nntp->session().send("200 ready\r\n")
            .expect("POST\r\n")
            .send("340 send it\r\n")
            .expectdata()
            .send("240 posted\r\n")
            .expect("QUIT\r\n")
            .send("205 bye\r\n");
        nntp->start();
    }
    RunResult r = runvorpa({"post", "/c=" + (dir / "vorpa.cfg")}, dir.path(), 60);
    if (smtp) {
        EXPECT_TRUE(smtp->finish()) << smtp->errortext();
    }
    if (nntp) {
        EXPECT_TRUE(nntp->finish()) << nntp->errortext();
    }
    EXPECT_EQ(r.out.substr(r.out.size() - 7), "\nDone.\n");
    return {r.status, fileexists(dir / "soup/REPLIES"), fileexists(dir / "soup/M1.MSG"),
            fileexists(dir / "soup/N1.MSG"), r.out};
}

TEST(RepliesVote, RemovedOnlyWhenBothPhasesGotThrough) {
    Outcome o = postboth(true, true);
    EXPECT_EQ(o.status, 0);
    EXPECT_FALSE(o.mailfile) << o.out;
    EXPECT_FALSE(o.newsfile) << o.out;
    EXPECT_FALSE(o.replies) << o.out;

    // The mail phase votes 1 first; the failing news phase must undo it.
    o = postboth(true, false);
    EXPECT_EQ(o.status, 75);
    EXPECT_FALSE(o.mailfile) << o.out;
    EXPECT_TRUE(o.newsfile) << o.out;
    EXPECT_TRUE(o.replies) << o.out;

    o = postboth(false, true);
    EXPECT_EQ(o.status, 75);
    EXPECT_TRUE(o.mailfile) << o.out;
    EXPECT_FALSE(o.newsfile) << o.out;
    EXPECT_TRUE(o.replies) << o.out;

    o = postboth(false, false);
    EXPECT_EQ(o.status, 75);
    EXPECT_TRUE(o.mailfile && o.newsfile && o.replies) << o.out;
}

}  // namespace
