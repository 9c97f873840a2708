#include "phases/bigmail.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "core/text.h"

namespace {

// A value from the server put in a header field: no quotes, no controls,
// not too long.
std::string fieldsafe(const std::string& text) {
    std::string out;
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u != 0x7f && c != '"' && c != '\\' && out.size() < 200) out += c;
    }
    return out;
}

std::string token(const std::string& text) {
    std::string out;
    for (char c : text)
        if ((std::isalnum(static_cast<unsigned char>(c)) || std::strchr("-._+", c)) && out.size() < 64) out += c;
    return out;
}

// The lines of a header, each with its line end, up to the blank line.
std::vector<std::string> headerlines(const std::string& header) {
    std::vector<std::string> lines;
    for (size_t at = 0; at < header.size();) {
        size_t end = header.find('\n', at);
        end = end == std::string::npos ? header.size() : end + 1;
        std::string line = header.substr(at, end - at);
        at = end;
        if (line == "\r\n" || line == "\n") break;
        lines.push_back(line);
    }
    return lines;
}

bool named(const std::string& line, const char* name) {
    size_t n = std::strlen(name);
    return line.size() > n && strncasecmp(line.c_str(), name, n) == 0 && line[n] == ':';
}

// The first field of that name, unfolded, without the spaces around it.
std::string fieldvalue(const std::string& header, const char* name) {
    std::string value;
    bool in = false;
    for (const std::string& line : headerlines(header)) {
        bool folded = line[0] == ' ' || line[0] == '\t';
        if (in && !folded) break;
        if (!in && !named(line, name)) continue;
        value += in ? line : line.substr(std::strlen(name) + 1);
        in = true;
    }
    std::string out;
    for (char c : value)
        if (c != '\r' && c != '\n' && out.size() < 998) out += c == '\t' ? ' ' : c;
    size_t from = out.find_first_not_of(' ');
    if (from == std::string::npos) return "";
    return out.substr(from, out.find_last_not_of(' ') - from + 1);
}

// The address of a From: "Ann <ann@example.net>" and "ann@example.net
// (Ann)" are ann@example.net.
std::string address(const std::string& from) {
    size_t open = from.rfind('<');
    size_t close = open == std::string::npos ? open : from.find('>', open);
    if (close != std::string::npos) return from.substr(open + 1, close - open - 1);
    size_t at = from.find('@');
    if (at == std::string::npos) return from;
    size_t start = from.find_last_of(" \t", at);
    start = start == std::string::npos ? 0 : start + 1;
    return from.substr(start, from.find_first_of(" \t", at) - start);
}

// Writes text, lines with their ends, into the record.
bool put(RecordWriter& record, const std::string& text) {
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end + 1;
        if (record.unstuffed(text.data() + at, end - at) < 0) return false;
        at = end;
    }
    return true;
}

// The parts of the text-only message, each under its own part header as
// the server sends it.
class PartWriter final : public PartSink {
public:
    PartWriter(RecordWriter& record, const std::string& boundary, const std::vector<MimePart>& parts)
        : record(record), boundary(boundary), parts(parts) {}

    bool part(const std::string& section, MessageText& text) override {
        if (!begin(section)) return false;
        bool lf = true;
        text.read([this, &lf](const char* line, size_t len, bool, size_t) {
            if (len > 0) lf = line[len - 1] == '\n';
            return record.unstuffed(line, len) >= 0;
        });
        return text.end == BodyEnd::Whole && (lf || put(record, "\r\n"));
    }

    bool part(const std::string& section, const std::string& text) override {
        return begin(section) && put(record, text) && (text.empty() || text.back() == '\n' || put(record, "\r\n"));
    }

    std::vector<std::string> got;  // the sections written

private:
    bool begin(const std::string& section) {
        auto part = std::find_if(parts.begin(), parts.end(),
                                 [&section](const MimePart& p) { return p.section == section; });
        if (part == parts.end()) return false;
        got.push_back(section);
        std::string head = "--" + boundary + "\r\nContent-Type: " + token(part->type) + "/" + token(part->subtype);
        for (const auto& param : part->params)
            head += "; " + token(param.first) + "=\"" + fieldsafe(param.second) + "\"";
        head += "\r\n";
        if (!part->encoding.empty() && part->encoding != "7bit")
            head += "Content-Transfer-Encoding: " + token(part->encoding) + "\r\n";
        return put(record, head + "\r\n");
    }

    RecordWriter& record;
    const std::string& boundary;
    const std::vector<MimePart>& parts;
};

}  // namespace

BigMail::BigMail(const Context& run, MailSource& source, const std::string& folder, long maxsize, bool text)
    : run(run), out(run.report), source(source), folder(folder), maxsize(maxsize), text(text && source.hasparts()) {}

bool BigMail::sort(MailPlan& plan, const MailList& list) {
    if (maxsize <= 0) return true;
    std::vector<uint32_t> big = plan.over(maxsize);
    if (big.empty()) return true;
    std::vector<Described> told;
    if (!source.describe(list, big, text, told)) return false;
    std::vector<uint32_t> left;
    for (size_t k = 0; k < big.size(); k++) {
        const Described& d = told[k];
        long long size = list.messages[big[k]].size;
        if (text && d.known && d.structured) {
            texts.push_back(big[k]);
            described.push_back(d);
            continue;
        }
        left.push_back(big[k]);
        run.tally.left += size;
        std::string line = "Left on the server: 1 mail of " + bytesize(size, false);
        std::string from = address(fieldvalue(d.header, "From"));
        std::string subject = fieldvalue(d.header, "Subject");
        if (!from.empty()) line += " from " + safetext(from);
        if (!subject.empty()) line += " \"" + safetext(subject) + "\"";
        out.say("%s\n", line.c_str());
    }
    partsleft.assign(texts.size(), 0);
    plan.leave(left);
    return true;
}

void BigMail::order(MailPlan& plan) {
    if (!texts.empty()) plan.textonly(texts);
}

size_t BigMail::index(uint32_t place) const {
    return static_cast<size_t>(std::lower_bound(texts.begin(), texts.end(), place) - texts.begin());
}

BigMail::Took BigMail::store(const MailList& list, uint32_t place, size_t k, size_t count, IncomingFile& incoming,
                             std::string& messageid) {
    size_t i = index(place);
    const Described& d = described[i];
    out.console("Fetching the text of message %zu of %zu...\n", k + 1, count);
    // The text parts that fit beside the header, in their order.
    long long room = maxsize - static_cast<long long>(d.header.size());
    std::vector<std::string> sections;
    for (const MimePart& part : d.parts) {
        if (!part.text() || static_cast<long long>(part.size) > room) continue;
        room -= static_cast<long long>(part.size);
        sections.push_back(part.section);
    }
    uint32_t at = list.messages[place].id;
    std::string id = at == MailList::noid ? "" : std::string(list.id(at));
    std::string boundary = "=_vorpa_text_" + id;
    auto cannotwrite = [this, &incoming] {
        out.say("Cannot write to %s: %s\n", incoming.path, incoming.file.reason());
        return Took::Unwritten;
    };
    RecordWriter record;
    if (!record.begin(incoming.file, 0)) return cannotwrite();
    std::string given = fieldvalue(d.header, "Message-ID");
    messageid = ::messageid(given.data(), given.size());
    // The original header, but what said how its body was made.
    std::string header;
    bool dropping = false;
    for (const std::string& line : headerlines(d.header)) {
        bool folded = line[0] == ' ' || line[0] == '\t';
        if (!folded)
            dropping = strncasecmp(line.c_str(), "Content-", 8) == 0 || named(line, "MIME-Version") ||
                       named(line, "X-Vorpa-Parts-Left");
        if (dropping) continue;
        header += line;
        if (line.back() != '\n') header += "\r\n";
    }
    PartWriter parts(record, boundary, d.parts);
    size_t leftcount = d.parts.size() - sections.size();
    if (!put(record, header + "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"" + boundary +
                         "\"\r\nX-Vorpa-Parts-Left: " + std::to_string(leftcount) + "\r\n\r\n"))
        return cannotwrite();
    // The source told why it stopped, unless the file did.
    if (!sections.empty() && !source.retrieveparts(list, place, sections, parts))
        return incoming.file.ok() ? Took::Lost : cannotwrite();
    // A part the server did not send is listed with those left.
    std::string listing;
    long long bytes = 0;
    for (const MimePart& part : d.parts) {
        if (std::find(parts.got.begin(), parts.got.end(), part.section) != parts.got.end()) continue;
        bytes += static_cast<long long>(part.size);
        listing += "Part " + part.section + ": " + token(part.type) + "/" + token(part.subtype) +
                   (part.name.empty() ? "" : ", " + safetext(part.name)) + ", " +
                   bytesize(static_cast<long long>(part.size), false) + "\r\n";
    }
    const Connection& c = source.connection();
    std::string where = "Left on the server " + c.host + ", folder " + safetext(folder) + ", UID " + id + ":\r\n\r\n";
    if (!put(record, "--" + boundary + "\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n" + where + listing +
                         "--" + boundary + "--\r\n") ||
        !record.end())
        return cannotwrite();
    partsleft[i] = bytes;
    return Took::Stored;
}

void BigMail::tally(const MailPlan& plan, const std::vector<bool>& stored) {
    for (size_t k = plan.fetch.size() - plan.texts; k < plan.fetch.size(); k++) {
        if (!stored[k]) continue;
        run.tally.textonly++;
        run.tally.left += partsleft[index(plan.fetch[k])];
    }
}
