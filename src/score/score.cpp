#include "score/score.h"

#include <regex.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "core/durable.h"

namespace {

// A header value, or a line of the score file, kept no longer than this.
constexpr size_t kFieldMax = 8192;

std::string lower(const std::string& text) {
    std::string out = text;
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string trim(const std::string& text) {
    size_t from = text.find_first_not_of(" \t");
    if (from == std::string::npos) return "";
    return text.substr(from, text.find_last_not_of(" \t\r\n") + 1 - from);
}

// A number of digits alone, at most 18 of them; -1 when it is none.
long digits(const std::string& text) {
    if (text.empty() || text.size() > 18) return -1;
    long n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return -1;
        n = n * 10 + (c - '0');
    }
    return n;
}

// [...] at p (past the "["): whether c is in the class; p moves past "]".
// False with p at the end when the class is not closed.
bool inclass(const char*& p, char c, bool& closed) {
    bool negate = *p == '!' || *p == '^';
    if (negate) p++;
    bool found = false;
    for (bool first = true; *p && (first || *p != ']'); first = false) {
        char from = *p == '\\' && p[1] ? *++p : *p;
        p++;
        char to = from;
        if (*p == '-' && p[1] && p[1] != ']') {
            to = p[1] == '\\' && p[2] ? p[2] : p[1];
            p += p[1] == '\\' && p[2] ? 3 : 2;
        }
        if (c >= from && c <= to) found = true;
    }
    closed = *p == ']';
    if (closed) p++;
    return found != negate;
}

}  // namespace

bool globmatch(const char* p, const char* t) {
    // The last "*" and where in the text it was tried: a mismatch after
    // it lets the "*" take one more character.
    const char* star = nullptr;
    const char* resume = nullptr;
    for (;;) {
        if (*p == '*') {
            while (*p == '*') p++;
            if (!*p) return true;
            star = p;
            resume = t;
            continue;
        }
        if (!*t) return !*p;
        const char* next = p + 1;
        bool ok = false;
        if (*p == '?') {
            ok = true;
        } else if (*p == '[') {
            bool closed = false;
            ok = inclass(next, *t, closed);
            // An unclosed "[" stands for itself.
            if (!closed) {
                next = p + 1;
                ok = *t == '[';
            }
        } else if (*p == '\\' && p[1]) {
            ok = p[1] == *t;
            next = p + 2;
        } else if (*p) {
            ok = *p == *t;
        }
        if (ok) {
            p = next;
            t++;
        } else if (star) {
            p = star;
            t = ++resume;
        } else {
            return false;
        }
    }
}

long ArticleFields::crossposts() const {
    const std::string& list = !newsgroups.empty() ? newsgroups : xref;
    if (list.empty()) return 1;
    long n = 0;
    if (!newsgroups.empty()) {
        n = 1;
        for (char c : newsgroups) n += c == ',';
        return n;
    }
    // "host group:number group:number": the words with a colon.
    for (size_t at = 0; (at = xref.find_first_not_of(' ', at)) != std::string::npos;) {
        size_t end = std::min(xref.find(' ', at), xref.size());
        if (xref.find(':', at) < end) n++;
        at = end;
    }
    return n > 0 ? n : 1;
}

namespace {

const char* const months[] = {"jan", "feb", "mar", "apr", "may", "jun", "jul", "aug", "sep", "oct", "nov", "dec"};

// Days since 1970-01-01 of a date of the Gregorian calendar.
long long daysfromcivil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    long long era = (y >= 0 ? y : y - 399) / 400;
    unsigned yoe = static_cast<unsigned>(y - era * 400);
    unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

}  // namespace

namespace {

// The next word of [p, end) after blanks, or an empty one at the end.
std::string nextword(const char*& p, const char* end) {
    while (p < end && (*p == ' ' || *p == '\t')) p++;
    const char* from = p;
    while (p < end && *p != ' ' && *p != '\t') p++;
    return std::string(from, static_cast<size_t>(p - from));
}

// [from, to) without the blanks around it.
std::string trimmed(const char* from, const char* to) {
    while (from < to && (*from == ' ' || *from == '\t')) from++;
    while (to > from && (to[-1] == ' ' || to[-1] == '\t' || to[-1] == '\r' || to[-1] == '\n')) to--;
    return std::string(from, static_cast<size_t>(to - from));
}

// "HH:MM" or "HH:MM:SS" in seconds; -1 when it is neither.
long clockof(const std::string& text) {
    long part[3] = {0, 0, 0};
    size_t n = 0, at = 0;
    for (; n < 3 && at <= text.size(); n++) {
        size_t colon = std::min(text.find(':', at), text.size());
        part[n] = colon - at == 2 ? digits(text.substr(at, 2)) : -1;
        if (part[n] < 0) return -1;
        at = colon + 1;
    }
    if (n < 2 || at <= text.size() || part[0] > 23 || part[1] > 59 || part[2] > 60) return -1;
    return part[0] * 3600 + part[1] * 60 + part[2];
}

}  // namespace

time_t readdate(const std::string& text) {
    const char* p = text.c_str();
    const char* end = p + std::min(text.size(), size_t{200});
    std::string word = nextword(p, end);
    // The day of the week, when given.
    if (!word.empty() && !std::isdigit(static_cast<unsigned char>(word[0]))) word = nextword(p, end);
    long day = digits(word);
    std::string month = nextword(p, end), year = nextword(p, end);
    long seconds = clockof(nextword(p, end));
    std::string zone = nextword(p, end);
    if (day < 1 || day > 31 || seconds < 0) return -1;
    int m = -1;
    for (int i = 0; i < 12; i++)
        if (month.size() >= 3 && strncasecmp(month.c_str(), months[i], 3) == 0) m = i + 1;
    long y = digits(year);
    if (m < 0 || y < 0) return -1;
    // Two digits: 1950 to 2049, as RFC 5322 reads the obsolete form.
    if (year.size() <= 2) y += y < 50 ? 2000 : 1900;
    if (y > 9999) return -1;
    long long t = daysfromcivil(y, static_cast<unsigned>(m), static_cast<unsigned>(day)) * 86400 + seconds;
    // Named zones count as UTC: a few hours do not change an age in days.
    if (zone.size() == 5 && (zone[0] == '+' || zone[0] == '-')) {
        long hhmm = digits(zone.substr(1));
        if (hhmm >= 0) t -= (zone[0] == '-' ? -1 : 1) * ((hhmm / 100) * 3600 + (hhmm % 100) * 60);
    }
    return static_cast<time_t>(t);
}

bool readoverview(const char* line, size_t len, ArticleFields& fields) {
    fields.clear();
    const char* end = line + len;
    const char* field[8] = {};
    const char* fieldend[8] = {};
    const char* p = line;
    size_t n = 0;
    for (;; n++) {
        const char* tab = static_cast<const char*>(std::memchr(p, '\t', static_cast<size_t>(end - p)));
        const char* stop = tab ? tab : end;
        if (n < 8) {
            field[n] = p;
            fieldend[n] = stop;
        } else {
            // The extra fields name themselves.
            const char* colon = static_cast<const char*>(std::memchr(p, ':', static_cast<size_t>(stop - p)));
            size_t namelen = colon ? static_cast<size_t>(colon - p) : 0;
            if (namelen == 4 && strncasecmp(p, "xref", 4) == 0) fields.xref = trimmed(colon + 1, stop);
            if (namelen == 10 && strncasecmp(p, "newsgroups", 10) == 0) fields.newsgroups = trimmed(colon + 1, stop);
        }
        if (!tab) break;
        p = tab + 1;
    }
    fields.number = digits(trimmed(field[0], fieldend[0]));
    if (fields.number < 0) return false;
    std::string* at[] = {nullptr, &fields.subject, &fields.from, nullptr, &fields.messageid, &fields.references};
    for (size_t i = 1; i <= n && i < 6; i++)
        if (at[i]) *at[i] = trimmed(field[i], fieldend[i]);
    if (n >= 3) fields.date = readdate(std::string(field[3], fieldend[3]));
    if (n >= 6) fields.bytes = digits(trimmed(field[6], fieldend[6]));
    if (n >= 7) fields.lines = digits(trimmed(field[7], fieldend[7]));
    // Without a Newsgroups field the groups are those the Xref names.
    if (fields.newsgroups.empty()) {
        const std::string& xref = fields.xref;
        for (size_t from = xref.find(' '); from != std::string::npos && from < xref.size();) {
            from = xref.find_first_not_of(' ', from);
            if (from == std::string::npos) break;
            size_t stop = std::min(xref.find(' ', from), xref.size());
            size_t colon = xref.rfind(':', stop - 1);
            if (colon != std::string::npos && colon > from) {
                if (!fields.newsgroups.empty()) fields.newsgroups += ',';
                fields.newsgroups.append(xref, from, colon - from);
            }
            from = stop;
        }
    }
    return true;
}

namespace {

// The header fields scored on, and where each goes; one known by the
// start of its line, so that the others cost no copy.
struct HeaderName {
    const char* name;  // with its colon
    size_t len;
};
const HeaderName headernames[] = {{"subject:", 8},     {"from:", 5},  {"message-id:", 11}, {"references:", 11},
                                  {"xref:", 5},        {"newsgroups:", 11}, {"lines:", 6}, {"bytes:", 6},
                                  {"date:", 5}};

constexpr int kMessageId = 2, kXref = 4;

int headerof(const char* text, size_t len, bool scored) {
    // Most lines are told apart by their first letter.
    char first = len > 0 ? static_cast<char>(std::tolower(static_cast<unsigned char>(text[0]))) : 0;
    if (!scored && first != 'm' && first != 'x') return -1;
    for (int i = 0; i < static_cast<int>(sizeof headernames / sizeof headernames[0]); i++) {
        const HeaderName& h = headernames[i];
        if (h.name[0] != first || (!scored && i != kMessageId && i != kXref)) continue;
        if (len >= h.len && strncasecmp(text, h.name, h.len) == 0) return i;
    }
    return -1;
}

}  // namespace

void HeaderFields::line(const char* text, size_t len, bool linestart) {
    if (ended) return;
    if (linestart) {
        bool empty = (len == 1 && text[0] == '\n') || (len == 2 && text[0] == '\r' && text[1] == '\n');
        bool folded = len > 0 && (text[0] == ' ' || text[0] == '\t');
        if (!folded) {
            take();
            field = headerof(text, len, scored);
        }
        if (empty) {
            ended = true;
            return;
        }
    }
    if (field < 0) return;
    size_t room = kFieldMax - std::min(current.size(), kFieldMax);
    current.append(text, std::min(len, room));
}

void HeaderFields::take() {
    if (field < 0) return;
    std::string text;
    text.swap(current);
    for (char& c : text)
        if (c == '\r' || c == '\n' || c == '\t') c = ' ';
    std::string value = trim(text.substr(headernames[field].len));
    switch (field) {
    case 0:
        fields.subject = value;
        break;
    case 1:
        fields.from = value;
        break;
    case 2:
        fields.messageid = value;
        break;
    case 3:
        fields.references = value;
        break;
    case 4:
        fields.xref = value;
        break;
    case 5:
        fields.newsgroups = value;
        break;
    case 6:
        fields.lines = digits(value);
        break;
    case 7:
        fields.bytes = digits(value);
        break;
    default:
        fields.date = readdate(value);
        break;
    }
    field = -1;
}

// What a rule looks at, and how.
enum class Field { Subject, From, MessageId, References, Xref, Newsgroups, Crossposts, Lines, Bytes, Age };
enum class Test { Glob, Regex, More, Less };

namespace {

const struct {
    const char* name;
    Field field;
} fieldnames[] = {{"subject", Field::Subject},       {"from", Field::From},           {"message-id", Field::MessageId},
                  {"references", Field::References}, {"xref", Field::Xref},           {"newsgroups", Field::Newsgroups},
                  {"crossposts", Field::Crossposts}, {"lines", Field::Lines},         {"bytes", Field::Bytes},
                  {"age", Field::Age}};

bool numeric(Field f) { return f >= Field::Crossposts; }

// Where the bracket expression at re[at] ends: its "]"; npos when it
// does not. "[]...]" and "[^]...]" hold their "]", and so do "[:alpha:]",
// "[=a=]" and "[.-.]" inside it.
size_t bracketend(const std::string& re, size_t at) {
    size_t i = at + 1;
    if (i < re.size() && re[i] == '^') i++;
    if (i < re.size() && re[i] == ']') i++;
    for (; i < re.size() && re[i] != ']'; i++) {
        char kind = i + 1 < re.size() && re[i] == '[' ? re[i + 1] : 0;
        if (kind != ':' && kind != '=' && kind != '.') continue;
        size_t close = re.find(std::string{kind, ']'}, i + 2);
        if (close == std::string::npos) return std::string::npos;
        i = close + 1;
    }
    return i < re.size() ? i : std::string::npos;
}

// Why glibc's regcomp would take memory without end for the expression:
// a repetition of a repetition ("a++", undefined in POSIX), or copies of
// copies that "+" and bounds make ("((a{200})+){200}"), counted as the
// parts the compiled expression would have; empty when it is tame.
std::string untamed(const std::string& re) {
    constexpr long most = 20000;
    std::vector<long> sizes{0};  // of each open group so far, the outermost first
    long last = 0;               // of what a repetition repeats
    bool repeated = false;       // what stands before is a repetition
    for (size_t i = 0; i < re.size(); i++) {
        char c = re[i];
        bool operation = c == '*' || c == '+' || c == '?' || c == '{';
        if (operation && repeated) return "a repetition of a repetition";
        repeated = operation;
        long copies = 1;
        if (c == '(') {
            sizes.push_back(0);
            continue;
        } else if (c == ')' && sizes.size() > 1) {
            last = std::max(sizes.back(), 1L);
            sizes.pop_back();
            sizes.back() += last;
        } else if (c == '+') {
            copies = 2;
        } else if (c == '{') {
            size_t close = re.find('}', i);
            if (close == std::string::npos) return "";
            std::string bounds = re.substr(i + 1, close - i - 1);
            long least = digits(bounds.substr(0, bounds.find(',')));
            long upto = bounds.find(',') == std::string::npos ? least : digits(bounds.substr(bounds.find(',') + 1));
            copies = std::max(least, upto) + 1;
            if (copies < 1 || copies > 256) return "bounds beyond 255";
            i = close;
        } else if (c == '*' || c == '?' || c == '|' || c == '^' || c == '$') {
        } else {
            if (c == '\\') i++;
            if (c == '[') {
                i = bracketend(re, i);
                if (i == std::string::npos) return "";
            }
            last = 1;
            sizes.back() += 1;
        }
        sizes.back() += last * (copies - 1);
        last *= copies;
        if (sizes.back() > most || last > most) return "too many copies";
    }
    return "";
}

}  // namespace

// Its plain characters outside groups, brackets and repetitions; none
// where an alternative stands at the top.
std::string regexneeds(const std::string& re) {
    std::string best, run;
    auto end = [&] {
        if (run.size() > best.size()) best = run;
        run.clear();
    };
    for (size_t i = 0; i < re.size(); i++) {
        char c = re[i];
        if (c == '|') return "";
        if (c == '(' || c == '[') {
            end();
            // Skipped whole: a group may be repeated, left out or hold "|".
            int depth = 0;
            for (; i < re.size(); i++) {
                if (re[i] == '\\') {
                    i++;
                } else if (re[i] == '[') {
                    i = bracketend(re, i);
                    if (i == std::string::npos) return "";
                    if (depth == 0) break;
                } else if (re[i] == '(') {
                    depth++;
                } else if (re[i] == ')' && --depth == 0) {
                    break;
                }
            }
            continue;
        }
        if (c == '*' || c == '?' || c == '{') {
            // The character before may be missing.
            if (!run.empty()) run.pop_back();
            end();
            if (c == '{') i = std::min(re.find('}', i), re.size());
            continue;
        }
        // The C library reads \` \' \< \> as places (the text's ends, a
        // word's), not as characters.
        if (c == '\\' && i + 1 < re.size() && std::strchr("`'<>", re[i + 1]) && re[i + 1] != '\0') {
            i++;
            end();
            continue;
        }
        if (c == '\\' && i + 1 < re.size() && !std::isalnum(static_cast<unsigned char>(re[i + 1])) &&
            !(re[i + 1] & 0x80)) {
            c = re[++i];
        } else if (c == '\\' || c == '.' || c == '^' || c == '$' || c == '+' || c == ')' || (c & 0x80)) {
            // "+" repeats what came before, which stays needed once.
            end();
            continue;
        }
        // The next may make it optional: a run is taken at its end.
        run.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
    }
    end();
    return best;
}

namespace {

}  // namespace

class ScoreRule {
public:
    ScoreRule(long score, Field field, Test test) : score(score), field(field), test(test) {}
    ~ScoreRule() {
        if (compiled) regfree(&regex);
    }
    ScoreRule(const ScoreRule&) = delete;
    ScoreRule& operator=(const ScoreRule&) = delete;

    // An error's words, or empty.
    std::string compile(const std::string& expression) {
        literal = regexneeds(expression);
        int r = regcomp(&regex, expression.c_str(), REG_EXTENDED | REG_ICASE | REG_NOSUB);
        if (r == 0) {
            compiled = true;
            return "";
        }
        char words[256];
        regerror(r, &regex, words, sizeof words);
        regfree(&regex);
        return words;
    }

    // A shell pattern of "*" and plain text only is matched by its pieces
    // between the stars: found with memchr's speed, not a byte at a time.
    void pieces() {
        simple = pattern.find_first_of("?[\\") == std::string::npos;
        if (!simple) return;
        for (size_t at = 0;;) {
            size_t star = pattern.find('*', at);
            parts.push_back(pattern.substr(at, star == std::string::npos ? std::string::npos : star - at));
            if (star == std::string::npos) break;
            at = star + 1;
        }
    }

    bool globs(const std::string& text) const {
        if (!simple) return globmatch(pattern.c_str(), text.c_str());
        const std::string& first = parts.front();
        if (parts.size() == 1) return text == first;
        const std::string& last = parts.back();
        if (text.size() < first.size() + last.size() || text.compare(0, first.size(), first) != 0 ||
            text.compare(text.size() - last.size(), last.size(), last) != 0)
            return false;
        size_t at = first.size();
        size_t end = text.size() - last.size();
        for (size_t i = 1; i + 1 < parts.size(); i++) {
            const std::string& part = parts[i];
            if (part.empty()) continue;
            size_t found = text.find(part, at);
            if (found == std::string::npos || found + part.size() > end) return false;
            at = found + part.size();
        }
        return true;
    }

    long score;
    Field field;
    Test test;
    std::string pattern;  // Glob: in lower case
    std::string literal;  // Regex: what every match holds, in lower case
    bool simple = false;
    std::vector<std::string> parts;
    long limit = 0;       // More, Less
    regex_t regex{};
    bool compiled = false;
};

struct ScoreFile::Section {
    std::vector<std::string> groups;  // shell patterns, in lower case
    std::vector<const ScoreRule*> rules;
};

ScoreFile::ScoreFile() = default;
ScoreFile::~ScoreFile() = default;

bool ScoreFile::read(const std::string& path, std::string& why) {
    // Dotfiles managers link it, as they link the configuration.
    int error = 0;
    std::string text;
    if (!readtext(path, text, error, nullptr, true)) {
        why = "Error: can't read score file " + path + ": " + openfailure(error) +
              "\n";
        return false;
    }
    return parse(text, path, why);
}

bool ScoreFile::parse(const std::string& text, const std::string& path, std::string& why) {
    long lineno = 0;
    auto fail = [&](const std::string& what) {
        why = "Error: " + what + " in line " + std::to_string(lineno) + " of " + path + "\n";
        return false;
    };
    for (size_t at = 0; at < text.size();) {
        size_t end = std::min(text.find('\n', at), text.size());
        std::string line = trim(text.substr(at, end - at));
        at = end + 1;
        lineno++;
        if (line.size() > kFieldMax) return fail("a line longer than 8192 bytes");
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        std::string shown = "\"" + line + "\"";
        if (line[0] == '[') {
            if (line.back() != ']') return fail(shown + " has no ]");
            Section section;
            std::string list = line.substr(1, line.size() - 2);
            for (char& c : list)
                if (c == ',' || c == '\t') c = ' ';
            for (size_t at = 0; (at = list.find_first_not_of(' ', at)) != std::string::npos;) {
                size_t end = std::min(list.find(' ', at), list.size());
                section.groups.push_back(lower(list.substr(at, end - at)));
                at = end;
            }
            if (section.groups.empty()) return fail(shown + " names no group");
            sections.push_back(std::move(section));
            continue;
        }
        // score: Header: pattern
        size_t colon = line.find(':');
        size_t second = colon == std::string::npos ? colon : line.find(':', colon + 1);
        if (second == std::string::npos) return fail(shown + " is not score: Header: pattern");
        std::string number = trim(line.substr(0, colon));
        bool negative = !number.empty() && number[0] == '-';
        long score = digits(number.empty() || (number[0] != '-' && number[0] != '+') ? number : number.substr(1));
        if (score < 0 || score > 1000000000) return fail("score \"" + number + "\" is not a number");
        if (negative) score = -score;
        std::string header = trim(line.substr(colon + 1, second - colon - 1));
        std::string name = lower(header);
        std::string value = trim(line.substr(second + 1));
        const Field* field = nullptr;
        for (const auto& f : fieldnames)
            if (name == f.name) field = &f.field;
        if (!field)
            return fail("\"" + header +
                        "\" is not Subject, From, Message-ID, References, Xref, Newsgroups, Crossposts, Lines, "
                        "Bytes or Age");
        if (value.empty()) return fail(shown + " has no pattern");
        std::unique_ptr<ScoreRule> rule;
        if (numeric(*field)) {
            long limit = value[0] == '>' || value[0] == '<' ? digits(trim(value.substr(1))) : -1;
            if (limit < 0) return fail("\"" + value + "\" is not > N or < N");
            rule = std::make_unique<ScoreRule>(score, *field, value[0] == '>' ? Test::More : Test::Less);
            rule->limit = limit;
        } else if (value[0] == '~') {
            rule = std::make_unique<ScoreRule>(score, *field, Test::Regex);
            std::string error = untamed(value.substr(1));
            if (error.empty()) error = rule->compile(value.substr(1));
            if (!error.empty()) return fail("\"" + value + "\" is no regular expression: " + error);
        } else {
            rule = std::make_unique<ScoreRule>(score, *field, Test::Glob);
            rule->pattern = lower(value);
            rule->pieces();
        }
        if (sections.empty()) sections.push_back(Section{{"*"}, {}});
        sections.back().rules.push_back(rule.get());
        rules.push_back(std::move(rule));
    }
    return true;
}

GroupScore ScoreFile::forgroup(const std::string& group) const {
    GroupScore score;
    std::string name = lower(group);
    for (const Section& section : sections) {
        bool mine = false;
        for (const std::string& pattern : section.groups) mine = mine || globmatch(pattern.c_str(), name.c_str());
        if (mine) score.rules.insert(score.rules.end(), section.rules.begin(), section.rules.end());
    }
    return score;
}

long GroupScore::score(const ArticleFields& article, time_t now) const {
    const std::string* text[] = {&article.subject, &article.from,  &article.messageid,
                                 &article.references, &article.xref, &article.newsgroups};
    // Each field in lower case once, at its first shell pattern.
    std::string lowered[6];
    bool done[6] = {};
    long crossposts = -1;
    long sum = 0;
    for (const ScoreRule* rule : rules) {
        bool match = false;
        if (numeric(rule->field)) {
            long value = -1;
            switch (rule->field) {
            case Field::Crossposts:
                if (crossposts < 0) crossposts = article.crossposts();
                value = crossposts;
                break;
            case Field::Lines:
                value = article.lines;
                break;
            case Field::Bytes:
                value = article.bytes;
                break;
            default:
                value = article.date < 0 || article.date > now ? -1 : static_cast<long>((now - article.date) / 86400);
                break;
            }
            match = value >= 0 && (rule->test == Test::More ? value > rule->limit : value < rule->limit);
        } else {
            size_t i = static_cast<size_t>(rule->field);
            bool needslower = rule->test == Test::Glob || !rule->literal.empty();
            if (needslower && !done[i]) {
                lowered[i] = lower(*text[i]);
                done[i] = true;
            }
            if (rule->test == Test::Glob) {
                match = rule->globs(lowered[i]);
            } else {
                // Most texts lack what the expression needs: regexec is slow.
                match = (rule->literal.empty() || lowered[i].find(rule->literal) != std::string::npos) &&
                        regexec(&rule->regex, text[i]->c_str(), 0, nullptr, 0) == 0;
            }
        }
        if (match) sum += rule->score;
    }
    return sum;
}
