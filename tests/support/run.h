// Helpers for black-box tests: run the built vorpa binary, temporary
// directories, whole-file reads and writes.
#ifndef VORPA_TESTS_RUN_H
#define VORPA_TESTS_RUN_H

#include <cstdint>
#include <string>
#include <vector>

struct RunResult {
    int status = -1;  // exit status; -1 when killed or timed out
    std::string out;  // standard output
    std::string err;  // error stream
    // Milliseconds after the start when standard output had delivered its
    // first n bytes; -1 if it never did.
    long long outat(size_t n) const;

    struct Arrival {
        long long ms;
        size_t end;  // size of out after this piece
    };
    std::vector<Arrival> outarrivals;
};

// Runs vorpa (the built binary) with args in directory cwd, killing it after
// timeouts seconds.
RunResult runvorpa(const std::vector<std::string>& args, const std::string& cwd = ".",
                   int timeouts = 60);
// Runs any program (argv[0] is the path).
RunResult runprogram(const std::vector<std::string>& argv, const std::string& cwd = ".",
                     int timeouts = 60);

// Runs vorpa as runvorpa does, but with a pseudo-terminal as its standard
// output and error (out holds both; no CR is added to line feeds).
RunResult runonterminal(const std::vector<std::string>& args, const std::string& cwd = ".", int timeouts = 60);

std::string vorpapath();

// A fresh directory under /tmp, removed with its contents on destruction.
class TempDir {
public:
    // In base, which must exist: /dev/shm where many syncs would only cost
    // the test its time.
    explicit TempDir(const std::string& base = "/tmp");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return dir; }
    std::string operator/(const std::string& name) const { return dir + "/" + name; }

private:
    std::string dir;
};

std::string readfile(const std::string& path);
void writefile(const std::string& path, const std::string& data);
bool fileexists(const std::string& path);
// A 4-byte big-endian number, as the packet's length fields hold it.
std::string be32(uint32_t v);
// One record of a fetched message file: the length, then the text.
std::string record(const std::string& text);

// Names in a directory, sorted.
std::vector<std::string> listdir(const std::string& path);

#endif
