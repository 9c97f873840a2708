// Black-box runs of the program: command line, start-up errors, where the
// configuration is found, the log, the order of the phases and the end of a
// run. The program is copied into a temporary directory so that "beside the
// program" is a place the test controls, and runs with a home of its own;
// the phases are kept idle by settings they refuse.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <regex>
#include <string>
#include <vector>

#include "run.h"

namespace {

const char usagetext[] =
    "Usage: (all commands & options can be abbreviated to their first letter)\n\n"
    "vorpa all            fetch/post email & news\n"
    "vorpa email          fetch/post email only (no news)\n"
    "vorpa news           fetch/post news only (no email)\n"
    "vorpa fetch          fetch mail/news only (no posting)\n"
    "vorpa post           post mail/news only (no fetching)\n"
    "vorpa authorize [account]\n"
    "                     run the OAuth2 flow once, keep its tokens (whole word)\n"
    "vorpa setup <address> [provider] [--print]\n"
    "                     add an account for the address to the configuration\n"
    "(email/news and fetch/post may be combined)\n"
    "\nCommandline options:\n\n"
    "/config=<filename>   use <filename> as configuration file\n"
    "/list=<filename>     list newsgroups into file\n"
    "   [;<YYYY-MM-DD[;HH:MM:SS>]]   list new newsgroups since date\n"
    "/test                send and fetch as usual, but delete nothing\n"
    "/check               log in, report what would be done, send/fetch nothing\n"
    "/verbose             display additional information\n"
    "/account=<name>      this account only (may be repeated)\n"
    "--settings           show the settings in force and where each was set\n"
    "--help               show this text\n"
    "--version            show the program's name and version\n";

const std::regex banner(
    "Vorpa-Linux v1\\.00  [A-Z][a-z]{2} [ 0-9]\\d \\d{4} \\d\\d:\\d\\d:\\d\\d\nDocumentation: man vorpa\n\n");

bool startswithbanner(const std::string& out) {
    std::smatch m;
    return std::regex_search(out, m, banner, std::regex_constants::match_continuous);
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The program's directory is its own, not that of a link to it.
void copyprogram(const std::string& to) {
    writefile(to, readfile(vorpapath()));
    ASSERT_EQ(chmod(to.c_str(), 0755), 0);
}

class Run : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(mkdir((dir / "prog").c_str(), 0700), 0);
        ASSERT_EQ(mkdir((dir / "work").c_str(), 0700), 0);
        ASSERT_EQ(mkdir((dir / "work/soup").c_str(), 0700), 0);
        copyprogram(program);
    }
    // Runs what (the program unless given) with HOME in the temporary
    // directory and no XDG_CONFIG_HOME.
    RunResult run(std::vector<std::string> args, const std::string& what = "") {
        args.insert(args.begin(), {"/usr/bin/env", "-u", "XDG_CONFIG_HOME", "HOME=" + (dir / "home"),
                                   what.empty() ? program : what});
        return runprogram(args, dir / "work", 30);
    }
    void config(const std::string& text) { writefile(dir / "prog/vorpa.cfg", text); }

    TempDir dir;
    std::string program = dir / "prog/vorpa";
};

TEST_F(Run, BadCommandLinesShowTheUsage) {
    config("SOUPDIR soup\n");
    // Each with the refusal naming the bad word, if there is one.
    const std::string nothing = "say what to do: all, email or news (see vorpa --help)";
    const std::vector<std::pair<std::vector<std::string>, std::string>> bad = {
        {{}, nothing},
        {{"/test"}, nothing},
        {{"-v", "/t", "/l=groups.txt"}, nothing},
        {{"bogus"}, "unknown word bogus"},
        {{"all", "bogus"}, "unknown word bogus"},
        {{"/all"}, "unknown word /all"},
        {{"all", "--tests"}, "unknown word --tests"},
        {{"all", "---test"}, "unknown word ---test"},
        {{"em"}, "unknown word em"},
        {{"allx"}, "unknown word allx"},
        {{"all", "/"}, "unknown word /"},
        {{"all", "-"}, "unknown word -"},
        {{"fetch", "/testing"}, "unknown word /testing"},
        {{"fetch", "/x=1"}, "unknown word /x=1"},
        {{"all", "/list=groups.txt;1999-09"}, "bad date in /list=groups.txt;1999-09"},
        {{"all", "/l=groups.txt;1999-09-14;8:5"}, "bad time in /l=groups.txt;1999-09-14;8:5"},
        {{"all", "/l=groups.txt;x-09-14"}, "bad date in /l=groups.txt;x-09-14"},
        {{"all", "/list=groups.txt;"}, "bad date in /list=groups.txt;"},
        {{"all", "/list=groups.txt;1999-09-14;"}, "bad time in /list=groups.txt;1999-09-14;"},
    };
    for (const auto& c : bad) {
        std::string shown;
        for (const auto& a : c.first) shown += " [" + a + "]";
        RunResult r = run(c.first);
        EXPECT_EQ(r.status, 1) << shown;
        EXPECT_TRUE(startswithbanner(r.out)) << shown << "\n" << r.out;
        EXPECT_EQ(r.out.substr(r.out.find("Usage:")), usagetext) << shown;
        EXPECT_EQ(r.err, c.second.empty() ? "" : "Error: " + c.second + "\n") << shown;
    }
}

// Every option in its long form too.
TEST_F(Run, LongForms) {
    config("SOUPDIR soup\n");
    writefile(dir / "work/other.cfg", "SOUPDIR soup\nLOGFILE other.log\n");
    RunResult r = run({"news", "fetch", "--test", "--verbose", "--config=" + (dir / "work/other.cfg"),
                       "--list=groups.txt;2026-01-01", "--check"});
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(contains(readfile(dir / "work/other.log"), "NNTP hostname not defined\n")) << r.out;
}

// Asked for, the usage is no error; the version line stands alone.
TEST_F(Run, HelpAndVersion) {
    for (const char* word : {"--help", "-h", "/HELP"}) {
        RunResult r = run({"all", word});
        EXPECT_EQ(r.status, 0) << word;
        EXPECT_TRUE(startswithbanner(r.out)) << r.out;
        EXPECT_EQ(r.out.substr(r.out.find("Usage:")), usagetext) << word;
        EXPECT_EQ(r.err, "");
    }
    RunResult r = run({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "vorpa 1.00\n");
    EXPECT_EQ(r.err, "");
    r = run({"all", "/bogus", "--version"});
    EXPECT_EQ(r.out, "vorpa 1.00\n");
}

// With no host settings every phase that runs refuses at once and says so
// in its closing line, which shows which phases ran and in what order; the
// run left its work undone.
TEST_F(Run, CommandsChooseThePhases) {
    config("SOUPDIR soup\n");
    const std::string pm = "(skipping email post)\n", pn = "(skipping news post)\n",
                      fm = "(skipping email fetch)\n", fn = "(skipping news fetch)\n";
    const std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>> cases = {
        {{"a"}, {}},
        {{"fetch", "ALL"}, {}},
        {{"E", "F"}, {fm}},
        {{"-v", "Post", "news"}, {pn}},
        {{"all", "fetch", "post"}, {}},
        {{"fetch", "post"}, {}},
        {{"email"}, {pm, fm}},
        {{"email", "news"}, {pn, fn}},
        {{"/T", "f", "-VERBOSE", "/l=groups.txt"}, {fn}},
        {{"n", "/list=groups.txt;1999-9-14;8:5:0"}, {pn, fn}},
        {{"n", "-L=groups.txt;1999-09-14;23:59:59trailing"}, {pn, fn}},
        {{"p", "-c=vorpa.cfg"}, {}},
    };
    for (const auto& c : cases) {
        std::string shown;
        for (const auto& a : c.first) shown += " " + a;
        RunResult r = run(c.first);
        // Under "all" a phase without its server is left out without a word.
        EXPECT_EQ(r.status, c.second.empty() ? 0 : 2) << shown << "\n" << r.out << r.err;
        EXPECT_TRUE(startswithbanner(r.out)) << shown;
        ASSERT_GE(r.out.size(), 7u);
        EXPECT_EQ(r.out.substr(r.out.size() - 7), "\nDone.\n") << shown;
        std::string order;
        size_t at = 0;
        for (const std::string& line : {pm, pn, fm, fn}) {
            size_t p = r.out.find(line);
            if (p == std::string::npos) continue;
            EXPECT_GE(p, at) << shown << ": " << line << " out of order";
            at = p;
            order += line;
        }
        std::string want;
        for (const auto& line : c.second) want += line;
        EXPECT_EQ(order, want) << shown;
    }
    // The list file is only a request: nothing is made without a server.
    EXPECT_FALSE(fileexists(dir / "work/groups.txt"));
}

TEST_F(Run, ConfigurationErrors) {
    // The default file is looked for beside the program and in the user's
    // folder, not in the current directory.
    writefile(dir / "work/vorpa.cfg", "SOUPDIR soup\n");
    RunResult r = run({"all"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: no configuration file at " + (dir / "prog/vorpa.cfg") + " or " +
                         (dir / "home/.config/vorpa/vorpa.cfg") + " (or name one with /config=)\n");
    EXPECT_TRUE(startswithbanner(r.out));
    EXPECT_FALSE(contains(r.out, "Done."));
    // Both streams in one pipe, as cron collects them: the error follows
    // the banner.
    r = run({"-c", "exec \"$0\" all 2>&1", program}, "/bin/sh");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(startswithbanner(r.out)) << r.out;
    EXPECT_TRUE(contains(r.out, "\n\nError: no configuration file at ")) << r.out;

    // A /config= name without a directory, which keeps its case, is looked
    // for there first, then beside the program.
    writefile(dir / "prog/My.Cfg", "POPHOST x\n");
    r = run({"all", "/CONFIG=My.Cfg"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: SOUPDIR not defined in My.Cfg\n");
    r = run({"all", "/CONFIG=my.cfg"});
    EXPECT_EQ(r.err, "Error: can't read " + (dir / "prog/my.cfg") + ": No such file or directory\n");
    writefile(dir / "work/My.Cfg", "SOUPDIR soup\n");
    r = run({"all", "/CONFIG=My.Cfg"});
    EXPECT_EQ(r.status, 0) << r.err;

    // A name with a directory is taken as given, relative to the current
    // directory; so is the packet directory.
    r = run({"fetch", "/c=./vorpa.cfg"});
    EXPECT_EQ(r.status, 0) << r.err;

    // /account= names accounts of the file; a section in doubt refuses
    // the run.
    writefile(dir / "work/two.cfg", "SOUPDIR soup\nACCOUNT work\nPOPUSER ann\n");
    r = run({"all", "/c=./two.cfg", "/account=work", "--account=club"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: no ACCOUNT club in ./two.cfg\n");
    r = run({"all", "/c=./two.cfg", "--account=work"});
    EXPECT_EQ(r.status, 0) << r.err;
    writefile(dir / "work/two.cfg", "SOUPDIR soup\nACCOUNT work\n");
    r = run({"all", "/c=./two.cfg"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: ACCOUNT work has no settings in line 2 of ./two.cfg\n");

    // A missing packet directory is named with the line that sets it.
    writefile(dir / "work/missing.cfg", "LOGFILE " + (dir / "log") + "\nSOUPDIR nosuch\n");
    r = run({"all", "/c=./missing.cfg"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: SOUPDIR nosuch (line 2 of ./missing.cfg) does not exist\n");
    EXPECT_FALSE(contains(r.out, "Done."));
    EXPECT_FALSE(fileexists(dir / "log"));

    // An empty SOUPDIR value is "/", which is refused the same way.
    writefile(dir / "work/empty.cfg", "SOUPDIR\n");
    r = run({"all", "/c=./empty.cfg"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: SOUPDIR (line 1 of ./empty.cfg) is empty or /, where no packet belongs\n");
    EXPECT_FALSE(contains(r.out, "Done."));

    // A packet directory that is a file, and a configuration that is no
    // regular file (a FIFO would block), refuse the run.
    writefile(dir / "work/file.cfg", "SOUPDIR file.cfg\n");
    r = run({"all", "/c=./file.cfg"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.out, "FATAL ERROR: file.cfg is not a directory\n")) << r.out;
    EXPECT_FALSE(contains(r.out, "Done."));

    ASSERT_EQ(mkfifo((dir / "work/fifo.cfg").c_str(), 0600), 0);
    for (const std::string& name : {dir / "prog", dir / "work/fifo.cfg"}) {
        r = run({"all", "/c=" + name});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "Error: can't read " + name + ": not a regular file\n");
    }
}

// Started through PATH or a link, the program finds the file beside
// itself; without one there, the file in the user's folder, whose folder
// then also holds the files it names without a "/".
TEST_F(Run, WhereTheConfigurationIsFound) {
    // The news fetch names the state file it looks for: where bare names go.
    const std::string settings = "SOUPDIR soup\nNNTPHOST 127.0.0.1\n";
    config(settings);
    ASSERT_EQ(mkdir((dir / "link").c_str(), 0700), 0);
    ASSERT_EQ(symlink(program.c_str(), (dir / "link/vorpa").c_str()), 0);
    writefile(dir / "link/vorpa.cfg", "SOUPDIR nosuch\n");
    const std::string beside = "Newsgroups list file " + (dir / "prog/newsrc") + " not found\n";
    RunResult r = run({"n", "f"}, dir / "link/vorpa");
    EXPECT_TRUE(contains(r.out, beside)) << r.out << r.err;
    r = run({"PATH=" + (dir / "link") + ":/usr/bin:/bin", "vorpa", "n", "f"}, "/usr/bin/env");
    EXPECT_TRUE(contains(r.out, beside)) << r.out << r.err;

    ASSERT_EQ(unlink((dir / "prog/vorpa.cfg").c_str()), 0);
    std::string home = dir / "home/.config/vorpa";
    ASSERT_EQ(system(("mkdir -p '" + home + "' '" + (dir / "xdg/vorpa") + "'").c_str()), 0);
    writefile(home + "/vorpa.cfg", "INCLUDE more.cfg\n");
    writefile(home + "/more.cfg", settings + "LOGFILE run.log\nNEWSGROUPS groups\n");
    r = run({"n", "f"});
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(contains(r.out, "Newsgroups list file " + home + "/groups not found\n")) << r.out;
    EXPECT_TRUE(contains(readfile(home + "/run.log"), "(skipping news fetch)\n"));

    // Named with /config=, the same file keeps its names beside it, not
    // beside the program.
    ASSERT_EQ(unlink((home + "/run.log").c_str()), 0);
    r = run({"n", "f", "/config=" + home + "/vorpa.cfg"});
    EXPECT_TRUE(contains(r.out, "Newsgroups list file " + home + "/groups not found\n")) << r.out;
    EXPECT_TRUE(contains(readfile(home + "/run.log"), "(skipping news fetch)\n"));
    writefile(home + "/more.cfg", settings);
    r = run({"n", "f", "/config=" + home + "/vorpa.cfg"});
    EXPECT_TRUE(contains(r.out, "Newsgroups list file " + home + "/newsrc not found\n")) << r.out;
    EXPECT_EQ(listdir(dir / "prog"), std::vector<std::string>{"vorpa"});

    // $XDG_CONFIG_HOME moves the user's folder.
    writefile(dir / "xdg/vorpa/vorpa.cfg", settings);
    r = run({"XDG_CONFIG_HOME=" + (dir / "xdg"), program, "n", "f"}, "/usr/bin/env");
    EXPECT_TRUE(contains(r.out, "Newsgroups list file " + (dir / "xdg/vorpa/newsrc") + " not found\n")) << r.out;
}

// --settings shows what is in force and where it was set, passwords and
// their commands only as set; /check and /verbose name the file first.
TEST_F(Run, SettingsAndWhereTheyCameFrom) {
    const std::string folder = dir / "home/.config/vorpa";
    ASSERT_EQ(system(("mkdir -p '" + folder + "' '" + (dir / "home/soup") + "'").c_str()), 0);
    writefile(folder + "/vorpa.cfg", "SOUPDIR ~/soup\nPOPHOST pop.example \nINCLUDE servers.cfg\nPOPPASS secret\n");
    writefile(folder + "/servers.cfg", "SMTPHOST\tsmtp.example.org:587\nSMTPPASSCMD pass show smtp\n"
                                       "POPHOST pop.example.org\nSMTPTLS starttls \n");
    ASSERT_EQ(chmod((folder + "/vorpa.cfg").c_str(), 0600), 0);
    RunResult r = run({"--settings"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    ASSERT_TRUE(startswithbanner(r.out)) << r.out;
    EXPECT_EQ(r.out.substr(r.out.find("Configuration:")),
              "Configuration: ~/.config/vorpa/vorpa.cfg\n"
              "SOUPDIR ~/soup/   ~/.config/vorpa/vorpa.cfg:1\n"
              "Account default:\n"
              "  POPHOST pop.example.org   ~/.config/vorpa/servers.cfg:3\n"
              "  POPPASS (set)   ~/.config/vorpa/vorpa.cfg:4\n"
              "  SMTPHOST smtp.example.org:587   ~/.config/vorpa/servers.cfg:1\n"
              "  SMTPTLS starttls   ~/.config/vorpa/servers.cfg:4\n"
              "  SMTPPASSCMD (set)   ~/.config/vorpa/servers.cfg:2\n"
              "  NEWSGROUPS ~/.config/vorpa/newsrc   (default)\n");

    const std::string named = "Configuration: ~/.config/vorpa/vorpa.cfg\n";
    for (const char* option : {"/check", "--verbose"}) {
        r = run({"news", "fetch", option});
        std::smatch m;
        ASSERT_TRUE(std::regex_search(r.out, m, banner, std::regex_constants::match_continuous)) << r.out;
        EXPECT_EQ(r.out.substr(m.length(), named.size()), named) << option;
    }
    r = run({"news", "fetch"});
    EXPECT_FALSE(contains(r.out, "Configuration:")) << r.out;
    r = run({"--settings", "/config=nosuch.cfg"});
    EXPECT_EQ(r.status, 1);

    // A CAFILE that is not there is said so, beside the file when relative.
    config("SOUPDIR soup\nCAFILE ~/ca.pem\n");
    r = run({"all"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: CAFILE ~/ca.pem: No such file or directory\n");
    config("SOUPDIR soup\nCAFILE ca.pem\n");
    writefile(dir / "work/ca.pem", "");
    r = run({"all"});
    EXPECT_EQ(r.err, "Error: CAFILE " + (dir / "prog/ca.pem") + ": No such file or directory\n");
}

TEST_F(Run, ValuesThatDoNotFitRefuseTheRun) {
    config("SOUPDIR soup\n");
    std::string longname(5000, 'c');
    RunResult r = run({"all", "/config=" + longname});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("Error: ", 0), 0u) << r.err;
    EXPECT_TRUE(contains(r.err, longname));
    EXPECT_EQ(r.err.back(), '\n');

    r = run({"all", "/list=" + longname + ";1999-01-01"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("Error: ", 0), 0u) << r.err;
    EXPECT_TRUE(contains(r.err, longname));

    // A configuration deep enough that its directory and the newsgroups
    // file name together exceed a path setting.
    std::string deep = dir / "work";
    for (int i = 0; i < 16; i++) {
        deep += "/" + std::string(240, 'd');
        ASSERT_EQ(mkdir(deep.c_str(), 0700), 0) << deep.size();
    }
    std::string deepprog = deep + "/vorpa";
    copyprogram(deepprog);
    std::string group(240, 'g');
    writefile(deep + "/vorpa.cfg", "SOUPDIR soup\nNEWSGROUPS " + group + "\n");
    r = runprogram({deepprog, "fetch"}, dir / "work", 30);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("Error: ", 0), 0u) << r.err;
    EXPECT_TRUE(contains(r.err, group));
    EXPECT_FALSE(contains(r.out, "Done."));
}

TEST_F(Run, LogHeaderLines) {
    config("SOUPDIR soup\nLOGFILE run.log\n");
    RunResult r = run({"email", "fetch"});
    ASSERT_EQ(r.status, 2) << r.err;
    std::string first = readfile(dir / "prog/run.log");
    std::smatch m;
    const std::regex header(
        "--- Vorpa-Linux v1\\.00  (Sun|Mon|Tue|Wed|Thu|Fri|Sat) (\\d\\d)-"
        "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)-(\\d{4}) \\d\\d:\\d\\d:\\d\\d\n");
    ASSERT_TRUE(std::regex_search(first, m, header, std::regex_constants::match_continuous)) << first;
    // The weekday belongs to the date.
    static const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    static const char* days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    std::tm t{};
    t.tm_mday = std::stoi(m[2]);
    for (int i = 0; i < 12; i++)
        if (m[3] == months[i]) t.tm_mon = i;
    t.tm_year = std::stoi(m[4]) - 1900;
    t.tm_hour = 12;
    std::mktime(&t);
    EXPECT_EQ(m[1], days[t.tm_wday]);
    // The header is for the log only; the reports reach both.
    EXPECT_FALSE(contains(r.out, "--- Vorpa"));
    std::string reports = first.substr(m.length());
    EXPECT_TRUE(contains(reports, "(skipping email fetch)\n")) << reports;
    EXPECT_TRUE(contains(r.out, reports));

    // A log that holds text gets an empty line before the next header.
    r = run({"email", "fetch"});
    ASSERT_EQ(r.status, 2);
    std::string second = readfile(dir / "prog/run.log");
    ASSERT_EQ(second.substr(0, first.size()), first);
    std::string next = second.substr(first.size());
    ASSERT_FALSE(next.empty());
    EXPECT_EQ(next[0], '\n');
    EXPECT_TRUE(std::regex_search(next.cbegin() + 1, next.cend(), m, header,
                                  std::regex_constants::match_continuous))
        << next;

    // An empty log file gets no empty line.
    writefile(dir / "prog/run.log", "");
    r = run({"email", "fetch"});
    EXPECT_EQ(readfile(dir / "prog/run.log").rfind("--- Vorpa-Linux", 0), 0u);
}

TEST_F(Run, WithoutALogNothingElseIsWritten) {
    config("SOUPDIR soup\n");
    RunResult r = run({"all"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(listdir(dir / "prog"), (std::vector<std::string>{"vorpa", "vorpa.cfg"}));
    EXPECT_EQ(listdir(dir / "work"), std::vector<std::string>{"soup"});
    EXPECT_EQ(listdir(dir / "work/soup"), std::vector<std::string>{});

    // A log that cannot be opened or written is no reason to stop; one
    // line says so.
    config("SOUPDIR soup\nLOGFILE " + dir.path() + "/nodir/run.log\n");
    r = run({"all"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(r.out.size() - 7), "\nDone.\n");
    EXPECT_EQ(r.err, "Warning: cannot open log file " + dir.path() + "/nodir/run.log: No such file or directory\n");
    config("SOUPDIR soup\nLOGFILE /dev/full\n");
    r = run({"all"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(r.out.size() - 7), "\nDone.\n");
    EXPECT_EQ(r.err, "Warning: cannot write to log file /dev/full: No space left on device\n");
}

// The posting phases vote on REPLIES; the file goes only when the vote is
// 1 and the run is no test. An empty REPLIES gives the mail phase nothing
// to send, so it reaches its end without a server.
TEST_F(Run, RepliesRemovalByTheVote) {
    config("SOUPDIR soup\nHOSTNAME client.example\nSMTPHOST 127.0.0.1\n");
    std::string replies = dir / "work/soup/REPLIES";

    writefile(replies, "");
    RunResult r = run({"email", "post", "/test"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(fileexists(replies)) << r.out;

    r = run({"email", "post"});
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(fileexists(replies)) << r.out;

    // A line no phase of this run will post keeps it: something is still
    // to be sent, but not by this run, which did all it was asked.
    writefile(replies, "R1\tnews\tB\n");
    r = run({"email", "post"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(contains(r.out, "News found --- will keep REPLIES file\n")) << r.out;
    EXPECT_TRUE(fileexists(replies));

    // A REPLIES that is no regular file is not read (a FIFO would block).
    ASSERT_EQ(unlink(replies.c_str()), 0);
    ASSERT_EQ(mkfifo(replies.c_str(), 0600), 0);
    r = run({"email", "post"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(contains(r.out, "! REPLIES file soup/REPLIES is not a regular file\n")) << r.out;
    ASSERT_EQ(unlink(replies.c_str()), 0);

    // Under "all" a news file without a news server is kept, and said.
    writefile(replies, "R1\tnews\tB\n");
    r = run({"all"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(contains(r.out, "NNTP hostname not defined\n(skipping news post)\n\nSent 0 mails, posted 0 articles; "
                                "1 file kept for the next run.\nDone.\n"))
        << r.out;

    // No posting phase, no verdict.
    writefile(replies, "");
    r = run({"fetch"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(fileexists(replies));
}

}  // namespace
