// Black-box runs against a port that runs another protocol's server: the
// run names what answered and the setting to mend.
#include <sys/stat.h>

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "run.h"
#include "scripted_server.h"

using ::testing::HasSubstr;

namespace {

TEST(Greeting, AnotherProtocolsGreetingIsNamed) {
    struct Case {
        std::string settings;
        std::vector<std::string> command;
        std::string greeting;
        std::string said;
    };
    const std::vector<Case> cases = {
        {"POPHOST localhost:1993\nPOPUSER joe\nPOPPASS secret\n", {"email", "fetch"},
         "* OK [CAPABILITY IMAP4rev1] ready\r\n",
         "POP3 host localhost at port 1993 answered like an IMAP server: check POPHOST\n"},
        {"HOSTNAME me\nSMTPHOST 127.0.0.1:1993\n", {"email", "post", "/check"}, "+OK POP3 ready\r\n",
         "SMTP host 127.0.0.1 at port 1993 answered like a POP3 server: check SMTPHOST\n"},
        {"NNTPHOST 127.0.0.1:1993\n", {"news", "fetch", "/check"}, "220 mail.test ESMTP\r\n",
         "NNTP host 127.0.0.1 at port 1993 answered like an SMTP server: check NNTPHOST\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.settings);
        TempDir dir;
        mkdir((dir / "soup").c_str(), 0700);
        writefile(dir / "newsrc", "comp.lang.c\n");
        writefile(dir / "vorpa.cfg", c.settings + "SOUPDIR " + (dir / "soup") + "\nNEWSGROUPS " + (dir / "newsrc") +
                                         "\n");
        ScriptedServer server(1993);
        server.session().send(c.greeting).drain();
        server.start();
        std::vector<std::string> args = c.command;
        args.push_back("/config=" + (dir / "vorpa.cfg"));
        RunResult r = runvorpa(args, dir.path(), 30);
        EXPECT_TRUE(server.finish()) << server.errortext();
        EXPECT_EQ(r.status, 2) << r.out << r.err;
        EXPECT_THAT(r.out, HasSubstr(c.said));
    }
}

}  // namespace
