// A server's reply as a value, and the capabilities a server lists.
#ifndef VORPA_NET_REPLY_H
#define VORPA_NET_REPLY_H

#include <string>
#include <vector>

struct Reply {
    enum Status {
        Positive,
        Negative,
        Lost,     // no reply arrived: error holds the reason
        Invalid,  // not a reply of the protocol
    };
    Status status = Lost;
    int error = 0;     // errno of a lost reply
    std::string text;  // the last line as received, line end included
    // Of a multi-line reply, the text after the code of every line,
    // without its line end.
    std::vector<std::string> lines;

    bool ok() const { return status == Positive; }
    bool refused() const { return status == Negative; }
    // Whether the text begins with these three digits.
    bool is(const char* code) const { return text.compare(0, 3, code) == 0; }
};

// The lines of a reply as the server sent them, codes included, without
// their line ends: "550-first", "550 last".
std::vector<std::string> replylines(const Reply& reply);

// Whether a line (line end included) is the "." that ends a multi-line
// answer of POP3 or NNTP.
inline bool isterminator(const char* line, int len) {
    return len == 3 && line[0] == '.' && line[1] == '\r' && line[2] == '\n';
}

// What a server says it can do: EHLO keywords, CAPA lines, each a name
// and its parameters. Names and parameters compare without regard to case.
class Capabilities {
public:
    void clear() { entries.clear(); }
    // One line as the server sent it, without its line end.
    void add(const std::string& line) { entries.push_back(line); }
    bool has(const char* name) const { return offers(name, nullptr); }
    // Whether the line of name lists parameter (any parameter when null).
    bool offers(const char* name, const char* parameter) const;
    // The parameters of the line of name as listed; empty when none.
    std::string parameters(const char* name) const;

private:
    std::vector<std::string> entries;
};

#endif
