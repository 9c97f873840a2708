// A message too big to fetch whole: its header and structure, then the
// parts worth having, each streamed as it comes.
#include <strings.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/text.h"
#include "proto/imap.h"

namespace {

// A response describing one message is held whole: beyond this its header
// is cut.
constexpr size_t maxdescribed = 1 << 20;

// Commands in flight, some 70 bytes each.
constexpr int describewindow = 64;

// "1.2" of "BODY[1.2]"; empty for any other item.
std::string sectionof(const std::string& name) {
    if (name.size() < 6 || strncasecmp(name.c_str(), "BODY[", 5) != 0 || name.back() != ']') return "";
    return name.substr(5, name.size() - 6);
}

uint32_t numberof(const ImapValue& value) {
    size_t at = 0;
    unsigned long long n = 0;
    if (value.kind != ImapValue::Atom || !readnumber(value.text, at, UINT32_MAX, n) || at != value.text.size())
        return 0;
    return static_cast<uint32_t>(n);
}

}  // namespace

bool ImapClient::answered(const Outcome& answer, size_t k) {
    if (answer.done()) return true;
    if (answer.stage == Stage::Text)
        return fail(answer.failure == Failure::Local ? SourceFault::Sink : SourceFault::LostMessage, answer);
    if (refusal(answer) && answer.failure == Failure::Refused) {
        events.refused(k, answer.reply);
        return false;
    }
    return fail(SourceFault::Step, answer);
}

bool ImapClient::describe(const MailList&, const std::vector<uint32_t>& places, bool structure,
                          std::vector<Described>& out) {
    out.assign(places.size(), Described());
    Outcome passed = reclaim();
    if (!passed.done()) return fail(SourceFault::Step, passed);
    const char* items = structure ? " (UID BODYSTRUCTURE BODY.PEEK[HEADER])\r\n"
                                  : " (UID BODY.PEEK[HEADER.FIELDS (FROM SUBJECT)])\r\n";
    size_t next = 0;
    Pipeline commands(conn.sock, describewindow, [this, &places, &next, items](std::string& line) {
        if (next == places.size()) return false;
        std::string uid = std::to_string(messages[places[next++]].uid);
        line += "D" + uid + " UID FETCH " + uid + items;
        return true;
    });
    // A response names its message by UID, in any order.
    FetchHook take = [this, &places, &out](std::string& text, long long& literal) {
        std::string all = text;
        while (literal >= 0) {
            std::string piece;
            size_t room = maxdescribed - std::min(maxdescribed, all.size());
            Outcome read = readliteral(literal, piece, room);
            if (read.done()) read = readline(text, literal);
            if (!read.done()) return read;
            // What was kept of the literal, counted anew.
            all.erase(all.rfind('{'));
            all += "{" + std::to_string(piece.size()) + "}\r\n" + piece + text;
        }
        size_t at = all.find('(');
        size_t count = 0;
        ImapValue list;
        if (at == std::string::npos || !imapvalue(all, at, list, count) || list.kind != ImapValue::List)
            return Outcome();
        uint32_t uid = 0;
        const ImapValue* header = nullptr;
        const ImapValue* body = nullptr;
        for (size_t i = 0; i + 1 < list.items.size(); i += 2) {
            const std::string& name = list.items[i].text;
            const ImapValue& value = list.items[i + 1];
            if (strcasecmp(name.c_str(), "UID") == 0) uid = numberof(value);
            else if (strcasecmp(name.c_str(), "BODYSTRUCTURE") == 0) body = &value;
            else if (strncasecmp(name.c_str(), "BODY[HEADER", 11) == 0) header = &value;
        }
        for (size_t k = 0; k < places.size() && uid != 0; k++) {
            if (messages[places[k]].uid != uid) continue;
            Described& d = out[k];
            if (header && header->kind == ImapValue::String) {
                d.header = header->text;
                d.known = true;
            }
            if (body) d.structured = mimeparts(*body, d.parts);
        }
        return Outcome();
    };
    for (size_t k = 0; k < places.size(); k++) {
        if (!commands.fill()) return fail(SourceFault::Step, conn.sendfailed());
        Outcome answer = await("D" + std::to_string(messages[places[k]].uid), nullptr, &take);
        commands.answered();
        if (!answered(answer, k)) return false;
    }
    return true;
}

bool ImapClient::retrieveparts(const MailList&, uint32_t place, const std::vector<std::string>& sections,
                               PartSink& sink) {
    std::string uid = std::to_string(messages[place].uid);
    std::string items;
    for (const std::string& section : sections) items += (items.empty() ? "BODY.PEEK[" : " BODY.PEEK[") + section + "]";
    std::string t = "P" + uid;
    Outcome sent = reclaim();
    if (sent.done()) sent = conn.send(t + " UID FETCH " + uid + " (" + items + ")\r\n");
    if (!sent.done()) return fail(SourceFault::Step, sent);
    std::vector<bool> got(sections.size(), false);
    // The items one by one; a literal's bytes go to the sink straight from
    // the connection, never held whole.
    FetchHook take = [this, &sections, &got, &sink](std::string& text, long long& literal) {
        size_t at = text.find('(');
        if (at == std::string::npos) return invalid(text);
        at++;
        for (;;) {
            while (at < text.size() && text[at] == ' ') at++;
            if (at >= text.size() || text[at] == ')') break;
            size_t count = 0;
            ImapValue name, value;
            if (!imapvalue(text, at, name, count) || name.kind != ImapValue::Atom || !imapvalue(text, at, value, count))
                return invalid(text);
            std::string section = sectionof(name.text);
            auto wanted = std::find(sections.begin(), sections.end(), section);
            size_t i = static_cast<size_t>(wanted - sections.begin());
            bool taking = !section.empty() && wanted != sections.end() && !got[i];
            if (value.kind == ImapValue::Pending) {
                Outcome read;
                if (taking) {
                    MessageText part(conn.sock, value.size);
                    bool took = sink.part(section, part);
                    if (part.end == BodyEnd::Lost) return conn.failed(Failure::Network, Stage::Text);
                    if (!took || part.end != BodyEnd::Whole) {
                        quits = false;
                        return conn.failed(Failure::Local, Stage::Text);
                    }
                    got[i] = true;
                } else {
                    read = skipliteral(static_cast<long long>(value.size));
                }
                if (read.done()) read = readline(text, literal);
                if (!read.done()) return read;
                at = 0;
                continue;
            }
            if (taking && value.kind == ImapValue::String) {
                if (!sink.part(section, value.text)) return conn.failed(Failure::Local, Stage::Text);
                got[i] = true;
            }
        }
        return literal < 0 ? Outcome() : invalid(text);
    };
    return answered(await(t, nullptr, &take), 0);
}
