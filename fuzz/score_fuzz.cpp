// A score file, a NUL, then lines a server sent (overview lines, header
// lines): no rule read from the file may crash on them, and whatever a
// line of the file taken as a regular expression matches holds the text
// the expression is said to need.
#include <regex.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <string>

#include "fuzz.h"
#include "score/score.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    size_t nul = input.find('\0');
    const std::string rules = input.substr(0, nul);
    const std::string lines = nul == std::string::npos ? "" : input.substr(nul + 1);
    ScoreFile file;
    std::string why;
    expect(file.parse(rules, "fuzz", why) == why.empty());
    GroupScore group = file.forgroup("comp.lang.c");
    const time_t now = 1800000000;
    HeaderFields head;
    for (size_t at = 0; at < lines.size();) {
        size_t end = std::min(lines.find('\n', at), lines.size());
        ArticleFields fields;
        if (readoverview(lines.data() + at, end - at, fields)) {
            expect(fields.number >= 0 && fields.crossposts() >= 1);
            group.score(fields, now);
        }
        head.line(lines.data() + at, std::min(end + 1, lines.size()) - at, true);
        at = end + 1;
    }
    group.score(head.fields, now);

    for (size_t at = 0; at < rules.size() && at < 4096;) {
        size_t end = std::min(rules.find('\n', at), rules.size());
        std::string expression = rules.substr(at, end - at);
        at = end + 1;
        // Only what a score file may hold: the reader refuses expressions
        // that regcomp would blow up.
        ScoreFile one;
        bool blank = expression.empty() || std::isspace(static_cast<unsigned char>(expression.front())) ||
                     std::isspace(static_cast<unsigned char>(expression.back()));
        if (blank || !one.parse("1: Subject: ~" + expression, "fuzz", why)) continue;
        regex_t re;
        if (regcomp(&re, expression.c_str(), REG_EXTENDED | REG_ICASE | REG_NOSUB) != 0) continue;
        std::string needs = regexneeds(expression);
        for (size_t from = 0; from < lines.size();) {
            size_t stop = std::min(lines.find('\n', from), lines.size());
            std::string text = lines.substr(from, stop - from);
            from = stop + 1;
            if (regexec(&re, text.c_str(), 0, nullptr, 0) != 0) continue;
            for (char& c : text)
                if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            expect(text.find(needs) != std::string::npos);
        }
        regfree(&re);
    }
    return 0;
}
