#include "soup/popkeep.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>

#include "core/durable.h"
#include "soup/soup.h"

namespace {

// "<time> <id>": false for anything else.
bool parseline(std::string_view line, KeepRecord::Line& out) {
    size_t space = line.find(' ');
    if (space == 0 || space == std::string_view::npos || space + 1 == line.size()) return false;
    long long time = 0;
    for (char c : line.substr(0, space)) {
        if (c < '0' || c > '9' || time > (1LL << 50)) return false;
        time = time * 10 + (c - '0');
    }
    out = {line.substr(space + 1), time};
    return true;
}

}  // namespace

std::string KeepRecord::pathfor(const std::string& statefile, const std::string& user, const std::string& host,
                                unsigned short port) {
    std::string name = "popkeep-" + user + "@" + host + "-" + std::to_string(port);
    // A user name must not lead into another folder.
    std::replace(name.begin(), name.end(), '/', '_');
    return statefile.substr(0, statefile.rfind('/') + 1) + name;
}

KeepRecord::Loaded KeepRecord::load(const std::string& where) {
    path = where;
    int openerror = 0;
    File in(openregular(path.c_str(), openerror));
    if (!in) {
        error = openerror == 0 ? EINVAL : openerror;
        return openerror == ENOENT ? Missing : Failed;
    }
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, in.get())) > 0) text.append(buffer, n);
    if (std::ferror(in.get())) {
        error = errno;
        return Failed;
    }
    std::string_view all(text);
    for (size_t from = 0; from < all.size();) {
        size_t end = all.find('\n', from);
        if (end == std::string_view::npos) end = all.size();
        Line line;
        if (parseline(all.substr(from, end - from), line)) sorted.push_back(line);
        from = end + 1;
    }
    std::sort(sorted.begin(), sorted.end(), [](const Line& a, const Line& b) { return a.id < b.id; });
    return Ready;
}

bool KeepRecord::save(const std::vector<Line>& lines) {
    error = 0;
    char temp[4096];
    if (genfname(path.c_str(), "TMP", temp) < 0) {
        error = ENAMETOOLONG;
        return false;
    }
    DurableFile out;
    bool good = out.open(temp, "w");
    std::string text;
    for (const Line& line : lines) {
        text = std::to_string(line.time);
        text += ' ';
        text.append(line.id.data(), line.id.size());
        text += '\n';
        good = good && out.write(text.data(), text.size());
    }
    if (good && out.commitas(path.c_str())) return true;
    reasontext = out.reason();
    if (out.isopen()) out.discard();
    std::remove(temp);
    return false;
}

const char* KeepRecord::reason() const { return error != 0 ? std::strerror(error) : reasontext; }
