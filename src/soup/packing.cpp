// The fetched files packed into an archive for the reader's download
// folder. The archive takes its name in one step; the journal written just
// before says which files leave the packet then, so that a run killed
// anywhere leaves each message in the packet or in that one archive.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
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

const char kJournal[] = ".vorpa-packing";

// A line of AREAS; one without its two tabs is not ours to move.
struct AreasLine {
    std::string prefix, area, encoding;
};

std::vector<AreasLine> areaslines(const std::string& text) {
    std::vector<AreasLine> lines;
    for (size_t at = 0; at < text.size();) {
        size_t lf = text.find('\n', at);
        if (lf == std::string::npos) lf = text.size();
        std::string line = text.substr(at, lf - at);
        at = lf + 1;
        size_t tab1 = line.find('\t');
        size_t tab2 = tab1 == std::string::npos ? tab1 : line.find('\t', tab1 + 1);
        if (tab2 == std::string::npos || tab1 == 0 || line.find('/') < tab1) continue;
        lines.push_back({line.substr(0, tab1), line.substr(tab1 + 1, tab2 - tab1 - 1), line.substr(tab2 + 1)});
    }
    return lines;
}

// Counts the records of a fetched file as its bytes pass by.
class RecordCounter {
public:
    void feed(const char* p, size_t n) {
        while (n > 0) {
            if (skip > 0) {
                size_t k = skip < n ? static_cast<size_t>(skip) : n;
                skip -= k;
                p += k;
                n -= k;
                continue;
            }
            length[have++] = static_cast<unsigned char>(*p++);
            n--;
            if (have < 4) continue;
            skip = static_cast<unsigned long>(length[0]) << 24 | static_cast<unsigned long>(length[1]) << 16 |
                   static_cast<unsigned long>(length[2]) << 8 | length[3];
            have = 0;
            count++;
        }
    }
    long count = 0;

private:
    unsigned long long skip = 0;
    unsigned char length[4] = {};
    int have = 0;
};

// The temporary archive of this packet in dir: its own name, so that what
// a killed run left is known as ours even where two packets share dir.
bool temppath(const std::string& soupdir, const std::string& dir, std::string& temp, ArchiveFault& fault) {
    struct stat st;
    if (stat(soupdir.c_str(), &st) != 0) return failed(fault, soupdir, errno);
    char name[80];
    std::snprintf(name, sizeof name, ".vorpa-%llx-%llx.part", static_cast<unsigned long long>(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    temp = dir + name;
    return true;
}

// The number after the highest of the archives "vorpaNNNN.zip" and
// "vorpaNNNN.tgz" in dir; 1 when there is none.
long nextnumber(const std::string& dir) {
    std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(dir.c_str()), closedir);
    long highest = 0;
    if (!d) return 1;
    while (const dirent* entry = readdir(d.get())) {
        const char* name = entry->d_name;
        if (std::strncmp(name, "vorpa", 5) != 0) continue;
        const char* p = name + 5;
        long n = 0;
        int digits = 0;
        for (; *p >= '0' && *p <= '9' && digits < 9; p++, digits++) n = n * 10 + (*p - '0');
        if (digits > 0 && (!std::strcmp(p, ".zip") || !std::strcmp(p, ".tgz")) && n > highest) highest = n;
    }
    return highest + 1;
}

using Archive = std::unique_ptr<archive, int (*)(archive*)>;

bool archivefailed(const ArchiveLibrary& lib, ArchiveFault& fault, const std::string& path, archive* a) {
    fault.path = path;
    const char* text = lib.error_string(a);
    fault.reason = text ? text : std::strerror(lib.error_number(a) ? lib.error_number(a) : EIO);
    return false;
}

bool entryheader(const ArchiveLibrary& lib, archive* a, const std::string& name, long long size, time_t now) {
    std::unique_ptr<archive_entry, void (*)(archive_entry*)> e(lib.entry_new(), lib.entry_free);
    if (!e) return false;
    lib.entry_set_pathname(e.get(), name.c_str());
    lib.entry_set_size(e.get(), size);
    lib.entry_set_filetype(e.get(), AE_IFREG);
    lib.entry_set_perm(e.get(), 0600);
    lib.entry_set_mtime(e.get(), now, 0);
    return lib.write_header(a, e.get()) == ARCHIVE_OK;
}

bool writeall(const ArchiveLibrary& lib, archive* a, const char* data, size_t len) {
    return len == 0 || lib.write_data(a, data, len) == static_cast<la_ssize_t>(len);
}

// Streams the files into the archive on fd, a 64 KB piece at a time.
bool writearchive(const ArchiveLibrary& lib, int fd, const std::string& soupdir, const std::vector<const AreasLine*>& files, bool zip,
                  const std::string& temp, Packed& packed, ArchiveFault& fault) {
    Archive a(lib.write_new(), lib.write_free);
    if (!a) return failed(fault, temp, ENOMEM);
    bool set = zip ? lib.write_set_format_zip(a.get()) == ARCHIVE_OK
                   : lib.write_set_format_ustar(a.get()) == ARCHIVE_OK &&
                         lib.write_add_filter_gzip(a.get()) == ARCHIVE_OK;
    if (!set || lib.write_set_bytes_in_last_block(a.get(), 1) != ARCHIVE_OK ||
        lib.write_open_fd(a.get(), fd) != ARCHIVE_OK)
        return archivefailed(lib, fault, temp, a.get());
    time_t now = time(nullptr);
    std::string areas;
    char name[32];
    for (size_t i = 0; i < files.size(); i++) {
        std::snprintf(name, sizeof name, "%08lX", static_cast<unsigned long>(i));
        areas += std::string(name) + "\t" + files[i]->area + "\t" + files[i]->encoding + "\n";
    }
    if (!entryheader(lib, a.get(), "AREAS", static_cast<long long>(areas.size()), now) ||
        !writeall(lib, a.get(), areas.data(), areas.size()))
        return archivefailed(lib, fault, temp, a.get());
    std::unique_ptr<char[]> buf = std::make_unique<char[]>(65536);
    for (size_t i = 0; i < files.size(); i++) {
        std::string path = soupdir + files[i]->prefix + ".MSG";
        int error = 0;
        File in(openregular(path.c_str(), error));
        struct stat st;
        if (!in || fstat(fileno(in.get()), &st) != 0) return failed(fault, path, in ? errno : error);
        std::snprintf(name, sizeof name, "%08lX.MSG", static_cast<unsigned long>(i));
        if (!entryheader(lib, a.get(), name, static_cast<long long>(st.st_size), now))
            return archivefailed(lib, fault, temp, a.get());
        RecordCounter records;
        long long left = st.st_size;
        while (left > 0) {
            ssize_t n = read(fileno(in.get()), buf.get(), static_cast<size_t>(left < 65536 ? left : 65536));
            if (n < 0 && errno == EINTR) continue;
            // A file that shrank meanwhile would leave its entry short.
            if (n <= 0) return failed(fault, path, n < 0 ? errno : EIO);
            if (!writeall(lib, a.get(), buf.get(), static_cast<size_t>(n))) return archivefailed(lib, fault, temp, a.get());
            records.feed(buf.get(), static_cast<size_t>(n));
            left -= n;
        }
        (files[i]->encoding.compare(0, 1, "B") == 0 ? packed.articles : packed.mails) += records.count;
    }
    if (lib.write_close(a.get()) != ARCHIVE_OK) return archivefailed(lib, fault, temp, a.get());
    return fsync(fd) == 0 || failed(fault, temp, errno);
}

// Removes the files of the journal and their lines from AREAS, or, while
// the temporary archive is still there, the archive: then it never took
// its name and the packet stays as it is. The journal goes last.
bool completepacking(const std::string& soupdir, const Journal& journal, ArchiveFault& fault) {
    std::string journalpath = soupdir + kJournal;
    std::string temp;
    std::set<std::string> going;
    for (const auto& line : journal) {
        if (line.first == "temp") temp = line.second;
        if (line.first == "file") going.insert(line.second);
    }
    // A folder gone meanwhile tells nothing: the files stay, a duplicate at
    // worst.
    std::string folder = temp.substr(0, temp.rfind('/') + 1);
    if (!temp.empty() && (exist(temp.c_str()) || !exist(folder.c_str()))) {
        // One left all the same is removed by the next packing.
        std::remove(temp.c_str());
        return removesynced(journalpath, fault);
    }
    std::string areaspath = soupdir + "AREAS";
    std::string text;
    int error = 0;
    if (readtext(areaspath, text, error)) {
        std::string left;
        for (size_t at = 0; at < text.size();) {
            size_t lf = text.find('\n', at);
            size_t end = lf == std::string::npos ? text.size() : lf + 1;
            std::string line = text.substr(at, end - at);
            at = end;
            if (!going.count(line.substr(0, line.find('\t')))) left += line;
        }
        if (left.empty()) {
            if (!removesynced(areaspath, fault)) return false;
        } else if (left != text) {
            Replacement out;
            if (!out.begin(areaspath) || !out.file.write(left.data(), left.size()) || !out.commit()) {
                fault.path = out.failedpath();
                fault.reason = out.reason();
                return false;
            }
        }
    } else if (error != ENOENT) {
        return failed(fault, areaspath, error);
    }
    for (const std::string& prefix : going) {
        std::string path = soupdir + prefix + ".MSG";
        if (std::remove(path.c_str()) != 0 && errno != ENOENT) return failed(fault, path, errno);
    }
    if (!syncdirof(soupdir.c_str())) return failed(fault, soupdir, errno);
    return removesynced(journalpath, fault);
}

}  // namespace

bool finishpacking(const std::string& soupdir, ArchiveFault& fault) {
    Journal journal;
    if (!readjournal(soupdir + kJournal, journal, fault)) return false;
    return journal.empty() || completepacking(soupdir, journal, fault);
}

Packing pack(const std::string& soupdir, const std::string& dir, const std::string& format, Packed& packed,
             ArchiveFault& fault) {
    if (!finishpacking(soupdir, fault)) return Packing::Failed;
    std::string areaspath = soupdir + "AREAS";
    std::string text;
    int error = 0;
    if (!readtext(areaspath, text, error)) {
        if (error == ENOENT) return Packing::Nothing;
        failed(fault, areaspath, error);
        return Packing::Failed;
    }
    std::vector<AreasLine> lines = areaslines(text);
    std::vector<const AreasLine*> files;
    Journal journal;
    std::set<std::string> seen;
    for (const AreasLine& line : lines) {
        // A file listed twice is packed once; a line whose file is gone
        // leaves AREAS with the rest.
        if (!seen.insert(line.prefix).second) continue;
        journal.emplace_back("file", line.prefix);
        if (exist((soupdir + line.prefix + ".MSG").c_str())) files.push_back(&line);
    }
    if (files.empty()) return Packing::Nothing;

    ArchiveLibrary lib;
    if (!lib.loaded()) {
        fault = {ArchiveLibrary::kName, lib.why()};
        return Packing::Failed;
    }
    std::string temp;
    if (!temppath(soupdir, dir, temp, fault)) return Packing::Failed;
    // What a run killed before its journal left.
    std::remove(temp.c_str());
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        failed(fault, temp, errno);
        return Packing::Failed;
    }
    bool written = writearchive(lib, fd, soupdir, files, format == "zip", temp, packed, fault);
    if (close(fd) != 0 && written) written = failed(fault, temp, errno);
    journal.insert(journal.begin(), {"temp", temp});
    if (!written || !writejournal(soupdir + kJournal, journal, fault)) {
        std::remove(temp.c_str());
        return Packing::Failed;
    }
    // Never over a file that is there: the next number then.
    const char* ext = format == "zip" ? "zip" : "tgz";
    for (long number = nextnumber(dir);; number++) {
        char name[48];
        std::snprintf(name, sizeof name, "vorpa%04ld.%s", number, ext);
        packed.archive = dir + name;
        if (renamenew(temp.c_str(), packed.archive.c_str()) == 0) break;
        if (errno == EEXIST) continue;
        failed(fault, packed.archive, errno);
        ArchiveFault ignored;
        completepacking(soupdir, journal, ignored);
        return Packing::Failed;
    }
    if (!syncdirof(packed.archive.c_str())) {
        // The next run finishes, once the name is surely there.
        failed(fault, dir, errno);
        return Packing::Failed;
    }
    return completepacking(soupdir, journal, fault) ? Packing::Packed : Packing::Failed;
}
