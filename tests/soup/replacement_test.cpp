// A file replaced whole: the new text takes its place only once committed,
// and a replacement that fails or is abandoned leaves the old file and no
// temporary one.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <string>
#include <vector>

#include "run.h"
#include "soup/soup.h"

namespace {

TEST(Replacement, WholeOrNotAtAll) {
    TempDir dir;
    std::string path = dir / "newsrc";
    writefile(path, "old\n");
    const std::vector<std::string> alone{"newsrc"};
    {
        Replacement pieces;
        ASSERT_TRUE(pieces.begin(path));
        EXPECT_EQ(pieces.temppath(), dir / "00000000.TMP");
        ASSERT_TRUE(pieces.file.write("new ", 4));
        ASSERT_TRUE(pieces.file.write("text\n", 5));
        ASSERT_TRUE(pieces.commit()) << pieces.reason();
    }
    EXPECT_EQ(readfile(path), "new text\n");
    EXPECT_EQ(listdir(dir.path()), alone);
    {
        Replacement abandoned;
        ASSERT_TRUE(abandoned.begin(path));
        ASSERT_TRUE(abandoned.file.write("half", 4));
    }
    EXPECT_EQ(readfile(path), "new text\n");
    EXPECT_EQ(listdir(dir.path()), alone);

    // The disk is full for it: a write fails.
    Replacement full;
    ASSERT_TRUE(full.begin(path));
    rlimit saved;
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 4096;
    auto oldhandler = std::signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    std::string big(1 << 20, 'x');
    bool wrote = full.file.write(big.data(), big.size());
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldhandler);
    EXPECT_FALSE(wrote);
    EXPECT_FALSE(full.commit());
    EXPECT_FALSE(full.inplace());
    EXPECT_STREQ(full.reason(), "File too large");
    EXPECT_EQ(readfile(path), "new text\n");
    EXPECT_EQ(listdir(dir.path()), alone);

    Replacement nowhere;
    EXPECT_FALSE(nowhere.begin(dir / "gone/newsrc"));
    EXPECT_EQ(nowhere.temppath(), dir / "gone/00000000.TMP");
    EXPECT_STREQ(nowhere.reason(), "No such file or directory");
}

}  // namespace
