// Fresh file names, the record format of fetched message files and AREAS.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "run.h"
#include "soup/soup.h"

namespace {

TEST(Genfname, FirstFreeNumber) {
    TempDir dir;
    std::string base = dir.path() + "/";
    char out[4096];
    EXPECT_EQ(genfname(base.c_str(), "MSG", out), 0);
    EXPECT_EQ(std::string(out), dir / "00000000.MSG");

    writefile(dir / "00000000.MSG", "");
    writefile(dir / "00000002.MSG", "");
    EXPECT_EQ(genfname(base.c_str(), "MSG", out), 1);
    EXPECT_EQ(std::string(out), dir / "00000001.MSG");

    // Taken means any kind of entry; the extension is part of the name.
    mkdir((dir / "00000001.MSG").c_str(), 0700);
    EXPECT_EQ(genfname(base.c_str(), "MSG", out), 3);
    EXPECT_EQ(genfname(base.c_str(), "TMP", out), 0);

    // The state file's own name is replaced, its directory kept.
    std::string newsrc = dir / "newsrc";
    EXPECT_EQ(genfname(newsrc.c_str(), "TMP", out), 0);
    EXPECT_EQ(std::string(out), dir / "00000000.TMP");
}

TEST(Genfname, BareNameLandsInTheCurrentDirectory) {
    TempDir dir;
    char old[4096];
    ASSERT_NE(getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    writefile("00000000.TMP", "");
    char out[4096];
    long n = genfname("newsrc", "TMP", out);
    std::string got = out;
    ASSERT_EQ(chdir(old), 0);
    EXPECT_EQ(n, 1);
    EXPECT_EQ(got, "00000001.TMP");
}

TEST(Genfname, PathThatDoesNotFit) {
    char out[4096];
    std::string base = "/" + std::string(4082, 'd') + "/";
    EXPECT_EQ(genfname(base.c_str(), "MSG", out), -1);
    base = "/" + std::string(4081, 'd') + "/";  // 4083 + 12 = 4095 fits
    EXPECT_EQ(genfname(base.c_str(), "MSG", out), 0);
    EXPECT_EQ(std::strlen(out), 4095u);
}

// A fetched file never truncates or replaces a file it did not make: a
// message file that appears under its number meanwhile keeps its bytes, and
// the fetched one takes the next free number.
TEST(IncomingFile, TakesOnlyItsOwnNames) {
    TempDir dir;
    std::string soup = dir.path() + "/";
    IncomingFile incoming;
    ASSERT_TRUE(incoming.open(soup));
    EXPECT_EQ(incoming.number, 0);
    ASSERT_TRUE(incoming.file.write("fetched", 7));
    writefile(dir / "00000000.MSG", "reply");
    writefile(dir / "00000001.PRT", "another's");
    ASSERT_TRUE(incoming.finish()) << incoming.reason();
    EXPECT_EQ(incoming.number, 2);
    EXPECT_EQ(readfile(dir / "00000000.MSG"), "reply");
    EXPECT_EQ(readfile(dir / "00000001.PRT"), "another's");
    EXPECT_EQ(readfile(dir / "00000002.MSG"), "fetched");
    EXPECT_FALSE(fileexists(dir / "00000000.PRT"));

    DurableFile temp;
    char path[4096];
    EXPECT_EQ(createnew(temp, soup.c_str(), "PRT", path, "MSG"), 3);
}

TEST(RecordWriter, StoresLinesAndPatchesLengths) {
    TempDir dir;
    std::string path = dir / "00000000.MSG";
    DurableFile file;
    ASSERT_TRUE(file.open(path.c_str(), "wb"));
    RecordWriter rec;

    ASSERT_TRUE(rec.begin(file, 1234));
    const char withnul[] = "a\0b\r\n";
    EXPECT_EQ(rec.line("Subject: x\r\n", 12), 11);
    EXPECT_EQ(rec.line("\r\n", 2), 1);
    EXPECT_EQ(rec.line("..\r\n", 4), 2);          // dot-stuffed dot
    EXPECT_EQ(rec.line(".x\r\n", 4), 2);          // stuffing of any line
    EXPECT_EQ(rec.line(withnul, 5), 4);           // a NUL byte is text
    EXPECT_EQ(rec.line("cut ", 4), 4);            // a line in pieces:
    EXPECT_EQ(rec.line(".rest\r\n", 7), 6);       // its rest keeps the dot
    EXPECT_EQ(rec.line("bare\n", 5), 5);          // other line ends as sent
    EXPECT_EQ(rec.line("cr\r", 3), 3);
    ASSERT_TRUE(rec.end());
    std::string first = std::string("Subject: x\n\n.\nx\n") + std::string("a\0b\n", 4) + "cut .rest\nbare\ncr\r";

    // A second record, long enough to use every byte of its length.
    ASSERT_TRUE(rec.begin(file, 0));
    std::string big(70000, 'z');
    big += "\r\n";
    EXPECT_EQ(rec.line(big.data(), big.size()), 70001);
    ASSERT_TRUE(rec.end());

    // One larger than the file's buffer: its length is patched on disk.
    ASSERT_TRUE(rec.begin(file, 0));
    std::string line(999, 'h');
    line += "\r\n";
    for (int i = 0; i < 300; i++) ASSERT_EQ(rec.line(line.data(), line.size()), 1000);
    ASSERT_TRUE(rec.end());
    std::string huge;
    for (int i = 0; i < 300; i++) huge += std::string(999, 'h') + "\n";

    // A third that breaks off keeps its placeholder.
    ASSERT_TRUE(rec.begin(file, 0x01020304));
    EXPECT_EQ(rec.line("partial\r\n", 9), 8);
    ASSERT_TRUE(file.commit());
    EXPECT_FALSE(file.isopen());

    std::string want = be32(static_cast<uint32_t>(first.size())) + first + be32(70001) + std::string(70000, 'z') +
                       "\n" + record(huge) + be32(0x01020304) + "partial\n";
    EXPECT_EQ(readfile(path), want);
}

TEST(DurableFile, WriteFailuresAreReported) {
    // The device is full: a small write sits in the buffer and fails on
    // commit, a large one fails at once.
    DurableFile full;
    ASSERT_TRUE(full.open("/dev/full", "wb"));
    EXPECT_TRUE(full.write("abc", 3));
    EXPECT_FALSE(full.commit());
    EXPECT_FALSE(full.isopen());
    EXPECT_FALSE(full.commit());

    ASSERT_TRUE(full.open("/dev/full", "wb"));
    RecordWriter rec;
    ASSERT_TRUE(rec.begin(full, 0));
    std::string big(1 << 20, 'x');
    EXPECT_EQ(rec.line(big.data(), big.size()), -1);
    EXPECT_FALSE(full.ok());
    EXPECT_FALSE(full.commit());

    DurableFile none;
    EXPECT_FALSE(none.open("/nonexistent-dir/x", "wb"));
    EXPECT_FALSE(none.write("x", 1));
    EXPECT_FALSE(none.commit());
    RecordWriter unopened;
    EXPECT_FALSE(unopened.begin(none, 0));
}

TEST(AppendAreas, CreatesAndAppends) {
    TempDir dir;
    std::string soupdir = dir.path() + "/";
    ASSERT_TRUE(appendareas(soupdir, 0, "Email", "bn"));
    ASSERT_TRUE(appendareas(soupdir, 0x1A, "comp.lang.c++", "Bn"));
    EXPECT_EQ(readfile(dir / "AREAS"), "00000000\tEmail\tbn\n0000001A\tcomp.lang.c++\tBn\n");

    std::string area(5000, 'g');
    ASSERT_TRUE(appendareas(soupdir, 0xFFFFFFFFL, area.c_str(), "Bn"));
    EXPECT_EQ(readfile(dir / "AREAS").substr(44), "FFFFFFFF\t" + area + "\tBn\n");

    EXPECT_FALSE(appendareas(soupdir + "missing/", 1, "Email", "bn"));
}

// The journal of a killed run: its last line of each group that vouches
// for it takes the place of that group's first line, and the journal goes.
// A line the journal synced vouches; one after that only where the file it
// names is found whole: a fetched file still set aside ("%08lX.NWS") gets its name and
// AREAS line. A line cut off, or of a group the file no longer lists,
// claims nothing.
TEST(StateFile, RecoverFoldsTheJournal) {
    TempDir dir;
    std::string path = dir / "newsrc", soup = dir.path() + "/";
    writefile(path, "a: 0-0\nb: 0-0\na: 0-0\nc\n");
    writefile(soup + "00000001.MSG", "abc");
    writefile(soup + "00000002.NWS", "abcd");
    writefile(soup + "AREAS", "00000001\ta\tBn\n");
    writefile(path + ".marks", "00000000\t5\tb: 0-4\n00000009\t5\tx: 1-2\nsynced\n00000001\t3\ta: 0-3\n"
                               "00000002\t4\tb: 0-5\n00000004\t9\tc: 0-9\n00000005\t1\tc: 0-8");
    StateFile file;
    ASSERT_EQ(file.open(path), StateFile::Ready);
    ASSERT_EQ(file.recover(soup), StateFile::Saved) << file.reason();
    EXPECT_EQ(readfile(path), "a: 0-3\nb: 0-5\na: 0-0\nc\n");
    EXPECT_EQ(readfile(soup + "AREAS"), "00000001\ta\tBn\n00000002\tb\tBn\n");
    EXPECT_EQ(readfile(soup + "00000002.MSG"), "abcd");
    EXPECT_FALSE(fileexists(path + ".marks"));
    std::string line;
    ASSERT_EQ(file.next(line), StateFile::Line);
    EXPECT_EQ(line, "a: 0-3");
    // Lines journaled at once, synced on request, and gone with the journal
    // when the file is replaced.
    file.replace("a: 0-7\n");
    ASSERT_TRUE(file.journal(7, 10));
    EXPECT_EQ(readfile(path + ".marks"), "00000007\t10\ta: 0-7\n");
    ASSERT_TRUE(file.commitjournal());
    EXPECT_EQ(readfile(path + ".marks"), "00000007\t10\ta: 0-7\nsynced\n");
    ASSERT_EQ(file.save(), StateFile::Saved);
    EXPECT_EQ(readfile(path), "a: 0-7\nb: 0-5\na: 0-0\nc\n");
    EXPECT_FALSE(fileexists(path + ".marks"));
}

}  // namespace
