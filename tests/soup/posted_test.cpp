// The record of what went out of an outgoing file: messages known by their
// bytes wherever they stand, given up or deferred, in the record's lines.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <memory>
#include <regex>
#include <string>

#include "run.h"
#include "soup/soup.h"

namespace {

const std::string a = "From: a@x.org\n\none\n", b = "From: b@x.org\n\ntwo\n", c = "From: c@x.org\n\nthree\n";

// The file at path, open for reading, with its PostedFile.
struct Opened {
    File file;
    std::unique_ptr<PostedFile> posted;
    explicit Opened(const std::string& path) : file(fopen(path.c_str(), "rb")) {
        if (file) posted = std::make_unique<PostedFile>(file.get(), path.c_str());
    }
};

TEST(PostedFile, GivenUpAndDeferredMessagesByTheirBytes) {
    TempDir dir;
    const std::string msg = dir / "R1.MSG", snt = dir / "R1.SNT";
    writefile(msg, record(a) + record(b) + record(c));
    long ta, tb = 0;
    {
        Opened o(msg);
        ASSERT_TRUE(o.posted);
        EXPECT_FALSE(o.posted->stale || o.posted->changed);
        EXPECT_TRUE(o.posted->accepted(4, static_cast<long>(a.size())));
        long at = 4 + static_cast<long>(a.size()) + 4;
        ta = std::time(nullptr);
        tb = o.posted->deferredsince(at, static_cast<long>(b.size()));
        EXPECT_GE(tb, ta);
        EXPECT_EQ(o.posted->deferredsince(at, static_cast<long>(b.size())), tb);
        EXPECT_TRUE(o.posted->givenup(at + static_cast<long>(b.size()) + 4, static_cast<long>(c.size())));
    }
    // The lines the previous version wrote stay as they were; the new
    // kinds have words of their own.
    EXPECT_TRUE(std::regex_match(readfile(snt), std::regex("file [0-9]+ [0-9]+ [0-9]+ [0-9]+ [0-9]+\n"
                                                           "4 [0-9]+ [0-9a-f]{64}\n"
                                                           "deferred [0-9]+ [0-9]+ [0-9a-f]{64} [0-9]+\n"
                                                           "givenup [0-9]+ [0-9]+ [0-9a-f]{64}\n")))
        << readfile(snt);
    EXPECT_TRUE(partlysent(msg));

    // Written anew with a message before them: a and c are known where
    // they stand now, b keeps the time of its first failure.
    const std::string z = "From: z@x.org\n\nnew\n";
    writefile(msg, record(z) + record(c) + record(b) + record(a));
    Opened o(msg);
    EXPECT_TRUE(o.posted->changed);
    PostedFile::Count n = o.posted->count('b');
    EXPECT_EQ(n.messages, 4);
    EXPECT_EQ(n.unsent, 2);
    long zb = 4 + static_cast<long>(z.size()) + 4 + static_cast<long>(c.size()) + 4;
    EXPECT_FALSE(o.posted->wassent(4, static_cast<long>(z.size())));
    EXPECT_TRUE(o.posted->wassent(zb - 4 - static_cast<long>(c.size()), static_cast<long>(c.size())));
    EXPECT_FALSE(o.posted->wassent(zb, static_cast<long>(b.size())));
    EXPECT_EQ(o.posted->deferredsince(zb, static_cast<long>(b.size())), tb);
    EXPECT_TRUE(o.posted->wassent(zb + static_cast<long>(b.size()) + 4, static_cast<long>(a.size())));
}

// Deferrals alone make no file partly sent; a record that cannot be
// written says why.
TEST(PostedFile, DeferralsAloneSendNothingAndFailuresSayWhy) {
    TempDir dir;
    const std::string msg = dir / "D.MSG";
    writefile(msg, record(a));
    {
        Opened o(msg);
        EXPECT_GT(o.posted->deferredsince(4, static_cast<long>(a.size())), 0);
    }
    EXPECT_FALSE(partlysent(msg));
    writefile(msg, record(b));
    {
        Opened o(msg);
        EXPECT_FALSE(o.posted->changed || o.posted->stale);
        EXPECT_FALSE(o.posted->wassent(4, static_cast<long>(b.size())));
    }

    const std::string locked = dir / "L.MSG";
    writefile(locked, record(a));
    ASSERT_EQ(mkdir((dir / "L.SNT").c_str(), 0700), 0);
    Opened o(locked);
    EXPECT_TRUE(o.posted->stale);
    EXPECT_EQ(o.posted->deferredsince(4, static_cast<long>(a.size())), -1);
    EXPECT_STREQ(o.posted->reason(), "Is a directory");
    EXPECT_FALSE(o.posted->givenup(4, static_cast<long>(a.size())));
    EXPECT_TRUE(o.posted->failed);
}

}  // namespace
