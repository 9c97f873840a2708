#include "soup/popkeep.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/durable.h"
#include "soup/soup.h"

namespace {

// Longer lines hold no id a server sends (at most 70 characters).
constexpr size_t longestline = 1024;

// "<time> <id>": false for anything else.
bool parseline(std::string_view line, std::string_view& id, long long& time) {
    size_t space = line.find(' ');
    if (space == 0 || space == std::string_view::npos || space + 1 == line.size()) return false;
    time = 0;
    for (char c : line.substr(0, space)) {
        if (c < '0' || c > '9' || time > (1LL << 50)) return false;
        time = time * 10 + (c - '0');
    }
    id = line.substr(space + 1);
    return true;
}

}  // namespace

KeepRecord::KeepRecord(const std::string& statefile, const std::string& user, const std::string& host,
                       unsigned short port) {
    std::string name = "popkeep-" + user + "@" + host + "-" + std::to_string(port);
    // A user name must not lead into another folder.
    std::replace(name.begin(), name.end(), '/', '_');
    path = statefile.substr(0, statefile.rfind('/') + 1) + name;
}

KeepRecord::Loaded KeepRecord::load(const std::function<void(std::string_view id, long long time)>& take) {
    int openerror = 0;
    passedover = 0;
    File in(openregular(path.c_str(), openerror));
    if (!in) {
        error = openerror;
        if (openerror == 0) reasontext = "not a regular file";
        return openerror == ENOENT ? Missing : Failed;
    }
    std::string line;
    bool toolong = false;
    bool any = false;  // a byte was read
    long taken = 0;
    int c;
    while ((c = getc_unlocked(in.get())) != EOF) {
        any = true;
        if (c != '\n') {
            toolong = toolong || line.size() == longestline;
            if (!toolong) line.push_back(static_cast<char>(c));
            continue;
        }
        std::string_view id;
        long long time = 0;
        if (!toolong && parseline(line, id, time)) {
            take(id, time);
            taken++;
        } else {
            passedover++;
        }
        line.clear();
        toolong = false;
    }
    if (std::ferror(in.get())) {
        error = errno;
        return Failed;
    }
    // Every line is written whole: one cut short is damage too.
    if (!line.empty() || toolong) passedover++;
    if (taken > 0) return Ready;
    error = 0;
    reasontext = any ? "no line of it is a time and an id" : "it is empty";
    return Failed;
}

bool KeepRecord::save(const std::function<bool(std::string_view& id, long long& time)>& next) {
    error = 0;
    std::string_view id;
    long long time = 0;
    if (!next(id, time)) {
        if (std::remove(path.c_str()) == 0 ? syncdirof(path.c_str()) : errno == ENOENT) return true;
        error = errno != 0 ? errno : EIO;
        return false;
    }
    Replacement out;
    bool good = out.begin(path);
    std::string line;
    while (good) {
        line = std::to_string(time);
        line += ' ';
        line.append(id.data(), id.size());
        line += '\n';
        good = out.file.write(line.data(), line.size());
        if (!next(id, time)) break;
    }
    if (good && out.commit()) return true;
    reasontext = out.reason();
    return false;
}

const char* KeepRecord::reason() const { return error != 0 ? std::strerror(error) : reasontext; }
