// The reader's reply archives taken into the packet. An archive is read
// whole before anything is written, and refused for any entry that is not
// a plain file with a plain name, or for its size; the letters its REPLIES
// lists are then unpacked under temporary names, and a journal names every
// step left (the names, the lines of REPLIES, the digest, the move), so
// that a run killed anywhere is completed by the next one and no letter is
// taken in twice or lost.
#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/text.h"
#include "soup/archives.h"
#include "soup/journal.h"
#include "soup/libarchive.h"
#include "soup/soup.h"

namespace {

const char kJournal[] = ".vorpa-takein";
constexpr size_t kPiece = 65536;

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string basename(const std::string& path) { return path.substr(path.rfind('/') + 1); }

struct Fd {
    explicit Fd(int fd) : fd(fd) {}
    ~Fd() {
        if (fd >= 0) close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int fd;
};

// SHA-256 of the whole file, in hex; empty when it cannot be read.
std::string filedigest(int fd) {
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) return "";
    std::unique_ptr<char[]> buf = std::make_unique<char[]>(kPiece);
    for (off_t at = 0;;) {
        ssize_t n = pread(fd, buf.get(), kPiece, at);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return "";
        if (n == 0) break;
        if (EVP_DigestUpdate(ctx.get(), buf.get(), static_cast<size_t>(n)) != 1) return "";
        at += n;
    }
    unsigned char sum[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_DigestFinal_ex(ctx.get(), sum, &len) != 1) return "";
    std::string hex;
    char pair[3];
    for (unsigned i = 0; i < len; i++) {
        std::snprintf(pair, sizeof pair, "%02x", sum[i]);
        hex += pair;
    }
    return hex;
}

std::string pathdigest(const std::string& path) {
    Fd f(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    return f.fd < 0 ? "" : filedigest(f.fd);
}

using Archive = std::unique_ptr<archive, int (*)(archive*)>;

// A zip or a tar, gzipped or not, read from its first byte.
Archive openarchive(const ArchiveLibrary& lib, int fd) {
    Archive a(lib.read_new(), lib.read_free);
    if (!a || lseek(fd, 0, SEEK_SET) != 0) return a;
    lib.read_support_format_zip(a.get());
    lib.read_support_format_tar(a.get());
    lib.read_support_filter_gzip(a.get());
    if (lib.read_open_fd(a.get(), fd, kPiece) != ARCHIVE_OK) a.reset();
    return a;
}

std::string damaged(const ArchiveLibrary& lib, archive* a) {
    const char* text = a ? lib.error_string(a) : nullptr;
    return std::string("damaged: ") + (text ? safetext(text) : "not a zip or tar archive");
}

// Why the entry may not be taken, or empty: the reader writes plain files
// with plain names, and nothing else belongs in its archive.
std::string oddentry(const ArchiveLibrary& lib, archive_entry* e, const char* name) {
    std::string shown = name ? "\"" + safetext(name) + "\"" : "an entry without a name";
    mode_t type = lib.entry_filetype(e);
    if (type == AE_IFLNK || lib.entry_hardlink(e)) return shown + " is a link";
    if (type == AE_IFDIR) return shown + " is a folder";
    if (type != AE_IFREG || lib.entry_sparse_count(e) > 0) return shown + " is a device or other odd entry";
    if (!name || !*name || std::strpbrk(name, "/\\") || !std::strcmp(name, ".") || !std::strcmp(name, ".."))
        return shown + " is no plain file name";
    return "";
}

// The archive read to its end without writing anything: its REPLIES, and
// its entries by their names in lower case. False with why it is refused.
bool scan(const ArchiveLibrary& lib, int fd, std::string& replies, std::map<std::string, std::string>& names, std::string& why) {
    Archive a = openarchive(lib, fd);
    if (!a) {
        why = damaged(lib, nullptr);
        return false;
    }
    std::unique_ptr<char[]> buf = std::make_unique<char[]>(kPiece);
    long long declared = 0, total = 0;
    bool found = false;
    for (;;) {
        archive_entry* e = nullptr;
        int r = lib.read_next_header(a.get(), &e);
        if (r == ARCHIVE_EOF) break;
        if (r < ARCHIVE_WARN) {
            why = damaged(lib, a.get());
            return false;
        }
        const char* name = lib.entry_pathname(e);
        why = oddentry(lib, e, name);
        if (!why.empty()) return false;
        if (!names.emplace(lower(name), name).second) {
            why = "\"" + safetext(name) + "\" is there twice";
            return false;
        }
        bool isreplies = lower(name) == "replies";
        found = found || isreplies;
        long long size = lib.entry_size_is_set(e) ? lib.entry_size(e) : 0;
        declared += size;
        for (long long got = 0;;) {
            if (size > kLetterMax || got > kLetterMax) {
                why = "\"" + safetext(name) + "\" is over 64 MB";
                return false;
            }
            if (declared > kExpansionMax || total > kExpansionMax) {
                why = "it expands past 1 GB";
                return false;
            }
            la_ssize_t n = lib.read_data(a.get(), buf.get(), kPiece);
            if (n < 0) {
                why = damaged(lib, a.get());
                return false;
            }
            if (n == 0) break;
            got += n;
            total += n;
            if (isreplies) replies.append(buf.get(), static_cast<size_t>(n));
        }
    }
    if (!found) why = "it holds no REPLIES";
    return found;
}

// A file the archive's REPLIES lists.
struct Letter {
    std::string entry;  // its name in the archive
    std::string name;   // its name in the packet, without ".MSG"
    std::string temp;   // where it is unpacked first, in the packet
    char format = 0;
};

// The lines of the archive's REPLIES in their order: the file each names
// (its entry in lower case) and what follows the name.
using Lines = std::vector<std::pair<std::string, std::string>>;

// False with why when a line is broken or names a file the archive lacks.
bool listed(const std::string& replies, const std::map<std::string, std::string>& names,
            std::map<std::string, Letter>& letters, Lines& lines, std::string& why) {
    long number = 0;
    for (size_t at = 0; at < replies.size();) {
        size_t lf = replies.find('\n', at);
        if (lf == std::string::npos) lf = replies.size();
        std::string line = replies.substr(at, lf - at);
        at = lf + 1;
        number++;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        size_t tab1 = line.find('\t');
        size_t tab2 = tab1 == std::string::npos ? tab1 : line.find('\t', tab1 + 1);
        std::string prefix = line.substr(0, tab1);
        if (tab2 == std::string::npos || prefix.empty() || prefix.find_first_of("/\\") != std::string::npos ||
            line.find('\0') != std::string::npos) {
            why = "line " + std::to_string(number) + " of its REPLIES is broken";
            return false;
        }
        auto entry = names.find(lower(prefix) + ".msg");
        if (entry == names.end()) {
            why = "its REPLIES names " + safetext(prefix) + ".MSG, which it lacks";
            return false;
        }
        Letter& letter = letters[entry->first];
        letter.entry = entry->second;
        letter.format = tab2 + 1 < line.size() ? line[tab2 + 1] : 0;
        lines.emplace_back(entry->first, line.substr(tab1));
    }
    return true;
}

// Every name the packet has, in lower case and without what follows its
// first ".": message files, their records, the prefixes REPLIES and AREAS
// name. A letter taken in gets none of them.
std::set<std::string> namesinuse(const std::string& soupdir) {
    std::set<std::string> used;
    std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(soupdir.c_str()), closedir);
    while (d) {
        const dirent* entry = readdir(d.get());
        if (!entry) break;
        std::string name = entry->d_name;
        used.insert(lower(name.substr(0, name.find('.'))));
    }
    for (const char* index : {"REPLIES", "AREAS"}) {
        std::string text;
        int error = 0;
        if (!readtext(soupdir + casedname(soupdir, index), text, error)) continue;
        for (size_t at = 0; at < text.size();) {
            size_t lf = std::min(text.find('\n', at), text.size());
            used.insert(lower(text.substr(at, std::min(text.find('\t', at), lf) - at)));
            at = lf + 1;
        }
    }
    return used;
}

// The reader's own name where nothing in the packet has it, else the first
// free "R0000000", "R0000001", ...
std::string freshname(const std::string& entry, std::set<std::string>& used) {
    std::string name = entry.substr(0, entry.size() - 4);
    bool plain = name.size() <= 8 && std::all_of(name.begin(), name.end(), [](char c) {
                     return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-';
                 });
    for (long n = 0; !plain || used.count(lower(name)); n++) {
        char fresh[24];
        std::snprintf(fresh, sizeof fresh, "R%07ld", n);
        name = fresh;
        plain = true;
    }
    used.insert(lower(name));
    return name;
}

// The messages of the unpacked file; a file in a format we cannot split is
// one letter.
long countletters(const std::string& path, char format) {
    int error = 0;
    File f(openregular(path.c_str(), error));
    long letters = 0;
    for (long offset = 0; f;) {
        long length = fseek(f.get(), offset, SEEK_SET) == 0 ? nextmessage(f.get(), format) : -1;
        long start = length > 0 ? ftell(f.get()) : -1;
        if (start < 0) break;
        letters++;
        offset = start + length;
    }
    return std::max(letters, 1L);
}

// The temporary files of letters not yet in the journal go with it.
struct Unpacked {
    ~Unpacked() {
        for (const std::string& path : paths) std::remove(path.c_str());
    }
    std::vector<std::string> paths;
};

enum class Unpacking { Done, Damaged, Failed };

// Unpacks the letters into temporary files of the packet, synced.
Unpacking unpack(const ArchiveLibrary& lib, int fd, const std::string& soupdir, std::map<std::string, Letter>& letters, Unpacked& unpacked,
                 ArchiveFault& fault) {
    Archive a = openarchive(lib, fd);
    std::unique_ptr<char[]> buf = std::make_unique<char[]>(kPiece);
    long from = 0;  // the numbers below were taken
    for (archive_entry* e = nullptr; a;) {
        int r = lib.read_next_header(a.get(), &e);
        if (r == ARCHIVE_EOF) return Unpacking::Done;
        const char* name = r < ARCHIVE_WARN ? nullptr : lib.entry_pathname(e);
        if (!name) break;
        auto letter = letters.find(lower(name));
        if (letter == letters.end()) continue;
        DurableFile out;
        char temp[4096];
        long number = createnew(out, soupdir.c_str(), "TAK", temp, nullptr, from);
        if (number < 0) {
            failed(fault, *temp ? temp : soupdir, errno);
            return Unpacking::Failed;
        }
        from = number + 1;
        unpacked.paths.push_back(temp);
        letter->second.temp = basename(temp);
        la_ssize_t n;
        while ((n = lib.read_data(a.get(), buf.get(), kPiece)) > 0) out.write(buf.get(), static_cast<size_t>(n));
        if (n < 0) break;
        if (!out.commit()) {
            fault = {temp, out.reason()};
            return Unpacking::Failed;
        }
    }
    fault.reason = damaged(lib, a.get());
    return Unpacking::Damaged;
}

// Moves the archive into "imported/" beside it, under its own name or,
// where that is taken, with ".1", ".2", ... after it.
bool moveimported(const std::string& path, std::string& moved, ArchiveFault& fault) {
    std::string folder = path.substr(0, path.rfind('/') + 1) + "imported/";
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return failed(fault, folder, errno);
    moved = folder + basename(path);
    for (int n = 1; renamenew(path.c_str(), moved.c_str()) != 0; n++) {
        if (errno != EEXIST) return failed(fault, moved, errno);
        moved = folder + basename(path) + "." + std::to_string(n);
    }
    if (!syncdirof(moved.c_str())) return failed(fault, folder, errno);
    return syncdirof(path.c_str()) || failed(fault, path, errno);
}

// Appends text to the file at path, synced with its directory, after a
// line end where the file lacks one at its end.
bool appendsynced(const std::string& path, const std::string& old, const std::string& text, ArchiveFault& fault) {
    DurableFile out;
    bool lf = !old.empty() && old.back() != '\n';
    if (out.open(path.c_str(), "ab") && (!lf || out.put('\n')) && out.write(text.data(), text.size()) &&
        out.commit() && syncdirof(path.c_str()))
        return true;
    fault = {path, out.reason()};
    return false;
}

// Every step of the journal not yet done, in order: the letters take their
// names, their lines go into REPLIES, the digest into the record, the
// archive into "imported/" (where it still has the bytes taken in), and
// the journal goes.
bool completetakein(const std::string& soupdir, const Journal& journal, std::string& moved, ArchiveFault& fault) {
    std::string archivepath, digest, record;
    std::vector<std::string> lines;
    for (const auto& line : journal) {
        const std::string& value = line.second;
        if (line.first == "archive") archivepath = value;
        if (line.first == "digest") digest = value;
        if (line.first == "record") record = value;
        if (line.first == "line") lines.push_back(value);
        if (line.first != "letter") continue;
        size_t tab = value.find('\t');
        std::string temp = soupdir + value.substr(0, tab), final = soupdir + value.substr(tab + 1);
        if (exist(temp.c_str()) && renamenew(temp.c_str(), final.c_str()) != 0) return failed(fault, final, errno);
    }
    if (!syncdirof(soupdir.c_str())) return failed(fault, soupdir, errno);

    std::string repliespath = soupdir + casedname(soupdir, "REPLIES");
    std::string text, add;
    int error = 0;
    if (!readtext(repliespath, text, error) && error != ENOENT) return failed(fault, repliespath, error);
    for (const std::string& line : lines) {
        std::string prefix = line.substr(0, line.find('\t') + 1);
        if (("\n" + text).find("\n" + prefix) == std::string::npos) add += line + "\n";
    }
    if (!add.empty() && !appendsynced(repliespath, text, add, fault)) return false;

    text.clear();
    if (!readtext(record, text, error) && error != ENOENT) return failed(fault, record, error);
    if (("\n" + text).find("\n" + digest + "\t") == std::string::npos &&
        !appendsynced(record, text, digest + "\t" + basename(archivepath) + "\n", fault))
        return false;

    // A new archive under the old name is the reader's next one.
    if (exist(archivepath.c_str()) && pathdigest(archivepath) == digest &&
        !moveimported(archivepath, moved, fault))
        return false;
    return removesynced(soupdir + kJournal, fault);
}

}  // namespace

bool replyarchives(const std::string& dir, std::vector<std::string>& names, ArchiveFault& fault) {
    std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(dir.c_str()), closedir);
    if (!d) return failed(fault, dir, errno);
    while (const dirent* entry = readdir(d.get())) {
        std::string name = entry->d_name;
        struct stat st;
        if (name[0] == '.' || name.find('\n') != std::string::npos || lstat((dir + name).c_str(), &st) != 0 ||
            !S_ISREG(st.st_mode))
            continue;
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return true;
}

bool finishtakingin(const std::string& soupdir, ArchiveFault& fault) {
    Journal journal;
    if (!readjournal(soupdir + kJournal, journal, fault)) return false;
    if (!journal.empty()) {
        std::string moved;
        return completetakein(soupdir, journal, moved, fault);
    }
    // What a run killed before its journal unpacked.
    removeleftovers(soupdir.c_str(), "TAK");
    return true;
}

Taking takein(const std::string& soupdir, const std::string& path, const std::string& record, TakenIn& taken,
              ArchiveFault& fault) {
    taken = TakenIn();
    auto fail = [&fault](const std::string& what, int error) {
        failed(fault, what, error);
        return Taking::Failed;
    };
    if (!finishtakingin(soupdir, fault)) return Taking::Failed;
    Fd archivefd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    int fd = archivefd.fd;
    if (fd < 0) return fail(path, errno);
    std::string digest = filedigest(fd);
    if (digest.empty()) return fail(path, errno);
    std::string text;
    int error = 0;
    if (!readtext(record, text, error) && error != ENOENT) return fail(record, error);
    if (("\n" + text).find("\n" + digest + "\t") != std::string::npos) {
        taken.before = true;
        return moveimported(path, taken.moved, fault) ? Taking::Taken : Taking::Failed;
    }
    std::string repliespath = soupdir + casedname(soupdir, "REPLIES");
    if (!File(openregular(repliespath.c_str(), error)) && error != ENOENT) return fail(repliespath, error);

    ArchiveLibrary lib;
    if (!lib.loaded()) {
        fault = {ArchiveLibrary::kName, lib.why()};
        return Taking::Failed;
    }
    std::string listing;
    std::map<std::string, std::string> names;
    std::map<std::string, Letter> letters;
    Lines lines;
    fault.path = path;
    if (!scan(lib, fd, listing, names, fault.reason) || !listed(listing, names, letters, lines, fault.reason))
        return Taking::Refused;
    Unpacked unpacked;
    switch (unpack(lib, fd, soupdir, letters, unpacked, fault)) {
    case Unpacking::Done:
        break;
    case Unpacking::Damaged:
        fault.path = path;
        return Taking::Refused;
    case Unpacking::Failed:
        return Taking::Failed;
    }

    std::set<std::string> used = namesinuse(soupdir);
    Journal journal{{"archive", path}, {"digest", digest}, {"record", record}};
    for (auto& entry : letters) {
        Letter& letter = entry.second;
        letter.name = freshname(letter.entry, used);
        journal.emplace_back("letter", letter.temp + "\t" + letter.name + ".MSG");
        taken.files++;
        taken.letters += countletters(soupdir + letter.temp, letter.format);
    }
    for (const auto& line : lines) journal.emplace_back("line", letters[line.first].name + line.second);
    if (!writejournal(soupdir + kJournal, journal, fault)) return Taking::Failed;
    unpacked.paths.clear();
    return completetakein(soupdir, journal, taken.moved, fault) ? Taking::Taken : Taking::Failed;
}
