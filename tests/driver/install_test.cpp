// make install into a staging folder: the program (stripped), the man page and the
// example configuration land where PREFIX puts them, the page renders
// without warnings, and the example holds no unknown keyword.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "run.h"

namespace {

TEST(Install, ProgramManPageAndExample) {
    const std::string source = std::string(__FILE__).substr(0, std::string(__FILE__).rfind("/tests/driver/"));
    const std::string build = vorpapath().substr(0, vorpapath().rfind('/'));
    TempDir dest;
    RunResult r = runprogram({"/usr/bin/make", "-C", source, "install", "BUILD=" + build, "DESTDIR=" + dest.path(),
                              "PREFIX=/opt/v"},
                             ".", 120);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const std::string root = dest / "opt/v";
    // Stripped of what only a debugger needs, and it runs.
    const std::string program = readfile(root + "/bin/vorpa");
    EXPECT_LT(program.size(), readfile(vorpapath()).size());
    EXPECT_EQ(program.find(".debug_info"), std::string::npos);
    EXPECT_EQ(runprogram({root + "/bin/vorpa", "--version"}, ".", 10).out, "vorpa 1.00\n");
    struct stat st;
    ASSERT_EQ(stat((root + "/bin/vorpa").c_str(), &st), 0);
    EXPECT_TRUE(st.st_mode & S_IXOTH);
    const std::string page = root + "/share/man/man1/vorpa.1";
    // It names the paths of its own prefix and the program's version.
    const std::string text = readfile(page);
    EXPECT_NE(text.find(".B /opt/v/share/doc/vorpa/example.cfg\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"Vorpa 1.00\""), std::string::npos);
    EXPECT_EQ(text.find("/usr/local"), std::string::npos);
    EXPECT_EQ(text.find("@VORPA"), std::string::npos);
    const std::string example = root + "/share/doc/vorpa/example.cfg";
    EXPECT_EQ(readfile(example), readfile(source + "/doc/example.cfg"));

    // Its packet directory is the user's to make; every keyword is known.
    r = runprogram({root + "/bin/vorpa", "all", "/c=" + example}, dest.path(), 30);
    EXPECT_EQ(r.status, 1);
    // Its example passwords are readable by all, as installed.
    EXPECT_EQ(r.err, "Warning: " + example + " holds a password and other users can read it: chmod 600 " + example +
                         "\n\nError: SOUPDIR /home/joe/soup (line 49 of " + example + ") does not exist\n");

    r = runprogram({"/usr/bin/env", "MANWIDTH=80", "LC_ALL=C.UTF-8", "man", "--warnings", "-l", page}, ".", 60);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("EXIT STATUS"), std::string::npos) << r.out;
}

}  // namespace
