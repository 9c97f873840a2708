// The walk over REPLIES and the outgoing message files that both posting
// phases share; the phases supply the dialogue with their server.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "config/config.h"
#include "driver/driver.h"
#include "net/socket.h"
#include "soup/soup.h"

namespace {

std::string recordpath(const std::string& msgpath) { return msgpath.substr(0, msgpath.size() - 3) + "SNT"; }

// Whether AREAS names the file: a fetch takes the first free name, so a
// file sent while REPLIES was kept may have been replaced by fetched mail or
// news, which is the reader's and must not go out (nor be removed).
bool fetchedfile(const char* prefix) {
    File areas(fopen((std::string(soupdir) + "AREAS").c_str(), "rb"));
    if (!areas) return false;
    size_t len = std::strlen(prefix);
    std::string line;
    int c;
    do {
        c = getc(areas.get());
        if (c != EOF && c != '\n') {
            if (line.size() <= len) line.push_back(static_cast<char>(c));
            continue;
        }
        if (line.size() > len && line.compare(0, len, prefix) == 0 && line[len] == '\t') return true;
        line.clear();
    } while (c != EOF);
    return false;
}

// The whole file into text; false when it cannot be opened, and errors set
// when it could not be read to its end.
bool readall(const std::string& path, std::string& text, bool* errors = nullptr) {
    File f(fopen(path.c_str(), "rb"));
    if (!f) return false;
    text.clear();
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f.get())) > 0) text.append(buf, n);
    bool failed = ferror(f.get()) != 0;
    if (errors) *errors = failed;
    return !failed || errors;
}

// REPLIES as read, in the pieces that are judged (a line, or 255 bytes of a
// longer one), and which of them are done with.
struct Replies {
    std::string path = std::string(soupdir) + "REPLIES";
    std::string text;
    std::vector<std::string> pieces;
    std::vector<std::string> finished;  // message files of the lines that go

    bool load() {
        bool errors = false;
        if (!readall(path, text, &errors)) return false;
        if (errors) {
            logprintf("! Error in REPLIES file\n");
            killreplies = 0;
        }
        for (size_t at = 0; at < text.size();) {
            size_t lf = text.find('\n', at);
            size_t len = (lf == std::string::npos ? text.size() : lf + 1) - at;
            if (len > 255) len = 255;
            pieces.push_back(text.substr(at, len));
            at += len;
        }
        return true;
    }
    void drop(size_t piece, const std::string& msgpath) {
        pieces[piece].clear();
        finished.push_back(msgpath);
    }
    // Writes what is left, atomically, or removes REPLIES when nothing is;
    // then the records of the finished files go. A REPLIES that changed
    // since it was read (the reader added a line) stays as it is.
    void rewrite() {
        std::string left;
        for (const std::string& piece : pieces) left += piece;
        if (testmode || (left == text && !text.empty())) return;
        std::string now;
        if (!readall(path, now) || now != text) return;
        if (!replace(left)) {
            logprintf("! Cannot rewrite %s\n", path.c_str());
            return;
        }
        for (const std::string& msgpath : finished) removesentrecord(msgpath);
        removeorphans(left);
    }
    // Records whose message file is gone and that no line left names:
    // those a killed run could not remove.
    void removeorphans(const std::string& left) {
        std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(soupdir), closedir);
        if (!d) return;
        while (const dirent* entry = readdir(d.get())) {
            std::string name = entry->d_name;
            if (name.size() < 5 || name.compare(name.size() - 4, 4, ".SNT") != 0) continue;
            std::string prefix = name.substr(0, name.size() - 4);
            std::string msgpath = std::string(soupdir) + prefix + ".MSG";
            if (exist(msgpath.c_str()) || ("\n" + left).find("\n" + prefix + "\t") != std::string::npos) continue;
            removesentrecord(msgpath);
        }
    }
    bool replace(const std::string& left) {
        if (left.empty()) return std::remove(path.c_str()) == 0 && syncdirof(soupdir);
        char temp[4096];
        PacketFile f;
        if (genfname(soupdir, "TMP", temp) < 0 || !f.open(temp, "w")) return false;
        bool ok = f.write(left.data(), left.size()) && f.commit() && std::rename(temp, path.c_str()) == 0;
        if (!ok) std::remove(temp);
        return ok && syncdirof(soupdir);
    }
};

// Every message of one file not sent before. True when the file is
// finished: all its messages are sent, and it is removed (not in test mode).
Step postfile(const ReplyEntry& entry, const PostDialogue& dialogue, bool& finished) {
    finished = false;
    char path[4096];
    int n = snprintf(path, sizeof path, "%s%s.MSG", soupdir, entry.prefix);
    if (n < 0 || n >= static_cast<int>(sizeof path)) {
        logprintf("! Cannot open message file %s%s.MSG\n", soupdir, entry.prefix);
        killreplies = 0;
        return Step::Next;
    }
    if (fetchedfile(entry.prefix)) {
        logprintf("! Message file %s is listed in AREAS - skipping\n", path);
        killreplies = 0;
        return Step::Next;
    }
    File file(fopen(path, "rb"));
    if (!file) {
        // Sent whole and removed by a run that died before it could drop
        // the line: its record says so.
        finished = !testmode && exist(recordpath(path).c_str());
        if (finished) return Step::Next;
        logprintf("! Cannot open message file %s\n", path);
        killreplies = 0;
        return Step::Next;
    }

    PostedFile posted(file.get(), path);
    struct stat st;
    bool sized = fstat(fileno(file.get()), &st) == 0;
    long offset = 0;
    for (;;) {
        long length = fseek(file.get(), offset, SEEK_SET) == 0 ? nextmessage(file.get(), entry.format) : -1;
        if (length == 0) break;
        long start = length > 0 && sized ? ftell(file.get()) : -1;
        if (start < 0) {
            logprintf("! Error in message file %s\n", path);
            posted.refused();
            break;
        }
        // A message that the file does not hold whole would go out cut.
        if (length > st.st_size - start) {
            logprintf("! Message in %s ends before its length - not sent\n", path);
            posted.refused();
            break;
        }
        offset = start + length;
        if (posted.wassent(start, length)) continue;
        Step step = dialogue.post(posted, start, length);
        if (step != Step::Next) return step;
    }
    if (dialogue.settle) {
        Step step = dialogue.settle();
        if (step != Step::Next) return step;
    }
    file.reset();

    if (posted.failed) {
        killreplies = 0;
    } else if (!testmode && remove(path) != 0) {
        // The vote stays: keeping REPLIES would have the next run send
        // these messages a second time.
        logprintf("! Cannot remove message file %s\n", path);
    } else {
        finished = !testmode;
    }
    return Step::Next;
}

Step postreplies(Session& session, Replies& replies, int mine, int otherruns, const PostDialogue& dialogue) {
    bool connected = false;
    for (size_t i = 0; i < replies.pieces.size(); i++) {
        char line[256];
        std::snprintf(line, sizeof line, "%s", replies.pieces[i].c_str());
        ReplyEntry entry;
        if (judgereply(line, mine, otherruns, entry) != ReplyAction::Post) continue;
        if (!connected) {
            Step step = dialogue.open();
            if (step != Step::Next) return step;
            connected = true;
        }
        bool finished = false;
        Step step = postfile(entry, dialogue, finished);
        if (finished) replies.drop(i, std::string(soupdir) + entry.prefix + ".MSG");
        if (step != Step::Next) return step;
    }
    if (connected) return session.signoff();
    if (verbose) logprintf("%s", dialogue.nothingposted);
    return Step::Next;
}

}  // namespace

namespace {

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

}  // namespace

PostedFile::PostedFile(FILE* file, const char* path) : file(file), path(path), record(recordpath(path)) {
    File f(fopen(record.c_str(), "r"));
    if (!f) return;
    // The record is trusted only for the very bytes it describes: a file
    // written anew under the name, or edited, is sent whole.
    bool matches = false;
    char line[256];
    if (fgets(line, sizeof line, f.get()) && line == "file " + identity(fileno(file)) + "\n") {
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
    logprintf("! Record %s does not match %s - sending the file whole\n", record.c_str(), path);
    if (!testmode) std::remove(record.c_str());
}

PostedFile::~PostedFile() {
    if (fd >= 0) close(fd);
}

bool PostedFile::wassent(long start, long length) const {
    for (const auto& done : sent)
        if (done.first == start && done.second == length) return true;
    return false;
}

bool PostedFile::accepted(long start, long length) {
    if (testmode) return true;
    std::string text;
    if (fd < 0) {
        if (!exist(record.c_str())) text = "file " + identity(fileno(file)) + "\n";
        fd = open(record.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    }
    std::string sum = digest(fileno(file), start, length);
    text += std::to_string(start) + " " + std::to_string(length) + " " + sum + "\n";
    bool ok = fd >= 0 && !sum.empty() && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
              fsync(fd) == 0 && (text[0] != 'f' || syncdirof(record.c_str()));
    if (!ok) {
        logprintf("! Cannot record what was sent in %s\n", record.c_str());
        failed = true;
    }
    return ok;
}

void removesentrecord(const std::string& msgpath) { std::remove(recordpath(msgpath).c_str()); }

int postphase(Session& session, bool ready, int mine, int otherruns, const PostDialogue& dialogue) {
    Step step = Step::End;
    if (ready) {
        Replies replies;
        if (!replies.load()) {
            if (verbose) logprintf("%s", dialogue.noreplies);
            return 1;
        }
        // What a run killed while rewriting REPLIES left behind.
        if (!testmode) removeleftovers(soupdir, "TMP");
        step = postreplies(session, replies, mine, otherruns, dialogue);
        replies.rewrite();
    }

    if (step == Step::Next) {
        if (killreplies == -1) killreplies = 1;
        return 1;
    }
    // Something listed in REPLIES was not sent.
    killreplies = 0;
    return session.end(step);
}
