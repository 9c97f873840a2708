// The line before "Done." that says what a run did.
#include <cctype>
#include <string>

#include "phases/phases.h"

namespace {

std::string count(long n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

void join(std::string& text, const std::string& part, const char* between) {
    if (!text.empty()) text += between;
    text += part;
}

}  // namespace

std::string summarize(const Tally& tally) {
    std::string posting, fetching, line;
    if (tally.mailpost) join(posting, "sent " + count(tally.sent, "mail", "mails"), ", ");
    if (tally.newspost) join(posting, "posted " + count(tally.posted, "article", "articles"), ", ");
    if (tally.mailfetch) join(fetching, count(tally.mails, "mail", "mails"), " and ");
    if (tally.newsfetch)
        join(fetching,
             count(tally.articles, "article", "articles") + " in " + count(tally.groups, "group", "groups"),
             " and ");
    if (!posting.empty()) join(line, posting, "; ");
    if (!fetching.empty()) join(line, "fetched " + fetching, "; ");
    if (tally.crossposts > 0)
        join(line, count(tally.crossposts, "cross-post", "cross-posts") + " stored once", "; ");
    if (tally.kept > 0) join(line, count(tally.kept, "file", "files") + " kept for the next run", "; ");
    if (!tally.unknown.empty()) {
        std::string names;
        for (const std::string& name : tally.unknown) join(names, name, ", ");
        join(line, std::string(tally.unknown.size() == 1 ? "no group " : "no groups ") + names + " on the server",
             "; ");
    }
    if (line.empty()) return line;
    line[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(line[0])));
    return line + ".";
}
