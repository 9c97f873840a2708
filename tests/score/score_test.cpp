// The score file's reader and matcher, and the fields read from what a
// server sends: shell patterns as fnmatch reads them, regular expressions
// never skipped where they match, dates, overview lines and headers.
#include <fnmatch.h>
#include <regex.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "score/score.h"

namespace {

long scoreof(const std::string& file, const std::string& group, const ArticleFields& article) {
    ScoreFile scores;
    std::string why;
    EXPECT_TRUE(scores.parse(file, "score", why)) << why;
    return scores.forgroup(group).score(article, 2000000000);
}

// Both the fast path (stars and text) and the general one agree with
// fnmatch, ignoring case.
TEST(Score, ShellPatternsAsFnmatch) {
    const std::vector<std::string> patterns = {"*",       "*pills*", "a*b*c",  "*.jpg", "re: *",  "?x*",
                                               "[a-c]*",  "[!a]*",   "*[]]*",  "\\**",  "[abc",   "**a**",
                                               "*ab*ab*", "exact",   "*e*e*e", "[^x]?", "*[0-9]"};
    const std::vector<std::string> texts = {"",      "x",    "abc",   "aXbYc", "photo.JPG", "Re: hi", "cheap Pills!",
                                            "*star", "[abc", "ab]",   "abab",  "ababab",    "exact",  "eee",
                                            "ee",    "7",    "page 9"};
    for (const std::string& pattern : patterns) {
        for (const std::string& text : texts) {
            ArticleFields article;
            article.subject = text;
            bool expected = fnmatch(pattern.c_str(), text.c_str(), FNM_CASEFOLD) == 0;
            EXPECT_EQ(expected ? 1 : 0, scoreof("1: Subject: " + pattern + "\n", "g", article))
                << pattern << " on " << text;
        }
    }
}

// What an expression is said to need is in every text it matches.
TEST(Score, RegexNeedsOnlyWhatEveryMatchHolds) {
    EXPECT_EQ("make ", regexneeds("^(re: )*make (money|cash)"));
    EXPECT_EQ("", regexneeds("cheap|pills"));
    EXPECT_EQ("ab", regexneeds("ab+c?d*"));
    const std::vector<std::string> expressions = {"^(re: )*make (money|cash)",
                                                  "ab+c?d*",
                                                  "x[[:alpha:]]y",
                                                  "[]a]bc",
                                                  "a\\.b",
                                                  "foo{2}bar",
                                                  "(a|b)cd|e",
                                                  "sp.m",
                                                  "[^]x]yz",
                                                  "AbC",
                                                  "\\`ab\\'",
                                                  "\\<word\\>"};
    const std::vector<std::string> texts = {"Re: Re: MAKE cash now",
                                            "abbb",
                                            "xQy",
                                            "]bc",
                                            "a.b",
                                            "foofbar",
                                            "fooobar",
                                            "acd",
                                            "e",
                                            "SPAM",
                                            "byz",
                                            "abc",
                                            "aBc",
                                            "ab",
                                            "a word here"};
    for (const std::string& expression : expressions) {
        regex_t re;
        ASSERT_EQ(0, regcomp(&re, expression.c_str(), REG_EXTENDED | REG_ICASE | REG_NOSUB)) << expression;
        std::string needs = regexneeds(expression);
        for (std::string text : texts) {
            bool match = regexec(&re, text.c_str(), 0, nullptr, 0) == 0;
            for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
            if (match) {
                EXPECT_NE(std::string::npos, text.find(needs)) << expression << " on " << text;
            }
            ArticleFields article;
            article.subject = text;
            EXPECT_EQ(match ? 1 : 0, scoreof("1: Subject: ~" + expression + "\n", "g", article)) << expression;
        }
        regfree(&re);
    }
}

// Sections sum; rules before the first are for every group; lines that
// cannot be read are named with their line, and expressions that would
// blow up regcomp are among them.
TEST(Score, SectionsAndRefusals) {
    const std::string file =
        "1: Subject: *\n; comment\n[comp.* sci.*]\n10: From: *@x\n[comp.lang.c]\n"
        "100: Lines: < 5\n# comment\n1000: Age: > 30\n";
    ArticleFields article;
    article.subject = "s";
    article.from = "ann@x";
    article.lines = 3;
    article.date = 2000000000 - 31 * 86400;
    EXPECT_EQ(1111, scoreof(file, "comp.lang.c", article));
    EXPECT_EQ(11, scoreof(file, "SCI.physics", article));
    EXPECT_EQ(1, scoreof(file, "alt.test", article));
    article.date = -1;  // no date: no age
    EXPECT_EQ(111, scoreof(file, "comp.lang.c", article));

    for (std::string bad :
         {"1: Subject:\n", "x: Subject: a\n", "[comp.*\n", "1: Lines: 5\n", "[]\n", "1: Subject: ~a++\n",
          "1: Subject: ~a*{2}\n", "1: From: ~((a{200})+){200}\n", "1: Subject: ~(\n"}) {
        ScoreFile scores;
        std::string why;
        EXPECT_FALSE(scores.parse("# first\n" + bad, "/s", why)) << bad;
        EXPECT_NE(std::string::npos, why.find(" in line 2 of /s\n")) << why;
    }
    ScoreFile scores;
    std::string why;
    EXPECT_TRUE(scores.parse("-5: Subject: ~a+b*(c{2}|d)?(e+)*x{255}\n", "/s", why)) << why;
}

TEST(Score, DatesOverviewAndHeader) {
    EXPECT_EQ(1765274400, readdate("Tue, 9 Dec 2025 10:00:00 +0000"));
    EXPECT_EQ(1765274400, readdate("9 Dec 2025 11:00 +0100"));
    EXPECT_EQ(1765274400, readdate("Tue, 09 Dec 25 10:00:00 GMT"));
    for (const char* bad : {"", "yesterday", "32 Dec 2025 10:00", "9 Dez 2025 10:00", "9 Dec 2025 25:00"})
        EXPECT_EQ(-1, readdate(bad)) << bad;

    std::string line =
        "42\tRe: hi\tAnn <a@x>\tTue, 9 Dec 2025 10:00:00 +0000\t<m@x>\t<p@x>\t1234\t20\t"
        "Xref: news.test comp.a:42 alt.b:7";
    ArticleFields f;
    ASSERT_TRUE(readoverview(line.data(), line.size(), f));
    EXPECT_EQ(42, f.number);
    EXPECT_EQ("Re: hi", f.subject);
    EXPECT_EQ("<m@x>", f.messageid);
    EXPECT_EQ(1234, f.bytes);
    EXPECT_EQ(20, f.lines);
    EXPECT_EQ("comp.a,alt.b", f.newsgroups);
    EXPECT_EQ(2, f.crossposts());
    for (std::string odd : {"x\ty", "", "-1\ta", "7"}) {
        bool numbered = readoverview(odd.data(), odd.size(), f);
        EXPECT_EQ(odd == "7", numbered) << odd;
    }
    EXPECT_EQ(-1, f.bytes);

    HeaderFields head;
    for (const char* piece :
         {"Subject: one\r\n", " two\r\n", "Newsgroups: a,b,c\r\n", "Lines: 9\r\n", "\r\n", "Subject: body\r\n"})
        head.line(piece, std::string(piece).size(), true);
    EXPECT_TRUE(head.done());
    EXPECT_EQ("one   two", head.fields.subject);
    EXPECT_EQ(3, head.fields.crossposts());
    EXPECT_EQ(9, head.fields.lines);
}

}  // namespace
