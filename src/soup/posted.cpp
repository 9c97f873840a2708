// The record of what went out of an outgoing file, and REPLIES itself.
#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/text.h"
#include "soup/soup.h"

namespace {

// The whole regular file into text; false when it cannot be opened (error
// 0: it is no regular file), and errors set when it could not be read to its
// end.
bool readall(const std::string& path, std::string& text, int& error, bool* errors = nullptr) {
    File f(openregular(path.c_str(), error));
    if (!f) return false;
    text.clear();
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f.get())) > 0) text.append(buf, n);
    bool failed = ferror(f.get()) != 0;
    if (errors) *errors = failed;
    return !failed || errors;
}

// "<device> <inode> <size> <mtime seconds> <mtime nanoseconds>": what the
// record was made for. A file written anew under the same name differs.
std::string identity(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) return "";
    char text[160];
    std::snprintf(text, sizeof text, "%llu %llu %lld %lld %ld", static_cast<unsigned long long>(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino), static_cast<long long>(st.st_size),
                  static_cast<long long>(st.st_mtim.tv_sec), static_cast<long>(st.st_mtim.tv_nsec));
    return text;
}

// SHA-256 of the bytes [start, start + length) of the file, in hex; empty
// when they cannot be read.
std::string digest(int fd, long start, long length) {
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) return "";
    char buf[65536];
    for (long at = start; at < start + length;) {
        size_t want = static_cast<size_t>(std::min<long>(start + length - at, sizeof buf));
        ssize_t n = pread(fd, buf, want, at);
        if (n <= 0 || EVP_DigestUpdate(ctx.get(), buf, static_cast<size_t>(n)) != 1) return "";
        at += n;
    }
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_DigestFinal_ex(ctx.get(), md, &len) != 1) return "";
    std::string hex;
    static const char digits[] = "0123456789abcdef";
    for (unsigned int i = 0; i < len; i++) {
        hex += digits[md[i] >> 4];
        hex += digits[md[i] & 15];
    }
    return hex;
}

// errno as a failure's reason; some failures leave it unset.
int lasterror() { return errno != 0 ? errno : EIO; }

}  // namespace

PostedFile::PostedFile(FILE* file, const char* path) : file(file), path(path), record(sentrecordpath(path)) {
    int error = 0;
    File f(openregular(record.c_str(), error));
    if (!f && error == ENOENT) return;
    // The record is trusted only for the very bytes it describes: a file
    // written anew under the name, or edited, is sent whole; so is one
    // whose record cannot be read.
    bool matches = false;
    char line[256];
    if (f && fgets(line, sizeof line, f.get()) && line == "file " + identity(fileno(file)) + "\n") {
        long start = 0;
        long length = 0;
        char hex[80];
        matches = true;
        while (matches && fscanf(f.get(), "%ld %ld %79s", &start, &length, hex) == 3) {
            matches = start >= 0 && length > 0 && digest(fileno(file), start, length) == hex;
            sent.emplace_back(start, length);
        }
        matches = matches && feof(f.get());
    }
    if (matches) return;
    sent.clear();
    stale = true;
}

bool PostedFile::wassent(long start, long length) const {
    for (const auto& done : sent)
        if (done.first == start && done.second == length) return true;
    return false;
}

bool PostedFile::accepted(long start, long length) {
    std::string text;
    if (!out.isopen()) {
        // Also in a test run: what it sends is recorded anew.
        if (stale) std::remove(record.c_str());
        if (!exist(record.c_str())) text = "file " + identity(fileno(file)) + "\n";
        out.open(record.c_str(), "a");
    }
    errno = 0;
    std::string sum = digest(fileno(file), start, length);
    fault = sum.empty() ? lasterror() : 0;
    text += std::to_string(start) + " " + std::to_string(length) + " " + sum + "\n";
    bool ok = fault == 0 && out.write(text.data(), text.size()) && out.sync();
    if (ok && text[0] == 'f' && !syncdirof(record.c_str())) {
        fault = lasterror();
        ok = false;
    }
    if (ok) judged(start, Fate::Accepted);
    else failed = true;
    return ok;
}

void PostedFile::refused(long start) {
    failed = true;
    judged(start, Fate::Refused);
}

void PostedFile::judged(long start, Fate fate) {
    for (auto& handed : fates)
        if (handed.first == start && handed.second == Fate::Awaited) {
            handed.second = fate;
            return;
        }
}

bool PostedFile::answered() const {
    return std::none_of(fates.begin(), fates.end(), [](const auto& f) { return f.second == Fate::Awaited; });
}

const char* PostedFile::reason() const { return fault != 0 ? std::strerror(fault) : out.reason(); }

std::string sentrecordpath(const std::string& msgpath) { return msgpath.substr(0, msgpath.size() - 3) + "SNT"; }

Areas listedinareas(const std::string& soupdir, const char* prefix) {
    int error = 0;
    File areas(openregular((soupdir + "AREAS").c_str(), error));
    if (!areas) return error == ENOENT ? Areas::Unlisted : Areas::Unreadable;
    size_t len = std::strlen(prefix);
    std::string line;
    int c;
    do {
        c = getc(areas.get());
        if (c != EOF && c != '\n') {
            if (line.size() <= len) line.push_back(static_cast<char>(c));
            continue;
        }
        if (line.size() > len && line.compare(0, len, prefix) == 0 && line[len] == '\t') return Areas::Listed;
        line.clear();
    } while (c != EOF);
    return Areas::Unlisted;
}



RepliesFile::Load RepliesFile::load() {
    bool errors = false;
    int error = 0;
    if (!readall(path, text, error, &errors)) return error == 0 ? NotRegular : Missing;
    for (size_t at = 0; at < text.size();) {
        size_t lf = text.find('\n', at);
        size_t end = lf == std::string::npos ? text.size() : lf + 1;
        lines.push_back(text.substr(at, end - at));
        at = end;
    }
    return errors ? ReadErrors : Read;
}

void RepliesFile::drop(size_t line, const std::string& msgpath) {
    lines[line].clear();
    finished.push_back(msgpath);
}

RepliesFile::Rewrite RepliesFile::rewrite(bool test) {
    std::string left;
    for (const std::string& line : lines) left += line;
    if (test || (left == text && !text.empty())) return Unchanged;
    std::string now;
    int error = 0;
    if (!readall(path, now, error) || now != text) return Unchanged;
    if (!replace(left)) return Failed;
    for (const std::string& msgpath : finished) std::remove(sentrecordpath(msgpath).c_str());
    removeorphans(left);
    return Rewritten;
}

// Records whose message file is gone and that no line left names: those a
// killed run could not remove.
void RepliesFile::removeorphans(const std::string& left) {
    std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(soupdir.c_str()), closedir);
    if (!d) return;
    while (const dirent* entry = readdir(d.get())) {
        std::string name = entry->d_name;
        if (name.size() < 5 || name.compare(name.size() - 4, 4, ".SNT") != 0) continue;
        std::string prefix = name.substr(0, name.size() - 4);
        if (exist((soupdir + prefix + ".MSG").c_str()) ||
            ("\n" + left).find("\n" + prefix + "\t") != std::string::npos)
            continue;
        std::remove((soupdir + name).c_str());
    }
}

bool RepliesFile::replace(const std::string& left) {
    if (left.empty()) {
        errno = 0;
        if (std::remove(path.c_str()) == 0 && syncdirof(soupdir.c_str())) return true;
        reason = std::strerror(lasterror());
        return false;
    }
    Replacement f;
    if (f.begin(path) && f.file.write(left.data(), left.size()) && f.commit()) return true;
    reason = f.reason();
    return false;
}
