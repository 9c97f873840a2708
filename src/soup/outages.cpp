#include "soup/outages.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/durable.h"
#include "core/text.h"
#include "soup/journal.h"
#include "soup/soup.h"

OutageFile::OutageFile(const std::string& statefile, const std::string& account) {
    size_t slash = statefile.rfind('/');
    path = (slash == std::string::npos ? std::string() : statefile.substr(0, slash + 1)) + "unreachable-" + account;
}

bool OutageFile::load() {
    entries.clear();
    std::string text;
    int error = 0;
    if (!readtext(path, text, error)) {
        if (error == ENOENT) return true;
        why = openfailure(error);
        return false;
    }
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        // A line longer than any we write is no entry of ours.
        if (end - at > kLineMax) continue;
        std::string line = text.substr(at, end - at);
        size_t space = line.rfind(' ');
        long long when = space == std::string::npos ? 0 : std::atoll(line.c_str() + space + 1);
        if (when > 0) entries.emplace_back(line.substr(0, space), when);
    }
    return true;
}

long long OutageFile::since(const std::string& server) const {
    for (const auto& e : entries)
        if (e.first == server) return e.second;
    return 0;
}

void OutageFile::mark(const std::string& server, long long when) {
    auto found = std::find_if(entries.begin(), entries.end(), [&](const auto& e) { return e.first == server; });
    if (found != entries.end() && when == 0) {
        entries.erase(found);
        changed = true;
    } else if (found == entries.end() && when != 0) {
        entries.emplace_back(server, when);
        changed = true;
    }
}

bool OutageFile::save() {
    if (!changed) return true;
    if (entries.empty()) {
        ArchiveFault fault;
        if (removesynced(path, fault)) return true;
        why = fault.reason;
        return false;
    }
    std::string text;
    for (const auto& e : entries) text += e.first + " " + std::to_string(e.second) + "\n";
    Replacement next;
    if (next.begin(path) && next.file.write(text.data(), text.size()) && next.commit()) return true;
    why = next.reason();
    return false;
}
