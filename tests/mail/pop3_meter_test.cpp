// The progress meter of the mail fetch: its drawing rules and its rate
// arithmetic.
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "core/report.h"
#include "run.h"

namespace {

// Everything written to the standard output while f runs.
std::string console(const std::function<void()>& f) {
    TempDir dir;
    std::string path = dir / "out";
    fflush(stdout);
    int saved = dup(1);
    FILE* capture = fopen(path.c_str(), "w");
    dup2(fileno(capture), 1);
    f();
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    fclose(capture);
    return readfile(path);
}

TEST(Pop3Meter, DrawsOnlyChangesAndKeepsReportsOnTheirOwnLine) {
    ConsoleReport report;
    Meter meter(report, true);  // as on a terminal
    std::string out = console([&] {
        meter.forget();
        meter.show(0, 0, 0);
        meter.show(0, 0, 0);
        meter.show(7, 0, 0);
        meter.show(7, 4200, 900);
        meter.show(7, 4200, 900);
        meter.report(7, "* Message from a@b\n", 19);
        meter.show(7, 4200, 900);
        meter.forget();
        meter.show(7, 4200, 900);
        meter.erase();
    });
    EXPECT_EQ(out,
              "\r0%"
              "\r7%"
              "\r7% [4200 cps, 900 avg]      \b\b\b\b\b\b"
              "\r* Message from a@b\n7%"
              "\r7% [4200 cps, 900 avg]      \b\b\b\b\b\b"
              "\r                          \r");
}

TEST(Pop3Meter, RateArithmetic) {
    EXPECT_EQ(ratecps(10000, 0), 0u);
    EXPECT_EQ(ratecps(10000, 3), 3333333u);
    // bytes * 1000 does not fit 32 bits here.
    EXPECT_EQ(ratecps(4000000000ull, 2000), 2000000000u);

    RateWindow window;
    window.restart();
    EXPECT_EQ(window.add(5000), 0u);
    EXPECT_EQ(window.rate, 0u);
    usleep(20000);
    uint32_t before = mtime();
    EXPECT_EQ(window.add(1), 5001u);
    EXPECT_EQ(window.bytes, 0u);
    // 5001 bytes in at least 20 ms.
    EXPECT_GT(window.rate, 0u);
    EXPECT_LE(window.rate, 5001u * 1000 / 20);
    EXPECT_GE(window.start, before);
}

}  // namespace
