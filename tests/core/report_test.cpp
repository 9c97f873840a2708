// The reporting sinks, the progress meter and its rate arithmetic, and
// the small shared helpers.
#include <gtest/gtest.h>
#include <sys/time.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "core/report.h"
#include "core/text.h"
#include "run.h"

namespace {

TEST(Report, ConsoleAndLogGetTheSameWholeText) {
    TempDir dir;
    std::string path = dir / "log";
    ConsoleReport report;
    report.log = std::fopen(path.c_str(), "w");
    ASSERT_NE(report.log, nullptr);
    std::string longline(450, 'L');
    testing::internal::CaptureStdout();
    report.say("short %d\n", 42);
    report.say("! %s|%s\n", longline.c_str(), "end");
    report.say("%s", std::string(199, 'x').c_str());
    report.say("%s", std::string(200, 'y').c_str());
    report.step("+ only when verbose\n");
    report.console("console %s\n", "only");
    report.logonly("log %s\n", "only");
    std::string out = testing::internal::GetCapturedStdout();
    std::fclose(report.log);
    report.log = nullptr;
    std::string want = "short 42\n! " + longline + "|end\n" + std::string(199, 'x') + std::string(200, 'y');
    EXPECT_EQ(out, want + "console only\n");
    EXPECT_EQ(readfile(path), want + "log only\n");

    ConsoleReport verbose(true);
    testing::internal::CaptureStdout();
    verbose.say("no log %s\n", "open");
    verbose.step("+ %s\n", "step");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "no log open\n+ step\n");
}

// Each text with its channel, in order.
struct Recorder : Report {
    using Report::Report;
    void put(Channel channel, const char* text, size_t len) override {
        said.emplace_back(channel, std::string(text, len));
    }
    std::vector<std::pair<Channel, std::string>> said;
};

void reportall(Report& report) {
    Meter meter(report);
    report.say("say %d\r\n", 1);
    report.step("+ step %s\n", std::string(300, 's').c_str());
    meter.show(7, 0, 0);
    meter.report(7, "* from\r", 7);
    report.show("show", 4);
    report.logonly("log\n");
    report.flush();
    errno = ENOENT;
    report.syserror("Receive");
    report.alert("Error: %s\n", "alert");
    meter.erase();
}

TEST(ReportBuffer, ReplaysEveryChannelInOrder) {
    Recorder direct(true, true);
    reportall(direct);
    ASSERT_EQ(direct.said.size(), 12u);
    EXPECT_EQ(direct.said[9], std::make_pair(Channel::Error, std::string("Receive: No such file or directory\n")));

    ReportBuffer buffer(true, true);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    reportall(buffer);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    Recorder replayed;
    buffer.replay(replayed);
    EXPECT_EQ(replayed.said, direct.said);

    Recorder quiet(true, false);  // no terminal: no meter
    reportall(quiet);
    EXPECT_EQ(quiet.said.size(), 8u);
}

TEST(Mtime, FollowsTheSystemClock) {
    timeval tv;
    gettimeofday(&tv, nullptr);
    uint32_t want = static_cast<uint32_t>(tv.tv_sec % 1000000) * 1000u + static_cast<uint32_t>(tv.tv_usec / 1000);
    uint32_t got = mtime();
    EXPECT_LT(got, 1000000000u);
    // Allow for the tick between the two readings and the fall-back to 0.
    EXPECT_TRUE(got - want < 1000u || want - got > 999999000u) << got << " " << want;
}

TEST(Rates, TruncateAndNeverOverflow) {
    EXPECT_EQ(ratecps(5001, 1000), 5001u);
    EXPECT_EQ(ratecps(5001, 3), 1667000u);
    EXPECT_EQ(ratecps(999, 1000), 999u);
    EXPECT_EQ(ratecps(7, 0), 0u);
    // 4e9 bytes times 1000 does not fit 32 bits.
    EXPECT_EQ(ratecps(4000000000u, 4000000u), 1000000u);
    EXPECT_EQ(ratecps(4294967295u, 1000u), 4294967295u);
}

TEST(RateWindow, ClosesAfterMoreThan5000Bytes) {
    RateWindow w;
    w.restart();
    EXPECT_EQ(w.rate, 0u);
    EXPECT_EQ(w.add(2500), 0u);
    EXPECT_EQ(w.add(2500), 0u);  // exactly 5000 stays open
    EXPECT_EQ(w.bytes, 5000u);
    EXPECT_EQ(w.rate, 0u);
    // Backdate the window by a second: the rate is bytes per second.
    w.start -= 1000;
    EXPECT_EQ(w.add(1), 5001u);
    EXPECT_GE(w.rate, 4900u);
    EXPECT_LE(w.rate, 5001u);
    EXPECT_EQ(w.bytes, 0u);
    uint32_t now = mtime();
    EXPECT_LE(now - w.start, 5u);

    // A clock that has not moved on (or fell back) leaves the rate alone,
    // but the window still restarts.
    w.start = mtime() + 100000;
    EXPECT_EQ(w.add(6000), 6000u);
    EXPECT_GE(w.rate, 4900u);
    EXPECT_LE(w.rate, 5001u);
    EXPECT_EQ(w.bytes, 0u);
}

TEST(Meter, DrawsOnlyWhatChanged) {
    ConsoleReport report;
    Meter m(report, true);
    testing::internal::CaptureStdout();
    m.show(0, 0, 0);
    m.show(0, 0, 0);
    m.show(5, 0, 0);
    m.show(5, 1200, 800);
    m.show(5, 1200, 800);
    m.show(5, 1200, 801);
    m.forget();
    m.show(5, 1200, 801);
    m.show(5, 0, 801);
    m.show(100, 4294967295u, 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\r0%\r5%"
              "\r5% [1200 cps, 800 avg]      \b\b\b\b\b\b"
              "\r5% [1200 cps, 801 avg]      \b\b\b\b\b\b"
              "\r5% [1200 cps, 801 avg]      \b\b\b\b\b\b"
              "\r5%"
              "\r100% [4294967295 cps, 0 avg]      \b\b\b\b\b\b");
}

TEST(Meter, ReportAndErase) {
    ConsoleReport report;
    Meter m(report, true);
    testing::internal::CaptureStdout();
    m.show(40, 2000, 1000);
    m.report(40, "! Message 3: odd\n", 17);
    m.show(40, 2000, 1000);  // the report does not count as a drawing
    m.show(41, 2000, 1000);
    m.erase();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\r40% [2000 cps, 1000 avg]      \b\b\b\b\b\b"
              "\r! Message 3: odd\n40%"
              "\r41% [2000 cps, 1000 avg]      \b\b\b\b\b\b"
              "\r                          \r");
}

TEST(Helpers, MemicmpAndExist) {
    EXPECT_EQ(memicmp("GROUP", "group", 5), 0);
    EXPECT_EQ(memicmp("abc\0x", "ABC\0X", 5), 0);  // goes past a NUL byte
    EXPECT_EQ(memicmp("abc\0x", "ABC\0Y", 5), 'x' - 'y');
    EXPECT_EQ(memicmp("B", "a", 1), 'b' - 'a');
    EXPECT_EQ(memicmp("\xe9", "a", 1), 0xe9 - 'a');  // bytes are unsigned
    EXPECT_EQ(memicmp("x", "y", 0), 0);

    TempDir dir;
    EXPECT_EQ(exist(dir.path().c_str()), 1);
    EXPECT_EQ(exist((dir / "none").c_str()), 0);
    writefile(dir / "file", "");
    EXPECT_EQ(exist((dir / "file").c_str()), 1);
}

TEST(Helpers, PutlongAndPuttext) {
    auto decimal = [](long v) {
        char text[32];
        return std::string(text, putlong(text, v));
    };
    EXPECT_EQ(decimal(0), "0");
    EXPECT_EQ(decimal(7), "7");
    EXPECT_EQ(decimal(-3), "-3");
    EXPECT_EQ(decimal(1234567890), "1234567890");
    EXPECT_EQ(decimal(LONG_MAX), std::to_string(LONG_MAX));
    EXPECT_EQ(decimal(LONG_MIN), std::to_string(LONG_MIN));
    char text[16] = "xxxxxxxxxxxxxxx";
    char* end = puttext(puttext(text, "RETR"), " ");
    EXPECT_EQ(std::string(text, end), "RETR ");
    EXPECT_EQ(*end, 'x') << "no terminator is written";
}

TEST(Helpers, SafeText) {
    // Controls, DEL and NUL as ^X; TAB and the line end at the end kept.
    EXPECT_EQ(safetext("a\tb\x1b[2J\x7f\r\x07\nc\r\n"), "a\tb^[[2J^?^M^G^Jc\r\n");
    EXPECT_EQ(safetext(std::string("x\0y\n", 4)), "x^@y\n");
    // UTF-8 of two, three and four bytes kept; the rest byte by byte.
    EXPECT_EQ(safetext("\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"), "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80");
    EXPECT_EQ(safetext("\xff\xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80\xe2\x82"),
              "\\xFF\\xC0\\xAF\\xED\\xA0\\x80\\xF4\\x90\\x80\\x80\\xE2\\x82");
    // C1 controls: U+009B is CSI to a terminal; U+00A0 is a character.
    EXPECT_EQ(safetext("\xc2\x9b" "2J\xc2\xa0"), "\\xC2\\x9B2J\xc2\xa0");
    std::string worst(100, '\xff');
    char room[kSafeGrowth * 100];
    EXPECT_EQ(putsafe(room, worst.data(), worst.size()), room + sizeof room);
}

}  // namespace
