// make install into a staging folder: the program (stripped), the man page and the
// example configuration land where PREFIX puts them, the page renders
// without warnings, and the example holds no unknown keyword, and every
// setting of the page. The systemd units pass systemd's check, and the
// Debian package installs a program that runs.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "run.h"

namespace {

const std::string source = std::string(__FILE__).substr(0, std::string(__FILE__).rfind("/tests/driver/"));
const std::string build = vorpapath().substr(0, vorpapath().rfind('/'));

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(Install, ProgramManPageAndExample) {
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
                         "\n\nError: SOUPDIR /home/joe/soup (line 72 of " + example + ") does not exist\n");

    r = runprogram({"/usr/bin/env", "MANWIDTH=80", "LC_ALL=C.UTF-8", "man", "--warnings", "-l", page}, ".", 60);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("EXIT STATUS"), std::string::npos) << r.out;
}

// The keywords the man page describes under CONFIGURATION (the line after
// each .TP), and those the example sets or shows commented out (";KEY").
std::set<std::string> pagesettings(const std::string& page) {
    std::set<std::string> keys;
    std::istringstream lines(page.substr(page.find("\n.SH CONFIGURATION\n") + 1));
    std::string line;
    bool item = false;
    std::getline(lines, line);
    while (std::getline(lines, line) && line.rfind(".SH ", 0) != 0) {
        if (item) {
            // Font escapes ("\fBPOPPASS") glue to the word they mark.
            line = std::regex_replace(line, std::regex(R"(\\f.|\\\(..|\\.)"), " ");
            std::regex word(R"(\b[A-Z][A-Z0-9]{3,}\b)");
            for (std::sregex_iterator m(line.begin(), line.end(), word), end; m != end; ++m) keys.insert(m->str());
        }
        item = line == ".TP";
    }
    return keys;
}

std::set<std::string> examplesettings(const std::string& example) {
    std::set<std::string> keys;
    std::istringstream lines(example);
    std::string line;
    std::smatch m;
    while (std::getline(lines, line))
        if (std::regex_search(line, m, std::regex(R"(^;?([A-Z][A-Z0-9]+)(\s|$))"))) keys.insert(m[1]);
    return keys;
}

TEST(Install, ExampleShowsEverySettingOfTheManPage) {
    const std::set<std::string> page = pagesettings(readfile(source + "/doc/vorpa.1"));
    const std::set<std::string> example = examplesettings(readfile(source + "/doc/example.cfg"));
    ASSERT_GT(page.size(), 50u);
    for (const std::string& key : page) EXPECT_TRUE(example.count(key)) << key << " is missing in doc/example.cfg";
    for (const std::string& key : example) EXPECT_TRUE(page.count(key)) << key << " is not in the man page";
}

// Installed under a prefix of its own, so that the service's program is
// there: systemd finds nothing to say of either unit.
TEST(Install, SystemdUnits) {
    if (access("/usr/bin/systemd-analyze", X_OK) != 0) GTEST_SKIP() << "systemd-analyze is missing";
    TempDir prefix;
    RunResult r = runprogram({"/usr/bin/make", "-C", source, "install", "BUILD=" + build, "PREFIX=" + prefix.path()},
                             ".", 120);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const std::string units = prefix / "lib/systemd/user/";
    const std::string service = readfile(units + "vorpa.service");
    EXPECT_TRUE(contains(service, "\nExecStart=" + prefix.path() + "/bin/vorpa all\n")) << service;
    EXPECT_TRUE(contains(service, "\nSuccessExitStatus=75\n")) << service;
    EXPECT_TRUE(contains(readfile(units + "vorpa.timer"), "\nPersistent=true\n"));
    ASSERT_EQ(mkdir((prefix / "run").c_str(), 0700), 0);
    r = runprogram({"/usr/bin/env", "XDG_RUNTIME_DIR=" + prefix / "run", "MANPATH=" + prefix / "share/man",
                    "systemd-analyze", "--user", "verify", units + "vorpa.service", units + "vorpa.timer"},
                   prefix.path(), 60);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
}

// The package of the build, unpacked as dpkg would: the program runs, each
// file lies where Debian wants it, the dependencies name what the program
// links and libcurl, which it loads, and lintian finds no error.
TEST(Install, DebianPackage) {
    for (const char* tool : {"/usr/bin/cpack", "/usr/bin/dpkg-shlibdeps", "/usr/bin/file", "/usr/bin/dpkg-deb"})
        if (access(tool, X_OK) != 0) GTEST_SKIP() << tool << " is missing";
    TempDir out;
    RunResult r = runprogram(
        {"/usr/bin/cpack", "-G", "DEB", "--config", build + "/CPackConfig.cmake", "-B", out.path()}, build, 180);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    std::string deb;
    for (const std::string& name : listdir(out.path()))
        if (std::regex_match(name, std::regex(R"(vorpa_1\.00_[a-z0-9]+\.deb)"))) deb = out / name;
    ASSERT_FALSE(deb.empty());
    r = runprogram({"/usr/bin/dpkg-deb", "-f", deb, "Depends"}, ".", 30);
    for (const char* package : {"libc6", "libssl3", "zlib1g", "libarchive13", "libcurl4"})
        EXPECT_TRUE(std::regex_search(r.out, std::regex(std::string("(^|, )") + package + "( |,|$)"))) << r.out;

    TempDir root;
    ASSERT_EQ(runprogram({"/usr/bin/dpkg", "-x", deb, root.path()}, ".", 60).status, 0);
    EXPECT_EQ(runprogram({root / "usr/bin/vorpa", "--version"}, ".", 10).out, "vorpa 1.00\n");
    for (const char* file : {"share/man/man1/vorpa.1.gz", "share/doc/vorpa/example.cfg", "share/doc/vorpa/copyright",
                             "share/doc/vorpa/changelog.gz", "lib/systemd/user/vorpa.timer"})
        EXPECT_TRUE(fileexists(root / "usr/" + file)) << file;
    EXPECT_TRUE(contains(readfile(root / "usr/lib/systemd/user/vorpa.service"), "\nExecStart=/usr/bin/vorpa all\n"));

    if (access("/usr/bin/lintian", X_OK) != 0) return;
    r = runprogram({"/usr/bin/lintian", deb}, ".", 300);
    EXPECT_FALSE(std::regex_search(r.out, std::regex("(^|\n)E: "))) << r.out;
}

}  // namespace
