#include "soup/mailrecord.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/durable.h"
#include "core/text.h"
#include "soup/soup.h"

namespace {

// Longer lines hold no id a server sends (at most 70 characters), nor a
// Message-ID: they are damage.
constexpr size_t longestmailbox = 1024;
constexpr size_t longestfolder = 2048;

bool space(const std::string& text, size_t& at) { return at < text.size() && text[at++] == ' '; }

// "<time> <id>": false for anything else.
bool mailboxentry(const std::string& line, MailRecord::Entry& entry) {
    size_t space = line.find(' ');
    if (space == 0 || space == std::string::npos || space + 1 == line.size()) return false;
    long long time = 0;
    for (size_t i = 0; i < space; i++) {
        char c = line[i];
        if (c < '0' || c > '9' || time > (1LL << 50)) return false;
        time = time * 10 + (c - '0');
    }
    entry.time = time;
    entry.id = std::string_view(line).substr(space + 1);
    return true;
}

std::string statedir(const std::string& statefile) { return statefile.substr(0, statefile.rfind('/') + 1); }

}  // namespace

MailRecord MailRecord::mailbox(const std::string& statefile, const std::string& account, const std::string& user,
                               const std::string& host, unsigned short port) {
    std::string name = "popkeep-" + (account.empty() ? user + "@" + host + "-" + std::to_string(port) : account);
    // A user name must not lead into another folder.
    std::replace(name.begin(), name.end(), '/', '_');
    return MailRecord(statedir(statefile) + name, false);
}

MailRecord MailRecord::folder(const std::string& statefile, const std::string& account, const std::string& folder) {
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
    return MailRecord(statedir(statefile) + name, true);
}

// One line of a folder's record, without its line end (fits: not too long):
// false when it is the first and damaged.
bool MailRecord::line(const std::string& text, bool fits, bool first, const std::function<void(const Entry&)>& take) {
    size_t at = 0;
    unsigned long long a = 0, b = 0;
    bool read = fits && text.size() <= longestfolder && readnumber(text, at, UINT32_MAX, a) && space(text, at) &&
                readnumber(text, at, 1ULL << 50, b);
    if (first) {
        if (!read || at != text.size() || a == 0 || b == 0 || b > UINT32_MAX) return false;
        validity = static_cast<uint32_t>(a);
        next = static_cast<uint32_t>(b);
    } else if (read && a > 0 && (at == text.size() || text[at] == ' ')) {
        std::string id = std::to_string(a);
        Entry entry;
        entry.id = id;
        entry.time = static_cast<long long>(b);
        if (at < text.size()) entry.messageid = std::string_view(text).substr(at + 1);
        // A Message-ID holds no space: " text" after it is the mark.
        std::string_view mark = " text";
        std::string_view& given = entry.messageid;
        if (given.size() >= mark.size() && given.substr(given.size() - mark.size()) == mark) {
            entry.text = true;
            given.remove_suffix(mark.size());
        }
        take(entry);
    } else {
        passedover++;
    }
    return true;
}

MailRecord::Loaded MailRecord::read(const std::function<void(const Entry&)>& take, bool whole) {
    int openerror = 0;
    passedover = 0;
    File in(openregular(path.c_str(), openerror));
    if (!in) {
        error = openerror;
        if (openerror == 0) reasontext = "not a regular file";
        return openerror == ENOENT ? Missing : Failed;
    }
    const size_t longest = numbers ? longestfolder : longestmailbox;
    std::string text;
    bool toolong = false;
    bool any = false;    // a byte was read
    bool first = true;   // a folder's first line is to come
    long taken = 0;
    int c;
    while ((c = getc_unlocked(in.get())) != EOF) {
        any = true;
        if (c != '\n') {
            toolong = toolong || text.size() == longest + 1;
            if (!toolong) text.push_back(static_cast<char>(c));
            continue;
        }
        // A record may have been written with CR LF line ends.
        if (!text.empty() && text.back() == '\r') text.pop_back();
        if (numbers) {
            if (!line(text, !toolong, first, take)) break;
            first = false;
        } else {
            Entry entry;
            if (!toolong && text.size() <= longest && mailboxentry(text, entry)) {
                take(entry);
                taken++;
            } else {
                passedover++;
            }
        }
        text.clear();
        toolong = false;
        if (numbers && !first && !whole) break;
    }
    if (std::ferror(in.get())) {
        error = errno;
        return Failed;
    }
    error = 0;
    // Every line is written whole: one cut short is damage too.
    bool cut = !text.empty() || toolong;
    if (numbers) {
        if (first) {
            reasontext = "its first line is not a UIDVALIDITY and a UID";
            return Failed;
        }
        if (cut) passedover++;
        return Ready;
    }
    if (cut) passedover++;
    if (taken > 0) return Ready;
    reasontext = any ? "no line of it is a time and an id" : "it is empty";
    return Failed;
}

bool MailRecord::save(const std::function<bool(Entry&)>& next) {
    error = 0;
    Entry entry;
    bool more = next(entry);
    if (!numbers && !more) {
        if (std::remove(path.c_str()) == 0 ? syncdirof(path.c_str()) : errno == ENOENT) return true;
        error = errno != 0 ? errno : EIO;
        failed = path;
        return false;
    }
    Replacement out;
    bool good = out.begin(path);
    std::string text;
    if (numbers) text = std::to_string(validity) + " " + std::to_string(this->next) + "\n";
    for (; good && more; more = next(entry)) {
        if (text.size() > 65536) {
            good = out.file.write(text.data(), text.size());
            text.clear();
        }
        if (numbers) {
            text.append(entry.id.data(), entry.id.size());
            text += ' ';
            text += std::to_string(entry.time);
            text += ' ';
            text.append(entry.messageid.data(), entry.messageid.size());
            if (entry.text) text += " text";
        } else {
            text += std::to_string(entry.time);
            text += ' ';
            text.append(entry.id.data(), entry.id.size());
        }
        text += '\n';
    }
    good = good && out.file.write(text.data(), text.size());
    if (good && out.commit()) return true;
    reasontext = out.reason();
    failed = out.failedpath();
    return false;
}

const char* MailRecord::reason() const { return error != 0 ? std::strerror(error) : reasontext; }
