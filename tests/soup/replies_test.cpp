// The REPLIES line judge: every row of the decision table, for both
// posting phases, with and without the other posting phase in the run.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "core/text.h"
#include "soup/soup.h"

namespace {

struct Verdict {
    std::shared_ptr<std::string> line;  // the entry points into it
    ReplyAction action;
    std::string said;
    ReplyEntry entry;
};

Verdict judge(const std::string& line, int mine, int otherruns) {
    Verdict v;
    v.line = std::make_shared<std::string>(line);
    v.action = judgereply(*v.line, mine, otherruns, v.entry);
    v.said = v.entry.report ? v.entry.report : "";
    return v;
}

void expectkeep(const Verdict& v, const std::string& said) {
    EXPECT_EQ(v.action, ReplyAction::Keep);
    EXPECT_EQ(v.said, said);
}

void expectquiet(const Verdict& v, ReplyAction action) {
    EXPECT_EQ(v.action, action);
    EXPECT_EQ(v.said, "");
}

TEST(JudgeReply, OwnKindIsPostedInEveryFormat) {
    for (const char* letter : {"u", "m", "M", "b", "B", "n"}) {
        for (int other = 0; other < 2; other++) {
            Verdict m = judge(std::string("R0001\tmail\t") + letter + "n\n", MAILKIND, other);
            expectquiet(m, ReplyAction::Post);
            EXPECT_STREQ(m.entry.prefix, "R0001");
            EXPECT_STREQ(m.entry.kind, "mail");
            EXPECT_EQ(m.entry.format, letter[0]);
            Verdict n = judge(std::string("N7\tnews\t") + letter, NEWSKIND, other);
            expectquiet(n, ReplyAction::Post);
            EXPECT_EQ(n.entry.format, letter[0]);
        }
    }
    // The kind in any case; only the first letter of the encoding counts.
    expectquiet(judge("x\tMAIL\tbxyz\tmore\r\n", MAILKIND, 0), ReplyAction::Post);
    expectquiet(judge("x\tNews\tB\n", NEWSKIND, 1), ReplyAction::Post);
}

TEST(JudgeReply, OwnKindWithAnUnknownFormat) {
    for (const char* enc : {"U\n", "x", "\n", "", " b"}) {
        expectkeep(judge(std::string("R\tmail\t") + enc, MAILKIND, 1), "! Unknown message format in REPLIES\n");
        expectkeep(judge(std::string("R\tnews\t") + enc, NEWSKIND, 0), "! Unknown message format in REPLIES\n");
    }
}

TEST(JudgeReply, OtherKindPassesOnlyWhenItsPhaseRuns) {
    // Whatever the format letter: the other phase judges that.
    for (const char* enc : {"bn\n", "Z\n"}) {
        expectquiet(judge(std::string("R\tnews\t") + enc, MAILKIND, 1), ReplyAction::Pass);
        expectquiet(judge(std::string("R\tmail\t") + enc, NEWSKIND, 1), ReplyAction::Pass);
        expectkeep(judge(std::string("R\tnews\t") + enc, MAILKIND, 0), "News found --- will keep REPLIES file\n");
        expectkeep(judge(std::string("R\tmail\t") + enc, NEWSKIND, 0), "Email found --- will keep REPLIES file\n");
    }
}

TEST(JudgeReply, UnknownKindIsReportedOncePerRun) {
    for (const char* kind : {"fax", "", "mailx", "mai", "news "}) {
        std::string line = std::string("R\t") + kind + "\tb\n";
        expectkeep(judge(line, MAILKIND, 0), "! Unknown message kind in REPLIES\n");
        expectkeep(judge(line, MAILKIND, 1), "! Unknown message kind in REPLIES\n");
        expectkeep(judge(line, NEWSKIND, 0), "! Unknown message kind in REPLIES\n");
        expectkeep(judge(line, NEWSKIND, 1), "");
    }
}

TEST(JudgeReply, BrokenLines) {
    for (int mine : {MAILKIND, NEWSKIND}) {
        for (const char* line : {"R0001 mail bn\n", "R0001\tmail\n", "R0001\t", "", "\n",
                                 "../etc/x\tmail\tb\n", "sub/R1\tnews\tB\n", "/abs\tmail\tb\n"}) {
            Verdict v = judge(line, mine, 1);
            expectkeep(v, "! Error in REPLIES file\n");
            EXPECT_EQ(v.entry.prefix, nullptr) << line;
        }
    }
    // A line is judged whole up to 64 KB before its line end.
    std::string longest = "R\tmail\tb" + std::string(kLineMax - 8, ' ');
    expectquiet(judge(longest + "\n", MAILKIND, 1), ReplyAction::Post);
    expectkeep(judge(longest + " \n", MAILKIND, 1), "! Error in REPLIES file\n");
    // An empty prefix and an empty kind still split.
    Verdict v = judge("\t\tb", MAILKIND, 1);
    expectkeep(v, "! Unknown message kind in REPLIES\n");
    EXPECT_STREQ(v.entry.prefix, "");
}

}  // namespace
