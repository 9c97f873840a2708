// The record of a mailbox whose messages stay on the server: which unique
// ids (UIDL) have been fetched, and when. It lies beside the newsgroups
// state file, one line per id: seconds since the epoch, a space, the id.
#ifndef VORPA_SOUP_POPKEEP_H
#define VORPA_SOUP_POPKEEP_H

#include <string>
#include <string_view>
#include <vector>

class KeepRecord {
public:
    struct Line {
        std::string_view id;
        long long time;  // when it was fetched
    };
    enum Loaded { Ready, Missing, Failed };

    // "popkeep-<user>@<host>-<port>" in the folder of statefile.
    static std::string pathfor(const std::string& statefile, const std::string& user, const std::string& host,
                               unsigned short port);
    // Reads the record; Missing when there is none yet. A line that is not
    // a time and an id is passed over.
    Loaded load(const std::string& path);
    // The recorded lines, sorted by id.
    const std::vector<Line>& lines() const { return sorted; }
    // Replaces the record by lines in one step: a crash leaves the old
    // record or the new one. False after a failure (reason() tells).
    bool save(const std::vector<Line>& lines);
    const std::string& where() const { return path; }
    const char* reason() const;

private:
    std::string path;
    std::string text;  // the file as read; sorted points into it
    std::vector<Line> sorted;
    int error = 0;
    const char* reasontext = "";
};

#endif
