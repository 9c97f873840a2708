// Scoring benchmark: 10,000 overview lines, read and scored against a
// score file of 100 rules (60 shell patterns, 20 regular expressions, 20
// numeric tests) in three sections that all apply, as the news fetch does
// for one group's overview. Prints the best and the median of 7 runs, in
// wall time and in this thread's CPU time (what counts on a busy machine);
// the goal is well under 50 ms.
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "score/score.h"

namespace {

std::string overviewline(long n) {
    std::string num = std::to_string(n);
    const char* topics[] = {"Re: compiler flags for ARM", "Where do I find the FAQ?", "[ANN] release 4.2",
                            "Re: Re: style question",     "Make money fast!!!",       "Question about threads"};
    return num + "\t" + topics[n % 6] + " " + num + "\tUser " + std::to_string(n % 97) + " <user" +
           std::to_string(n % 97) + "@example.org>\tWed, 9 Dec 2026 10:00:00 +0000\t<" + num +
           ".abcdef@news.example.org>\t<" + std::to_string(n - 1) + ".abcdef@news.example.org> <" +
           std::to_string(n - 2) + ".abcdef@news.example.org>\t" + std::to_string(1500 + n % 3000) + "\t" +
           std::to_string(20 + n % 80) + "\tXref: news.example.org comp.lang.c:" + num + " comp.lang.c++:" + num;
}

std::string rules() {
    std::string text = "[comp.*]\n";
    for (int i = 0; i < 20; i++) text += "-10: Subject: *spam word " + std::to_string(i) + "*\n";
    for (int i = 0; i < 20; i++) text += "-20: From: *@bad" + std::to_string(i) + ".example\n";
    text += "[comp.lang.*]\n";
    for (int i = 0; i < 10; i++) text += "5: References: *<" + std::to_string(i * 37) + ".abcdef@*\n";
    for (int i = 0; i < 10; i++) text += "-5: Message-ID: <" + std::to_string(i * 41) + ".*\n";
    for (int i = 0; i < 10; i++) text += "-100: Subject: ~^(re: )*make (money|cash) " + std::to_string(i) + "\n";
    for (int i = 0; i < 10; i++) text += "-100: From: ~user" + std::to_string(i) + "[0-9] <\n";
    text += "[*]\n";
    for (int i = 0; i < 5; i++) text += "-1: Lines: > " + std::to_string(1000 + i) + "\n";
    for (int i = 0; i < 5; i++) text += "-1: Bytes: < " + std::to_string(100 + i) + "\n";
    for (int i = 0; i < 5; i++) text += "-1: Age: > " + std::to_string(30 + i) + "\n";
    for (int i = 0; i < 5; i++) text += "-1: Crossposts: > " + std::to_string(5 + i) + "\n";
    return text;
}

}  // namespace

int main() {
    ScoreFile file;
    std::string why;
    if (!file.parse(rules(), "bench", why)) {
        std::fprintf(stderr, "%s", why.c_str());
        return 1;
    }
    GroupScore group = file.forgroup("comp.lang.c");
    std::vector<std::string> lines;
    for (long n = 1; n <= 10000; n++) lines.push_back(overviewline(n));
    time_t now = time(nullptr);
    std::vector<double> ms, cpu;
    auto cputime = [] {
        timespec t{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return static_cast<double>(t.tv_sec) * 1000 + static_cast<double>(t.tv_nsec) / 1e6;
    };
    long killed = 0;
    for (int run = 0; run < 7; run++) {
        auto start = std::chrono::steady_clock::now();
        double startcpu = cputime();
        killed = 0;
        ArticleFields fields;
        for (const std::string& line : lines)
            if (readoverview(line.data(), line.size(), fields) && group.score(fields, now) < 0) killed++;
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        cpu.push_back(cputime() - startcpu);
    }
    std::sort(ms.begin(), ms.end());
    std::sort(cpu.begin(), cpu.end());
    std::printf(
        "10000 overview lines, 100 rules: best %.1f ms, median %.1f ms; CPU best %.1f ms, median %.1f ms "
        "(%ld below 0)\n",
        ms.front(), ms[3], cpu.front(), cpu[3], killed);
    return 0;
}
