// The demo as make demo runs it: the servers on free loopback ports, one
// "vorpa all", the listing. It must fetch, post and show what it says, and
// end with nothing left running (the output pipes would stay open).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run.h"

namespace {

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(Demo, FetchesPostsAndShowsIt) {
    std::string demo = vorpapath().substr(0, vorpapath().rfind('/') + 1) + "vorpa-demo";
    TempDir dir;
    std::string folder = dir / "demo";
    for (int round = 0; round < 2; round++) {  // the second wipes the first
        RunResult r = runprogram({demo, vorpapath(), folder}, dir.path(), 60);
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        // Its own configuration draws no warning.
        EXPECT_FALSE(contains(r.out + r.err, "Warning")) << r.out << r.err;
        EXPECT_TRUE(contains(r.out, "There are 12 messages (")) << r.out;
        EXPECT_TRUE(contains(r.out, "* Posting article to demo.talk\n"));
        EXPECT_TRUE(contains(r.out, "\nDone.\n"));
        EXPECT_TRUE(contains(r.out, "\n00000000.MSG (Email): 12 messages\n"));
        EXPECT_TRUE(contains(r.out, "\n00000001.MSG (demo.announce): 8 messages\n"));
        // The article just posted comes back with the group's news.
        EXPECT_TRUE(contains(r.out, "\n00000002.MSG (demo.talk): 25 messages\n"));
        EXPECT_TRUE(contains(r.out, "  Demo User <demo@client.exam... Re: Reading news on the train            148\n"))
            << r.out;
        EXPECT_TRUE(contains(r.out, "POP3: 12 messages retrieved and 12 deleted; the mailbox now holds 0\n"));
        EXPECT_TRUE(contains(r.out, "to bob@example.net, carol@example.com: \"Notes for the next meeting\""));
    }
    EXPECT_EQ(readfile(folder + "/packet/AREAS"),
              "00000000\tEmail\tbn\n00000001\tdemo.announce\tBn\n00000002\tdemo.talk\tBn\n");
    EXPECT_EQ(listdir(folder + "/packet"),
              (std::vector<std::string>{"00000000.MSG", "00000001.MSG", "00000002.MSG", "AREAS"}));
    EXPECT_EQ(readfile(folder + "/newsrc"), "demo.announce: 0-8\ndemo.talk: 0-25\n");
    EXPECT_TRUE(contains(readfile(folder + "/server/smtp.txt"), "RCPT TO:<carol@example.com>\r\nDATA\r\n"));
    EXPECT_TRUE(contains(readfile(folder + "/server/nntp.txt"), "POST\r\nFrom: Demo User"));

    // A folder the demo did not make is left as it is.
    writefile(dir / "mine.txt", "keep");
    RunResult r = runprogram({demo, vorpapath(), dir.path()}, dir.path(), 60);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "vorpa-demo: " + dir.path() + " holds files of something else; not touching it\n");
    EXPECT_EQ(readfile(dir / "mine.txt"), "keep");
}

}  // namespace
