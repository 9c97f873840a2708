// What the news fetch keeps of a run's cross-posts, and what a scored
// overview leaves to fetch.
#include <string>

#include <gtest/gtest.h>

#include "phases/newsscore.h"

namespace {

TEST(CrossPosts, XrefAndMessageIdNameTheOtherGroups) {
    CrossPosts seen;
    seen.stored("a.one", "<x@h>", "news.example  a.one:1 b.two:7  c:x d.four:");
    EXPECT_TRUE(seen.elsewhere("b.two", 7, ""));
    EXPECT_FALSE(seen.elsewhere("b.two", 8, ""));
    EXPECT_FALSE(seen.elsewhere("a.one", 1, "<x@h>"));
    EXPECT_TRUE(seen.elsewhere("e.five", 3, "<x@h>"));
    EXPECT_TRUE(seen.storedelsewhere("b.two", "<x@h>"));
    EXPECT_FALSE(seen.storedelsewhere("a.one", "<x@h>"));

    // Asked for is not stored: an answer that names it is stored after all.
    seen.asked("b.two", "<y@h>");
    EXPECT_TRUE(seen.elsewhere("c.three", 1, "<y@h>"));
    EXPECT_FALSE(seen.storedelsewhere("c.three", "<y@h>"));
    EXPECT_EQ("<y@h>", answeredid(Reply{Reply::Positive, 0, "220 5 <y@h> article\r\n", {}}));
    EXPECT_EQ("", answeredid(Reply{Reply::Positive, 0, "220 5 article\r\n", {}}));
}

TEST(Overview, KeepsWhatScoredAndCountsTheKilled) {
    ScoreFile file;
    std::string why;
    ASSERT_TRUE(file.parse("-10: Subject: *spam*\n", "score", why)) << why;
    Overview overview;
    overview.rules = file.forgroup("g");
    for (const char* line : {"12\tspam\ta\t\t<12@x>\t\t1048576\t9", "10\tfine\ta\t\t<10@x>\t\t99\t9",
                             "11\tspam\ta\t\t<11@x>\t\t-\t9", "99\tout of range\ta\t\t<99@x>\t\t1\t1"})
        overview.take(line, std::string(line).size(), 10, 14, 0);
    ArticleNumbers asked;
    asked.first = 10;
    asked.last = 14;
    overview.keep(asked, 0);
    EXPECT_TRUE(asked.listing);
    EXPECT_EQ(std::vector<long>{10}, asked.listed);
    EXPECT_EQ(12, overview.passedhigh);
    EXPECT_EQ("Killed 2 articles (1.0 MB) by score\n", overview.said());
    ASSERT_NE(nullptr, overview.find(11));
    EXPECT_EQ("<11@x>", overview.find(11)->messageid);
    EXPECT_EQ(nullptr, overview.find(13));
}

}  // namespace
