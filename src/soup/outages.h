// Since when the servers of an account have been out of reach for the
// network's reasons, kept beside its state files so that a failure that
// passes by itself, said by no run, is said once it lasts.
#ifndef VORPA_SOUP_OUTAGES_H
#define VORPA_SOUP_OUTAGES_H

#include <string>
#include <utility>
#include <vector>

class OutageFile {
public:
    // "unreachable-<account>" in the folder of statefile.
    OutageFile(const std::string& statefile, const std::string& account);

    // Lines "<server> <seconds since the epoch>"; a missing file holds
    // none. False when it cannot be read (reason() tells).
    bool load();
    // Since when server ("IMAP imap.example.org") has been out of reach; 0
    // when it has not.
    long long since(const std::string& server) const;
    // Out of reach since when (kept where it already was); 0: reached.
    void mark(const std::string& server, long long when);
    // Replaces the file in one step where marks changed it, or removes it
    // once it holds none. False after a failure (reason() tells).
    bool save();
    const std::string& where() const { return path; }
    const char* reason() const { return why.c_str(); }

private:
    std::string path;
    std::string why;
    std::vector<std::pair<std::string, long long>> entries;
    bool changed = false;
};

#endif
