// Black-box runs against a POP3 server on 127.0.0.1:1110 that is out of
// reach for days, then back.
#include <sys/stat.h>

#include <ctime>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "run.h"
#include "scripted_server.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

// Out of reach it stays quiet (75) and is remembered since its first
// failure; past QUIETDAYS it is said, exit 2; a run that reaches it
// forgets it.
TEST(Outages, AServerOutOfReachForDaysIsSaidUntilItAnswers) {
    TempDir dir;
    std::string soup = dir / "soup", record = dir / "unreachable-default";
    mkdir(soup.c_str(), 0700);
    std::string cfg = dir / "vorpa.cfg";
    writefile(cfg, "POPHOST 127.0.0.1:1110\nPOPUSER joe\nPOPPASS secret\nSOUPDIR " + soup + "\nNEWSGROUPS " +
                       (dir / "newsrc") + "\n");
    auto fetch = [&] { return runvorpa({"email", "fetch", "/config=" + cfg}, dir.path(), 30); };

    long long before = std::time(nullptr);
    RunResult quiet = fetch();
    EXPECT_EQ(quiet.status, 75) << quiet.out << quiet.err;
    EXPECT_THAT(quiet.out, Not(HasSubstr("unreachable since")));
    std::string kept = readfile(record);
    ASSERT_EQ(kept.rfind("POP3 127.0.0.1:1110 ", 0), 0u) << kept;
    long long since = std::atoll(kept.c_str() + 20);
    EXPECT_GE(since, before);

    since -= 3 * 86400 + 60;
    writefile(record, "POP3 127.0.0.1:1110 " + std::to_string(since) + "\n");
    std::time_t t = static_cast<std::time_t>(since);
    char date[16];
    std::strftime(date, sizeof date, "%Y-%m-%d", std::localtime(&t));
    RunResult loud = fetch();
    EXPECT_EQ(loud.status, 2) << loud.out << loud.err;
    EXPECT_THAT(loud.out, HasSubstr("POP3 host 127.0.0.1:1110 unreachable since " + std::string(date) +
                                    " (3 days): check POPHOST\n"));
    EXPECT_EQ(readfile(record), "POP3 127.0.0.1:1110 " + std::to_string(since) + "\n");

    ScriptedServer server(1110);
    server.session().send("+OK ready\r\n").expect("USER joe\r\n").send("+OK\r\n")
        .expect("PASS secret\r\n").send("+OK\r\n")
        .expect("CAPA\r\n").send("-ERR\r\n")
        .expect("STAT\r\n").send("+OK 0 0\r\n")
        .expect("QUIT\r\n").send("+OK\r\n");
    server.start();
    RunResult back = fetch();
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ(back.status, 0) << back.out << back.err;
    EXPECT_FALSE(fileexists(record));
}

}  // namespace
