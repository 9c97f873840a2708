// The notice of a letter given up, written into the packet as a mail of its
// own, so that the user learns of it where they read.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "core/text.h"
#include "phases/shared.h"

// In English whatever the locale.
std::string maildate(time_t now) {
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm t{};
    localtime_r(&now, &t);
    long offset = std::labs(t.tm_gmtoff / 60);
    char text[64];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld", days[t.tm_wday], t.tm_mday,
                  months[t.tm_mon], t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec, t.tm_gmtoff < 0 ? '-' : '+',
                  offset / 60, offset % 60);
    return text;
}

namespace {

// The value of the letter's header field name ("From:"), unfolded and
// trimmed; empty when it has none.
std::string field(const std::string& letter, const char* name) {
    size_t len = std::strlen(name);
    std::string value;
    bool in = false;
    for (size_t at = 0; at < letter.size();) {
        size_t lf = letter.find('\n', at);
        std::string line = letter.substr(at, lf == std::string::npos ? std::string::npos : lf - at);
        at = lf == std::string::npos ? letter.size() : lf + 1;
        if (line.empty()) break;  // the header's end
        if (in && (line[0] == ' ' || line[0] == '\t')) {
            value += line;
            continue;
        }
        if (in) break;
        in = line.size() >= len && memicmp(line.data(), name, static_cast<unsigned>(len)) == 0;
        if (in) value = line.substr(len);
    }
    size_t first = value.find_first_not_of(" \t");
    return first == std::string::npos ? "" : value.substr(first, value.find_last_not_of(" \t") + 1 - first);
}

std::string randomhex(std::mt19937_64& rng) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(rng()));
    return text;
}

}  // namespace

std::string newmessageid(time_t now, const std::string& hostname) {
    std::random_device seed;
    std::mt19937_64 rng((static_cast<uint64_t>(seed()) << 32) ^ seed() ^ static_cast<uint64_t>(now));
    return "<" + std::to_string(now) + "." + std::to_string(getpid()) + "." + randomhex(rng) + "@" +
           (hostname.empty() ? "localhost" : hostname) + ">";
}

namespace {

// The words of the notice's first part.
std::string explanation(const GivenUpLetter& l) {
    std::string text;
    if (l.days == 0) {
        text = "Your letter was not sent: " + l.server + " refused it.\n\nThe server's reply:\n";
    } else {
        text = "Not sent after " + std::to_string(l.days) + (l.days == 1 ? " day" : " days") + " of trying: " +
               l.server + " refused it for now each time.\n\nThe server's last reply:\n";
    }
    for (const std::string& line : l.reply) text += "    " + safetext(line) + "\n";
    text += "\nRecipients:\n";
    for (const std::string& to : l.recipients) text += "    " + safetext(to) + "\n";
    text += "\nThe letter, attached below, lies now in\n    " + l.storedat +
            "\nVorpa does not try it again: to send it, correct it and write it anew.\n";
    return text;
}

}  // namespace

bool writenotice(Report& out, const std::string& soupdir, const std::string& hostname, const GivenUpLetter& l) {
    std::string letter, text;
    int error = 0;
    File stored(openregular(l.storedat.c_str(), error));
    char buf[65536];
    for (size_t n; stored && (n = std::fread(buf, 1, sizeof buf, stored.get())) > 0;) letter.append(buf, n);
    if (!stored || std::ferror(stored.get())) {
        out.say("Cannot read %s: %s\n", l.storedat.c_str(), std::strerror(error != 0 ? error : EIO));
        return false;
    }
    // The packet holds "\n" line ends.
    for (size_t at = 0; (at = letter.find("\r\n", at)) != std::string::npos;) letter.erase(at, 1);

    time_t now = std::time(nullptr);
    std::random_device seed;
    std::mt19937_64 rng((static_cast<uint64_t>(seed()) << 32) ^ seed() ^ static_cast<uint64_t>(now));
    std::string boundary;
    do boundary = "=_vorpa_" + randomhex(rng);
    while (letter.find("--" + boundary) != std::string::npos);
    const std::string host = hostname.empty() ? "localhost" : hostname;
    const std::string from = field(letter, "From:"), subject = field(letter, "Subject:");

    text = "From: Vorpa <vorpa@" + host + ">\n";
    if (!from.empty()) text += "To: " + from + "\n";
    text += "Subject: Not sent: " + (subject.empty() ? "(no subject)" : subject) + "\n";
    text += "Date: " + maildate(now) + "\n";
    text += "Message-ID: " + newmessageid(now, host) + "\n";
    text += "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"" + boundary + "\"\n\n";
    text += "--" + boundary + "\nContent-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: 8bit\n\n";
    text += explanation(l);
    text += "\n--" + boundary + "\nContent-Type: message/rfc822\nContent-Disposition: attachment\n\n";
    text += letter;
    text += "\n--" + boundary + "--\n";

    IncomingFile incoming;
    if (!incoming.open(soupdir)) {
        out.say("Cannot write to %s: %s\n", incoming.path[0] ? incoming.path : soupdir.c_str(), incoming.reason());
        return false;
    }
    RecordWriter record;
    if (!record.begin(incoming.file, static_cast<uint32_t>(text.size())) ||
        record.unstuffed(text.data(), text.size()) < 0 || !record.end()) {
        out.say("Cannot write to %s: %s\n", incoming.path, incoming.file.reason());
        return false;
    }
    return storefile(out, incoming, soupdir, "Vorpa");
}
