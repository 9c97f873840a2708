#include "phases/newsscore.h"

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

uint64_t hashof(const std::string& text) { return std::hash<std::string>{}(text); }

// One number of one group.
uint64_t hashof(const std::string& group, long number) {
    return hashof(group) ^ (static_cast<uint64_t>(number) * 0x9E3779B97F4A7C15ULL);
}

}  // namespace

void CrossPosts::asked(const std::string& group, const std::string& messageid) {
    if (!messageid.empty()) ids.emplace(hashof(messageid), Seen{hashof(group), false});
}

void CrossPosts::stored(const std::string& group, const std::string& messageid, const std::string& xref) {
    if (!messageid.empty()) {
        uint64_t mine = hashof(group);
        Seen& seen = ids.emplace(hashof(messageid), Seen{mine, true}).first->second;
        if (seen.group == mine) seen.stored = true;
    }
    named(xref, group, [this](const std::string& other, long number) {
        numbers.insert(hashof(other, number));
        return false;
    });
}

bool CrossPosts::elsewhere(const std::string& group, long number, const std::string& messageid) const {
    if (!messageid.empty()) {
        auto seen = ids.find(hashof(messageid));
        if (seen != ids.end() && seen->second.group != hashof(group)) return true;
    }
    return !numbers.empty() && numbers.count(hashof(group, number)) > 0;
}

bool CrossPosts::storedelsewhere(const std::string& group, const std::string& messageid) const {
    auto seen = ids.find(hashof(messageid));
    return seen != ids.end() && seen->second.stored && seen->second.group != hashof(group);
}

std::string answeredid(const Reply& reply) {
    const std::string& text = reply.text;
    size_t open = text.find('<');
    if (open == std::string::npos) return "";
    size_t close = text.find('>', open);
    if (close == std::string::npos) return "";
    return text.substr(open, close + 1 - open);
}

void Overview::take(const char* line, size_t len, long first, long last, time_t now) {
    ArticleFields fields;
    if (!readoverview(line, len, fields) || fields.number < first || fields.number > last) return;
    lines.push_back(
        {fields.number, rules.score(fields, now), fields.bytes, std::move(fields.messageid), std::move(fields.xref)});
}

void Overview::keep(ArticleNumbers& asked, long min) {
    // Servers send the overview in order; one that does not is sorted.
    auto bynumber = [](const Line& a, const Line& b) { return a.number < b.number; };
    if (!std::is_sorted(lines.begin(), lines.end(), bynumber)) std::stable_sort(lines.begin(), lines.end(), bynumber);
    std::vector<long> kept;
    auto line = lines.begin();
    for (uint64_t i = 0, n = asked.size(); i < n; i++) {
        long number = asked.at(i);
        while (line != lines.end() && line->number < number) ++line;
        if (line == lines.end() || line->number != number) continue;
        if (line->score >= min) {
            kept.push_back(number);
            continue;
        }
        killed++;
        if (line->bytes > 0) killedbytes += static_cast<uint64_t>(line->bytes);
        passedhigh = number;
    }
    asked.listing = true;
    asked.listed = std::move(kept);
}

std::string Overview::said() const {
    if (killed == 0) return "";
    char text[96];
    std::snprintf(text, sizeof text, "Killed %ld article%s (%.1f MB) by score\n", killed, killed == 1 ? "" : "s",
                  static_cast<double>(killedbytes) / (1024 * 1024));
    return text;
}

const Overview::Line* Overview::find(long number) const {
    auto line =
        std::lower_bound(lines.begin(), lines.end(), number, [](const Line& l, long n) { return l.number < n; });
    return line != lines.end() && line->number == number ? &*line : nullptr;
}

bool holds(const ArticleNumbers& asked, long number) {
    if (asked.listing) return std::binary_search(asked.listed.begin(), asked.listed.end(), number);
    return number >= asked.first && number <= asked.last;
}
