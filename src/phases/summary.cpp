// The line before "Done." that says what a run did.
#include <cctype>
#include <cstdio>
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

std::string bytesize(long long bytes, bool whole) {
    const long long mb = 1024 * 1024;
    char text[48];
    if (bytes < mb) std::snprintf(text, sizeof text, "%lld KB", (bytes + 1023) / 1024);
    else if (whole && bytes >= 10 * mb) std::snprintf(text, sizeof text, "%.0f MB", static_cast<double>(bytes) / mb);
    else std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / mb);
    return text;
}

std::string summarize(const Tally& tally) {
    std::string posting, fetching, line;
    if (tally.mailpost) join(posting, "sent " + count(tally.sent, "mail", "mails"), ", ");
    if (tally.newspost) join(posting, "posted " + count(tally.posted, "article", "articles"), ", ");
    if (tally.mailfetch) {
        std::string big;
        if (tally.textonly > 0) big = std::to_string(tally.textonly) + " as text only";
        if (tally.left > 0) join(big, bytesize(tally.left, true) + " left on the server", ", ");
        join(fetching, count(tally.mails, "mail", "mails") + (big.empty() ? "" : " (" + big + ")"), " and ");
    }
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
