// Envelope addresses cut out of header values.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mail/mail.h"

namespace {

void release() {
    std::free(fromemail);
    fromemail = nullptr;
    for (int i = 0; i < emailcount; i++) std::free(emaillist[i]);
    emailcount = 0;
}

std::vector<std::string> recipients(const std::vector<std::string>& values) {
    release();
    for (const std::string& value : values) {
        std::string text = value;
        processemail(&text[0], 0);
    }
    std::vector<std::string> found(emaillist, emaillist + emailcount);
    release();
    return found;
}

std::vector<std::string> recipients(const std::string& value) { return recipients(std::vector<std::string>{value}); }

using V = std::vector<std::string>;

TEST(ProcessEmail, Recipients) {
    EXPECT_EQ(recipients(" Joe Bloggs <joe@example.org>\n"), V{"joe@example.org"});
    EXPECT_EQ(recipients(" joe@example.org (Joe Bloggs)\n"), V{"joe@example.org"});
    EXPECT_EQ(recipients(" a@x.org, Bee <b@y.org>\n"), (V{"a@x.org", "b@y.org"}));
    // Commas inside quotes, brackets or parentheses do not split.
    EXPECT_EQ(recipients(" \"Doe, John\" <jd@x.org>, c@y.org\n"), (V{"jd@x.org", "c@y.org"}));
    EXPECT_EQ(recipients(" (Doe, John) jd@x.org, c@y.org\n"), (V{"jd@x.org", "c@y.org"}));
    EXPECT_EQ(recipients(" <a@x.org,b@y.org>\n"), V{"a@x.org,b@y.org"});
    // An apostrophe opens a quote that the rest of the value never closes.
    EXPECT_EQ(recipients(" Pat O'Brien <ob@x.org>, c@y.org\n"), V{"ob@x.org"});
    // A semicolon is part of the run.
    EXPECT_EQ(recipients(" a@x.org;b@y.org\n"), V{"a@x.org;b@y.org"});
    // The first at sign of a part wins, quotes next to it included.
    EXPECT_EQ(recipients(" \"joe@home\" <joe@work.org>\n"), V{"\"joe@home\""});
    // Parts without an at sign give nothing.
    EXPECT_EQ(recipients(" joe, , a@x.org,,\n"), V{"a@x.org"});
    EXPECT_EQ(recipients("\n"), V{});
    // Bytes with the high bit set are never delimiters.
    EXPECT_EQ(recipients(" J\xc3\xbcrgen <j\xc3\xbc@x.de>\n"), V{"j\xc3\xbc@x.de"});
    // Continuation lines add to the same list, in order.
    EXPECT_EQ(recipients(V{" a@x.org,\n", "\tb@y.org\n", " c@z.org\n"}), (V{"a@x.org", "b@y.org", "c@z.org"}));
}

TEST(ProcessEmail, SenderAndLimit) {
    release();
    std::string one = " a@x.org, Bee <b@y.org>\n", two = " c@z.org\n";
    processemail(&one[0], 1);
    ASSERT_NE(fromemail, nullptr);
    EXPECT_STREQ(fromemail, "b@y.org");
    processemail(&two[0], 1);
    EXPECT_STREQ(fromemail, "c@z.org");
    EXPECT_EQ(emailcount, 0);
    release();

    // The 501st and later recipients are dropped; a sender found after 500
    // recipients is not taken.
    std::string many;
    for (int i = 0; i < 600; i++) many += "u" + std::to_string(i) + "@x.org, ";
    processemail(&many[0], 0);
    EXPECT_EQ(emailcount, 500);
    EXPECT_STREQ(emaillist[499], "u499@x.org");
    std::string late = " late@x.org\n";
    processemail(&late[0], 1);
    EXPECT_EQ(fromemail, nullptr);
    release();
}

TEST(ProcessEmail, IsDelimiter) {
    for (int c : std::vector<int>{0, ' ', '\t', '\r', '\n', '<', '>', '(', ')'}) EXPECT_EQ(isdelimiter(c), 1) << c;
    for (int c : std::vector<int>{',', ';', ':', '"', '\'', '@', 'a', '\v', -61, 0xc3}) EXPECT_EQ(isdelimiter(c), 0) << c;
}

// Random header values: every address holds an at sign and no delimiter,
// no more than 500 are kept, and every text is released (the sanitizer
// build reports leaks).
TEST(ProcessEmail, FuzzValues) {
    std::mt19937 rng(6);
    const std::string alphabet = " \t\r\n<>()\"',;@@@abcxyz.\x80\xff";
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    int values = 0;
    release();
    while (std::chrono::steady_clock::now() < deadline && values < 50000) {
        std::string text(rng() % (values % 100 == 0 ? 4000 : 120), ' ');
        for (char& c : text) c = alphabet[rng() % alphabet.size()];
        processemail(&text[0], static_cast<int>(rng() % 2));
        ASSERT_LE(emailcount, 500);
        for (int i = 0; i < emailcount; i++) {
            ASSERT_NE(std::strchr(emaillist[i], '@'), nullptr);
            for (const char* p = emaillist[i]; *p; p++) ASSERT_EQ(isdelimiter(*p), 0);
        }
        if (fromemail) {
            ASSERT_NE(std::strchr(fromemail, '@'), nullptr);
        }
        if (rng() % 8 == 0) release();
        values++;
    }
    release();
    EXPECT_GT(values, 1000);
}

}  // namespace
