// The password command: its first line, and the time limit that ends it
// and everything it started.
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "phases/shared.h"
#include "run.h"

namespace {

struct Outcome {
    bool ok;
    std::string line;
    std::string said;  // what the report logged
    long long ms;
};

Outcome runcommand(const std::string& command, int limitms) {
    ConsoleReport report;
    report.log = std::tmpfile();
    Outcome r{};
    auto start = std::chrono::steady_clock::now();
    r.ok = runpasscommand(report, "POPPASSCMD", command, limitms, limitms, r.line);
    r.ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    std::rewind(report.log);
    for (int c; (c = std::fgetc(report.log)) != EOF;) r.said += static_cast<char>(c);
    std::fclose(report.log);
    return r;
}

// Whether the process is gone (a zombie counts as gone), waiting a little.
bool gone(pid_t pid) {
    for (int i = 0; i < 100; i++) {
        std::string stat = readfile("/proc/" + std::to_string(pid) + "/stat");
        if (stat.empty() || stat.find(") Z ") != std::string::npos) return true;
        usleep(10000);
    }
    return false;
}

TEST(PassCommand, NoWaitForWhatItLeftRunning) {
    // Something started in the background holds the output open: the line
    // is there and the shell has exited, which is enough.
    Outcome r = runcommand("echo tok3n; sleep 3 2>/dev/null &", 10000);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.line, "tok3n");
    EXPECT_EQ(r.said, "");
    EXPECT_LT(r.ms, 2000);
}

TEST(PassCommand, TimeOutKillsTheCommandAndItsChildren) {
    TempDir dir;
    std::string pids = dir / "pids";
    Outcome r = runcommand("echo $$ > " + pids + "; sleep 30 & echo $! >> " + pids + "; wait", 500);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.said, "POPPASSCMD failed: timed out after 1 s\n");
    EXPECT_LT(r.ms, 3000);
    std::string text = readfile(pids);
    size_t lf = text.find('\n');
    ASSERT_NE(lf, std::string::npos) << text;
    EXPECT_TRUE(gone(std::stoi(text.substr(0, lf)))) << "the shell";
    EXPECT_TRUE(gone(std::stoi(text.substr(lf + 1)))) << "its child";
}

// With a terminal the command reads from it in its foreground: pass or gpg
// asking for a passphrase. The terminal is the run's again afterwards.
TEST(PassCommand, AsksOnTheTerminal) {
    int master, slave, result[2];
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    ASSERT_EQ(pipe(result), 0);
    pid_t pid = fork();
    if (pid == 0) {
        // A session of its own, with the pseudo-terminal as its terminal.
        close(result[0]);
        if (setsid() < 0 || ioctl(slave, TIOCSCTTY, 0) != 0) _exit(1);
        ConsoleReport report;
        std::string line;
        bool ok = runpasscommand(report, "POPPASSCMD", "read -r pw && echo \"[$pw]\"", 500, 5000, line);
        std::string said = (ok ? line : "failed") + (tcgetpgrp(slave) == getpgrp() ? " ours" : " theirs");
        _exit(write(result[1], said.data(), said.size()) < 0);
    }
    close(slave);
    close(result[1]);
    // Typed a little after the start, past the limit without a terminal.
    usleep(700000);
    ASSERT_EQ(write(master, "hunter 2\n", 9), 9);
    std::string got;
    char buf[256];
    pollfd p{result[0], POLLIN, 0};
    while (poll(&p, 1, 10000) > 0) {
        ssize_t n = read(result[0], buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    close(result[0]);
    close(master);
    EXPECT_EQ(got, "[hunter 2] ours");
}

}  // namespace
