// The record of what went out of an outgoing file: messages known by their
// bytes wherever they stand, given up or deferred, in the record's lines.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <memory>
#include <regex>
#include <string>

#include "run.h"
#include "soup/soup.h"

namespace {

const std::string a = "From: a@x.org\n\none\n", b = "From: b@x.org\n\ntwo\n", c = "From: c@x.org\n\nthree\n";
const long la = static_cast<long>(a.size()), lb = static_cast<long>(b.size()), lc = static_cast<long>(c.size());

// The file at path, open for reading, with its PostedFile.
struct Opened {
    File file;
    std::unique_ptr<PostedFile> posted;
    explicit Opened(const std::string& path) : file(fopen(path.c_str(), "rb")) {
        if (file) posted = std::make_unique<PostedFile>(file.get(), path.c_str());
    }
    // The message at [start, start + length), read as the walk reads it.
    OutgoingMessage at(long start, long length) {
        OutgoingMessage message;
        EXPECT_TRUE(readoutgoing(file.get(), start, length, message));
        return message;
    }
};

TEST(PostedFile, GivenUpAndDeferredMessagesByTheirBytes) {
    TempDir dir;
    const std::string msg = dir / "R1.MSG";
    writefile(msg, record(a) + record(b) + record(c));
    long before = std::time(nullptr), since = 0;
    {
        Opened o(msg);
        EXPECT_TRUE(o.posted->accepted(o.at(4, la)));
        since = o.posted->deferredsince(o.at(4 + la + 4, lb));
        EXPECT_GE(since, before);
        EXPECT_EQ(o.posted->deferredsince(o.at(4 + la + 4, lb)), since);
        EXPECT_TRUE(o.posted->givenup(o.at(4 + la + 4 + lb + 4, lc)));
    }
    // The lines the previous version wrote stay as they were; the new
    // kinds have words of their own.
    const std::string snt = readfile(dir / "R1.SNT");
    EXPECT_TRUE(std::regex_match(snt, std::regex("file [0-9]+ [0-9]+ [0-9]+ [0-9]+ [0-9]+\n4 [0-9]+ [0-9a-f]{64}\n"
                                                 "deferred [0-9]+ [0-9]+ [0-9a-f]{64} [0-9]+\n"
                                                 "givenup [0-9]+ [0-9]+ [0-9a-f]{64}\n")))
        << snt;
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
    long at = 4 + static_cast<long>(z.size()) + 4;
    EXPECT_TRUE(o.posted->wassent(o.at(at, lc)));
    EXPECT_FALSE(o.posted->wassent(o.at(at + lc + 4, lb)));
    EXPECT_EQ(o.posted->deferredsince(o.at(at + lc + 4, lb)), since);
    EXPECT_TRUE(o.posted->wassent(o.at(at + lc + 4 + lb + 4, la)));
}

// Deferrals alone make no file partly sent; a record that cannot be
// written says why.
TEST(PostedFile, DeferralsAloneSendNothingAndFailuresSayWhy) {
    TempDir dir;
    const std::string msg = dir / "D.MSG";
    writefile(msg, record(a));
    Opened d(msg);
    EXPECT_GT(d.posted->deferredsince(d.at(4, la)), 0);
    EXPECT_FALSE(partlysent(msg));
    writefile(msg, record(b));
    EXPECT_FALSE(Opened(msg).posted->changed);

    std::remove((dir / "D.SNT").c_str());
    ASSERT_EQ(mkdir((dir / "D.SNT").c_str(), 0700), 0);
    Opened o(msg);
    EXPECT_TRUE(o.posted->stale);
    EXPECT_EQ(o.posted->deferredsince(o.at(4, lb)), -1);
    EXPECT_STREQ(o.posted->reason(), "Is a directory");
    EXPECT_TRUE(o.posted->failed);
}

}  // namespace
