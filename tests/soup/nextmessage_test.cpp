// Splitting outgoing message files: the caller's loop (seek to the offset,
// nextmessage, read the message) run over files of every format, and the
// walk's reading of each message in the same pass.
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "run.h"
#include "soup/soup.h"

namespace {

struct Split {
    std::vector<std::string> messages;  // each cut at the end of the file
    long last = 0;                      // 0 at the end, -1 on a format error
};

std::string sha256(const std::string& bytes) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EXPECT_EQ(EVP_Digest(bytes.data(), bytes.size(), md, &len, EVP_sha256(), nullptr), 1);
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < len; i++) {
        hex += digits[md[i] >> 4];
        hex += digits[md[i] & 15];
    }
    return hex;
}

struct TmpFile {
    FILE* f = tmpfile();
    ~TmpFile() {
        if (f) fclose(f);
    }
};

// The posting phases' calling order, with the invariants every caller
// relies on checked on the way.
Split split(const std::string& data, char letter) {
    TmpFile file;
    EXPECT_NE(file.f, nullptr);
    fwrite(data.data(), 1, data.size(), file.f);
    fflush(file.f);
    Split result;
    long offset = 0;
    for (int i = 0; i <= static_cast<int>(data.size()) + 1; i++) {
        EXPECT_EQ(fseek(file.f, offset, SEEK_SET), 0);
        long length = nextmessage(file.f, letter);
        if (length <= 0) {
            result.last = length;
            return result;
        }
        long start = ftell(file.f);
        EXPECT_GE(start, offset);
        EXPECT_GT(start + length, offset);
        if (letter == 'm' || letter == 'M') {
            EXPECT_LE(start + length, static_cast<long>(data.size()));
        }
        long end = std::min<long>(start + length, static_cast<long>(data.size()));
        result.messages.push_back(data.substr(static_cast<size_t>(start), static_cast<size_t>(end - start)));
        // Read in one pass, the message is the same, known by its digest.
        OutgoingMessage read;
        EXPECT_EQ(fseek(file.f, offset, SEEK_SET), 0);
        EXPECT_EQ(readmessage(file.f, letter, read), length);
        EXPECT_EQ(read.start, start);
        if (start + length <= static_cast<long>(data.size())) {
            EXPECT_EQ(read.digest, sha256(result.messages.back()));
        }
        offset = start + length;
    }
    ADD_FAILURE() << "no end after more calls than the file has bytes";
    return result;
}

const std::string G = "\x01\x01\x01\x01";

TEST(NextMessage, EmptyFileAndUnknownLetter) {
    for (char letter : {'u', 'm', 'M', 'b', 'B'}) {
        Split s = split("", letter);
        EXPECT_TRUE(s.messages.empty()) << letter;
        EXPECT_EQ(s.last, 0) << letter;
    }
    EXPECT_EQ(split("From a\nx\n", 'U').last, -1);
    EXPECT_EQ(split("From a\nx\n", 'x').last, -1);
}

TEST(NextMessage, RnewsBatch) {
    std::string a(120, 'a'), b(80, 'b');
    Split s = split("#! rnews 120\n" + a + "#! rnews 80\n" + b, 'u');
    EXPECT_EQ(s.messages, (std::vector<std::string>{a, b}));
    EXPECT_EQ(s.last, 0);
    // Some readers write "n" for the same batches.
    EXPECT_EQ(split("#! rnews 120\n" + a + "#! rnews 80\n" + b, 'n').messages, s.messages);

    // A message of length 0 is passed over, not taken for the end; leading
    // blanks and a plus sign are allowed.
    s = split("#! rnews 0\n#! rnews  +3\nabc#! rnews 2\nde", 'u');
    EXPECT_EQ(s.messages, (std::vector<std::string>{"abc", "de"}));
    EXPECT_EQ(s.last, 0);

    // No number, a negative number, or something other than a header is a
    // format error after the messages before it.
    EXPECT_EQ(split("#! rnews 3\nabc#! rnews \nxyz", 'u').messages.size(), 1u);
    EXPECT_EQ(split("#! rnews 3\nabc#! rnews \nxyz", 'u').last, -1);
    EXPECT_EQ(split("#! rnews -5\nabcdef", 'u').last, -1);
    EXPECT_EQ(split("#! rnews 3\nabc\n#! rnews 1\nx", 'u').last, -1);
    EXPECT_EQ(split("#! Rnews 3\nabc", 'u').last, -1);

    // A header longer than 255 characters is one line: the message starts
    // after all of it.
    s = split("#! rnews 2" + std::string(300, ' ') + "\nok", 'u');
    EXPECT_EQ(s.messages, (std::vector<std::string>{"ok"}));

    // A length past the end of the file is the caller's to stop at, even
    // one beyond any file size.
    s = split("#! rnews 100\nshort", 'u');
    EXPECT_EQ(s.messages, (std::vector<std::string>{"short"}));
    EXPECT_EQ(s.last, 0);
    s = split("#! rnews 99999999999999999999999\nshort", 'u');
    EXPECT_EQ(s.messages, (std::vector<std::string>{"short"}));
    EXPECT_EQ(s.last, 0);
}

TEST(NextMessage, Mailbox) {
    Split s = split("From a@b Mon\nSubject: 1\n\nbody\nFrom c@d Tue\nSubject: 2\n\nmore\n", 'm');
    EXPECT_EQ(s.messages, (std::vector<std::string>{"Subject: 1\n\nbody\n", "Subject: 2\n\nmore\n"}));
    EXPECT_EQ(s.last, 0);

    EXPECT_EQ(split("Subject: no envelope\n\nx\n", 'm').last, -1);
    EXPECT_EQ(split("from a@b\nx\n", 'm').last, -1);

    // A body line that begins with "From " ends the message before it; one
    // that only has "From " past the first 255 characters does not.
    std::string longline = std::string(255, 'x') + "From here\n";
    s = split("From a\nA\n" + longline + ">From quoted\nFrom b\nB", 'm');
    EXPECT_EQ(s.messages, (std::vector<std::string>{"A\n" + longline + ">From quoted\n", "B"}));

    // An empty message between two envelope lines is passed over, so the
    // one after it is not lost.
    s = split("From a\nFrom b\nB\nFrom c\n", 'm');
    EXPECT_EQ(s.messages, (std::vector<std::string>{"B\n"}));
    EXPECT_EQ(s.last, 0);

    // NUL bytes are part of a message.
    std::string nul("x\0y\n", 4);
    s = split("From a\n" + nul, 'm');
    EXPECT_EQ(s.messages, (std::vector<std::string>{nul}));
}

TEST(NextMessage, Mmdf) {
    Split s = split(G + "one\n" + G + G + "two\n" + G, 'M');
    EXPECT_EQ(s.messages, (std::vector<std::string>{"one\n", "two\n"}));
    EXPECT_EQ(s.last, 0);

    // Groups on lines of their own: their line ends are not messages, nor
    // the first lines of messages; a line end inside a message stays.
    s = split(G + "\none\n" + G + "\n" + G + "\ntwo\n\n" + G + "\n", 'M');
    EXPECT_EQ(s.messages, (std::vector<std::string>{"one\n", "two\n\n"}));
    EXPECT_EQ(s.last, 0);
    s = split(G + "\r\nthree\r\n" + G + "\r\n" + G + "\rfour\n" + G + "\r", 'M');
    EXPECT_EQ(s.messages, (std::vector<std::string>{"three\r\n", "\rfour\n", "\r"}));
    EXPECT_EQ(split("\nfive\n" + G + "\n", 'M').messages, std::vector<std::string>{"\nfive\n"});

    // Fewer than four 0x01 bytes belong to the message; a group is found
    // wherever it stands in a long line; the last message may run to the
    // end of the file without a closing group.
    std::string inner = "a\x01\x01\x01" "b\n";
    s = split(G + inner + std::string(300, 'z') + G + "tail", 'M');
    EXPECT_EQ(s.messages, (std::vector<std::string>{inner + std::string(300, 'z'), "tail"}));

    EXPECT_EQ(split(G + G + "\x01", 'M').last, 0);
    EXPECT_TRUE(split(G + G + "\x01", 'M').messages.empty());
}

TEST(NextMessage, Binary) {
    std::string a("mail\0one\n", 9), b = "two";
    for (char letter : {'b', 'B'}) {
        Split s = split(be32(9) + a + be32(0) + be32(3) + b, letter);
        EXPECT_EQ(s.messages, (std::vector<std::string>{a, b})) << letter;
        EXPECT_EQ(s.last, 0);
    }
    // A length field cut short begins a message that the end of the file
    // cuts short.
    Split s = split(be32(3) + b + std::string("\0\0\0", 3), 'b');
    EXPECT_EQ(s.messages, (std::vector<std::string>{b, ""}));
    EXPECT_EQ(s.last, 0);
    // A length with its highest bit set would move the caller backwards.
    s = split(be32(3) + b + be32(0xFFFFFFF0u) + b, 'b');
    EXPECT_EQ(s.messages, (std::vector<std::string>{b}));
    EXPECT_EQ(s.last, -1);
    // Past the end: the caller stops at the end of the file.
    s = split(be32(0x7FFFFFFF) + b, 'B');
    EXPECT_EQ(s.messages, (std::vector<std::string>{b}));
    EXPECT_EQ(s.last, 0);
}

// What the walk reads of a header: the fields posting uses with their
// continuation lines, however long the lines of others, and the envelope.
TEST(NextMessage, ReadsTheFieldsPostingUses) {
    const std::string message = "X-Long: " + std::string(100000, 'x') + "\n to: not@this\nTO: a@b,\n\tc@d\n"
                                "Subject: one\n  two\nX-Other: y\nbcc: e@f\nFrom: Me <me@x>";
    TmpFile file;
    fwrite(message.data(), 1, message.size(), file.f);
    OutgoingMessage read;
    ASSERT_TRUE(readoutgoing(file.f, 0, static_cast<long>(message.size()), read));
    EXPECT_EQ(read.fields, (std::vector<std::string>{"TO: a@b,\n", "\tc@d\n", "Subject: one\n", "  two\n",
                                                     "bcc: e@f\n", "From: Me <me@x>"}));
    EXPECT_EQ(read.envelope.from, "me@x");
    EXPECT_EQ(read.envelope.to, (std::vector<std::string>{"a@b", "c@d", "e@f"}));
    EXPECT_EQ(read.wiresize, static_cast<long>(message.size()) + 8 + 2);
}

// Files that another program wrote: random bytes, and well-formed files
// with bytes changed, cut or repeated. split() checks that every call ends,
// the offset only moves forwards and mailbox and MMDF lengths stay within
// the file.
TEST(NextMessage, FuzzAllFormats) {
    std::mt19937 rng(20261209);
    auto pick = [&rng](size_t n) { return static_cast<size_t>(rng() % n); };
    const std::vector<std::string> seeds = {
        "#! rnews 5\nhello#! rnews 0\n#! rnews 3\nabc",
        "From a\nTo: b@c\n\nbody\nFrom d\nx\n",
        G + "one\n" + G + G + "\ntwo" + G,
        be32(4) + "abcd" + be32(0) + be32(2) + "xy",
    };
    const std::string alphabet = std::string("#! rnewsFrom \n\r\x01\0\x80-+0123456789", 30);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(4);
    int files = 0;
    while (std::chrono::steady_clock::now() < deadline && files < 20000) {
        std::string data;
        if (files % 3 == 0) {
            size_t len = pick(200);
            for (size_t i = 0; i < len; i++) data += files % 2 ? alphabet[pick(alphabet.size())] : static_cast<char>(rng());
        } else {
            data = seeds[pick(seeds.size())];
            for (int edits = 1 + static_cast<int>(pick(4)); edits > 0 && !data.empty(); edits--) {
                size_t at = pick(data.size());
                switch (pick(4)) {
                    case 0: data[at] = alphabet[pick(alphabet.size())]; break;
                    case 1: data.erase(at, 1 + pick(8)); break;
                    case 2: data.insert(at, data.substr(at, 1 + pick(16))); break;
                    default: data.resize(at); break;
                }
            }
        }
        for (char letter : {'u', 'm', 'M', 'b', 'B'}) {
            split(data, letter);
            if (testing::Test::HasFailure()) FAIL() << "file " << files << " format " << letter;
        }
        files++;
    }
    EXPECT_GT(files, 1000);
}

}  // namespace
