// The configuration file rules, read through readconfigfile with the
// program placed in a temporary directory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <string>

#include "config/config.h"
#include "run.h"

namespace {

class Config : public ::testing::Test {
protected:
    // Reads name with the program in the temporary directory into the
    // settings; returns the result and keeps the error stream in err.
    int read(const std::string& name) {
        testing::internal::CaptureStderr();
        int r = readconfigfile(report, name, argv0, s);
        err = testing::internal::GetCapturedStderr();
        return r;
    }
    ConsoleReport report;
    Settings s;
    TempDir dir;
    std::string argv0 = dir / "vorpa";
    std::string err;
};

TEST_F(Config, ExampleFileBesideTheProgram) {
    writefile(dir / "vorpa.cfg",
              "; mail settings\r\n"
              "popuser joe\r\n"
              "SOUPDIR /home/joe/soup\r\n"
              "LOGFILE run.log\r\n"
              "INCLUDE servers.cfg\r\n"
              "FOO bar\r\n"
              "PopHost after.include\r\n");
    writefile(dir / "servers.cfg", "POPHOST pop.example\nSMTPHOST smtp.example\nnntphost news.example\n");
    ASSERT_EQ(read("vorpa.cfg"), 0);
    EXPECT_EQ(s.accounts[0].pop.user, "joe");
    EXPECT_EQ(s.soupdir, "/home/joe/soup/");
    EXPECT_EQ(s.logfile, dir / "run.log");
    EXPECT_EQ(s.accounts[0].pop.host, "after.include");
    EXPECT_EQ(s.accounts[0].smtp.host, "smtp.example");
    EXPECT_EQ(s.accounts[0].nntp.host, "news.example");
    EXPECT_EQ(err, "Warning: unknown keyword FOO in line 6 of " + (dir / "vorpa.cfg") + "\n\n");
}

// Values as people write them: a tab as good as a space, white space
// after a value dropped but in a password, "~/" the home folder.
TEST_F(Config, ValuesSpacesAndKeywords) {
    setenv("HOME", (dir / "home").c_str(), 1);
    writefile(dir / "a.cfg",
              "POPPASS    se cret;x \t\n"
              "SMTPHOST\t \tsmtp.example \t\n"
              " POPUSER joe\n"
              "   \n"
              "POPHOST first\n"
              "POPHOST \n"
              "POPTLS on \n"
              "hostname " + std::string(200, 'h') + "\n"
              "popuser " + std::string(100, 'u') + "\n"
              "NEWSGROUPS my groups \n"
              "SOUPDIR\t~/soup \n"
              "LOGFILE ~/vorpa.log\n"
              "CAFILE ca.pem\n"
              "INCLUDE ~/more.cfg\n"
              "\r\n\n;INCLUDE nothing\n");
    mkdir((dir / "home").c_str(), 0700);
    writefile(dir / "home/more.cfg", "NNTPHOST ~/news\n");
    ASSERT_EQ(read(dir / "a.cfg"), 0);
    EXPECT_EQ(s.accounts[0].pop.pass, "se cret;x \t");
    EXPECT_EQ(s.accounts[0].smtp.host, "smtp.example");
    EXPECT_EQ(s.accounts[0].pop.host, "");
    EXPECT_EQ(s.accounts[0].pop.tls, TLSON);
    EXPECT_EQ(s.accounts[0].hostname, std::string(200, 'h'));
    EXPECT_EQ(s.accounts[0].pop.user, std::string(100, 'u'));
    EXPECT_EQ(s.accounts[0].newsgroups, dir / "my groups");
    EXPECT_EQ(s.soupdir, dir / "home/soup/");
    EXPECT_EQ(s.logfile, dir / "home/vorpa.log");
    // Beside the file, as the other names; a host is no file.
    EXPECT_EQ(s.accounts[0].cafile, dir / "ca.pem");
    EXPECT_EQ(s.accounts[0].nntp.host, "~/news");
    std::string path = dir / "a.cfg";
    // A keyword of spaces is empty.
    EXPECT_EQ(err, "Warning: unknown keyword  in line 3 of " + path + "\n\n" +
                       "Warning: unknown keyword  in line 4 of " + path + "\n\n");
}

TEST_F(Config, EmptyValuesOfDirectorySettings) {
    writefile(dir / "a.cfg", "SOUPDIR\nLOGFILE\nsoupdir /data/soup/\r\r\n");
    ASSERT_EQ(read(dir / "a.cfg"), 0);
    EXPECT_EQ(s.soupdir, "/data/soup/");
    EXPECT_EQ(s.logfile, dir.path() + "/");
    writefile(dir / "b.cfg", "SOUPDIR\n");
    ASSERT_EQ(read(dir / "b.cfg"), 0);
    EXPECT_EQ(s.soupdir, "/");
    // The reader's folders are off again when empty; the format is a word.
    writefile(dir / "c.cfg", "READERPACKETS ~x/down\nREADERREPLIES /up\nREADERREPLIES\nREADERPACKETFORMAT TGZ\n");
    ASSERT_EQ(read(dir / "c.cfg"), 0);
    EXPECT_EQ(s.readerpackets, "~x/down/");
    EXPECT_EQ(s.readerreplies, "");
    EXPECT_EQ(s.readerformat, "tgz");
    writefile(dir / "d.cfg", "READERPACKETFORMAT rar\n");
    EXPECT_EQ(read(dir / "d.cfg"), -1);
    EXPECT_NE(err.find("READERPACKETFORMAT must be one of zip,tgz, not \"rar\" in line 1"), std::string::npos) << err;
}

// Values are taken whole, whatever their length: an OAuth2 token is 1 to 2
// KB. A line up to 64 KB is read whole; a longer one refuses the run, and
// nothing after a line's 255th byte is ever a line of its own.
TEST_F(Config, LongValuesAndLines) {
    std::string token(4096, 't');
    writefile(dir / "a.cfg", "HOSTNAME " + std::string(246, 'a') + "tail SOUPDIR /other/\nPOPPASS " + token +
                                 "\nSOUPDIR " + std::string(6000, 'd') + "\n");
    ASSERT_EQ(read(dir / "a.cfg"), 0);
    EXPECT_EQ(s.accounts[0].hostname, std::string(246, 'a') + "tail SOUPDIR /other/");
    EXPECT_EQ(s.accounts[0].pop.pass, token);
    EXPECT_EQ(s.soupdir, std::string(6000, 'd') + "/");
    EXPECT_EQ(err, "");

    std::string path = dir / "b.cfg";
    writefile(path, "POPUSER joe\n; " + std::string(65534, 'c') + "\nPOPHOST p\n;" + std::string(65536, 'c') +
                        "\nPOPHOST after\n");
    EXPECT_EQ(read(path), -1);
    EXPECT_EQ(err, "Error: line 4 of " + path + " is longer than 65536 bytes\n");
    EXPECT_EQ(s.accounts[0].pop.host, "p");
}

// Switches and counts must be spelled out: a typo must not mean "off" or
// "no bound".
TEST_F(Config, KeepAndBoundSettings) {
    EXPECT_EQ(s.accounts[0].keeptrying, 5);
    writefile(dir / "a.cfg", "POPKEEP On\nPOPKEEPDAYS 36500\nPOPMAX 1000000000\nNEWSFIRST 500\nnewsmax 0\n"
                             "KEEPTRYING 0\n");
    ASSERT_EQ(read(dir / "a.cfg"), 0);
    EXPECT_EQ(s.accounts[0].keeptrying, 0);
    EXPECT_TRUE(s.accounts[0].popkeep);
    EXPECT_EQ(s.accounts[0].popkeepdays, 36500);
    EXPECT_EQ(s.accounts[0].popmax, 1000000000);
    EXPECT_EQ(s.accounts[0].newsfirst, 500);
    EXPECT_EQ(s.accounts[0].newsmax, 0);
    // Past the bound a number would overflow where it is used.
    const char* const refused[] = {"POPKEEP yes\n", "POPKEEPDAYS -1\n", "NEWSFIRST 5x\n", "NEWSMAX\n",
                                   "POPKEEPDAYS 36501\n", "POPMAX 1000000001\n", "POPKEEPDAYS 106751991167301\n",
                                   "NEWSMAX 99999999999999999999\n", "KEEPTRYING 36501\n"};
    for (const char* line : refused) {
        std::string path = dir / "b.cfg";
        writefile(path, std::string("\n") + line);
        err.clear();
        EXPECT_EQ(read(path), -1) << line;
        std::string key(line, std::strcspn(line, " \n"));
        std::string value(line + key.size() + (line[key.size()] == ' '));
        value.pop_back();
        std::string bound = key == "POPKEEPDAYS" || key == "KEEPTRYING" ? "36500" : "1000000000";
        std::string must = key == "POPKEEP" ? " must be off or on" : " must be a number from 0 to " + bound;
        EXPECT_EQ(err, "Error: " + key + must + ", not \"" + value + "\" in line 2 of " + path + "\n");
    }
}

// A size takes k and M; anything else is refused, not read as no bound.
TEST_F(Config, BigMailSettings) {
    writefile(dir / "a.cfg", "MAXSIZE 5M\nBIGMAIL Skip\nACCOUNT b\nMAXSIZE 100k\nACCOUNT c\nMAXSIZE 2047M\n");
    ASSERT_EQ(read(dir / "a.cfg"), 0);
    EXPECT_EQ(s.accounts[0].maxsize, 5242880);
    EXPECT_EQ(s.accounts[0].bigmail, "skip");
    EXPECT_EQ(s.accounts[1].maxsize, 102400);
    EXPECT_EQ(s.accounts[1].bigmail, "");
    EXPECT_EQ(s.accounts[2].maxsize, 2147483648L - 1048576);
    for (const char* value : {"5G", "2048M", "-1", "k", "1.5M", "99999999999"}) {
        std::string path = dir / "b.cfg";
        writefile(path, std::string("MAXSIZE ") + value + "\n");
        err.clear();
        EXPECT_EQ(read(path), -1) << value;
        EXPECT_EQ(err, "Error: MAXSIZE must be a size in bytes, or with k or M after it, up to 2047M, not \"" +
                           std::string(value) + "\" in line 1 of " + path + "\n");
    }
    writefile(dir / "c.cfg", "BIGMAIL cut\n");
    err.clear();
    EXPECT_EQ(read(dir / "c.cfg"), -1);
    EXPECT_EQ(err, "Error: BIGMAIL must be one of text,skip, not \"cut\" in line 1 of " + (dir / "c.cfg") + "\n");
}

// A malformed pin must not quietly mean the usual checks.
TEST_F(Config, TlsFingerprint) {
    std::string pin = "sha256";
    for (int i = 0; i < 32; i++) pin += i % 2 ? ":ab" : ":0F";
    writefile(dir / "a.cfg", "TLSFINGERPRINT " + pin + "\n");
    ASSERT_EQ(read(dir / "a.cfg"), 0);
    EXPECT_EQ(s.accounts[0].tlsfingerprint, pin);
    for (const std::string& bad : {pin.substr(0, pin.size() - 3), pin.substr(7), pin + ":00", "sha1" + pin.substr(6)}) {
        std::string path = dir / "b.cfg";
        writefile(path, "\nTLSFINGERPRINT " + bad + "\n");
        err.clear();
        EXPECT_EQ(read(path), -1) << bad;
        EXPECT_EQ(err, "Error: TLSFINGERPRINT must be sha256: and 32 bytes in hex with colons, not \"" + bad +
                           "\" in line 2 of " + path + "\n");
    }
}

TEST_F(Config, LoginModesAndPasswordCommands) {
    writefile(dir / "a.cfg", "POPAUTH User\nSMTPAUTH XOAUTH2\nPOPPASSCMD pass show mail | head -1\n");
    ASSERT_EQ(read(dir / "a.cfg"), 0);
    EXPECT_EQ(s.accounts[0].pop.auth, AuthMode::User);
    EXPECT_EQ(s.accounts[0].smtp.auth, AuthMode::XOAuth2);
    EXPECT_EQ(s.accounts[0].nntp.auth, AuthMode::Auto);
    EXPECT_EQ(s.accounts[0].pop.passcmd, "pass show mail | head -1");

    // "user" is POP3's own; a typo must not quietly mean another login.
    std::string path = dir / "b.cfg";
    writefile(path, "POPAUTH oauth\n");
    EXPECT_EQ(read(path), -1);
    EXPECT_EQ(err, "Error: POPAUTH must be auto, user, plain, login, xoauth2 or oauthbearer, not \"oauth\" in line 1 "
                   "of " + path + "\n");
    writefile(path, "SMTPAUTH user\n");
    EXPECT_EQ(read(path), -1);
    EXPECT_EQ(err, "Error: SMTPAUTH must be auto, plain, login, xoauth2 or oauthbearer, not \"user\" in line 1 of " +
                       path + "\n");
    // A password emptied again by a later line leaves the command alone.
    s = Settings();
    writefile(path, "NNTPPASS x\nNNTPPASSCMD echo y\nNNTPPASS\n");
    EXPECT_EQ(read(path), 0);
    s = Settings();
    writefile(path, "NNTPPASS x\nNNTPPASSCMD echo y\n");
    EXPECT_EQ(read(path), -1);
    EXPECT_EQ(err, "Error: NNTPPASS and NNTPPASSCMD are both set: keep one of them\n");
}

// A file that sets a password and that others may read is named, with the
// fix; one line however many passwords it holds.
TEST_F(Config, PasswordsInAFileOthersCanRead) {
    std::string path = dir / "a.cfg";
    writefile(path, "POPPASS x\nSMTPPASS y\nINCLUDE b.cfg\n");
    writefile(dir / "b.cfg", "NNTPPASS z\n");
    ASSERT_EQ(read(path), 0);
    EXPECT_EQ(err, "");
    for (mode_t mode : {0644, 0640}) {
        chmod(path.c_str(), mode);
        ASSERT_EQ(read(path), 0);
        EXPECT_EQ(err, "Warning: " + path + " holds a password and other users can read it: chmod 600 " + path +
                           "\n\n");
    }
    // A password emptied or set by a command is no secret in the file.
    writefile(path, "POPPASS\nPOPPASSCMD pass show mail\n");
    ASSERT_EQ(read(path), 0);
    EXPECT_EQ(err, "");
}

// Names without a "/" lie beside the file that names them, the default
// newsgroups file beside the top one; not beside the program.
TEST_F(Config, NamesLieBesideTheFileThatHoldsThem) {
    mkdir((dir / "sub").c_str(), 0700);
    mkdir((dir / "sub/more").c_str(), 0700);
    writefile(dir / "sub/top.cfg",
              "INCLUDE " + (dir / "sub/more/inc.cfg") + "\nINCLUDE missing.cfg\nPOPUSER after\nLOGFILE run.log\n");
    writefile(dir / "sub/more/inc.cfg", "POPHOST right\nPOPUSER inner\nINCLUDE deeper.cfg\n");
    writefile(dir / "sub/more/deeper.cfg", "NEWSGROUPS groups\n");
    writefile(dir / "inc.cfg", "POPHOST wrong\n");
    ASSERT_EQ(read(dir / "sub/top.cfg"), 0);
    EXPECT_EQ(s.accounts[0].pop.host, "right");
    EXPECT_EQ(s.accounts[0].pop.user, "after");
    EXPECT_EQ(s.logfile, dir / "sub/run.log");
    EXPECT_EQ(s.accounts[0].newsgroups, dir / "sub/more/groups");
    EXPECT_EQ(err, "Error: can't read " + (dir / "sub/missing.cfg") + ": No such file or directory\n");
    writefile(dir / "sub/more/deeper.cfg", "");
    s = Settings();
    ASSERT_EQ(read(dir / "sub/more/inc.cfg"), 0);
    EXPECT_EQ(s.accounts[0].newsgroups, dir / "sub/more/newsrc");
    // The top file by a name relative to the current directory.
    writefile("x-vorpa-test.cfg", "");
    ASSERT_EQ(read("./x-vorpa-test.cfg"), 0);
    EXPECT_EQ(s.accounts[0].newsgroups, "./newsrc");
    std::remove("x-vorpa-test.cfg");
}

TEST_F(Config, IncludeCyclesAndDepthEndWithAWarning) {
    writefile(dir / "self.cfg", "POPUSER one\nINCLUDE self.cfg\nPOPHOST two\n");
    ASSERT_EQ(read("self.cfg"), 0);
    EXPECT_EQ(s.accounts[0].pop.user, "one");
    EXPECT_EQ(s.accounts[0].pop.host, "two");
    EXPECT_EQ(err, "Warning: INCLUDE of a file that is already being read in line 2 of " + (dir / "self.cfg") +
                       "\n\n");

    // a -> b -> a, with a reached through another spelling of its path.
    writefile(dir / "a.cfg", "INCLUDE b.cfg\nHOSTNAME a\n");
    writefile(dir / "b.cfg", "INCLUDE " + dir.path() + "/./a.cfg\nSMTPHOST b\n");
    ASSERT_EQ(read("a.cfg"), 0);
    EXPECT_EQ(s.accounts[0].hostname, "a");
    EXPECT_EQ(s.accounts[0].smtp.host, "b");
    EXPECT_NE(err.find("already being read in line 1 of " + (dir / "b.cfg")), std::string::npos) << err;

    // A chain of 20 files: the 16th may not include the 17th.
    for (int i = 0; i < 20; i++) {
        writefile(dir / ("c" + std::to_string(i) + ".cfg"),
                  "NNTPHOST n" + std::to_string(i) + "\nINCLUDE c" + std::to_string(i + 1) + ".cfg\n");
    }
    ASSERT_EQ(read("c0.cfg"), 0);
    EXPECT_EQ(s.accounts[0].nntp.host, "n15");
    EXPECT_EQ(err, "Warning: INCLUDE nested deeper than 16 files in line 2 of " + (dir / "c15.cfg") + "\n\n");
    // The depth is counted back down: a later run reads the chain again.
    s.accounts[0].nntp.host.clear();
    ASSERT_EQ(read("c10.cfg"), 0);
    EXPECT_EQ(s.accounts[0].nntp.host, "n19");
}

TEST_F(Config, UnreadableFiles) {
    EXPECT_EQ(read("nothere.cfg"), 1);
    EXPECT_EQ(err, "Error: can't read " + (dir / "nothere.cfg") + ": No such file or directory\n");
    mkdir((dir / "adir").c_str(), 0700);
    EXPECT_EQ(read(dir / "adir"), 1);
    EXPECT_EQ(err, "Error: can't read " + (dir / "adir") + ": not a regular file\n");
    // An included device is skipped like an unreadable file, not read
    // without end.
    writefile(dir / "dev.cfg", "INCLUDE /dev/zero\nPOPUSER after\n");
    EXPECT_EQ(read("dev.cfg"), 0);
    EXPECT_EQ(err, "Error: can't read /dev/zero: not a regular file\n");
    EXPECT_EQ(s.accounts[0].pop.user, "after");
    writefile(dir / "empty.cfg", "");
    EXPECT_EQ(read("empty.cfg"), 0);
    EXPECT_EQ(err, "");
    // Dotfiles managers link the files: a link is read when it leads to a
    // regular file.
    writefile(dir / "real.cfg", "POPUSER linked\n");
    ASSERT_EQ(symlink((dir / "real.cfg").c_str(), (dir / "inc.cfg").c_str()), 0);
    ASSERT_EQ(symlink("inc.cfg", (dir / "top.cfg").c_str()), 0);
    ASSERT_EQ(symlink("adir", (dir / "dirlink.cfg").c_str()), 0);
    writefile(dir / "links.cfg", "INCLUDE top.cfg\nINCLUDE dirlink.cfg\n");
    EXPECT_EQ(read("links.cfg"), 0);
    EXPECT_EQ(s.accounts[0].pop.user, "linked");
    EXPECT_EQ(err, "Error: can't read " + (dir / "dirlink.cfg") + ": not a regular file\n");
    // A name that cannot be joined with the program's directory is refused
    // rather than cut into another name.
    std::string longname(4090, 'n');
    EXPECT_EQ(read(longname), -1);
    EXPECT_EQ(err, "Error: file name too long: " + longname + "\n");

    // So is an included name: the run stops there instead of going on
    // without that file's settings.
    std::string inc(4090, 'i');
    writefile(dir / "top.cfg", "POPUSER before\nINCLUDE " + inc + "\nPOPUSER after\n");
    EXPECT_EQ(read(dir / "top.cfg"), -1);
    EXPECT_EQ(err, "Error: file name too long: " + inc + "\n");
    EXPECT_EQ(s.accounts[0].pop.user, "before");
}

// What the reader says goes to the sink it is given, which may keep it.
TEST_F(Config, WarningsAndErrorsGoThroughTheReport) {
    writefile(dir / "a.cfg", "FOO bar\nPOPTLS maybe\n");
    ReportBuffer kept;
    EXPECT_EQ(readconfigfile(kept, "a.cfg", argv0, s), -1);
    testing::internal::CaptureStderr();
    kept.replay(report);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Warning: unknown keyword FOO in line 1 of " + (dir / "a.cfg") + "\n\n" +
                  "Error: POPTLS must be off, starttls or on, not \"maybe\" in line 2 of " + (dir / "a.cfg") + "\n");
}

TEST(JoinProgramDir, FitsOrFails) {
    std::string out;
    EXPECT_EQ(joinprogramdir("/usr/bin/vorpa", "newsrc", out), 0);
    EXPECT_EQ(out, "/usr/bin/newsrc");
    EXPECT_EQ(joinprogramdir("vorpa", "newsrc", out), 0);
    EXPECT_EQ(out, "newsrc");
    EXPECT_EQ(joinprogramdir("/a/b/vorpa", std::string(4091, 'x'), out), -1);
    std::string deep = std::string(4095, 'd') + "/vorpa";
    EXPECT_EQ(joinprogramdir(deep, "x", out), -1);
}

TEST(ScanYesNo, Values) {
    ConsoleReport report;
    int r = 7;
    configscanyesno(report, "YES", 1, "f", r);
    EXPECT_EQ(r, 1);
    configscanyesno(report, "no", 1, "f", r);
    EXPECT_EQ(r, 0);
    r = 1;
    testing::internal::CaptureStderr();
    configscanyesno(report, "maybe", 3, "f", r);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Warning: invalid Yes/No parameter in line 3 of f\n\n");
    EXPECT_EQ(r, 0);
}

// Random and mutated files: whatever the bytes, reading ends, and the
// packet directory always ends in "/".
TEST_F(Config, RandomAndMutatedFiles) {
    const std::string seed =
        "HOSTNAME here\nPOPUSER joe\r\nPOPHOST pop\rPOPPASS  pw \nSMTPHOST s\nNNTPHOST n\n"
        "SOUPDIR soup\nNEWSGROUPS newsrc\nLOGFILE log\nINCLUDE f.cfg\n;c\n INCLUDE x\n";
    const std::string pieces[] = {"INCLUDE f.cfg\n", "INCLUDE g.cfg\n", "SOUPDIR ", "LOGFILE ", "\r", "\n",
                                  std::string(1, '\0'), " ", "\t", ";"};
    std::mt19937 rng(20261209);
    auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
    writefile(dir / "g.cfg", "INCLUDE f.cfg\nPOPHOST g\n");
    testing::internal::CaptureStderr();
    for (int round = 0; round < 1500; round++) {
        std::string text;
        switch (round % 3) {
            case 0:  // random bytes of random length, long lines included
                text.resize(pick(1200));
                for (char& c : text) c = static_cast<char>(rng());
                break;
            case 1:  // the valid file with bytes flipped, dropped and inserted
                text = seed;
                for (int m = 0, n = 1 + static_cast<int>(pick(12)); m < n; m++) {
                    size_t at = pick(text.size() + 1);
                    switch (pick(4)) {
                        case 0:
                            if (at < text.size()) text[at] = static_cast<char>(rng());
                            break;
                        case 1:
                            if (at < text.size()) text.erase(at, 1 + pick(20));
                            break;
                        case 2:
                            text.insert(at, pieces[pick(sizeof pieces / sizeof pieces[0])]);
                            break;
                        default:
                            text.insert(at, std::string(pick(700), static_cast<char>('A' + pick(26))));
                    }
                }
                break;
            default:  // keyword lines with random values
                for (int l = 0, n = static_cast<int>(pick(30)); l < n; l++) {
                    static const char* keys[] = {"hostname", "POPUSER", "pophost", "POPPASS", "smtphost",
                                                 "NNTPHOST", "soupdir", "NEWSGROUPS", "logfile", "include"};
                    text += keys[pick(10)];
                    text.append(pick(4), ' ');
                    text.append(pick(400), static_cast<char>(' ' + pick(95)));
                    text += pick(2) ? "\r\n" : "\n";
                }
        }
        writefile(dir / "f.cfg", text);
        s = Settings();
        int r = readconfigfile(report, "f.cfg", argv0, s);
        ASSERT_TRUE(r == 0 || r == 1);
        if (!s.soupdir.empty()) {
            ASSERT_EQ(s.soupdir.back(), '/');
        }
    }
    std::string warnings = testing::internal::GetCapturedStderr();
    EXPECT_NE(warnings.find("already being read"), std::string::npos);
}

}  // namespace

namespace {

// ACCOUNT sections: the default part's HOSTNAME, CAFILE and COMPRESS serve
// every account, a named account's state file carries its name; what does not
// fit refuses the run with its file and line.
TEST_F(Config, AccountSections) {
    writefile(dir / "a.cfg", "HOSTNAME me\nCOMPRESS off\nPOPHOST p0\nINCLUDE b.cfg\nACCOUNT club\nHOSTNAME "
                             "club.example\nCOMPRESS on\n");
    writefile(dir / "b.cfg", "ACCOUNT work\nPOPHOST p1\n");
    ASSERT_EQ(read(dir / "a.cfg"), 0) << err;
    ASSERT_EQ(s.accounts.size(), 3u);
    EXPECT_EQ(s.accounts[1].name, "work");
    EXPECT_EQ(s.accounts[1].pop.host, "p1");
    EXPECT_EQ(s.accounts[1].hostname, "me");
    EXPECT_EQ(s.accounts[1].newsgroups, dir / "newsrc-work");
    EXPECT_EQ(s.accounts[2].hostname, "club.example");
    EXPECT_FALSE(s.accounts[1].nntp.compress);
    EXPECT_TRUE(s.accounts[2].nntp.compress);
    EXPECT_EQ(s.accounts[0].pop.host, "p0");
    EXPECT_EQ(s.accounts[0].newsgroups, dir / "newsrc");

    std::string path = dir / "c.cfg";
    const struct {
        const char* text;
        std::string error;
    } refused[] = {
        {"ACCOUNT work\nPOPHOST a\nACCOUNT work\nPOPHOST b\n", "ACCOUNT work is named twice, again in line 3"},
        {"ACCOUNT work\n\n;none\nACCOUNT club\nPOPHOST b\n", "ACCOUNT work has no settings in line 1"},
        {"POPHOST a\nACCOUNT last\n", "ACCOUNT last has no settings in line 2"},
        {"ACCOUNT work\nSOUPDIR /x\n", "SOUPDIR belongs before the first ACCOUNT, not in line 2"},
        {"COMPRESS yes\n", "COMPRESS must be off or on, not \"yes\" in line 1"},
        {"ACCOUNT my/work\nPOPHOST a\n",
         "ACCOUNT must be a name of letters, digits, -, _ and ., not \"my/work\" in line 1"},
    };
    for (const auto& r : refused) {
        s = Settings();
        writefile(path, r.text);
        EXPECT_EQ(read(path), -1) << r.text;
        EXPECT_EQ(err, "Error: " + r.error + " of " + path + "\n");
    }
}

}  // namespace
