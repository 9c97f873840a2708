#include <dirent.h>
#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/text.h"
#include "soup/journal.h"
#include "soup/soup.h"

namespace {

// The reader names message files by a base name inside the packet; a
// prefix with a directory in it would reach outside.
bool splitreply(char* line, ReplyEntry& entry) {
    char* tab1 = std::strchr(line, '\t');
    if (!tab1) return false;
    char* tab2 = std::strchr(tab1 + 1, '\t');
    if (!tab2) return false;
    *tab1 = '\0';
    *tab2 = '\0';
    if (std::strchr(line, '/')) return false;
    entry.prefix = line;
    entry.kind = tab1 + 1;
    entry.format = tab2[1];
    return true;
}

// "n" is what some readers write for news in rnews batches: "u".
bool knownformat(char letter) { return letter != '\0' && std::strchr("umMbBn", letter) != nullptr; }

ReplyAction keep(ReplyEntry& entry, const char* report) {
    entry.report = report;
    return ReplyAction::Keep;
}

}  // namespace

ReplyAction judgereply(std::string& line, int mine, int otherruns, ReplyEntry& entry) {
    entry = ReplyEntry();
    size_t len = line.size() - (!line.empty() && line.back() == '\n');
    // splitreply reads up to a NUL byte: nothing after one is taken.
    if (len > kLineMax || !splitreply(&line[0], entry)) return keep(entry, "! Error in REPLIES file\n");

    int kind;
    if (!strcasecmp(entry.kind, "mail")) {
        kind = MAILKIND;
    } else if (!strcasecmp(entry.kind, "news")) {
        kind = NEWSKIND;
    } else {
        // Mail posting reports it; news posting only when no mail posting
        // runs, so the line is reported once per run.
        bool report = mine == MAILKIND || !otherruns;
        return keep(entry, report ? "! Unknown message kind in REPLIES\n" : nullptr);
    }

    if (kind == mine) {
        if (knownformat(entry.format)) return ReplyAction::Post;
        return keep(entry, "! Unknown message format in REPLIES\n");
    }
    if (otherruns) return ReplyAction::Pass;
    entry.unasked = true;
    return keep(entry, kind == MAILKIND ? "Email found --- will keep REPLIES file\n"
                                 : "News found --- will keep REPLIES file\n");
}

std::string casedname(const std::string& dir, const std::string& name) {
    if (exist((dir + name).c_str())) return name;
    std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(dir.c_str()), closedir);
    if (!d) return name;
    while (const dirent* entry = readdir(d.get()))
        if (!strcasecmp(entry->d_name, name.c_str())) return entry->d_name;
    return name;
}

bool unnamedfiles(const std::string& soupdir, std::vector<std::string>& names) {
    std::vector<std::string> named;
    for (const std::string& index : {std::string("AREAS"), casedname(soupdir, "REPLIES")}) {
        std::string text;
        int error = 0;
        if (!readtext(soupdir + index, text, error)) {
            if (error == ENOENT) continue;
            return false;
        }
        for (size_t at = 0; at < text.size();) {
            size_t lf = std::min(text.find('\n', at), text.size());
            size_t tab = text.find('\t', at);
            if (tab < lf) named.push_back(text.substr(at, tab - at) + ".MSG");
            at = lf + 1;
        }
    }
    std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(soupdir.c_str()), closedir);
    if (!d) return false;
    while (const dirent* entry = readdir(d.get())) {
        size_t len = std::strlen(entry->d_name);
        if (len <= 4 || strcasecmp(entry->d_name + len - 4, ".MSG") != 0) continue;
        if (std::none_of(named.begin(), named.end(),
                         [entry](const std::string& n) { return strcasecmp(n.c_str(), entry->d_name) == 0; }))
            names.push_back(entry->d_name);
    }
    std::sort(names.begin(), names.end());
    return true;
}

GroupLine::GroupLine(const std::string& line) {
    size_t colon = line.rfind(':');
    name = line.substr(0, colon);
    if (colon == std::string::npos) return;
    const char* p = line.c_str() + colon + 1;
    if (readlong(p, low) && *p == '-') readlong(++p, high);
}
