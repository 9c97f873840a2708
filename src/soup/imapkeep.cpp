#include "soup/imapkeep.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/durable.h"
#include "soup/soup.h"

namespace {

// No Message-ID is longer; a longer line is damage.
constexpr size_t longestline = 2048;

bool number(const std::string& text, size_t& at, unsigned long long most, unsigned long long& value) {
    size_t from = at;
    value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
        value = value * 10 + static_cast<unsigned>(text[at++] - '0');
        if (value > most) return false;
    }
    return at > from;
}

bool space(const std::string& text, size_t& at) { return at < text.size() && text[at++] == ' '; }

}  // namespace

ImapRecord::ImapRecord(const std::string& statefile, const std::string& account, const std::string& folder) {
    // The folder's name, any bytes, as a file name of its own.
    std::string name = "imapkeep-" + account + "-";
    for (unsigned char c : folder) {
        if (std::isalnum(c) || c == '.' || c == '-' || c == '_') {
            name += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            name += hex;
        }
    }
    std::replace(name.begin(), name.end(), '/', '_');
    path = statefile.substr(0, statefile.rfind('/') + 1) + name;
}

ImapRecord::Loaded ImapRecord::load() {
    int openerror = 0;
    passedover = 0;
    entries.clear();
    File in(openregular(path.c_str(), openerror));
    if (!in) {
        error = openerror;
        if (openerror == 0) reasontext = "not a regular file";
        return openerror == ENOENT ? Missing : Failed;
    }
    std::string line;
    bool first = true;
    int c = 0;
    while (c != EOF) {
        line.clear();
        while ((c = getc_unlocked(in.get())) != EOF && c != '\n')
            if (line.size() <= longestline + 1) line.push_back(static_cast<char>(c));
        if (c == EOF && line.empty()) break;
        // A record may have been written with CR LF line ends.
        if (c == '\n' && !line.empty() && line.back() == '\r') line.pop_back();
        size_t at = 0;
        unsigned long long a = 0, b = 0;
        bool whole = c == '\n' && line.size() <= longestline && number(line, at, UINT32_MAX, a) && space(line, at) &&
                     number(line, at, 1ULL << 50, b);
        if (first) {
            if (!whole || at != line.size() || a == 0 || b == 0 || b > UINT32_MAX) break;
            uidvalidity = static_cast<uint32_t>(a);
            next = static_cast<uint32_t>(b);
            first = false;
        } else if (whole && a > 0 && (at == line.size() || line[at] == ' ')) {
            entries.push_back({static_cast<uint32_t>(a), static_cast<long long>(b),
                               at < line.size() ? line.substr(at + 1) : std::string()});
        } else {
            passedover++;
        }
    }
    if (std::ferror(in.get())) {
        error = errno;
        return Failed;
    }
    if (first) {
        error = 0;
        reasontext = "its first line is not a UIDVALIDITY and a UID";
        return Failed;
    }
    std::sort(entries.begin(), entries.end(), [](const Entry& x, const Entry& y) { return x.uid < y.uid; });
    return Ready;
}

bool ImapRecord::save() {
    error = 0;
    Replacement out;
    bool good = out.begin(path);
    std::string text = std::to_string(uidvalidity) + " " + std::to_string(next) + "\n";
    for (const Entry& e : entries) {
        if (!good) break;
        if (text.size() > 65536) {
            good = out.file.write(text.data(), text.size());
            text.clear();
        }
        text += std::to_string(e.uid) + " " + std::to_string(e.time) + " " + e.messageid + "\n";
    }
    good = good && out.file.write(text.data(), text.size());
    if (good && out.commit()) return true;
    reasontext = out.reason();
    failed = out.failedpath();
    return false;
}

const char* ImapRecord::reason() const { return error != 0 ? std::strerror(error) : reasontext; }
