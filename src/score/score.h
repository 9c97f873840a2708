// Scoring news before it is fetched: the fields of an article as its
// overview line or its header gives them, and the score file of an account
// that sums a score for each article from them. Everything read here comes
// from a server or the user: untrusted, every length bounded.
#ifndef VORPA_SCORE_SCORE_H
#define VORPA_SCORE_SCORE_H

#include <ctime>
#include <memory>
#include <string>
#include <vector>

// What an article is scored on. Numbers not known are -1.
struct ArticleFields {
    long number = -1;
    std::string subject;
    std::string from;
    std::string messageid;
    std::string references;
    std::string xref;        // "host group:number ...", without its name
    std::string newsgroups;  // the groups, by commas
    long lines = -1;
    long bytes = -1;
    time_t date = -1;

    void clear() { *this = ArticleFields(); }
    // The groups it went to: the Newsgroups header's, else the Xref's, else 1.
    long crossposts() const;
};

// One overview line (OVER, XOVER: number, subject, from, date, message-id,
// references, bytes, lines, then the extra fields such as "Xref: ...") as
// the server sent it, without its line end. False when it does not begin
// with an article number.
bool readoverview(const char* line, size_t len, ArticleFields& fields);

// The header of an article, line by line as it arrives (line ends
// included; a piece of a line longer than the receive buffer with
// linestart false). Done once the empty line that ends the header came.
class HeaderFields {
public:
    // scored false: only the Message-ID and the Xref are read.
    explicit HeaderFields(bool scored = true) : scored(scored) {}
    void line(const char* text, size_t len, bool linestart);
    bool done() const { return ended; }
    ArticleFields fields;

private:
    void take();
    std::string current;  // the field being read, when it is one scored on
    int field = -1;
    bool scored;
    bool ended = false;
};

// "Wed, 9 Dec 2026 10:00:00 +0100" and the like; -1 when it is no date.
time_t readdate(const std::string& text);

// The rules of one group: the score of an article is the sum of the scores
// of the rules it matches.
class ScoreRule;
class GroupScore {
public:
    bool empty() const { return rules.empty(); }
    long score(const ArticleFields& article, time_t now) const;

private:
    friend class ScoreFile;
    std::vector<const ScoreRule*> rules;
};

// A score file: "[pattern ...]" lines start a section for the groups the
// shell patterns match ("*" for all); inside, "score: Header: pattern"
// lines, or "score: Header: > N" and "< N" for Lines, Bytes, Age (days)
// and Crossposts. A pattern starting with "~" is a regular expression
// (POSIX extended), any other a shell pattern on the whole value; both
// ignore case. Empty lines and lines starting with "#" or ";" are
// comments; rules before the first section are for every group.
class ScoreFile {
public:
    ScoreFile();
    ~ScoreFile();
    ScoreFile(const ScoreFile&) = delete;
    ScoreFile& operator=(const ScoreFile&) = delete;

    // Reads the file at path: false with why set to the line that says
    // what is wrong and where ("... in line 3 of /home/joe/score").
    bool read(const std::string& path, std::string& why);
    // The same from text, named path in why.
    bool parse(const std::string& text, const std::string& path, std::string& why);
    // The rules for group.
    GroupScore forgroup(const std::string& group) const;

private:
    struct Section;
    std::vector<std::unique_ptr<ScoreRule>> rules;
    std::vector<Section> sections;
};

// The longest text, in lower case, that every match of the regular
// expression (POSIX extended, ignoring case) holds; empty when none is
// sure. What a text lacks, the expression need not be tried on.
std::string regexneeds(const std::string& expression);

// Whether text matches the shell pattern (*, ?, [...]; \ quotes), both in
// lower case already.
bool globmatch(const char* pattern, const char* text);

#endif
