// Envelope addresses cut out of header values.
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "proto/smtp.h"
#include "soup/soup.h"

namespace {

std::vector<std::string> recipients(const std::vector<std::string>& values) {
    Envelope envelope;
    for (const std::string& value : values) {
        std::string text = value;
        processemail(&text[0], 0, envelope);
    }
    return envelope.to;
}

std::vector<std::string> recipients(const std::string& value) { return recipients(std::vector<std::string>{value}); }

using V = std::vector<std::string>;

TEST(ProcessEmail, Recipients) {
    EXPECT_EQ(recipients(" Joe Bloggs <joe@example.org>\n"), V{"joe@example.org"});
    EXPECT_EQ(recipients(" joe@example.org (Joe Bloggs)\n"), V{"joe@example.org"});
    EXPECT_EQ(recipients(" a@x.org, Bee <b@y.org>\n"), (V{"a@x.org", "b@y.org"}));
    // Commas inside quotes or comments do not split, nor do at signs there
    // make an address.
    EXPECT_EQ(recipients(" \"Doe, John\" <jd@x.org>, c@y.org\n"), (V{"jd@x.org", "c@y.org"}));
    EXPECT_EQ(recipients(" (Doe, John) jd@x.org, c@y.org\n"), (V{"jd@x.org", "c@y.org"}));
    EXPECT_EQ(recipients(" \"joe@home\" <joe@work.org>; (x@y) k@z.org\n"), (V{"joe@work.org", "k@z.org"}));
    EXPECT_EQ(recipients(" \"a\\\"@b, c\" <q@x.org>\n"), V{"q@x.org"});
    // A comma or semicolon ends an address also inside brackets.
    EXPECT_EQ(recipients(" Ann Example <ann@example.net, bob@example.com>\n"),
              (V{"ann@example.net", "bob@example.com"}));
    EXPECT_EQ(recipients(" <a@x.org,b@y.org>;c@z.org\n"), (V{"a@x.org", "b@y.org", "c@z.org"}));
    EXPECT_EQ(recipients(" Friends: a@x.org, b@y.org;\n"), (V{"a@x.org", "b@y.org"}));
    // An apostrophe is text; a quote never closed is text too.
    EXPECT_EQ(recipients(" Pat O'Brien <ob@x.org>, c@y.org\n"), (V{"ob@x.org", "c@y.org"}));
    EXPECT_EQ(recipients(" \"Joe joe@x.org\n"), V{"joe@x.org"});
    // A quoted local part stays whole.
    EXPECT_EQ(recipients(" <\"a@b\"@x.org>\n"), V{"\"a@b\"@x.org"});
    // Parts without an at sign give nothing.
    EXPECT_EQ(recipients(" joe, , a@x.org,,\n"), V{"a@x.org"});
    EXPECT_EQ(recipients("\n"), V{});
    // Bytes with the high bit set are never delimiters.
    EXPECT_EQ(recipients(" J\xc3\xbcrgen <j\xc3\xbc@x.de>\n"), V{"j\xc3\xbc@x.de"});
    // Continuation lines add to the same list, in order.
    EXPECT_EQ(recipients(V{" a@x.org,\n", "\tb@y.org\n", " c@z.org\n"}), (V{"a@x.org", "b@y.org", "c@z.org"}));
}

TEST(ProcessEmail, SenderAndNoLimit) {
    Envelope envelope;
    std::string one = " a@x.org, Bee <b@y.org>\n", two = " c@z.org\n";
    processemail(&one[0], 1, envelope);
    EXPECT_EQ(envelope.from, "b@y.org");
    processemail(&two[0], 1, envelope);
    EXPECT_EQ(envelope.from, "c@z.org");
    EXPECT_TRUE(envelope.to.empty());

    // Every recipient is kept, and a sender found after them is taken.
    std::string many;
    for (int i = 0; i < 600; i++) many += "u" + std::to_string(i) + "@x.org, ";
    processemail(&many[0], 0, envelope);
    ASSERT_EQ(envelope.to.size(), 600u);
    EXPECT_EQ(envelope.to[599], "u599@x.org");
    std::string late = " late@x.org\n";
    processemail(&late[0], 1, envelope);
    EXPECT_EQ(envelope.from, "late@x.org");
}

// Two recipients under one name give two RCPTs, never one with a comma.
TEST(ProcessEmail, OneNameTwoRecipients) {
    std::string message =
        "From: Joe <joe@x.org>\nTo: Ann Example <ann@example.net, bob@example.com>\n\nhi, <c@d.org>\n";
    std::unique_ptr<FILE, int (*)(FILE*)> file(tmpfile(), fclose);
    ASSERT_TRUE(file);
    fwrite(message.data(), 1, message.size(), file.get());
    OutgoingMessage read;
    ASSERT_TRUE(readoutgoing(file.get(), 0, static_cast<long>(message.size()), read));
    EXPECT_EQ(envelopegroup(read.envelope, "DATA\r\n", 1000),
              "MAIL FROM:<joe@x.org>\r\nRCPT TO:<ann@example.net>\r\nRCPT TO:<bob@example.com>\r\nDATA\r\n");
}

TEST(ProcessEmail, IsDelimiter) {
    for (int c : std::vector<int>{0, ' ', '\t', '\r', '\n', '<', '>', '(', ')', ',', ';'})
        EXPECT_EQ(isdelimiter(c), 1) << c;
    for (int c : std::vector<int>{':', '"', '\'', '@', 'a', '\v', -61, 0xc3}) EXPECT_EQ(isdelimiter(c), 0) << c;
}

// Random header values: every address holds an at sign and no delimiter
// (a comma above all).
TEST(ProcessEmail, FuzzValues) {
    std::mt19937 rng(6);
    const std::string alphabet = " \t\r\n<>()\"',;@@@abcxyz.\x80\xff";
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    int values = 0;
    Envelope envelope;
    while (std::chrono::steady_clock::now() < deadline && values < 50000) {
        std::string text(rng() % (values % 100 == 0 ? 4000 : 120), ' ');
        for (char& c : text) c = alphabet[rng() % alphabet.size()];
        processemail(&text[0], static_cast<int>(rng() % 2), envelope);
        for (const std::string& to : envelope.to) {
            ASSERT_NE(to.find('@'), std::string::npos);
            for (char c : to) ASSERT_EQ(isdelimiter(c), 0);
        }
        if (!envelope.from.empty()) {
            ASSERT_NE(envelope.from.find('@'), std::string::npos);
        }
        if (rng() % 8 == 0) envelope = Envelope();
        values++;
    }
    EXPECT_GT(values, 1000);
}

}  // namespace
