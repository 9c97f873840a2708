// A letter given up: its copy in refused/, never over another, and the
// notice that tells the reader, as a fetched mail of its own.
#include <sys/stat.h>

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "phases/shared.h"
#include "run.h"

namespace {

struct Said : Report {
    std::string text;
    void put(Channel, const char* t, size_t n) override { text.append(t, n); }
};

const std::string letter = "From: Joe <joe@x.org>\r\nTo: Ann <ann@y.org, bob@y.org>\r\nSubject: Lunch\r\n"
                           "  tomorrow\r\n\r\nhi\r\n";

TEST(Refused, StoredEachTimeAnewAndNoticeWritten) {
    TempDir dir;
    const std::string soup = dir.path() + "/";
    writefile(soup + "R1.MSG", record("From: a@x.org\n\nfirst\n") + record(letter));
    File f(fopen((soup + "R1.MSG").c_str(), "rb"));
    OutgoingMessage message;
    ASSERT_TRUE(readoutgoing(f.get(), 4 + 21 + 4, static_cast<long>(letter.size()), message));
    std::string first, second, reason;
    ASSERT_TRUE(storerefused(soup, "R1", message, first, reason)) << reason;
    struct stat st;
    ASSERT_EQ(stat((soup + "refused").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    writefile(soup + "refused/R1-2.eml", "mine");
    ASSERT_TRUE(storerefused(soup, "R1", message, second, reason)) << reason;
    EXPECT_EQ(first, soup + "refused/R1-1.eml");
    EXPECT_EQ(second, soup + "refused/R1-3.eml");
    EXPECT_EQ(readfile(first), letter);
    EXPECT_EQ(readfile(second), letter);
    EXPECT_EQ(readfile(soup + "refused/R1-2.eml"), "mine");

    Reply reply;
    reply.text = "550 5.7.1 second\r\n";
    reply.lines = {"5.7.1 first", "5.7.1 second"};
    Said out;
    GivenUpLetter given{"smtp.x.org:587", replylines(reply), {"ann@y.org", "bob@y.org"}, first, 0};
    ASSERT_TRUE(writenotice(out, soup, "client.x.org", given));
    EXPECT_EQ(out.text, "");
    EXPECT_EQ(readfile(soup + "AREAS"), "00000000\tVorpa\tbn\n");
    std::string file = readfile(soup + "00000000.MSG");
    ASSERT_GT(file.size(), 4u);
    std::string text = file.substr(4);
    EXPECT_EQ(file.substr(0, 4), be32(static_cast<uint32_t>(text.size())));
    std::smatch m;
    ASSERT_TRUE(std::regex_search(text, m, std::regex("^From: Vorpa <vorpa@client.x.org>\nTo: Joe <joe@x.org>\n"
                                                      "Subject: Not sent: Lunch  tomorrow\n"
                                                      "Date: [A-Z][a-z]{2}, [0-9]{2} [A-Z][a-z]{2} 20[0-9]{2} "
                                                      "[0-9]{2}:[0-9]{2}:[0-9]{2} [-+][0-9]{4}\n"
                                                      "Message-ID: <[^@>]+@client.x.org>\nMIME-Version: 1.0\n"
                                                      "Content-Type: multipart/mixed; boundary=\"([^\"]+)\"\n\n")))
        << text;
    const std::string boundary = "--" + m[1].str();
    EXPECT_NE(text.find(boundary + "\nContent-Type: text/plain; charset=utf-8\n"), std::string::npos) << text;
    for (const std::string& said : std::vector<std::string>{"smtp.x.org:587 refused it", "\n    550-5.7.1 first\n    550 5.7.1 second\n",
                                    "\n    ann@y.org\n    bob@y.org\n", "\n    " + first + "\n"})
        EXPECT_NE(text.find(said), std::string::npos) << said;
    // The letter itself, with the packet's line ends, closes the notice.
    std::string attached = letter;
    for (size_t at; (at = attached.find("\r\n")) != std::string::npos;) attached.erase(at, 1);
    EXPECT_EQ(text.substr(text.size() - attached.size() - boundary.size() - 4),
              attached + "\n" + boundary + "--\n");
    EXPECT_NE(text.find(boundary + "\nContent-Type: message/rfc822\n"), std::string::npos);
}

// What cannot be written is named, and leaves nothing behind.
TEST(Refused, FailuresNameTheFile) {
    TempDir dir;
    const std::string soup = dir.path() + "/";
    writefile(soup + "R.MSG", letter);
    writefile(soup + "refused", "a file");
    File f(fopen((soup + "R.MSG").c_str(), "rb"));
    std::string path, reason;
    OutgoingMessage message;
    ASSERT_TRUE(readoutgoing(f.get(), 0, 10, message));
    EXPECT_FALSE(storerefused(soup, "R", message, path, reason));
    EXPECT_EQ(path, soup + "refused/R-1.eml");
    EXPECT_EQ(reason, "Not a directory");

    Said out;
    GivenUpLetter given{"h", {}, {}, soup + "R.MSG", 5};
    EXPECT_FALSE(writenotice(out, soup + "gone/", "h", given));
    EXPECT_EQ(out.text, "Cannot write to " + soup + "gone/00000000.MSG: No such file or directory\n");
    given.storedat = soup + "missing.eml";
    out.text.clear();
    EXPECT_FALSE(writenotice(out, soup, "h", given));
    EXPECT_EQ(out.text, "Cannot read " + soup + "missing.eml: No such file or directory\n");
    EXPECT_EQ(listdir(dir.path()), (std::vector<std::string>{"R.MSG", "refused"}));
}

}  // namespace
