#include "proto/bodystructure.h"

#include <strings.h>

#include <cctype>

#include "core/text.h"

namespace {

bool isatomend(char c) { return c == ' ' || c == '(' || c == ')' || static_cast<unsigned char>(c) < 0x20; }

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool isstring(const ImapValue& v) { return v.kind == ImapValue::String || v.kind == ImapValue::Atom; }

// The pairs of a parameter list, keys in lower case; NIL has none.
std::vector<std::pair<std::string, std::string>> pairs(const ImapValue& list) {
    std::vector<std::pair<std::string, std::string>> out;
    if (list.kind != ImapValue::List) return out;
    for (size_t i = 0; i + 1 < list.items.size(); i += 2)
        if (isstring(list.items[i]) && isstring(list.items[i + 1]))
            out.emplace_back(lower(list.items[i].text), list.items[i + 1].text);
    return out;
}

std::string param(const std::vector<std::pair<std::string, std::string>>& params, const char* key) {
    for (const auto& p : params)
        if (p.first == key) return p.second;
    return "";
}

bool parts(const ImapValue& body, const std::string& section, int depth,
           std::vector<MimePart>& out) {
    if (body.kind != ImapValue::List || body.items.empty() || depth > maxnesting || out.size() >= maxparts)
        return false;
    const std::vector<ImapValue>& items = body.items;
    if (items[0].kind == ImapValue::List) {
        for (size_t i = 0; i < items.size() && items[i].kind == ImapValue::List; i++)
            if (!parts(items[i], (section.empty() ? "" : section + ".") + std::to_string(i + 1), depth + 1, out))
                return false;
        return true;
    }
    if (items.size() < 7 || !isstring(items[0]) || !isstring(items[1]) || !isstring(items[5]) ||
        items[6].kind != ImapValue::Atom)
        return false;
    MimePart part;
    part.section = section.empty() ? "1" : section;
    part.type = lower(items[0].text);
    part.subtype = lower(items[1].text);
    part.params = pairs(items[2]);
    part.encoding = lower(items[5].text);
    size_t at = 0;
    unsigned long long size = 0;
    if (!readnumber(items[6].text, at, 1ULL << 50, size) || at != items[6].text.size()) return false;
    part.size = size;
    part.name = param(part.params, "name");
    // The disposition's place follows the fields of the type.
    size_t disposition = part.type == "text" ? 9 : part.type == "message" && part.subtype == "rfc822" ? 11 : 8;
    if (disposition < items.size() && items[disposition].kind == ImapValue::List &&
        items[disposition].items.size() >= 2) {
        std::string file = param(pairs(items[disposition].items[1]), "filename");
        if (!file.empty()) part.name = file;
    }
    out.push_back(std::move(part));
    return true;
}

}  // namespace

bool imapvalue(std::string_view text, size_t& at, ImapValue& out, size_t& count, int depth) {
    while (at < text.size() && text[at] == ' ') at++;
    if (at >= text.size() || depth > maxnesting || ++count > maxvalues) return false;
    out = ImapValue();
    char c = text[at];
    if (c == '(') {
        out.kind = ImapValue::List;
        at++;
        for (;;) {
            while (at < text.size() && text[at] == ' ') at++;
            if (at >= text.size()) return false;
            if (text[at] == ')') {
                at++;
                return true;
            }
            out.items.emplace_back();
            if (!imapvalue(text, at, out.items.back(), count, depth + 1)) return false;
            if (out.items.back().kind == ImapValue::Pending) return false;
        }
    }
    if (c == '"') {
        out.kind = ImapValue::String;
        for (at++; at < text.size(); at++) {
            if (text[at] == '"') {
                at++;
                return true;
            }
            if (text[at] == '\\' && ++at == text.size()) return false;
            out.text += text[at];
        }
        return false;
    }
    if (c == '{') {
        size_t digits = ++at;
        unsigned long long n = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - digits < 15)
            n = n * 10 + static_cast<unsigned>(text[at++] - '0');
        if (at == digits || at >= text.size()) return false;
        if (text[at] == '+') at++;
        if (at >= text.size() || text[at++] != '}') return false;
        if (at == text.size()) {
            out.kind = ImapValue::Pending;
            out.size = n;
            return true;
        }
        if (text.compare(at, 2, "\r\n") != 0 || text.size() - at - 2 < n) return false;
        out.kind = ImapValue::String;
        out.text.assign(text.substr(at + 2, n));
        at += 2 + n;
        return true;
    }
    size_t start = at;
    int brackets = 0;
    while (at < text.size() && (brackets > 0 ? static_cast<unsigned char>(text[at]) >= 0x20 : !isatomend(text[at]))) {
        if (text[at] == '[') brackets++;
        if (text[at] == ']') brackets--;
        at++;
    }
    if (at == start || brackets > 0) return false;
    out.text.assign(text.substr(start, at - start));
    out.kind = strcasecmp(out.text.c_str(), "NIL") == 0 ? ImapValue::Nil : ImapValue::Atom;
    return true;
}

bool mimeparts(const ImapValue& structure, std::vector<MimePart>& out) {
    out.clear();
    return parts(structure, "", 0, out);
}
