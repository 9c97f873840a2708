// Black-box runs with the offline reader's folders: the fetched files
// packed into an archive of the download folder, and the reply archives of
// the upload folder taken into the packet, read as a reader would read
// them and as an attacker would write them.
#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "run.h"
#include "scripted_server.h"

namespace {

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A packet with the reader's two folders.
struct Reader {
    TempDir dir;
    std::string soup = dir / "soup/", down = dir / "down/", up = dir / "up/", cfg = dir / "vorpa.cfg";

    explicit Reader(const std::string& settings = "") {
        for (const std::string& d : {soup, down, up}) mkdir(d.c_str(), 0700);
        writefile(cfg, "ADDHEADERS off\nHOSTNAME myhost\nSOUPDIR " + soup + "\nREADERPACKETS " + down + "\nREADERREPLIES " + up +
                           "\nNEWSGROUPS " + dir / "newsrc" + "\n" + settings);
    }
    RunResult run(std::vector<std::string> args, const std::string& wrap = "") {
        args.push_back("/config=" + cfg);
        if (wrap.empty()) return runvorpa(args, dir.path(), 60);
        std::vector<std::string> argv{"/bin/sh", "-c", wrap + " \"$0\" \"$@\"", vorpapath()};
        argv.insert(argv.end(), args.begin(), args.end());
        return runprogram(argv, dir.path(), 60);
    }
    // Fetched files as earlier runs left them: two mails of account ann, one article.
    void fetched() {
        writefile(soup + "00000003.MSG", record("From: a\n\none\n") + record("From: b\n\ntwo\n"));
        writefile(soup + "0000000A.MSG", record("Newsgroups: comp.x\n\nart\n"));
        writefile(soup + "AREAS", "00000003\tEmail (ann)\tbn\n0000000A\tcomp.x\tBn\n00000007\tEmail\tbn\n");
    }
};

using Entries = std::vector<std::pair<std::string, std::string>>;

// The entries of an archive, read as a reader would.
Entries unpacked(const std::string& path) {
    std::unique_ptr<archive, int (*)(archive*)> a(archive_read_new(), archive_read_free);
    archive_read_support_format_all(a.get());
    archive_read_support_filter_all(a.get());
    Entries entries;
    if (archive_read_open_filename(a.get(), path.c_str(), 65536) != ARCHIVE_OK) return entries;
    archive_entry* e;
    while (archive_read_next_header(a.get(), &e) == ARCHIVE_OK) {
        std::string data;
        char buf[65536];
        la_ssize_t n;
        while ((n = archive_read_data(a.get(), buf, sizeof buf)) > 0) data.append(buf, static_cast<size_t>(n));
        entries.emplace_back(archive_entry_pathname(e), data);
    }
    return entries;
}

// An entry as an archive of the reader (or of an attacker) holds it.
struct Entry {
    Entry(std::string name, std::string data, mode_t type = AE_IFREG, std::string link = "")
        : name(std::move(name)), data(std::move(data)), type(type), link(std::move(link)) {}
    std::string name, data;
    mode_t type;
    std::string link;
};

void writearchive(const std::string& path, const std::vector<Entry>& entries, bool zip) {
    std::unique_ptr<archive, int (*)(archive*)> a(archive_write_new(), archive_write_free);
    if (zip) {
        archive_write_set_format_zip(a.get());
    } else {
        archive_write_set_format_pax_restricted(a.get());
        archive_write_add_filter_gzip(a.get());
    }
    ASSERT_EQ(archive_write_open_filename(a.get(), path.c_str()), ARCHIVE_OK);
    for (const Entry& entry : entries) {
        std::unique_ptr<archive_entry, void (*)(archive_entry*)> e(archive_entry_new(), archive_entry_free);
        archive_entry_set_pathname(e.get(), entry.name.c_str());
        archive_entry_set_filetype(e.get(), entry.type);
        archive_entry_set_perm(e.get(), 0644);
        if (!entry.link.empty()) archive_entry_set_symlink(e.get(), entry.link.c_str());
        archive_entry_set_size(e.get(), static_cast<la_int64_t>(entry.data.size()));
        ASSERT_EQ(archive_write_header(a.get(), e.get()), ARCHIVE_OK) << entry.name;
        archive_write_data(a.get(), entry.data.data(), entry.data.size());
    }
    ASSERT_EQ(archive_write_close(a.get()), ARCHIVE_OK);
}

// One gzip member; members one after the other are one gzip stream.
std::string gzipped(const std::string& data) {
    z_stream z{};
    deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, 31, 9, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, data.size()), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(&out[0]);
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// A ustar header of a file of size bytes.
std::string tarheader(const std::string& name, unsigned long long size) {
    std::string h(512, '\0');
    h.replace(0, name.size(), name);
    char field[16];
    std::snprintf(field, sizeof field, "%07o", 0644);
    h.replace(100, 7, field);
    std::snprintf(field, sizeof field, "%011llo", size);
    h.replace(124, 11, field);
    h.replace(136, 11, "00000000000");
    h[156] = '0';
    h.replace(257, 8, std::string("ustar\0" "00", 8));
    h.replace(148, 8, "        ");
    unsigned sum = 0;
    for (unsigned char c : h) sum += c;
    std::snprintf(field, sizeof field, "%06o", sum);
    h.replace(148, 7, std::string(field, 6) + '\0');
    return h;
}

// A gzipped tar of letters of zeros, megabytes each, that REPLIES lists:
// a few kilobytes that expand to what they declare.
std::string tarbomb(const std::vector<unsigned>& megabytes) {
    static const std::string mb = gzipped(std::string(1 << 20, '\0'));
    std::string replies;
    for (size_t i = 0; i < megabytes.size(); i++) replies += "R" + std::to_string(1000000 + i) + "\tmail\tb\n";
    std::string padding((512 - replies.size() % 512) % 512, '\0');
    std::string out = gzipped(tarheader("REPLIES", replies.size()) + replies + padding);
    for (size_t i = 0; i < megabytes.size(); i++) {
        out += gzipped(tarheader("R" + std::to_string(1000000 + i) + ".MSG", (1ull << 20) * megabytes[i]));
        for (unsigned k = 0; k < megabytes[i]; k++) out += mb;
    }
    return out + gzipped(std::string(1024, '\0'));
}

TEST(ReaderPacket, FetchedFilesPackedIntoAZipOrATgzNumberedAnew) {
    for (const char* format : {"zip", "tgz"}) {
        Reader r(std::string("READERPACKETFORMAT ") + format + "\n");
        writefile(r.down + "vorpa0007.zip", "read already");
        r.fetched();
        RunResult out = r.run({"all"});
        std::string archive = r.down + "vorpa0008." + format;
        EXPECT_EQ(out.status, 0) << out.err;
        EXPECT_TRUE(contains(out.out, "\nPacked 2 mails and 1 article into " + archive + "\n")) << out.out;
        // A line whose file is gone goes with the rest.
        EXPECT_EQ(listdir(r.soup), std::vector<std::string>{});
        EXPECT_EQ(listdir(r.down), (std::vector<std::string>{"vorpa0007.zip", "vorpa0008." + std::string(format)}));
        EXPECT_EQ(unpacked(archive), (Entries{{"AREAS", "00000000\tEmail (ann)\tbn\n00000001\tcomp.x\tBn\n"},
                                              {"00000000.MSG", record("From: a\n\none\n") + record("From: b\n\ntwo\n")},
                                              {"00000001.MSG", record("Newsgroups: comp.x\n\nart\n")}}));
        // Nothing fetched, nothing packed.
        out = r.run({"all"});
        EXPECT_FALSE(contains(out.out, "Packed")) << out.out;
        EXPECT_EQ(listdir(r.down).size(), 2u);
    }
}

// Killed before the archive took its name, or after, while the files left
// the packet: the next run finishes, and every message is in one archive.
TEST(ReaderPacket, AKilledPackingIsFinishedWithEachMessageInOneArchive) {
    if (!fileexists("/usr/bin/strace")) GTEST_SKIP() << "needs /usr/bin/strace";
    Reader r;
    for (const std::string& at : {"-P " + r.down + "vorpa0001.zip -e trace=rename,renameat2 -e inject=rename,renameat2",
                                  "-P " + r.soup + "0000000A.MSG -e trace=unlink,unlinkat -e inject=unlink,unlinkat"}) {
        for (const std::string& name : listdir(r.down)) std::remove((r.down + name).c_str());
        r.fetched();
        RunResult killed = r.run({"all"}, "ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 exec "
                                          "/usr/bin/strace -f -o /dev/null " + at + ":signal=KILL");
        EXPECT_NE(killed.status, 0) << at;
        EXPECT_FALSE(contains(killed.out, "Packed")) << killed.out;
        RunResult clean = r.run({"all"});
        EXPECT_EQ(clean.status, 0) << clean.out << clean.err;
        EXPECT_EQ(listdir(r.soup), std::vector<std::string>{}) << at;
        std::vector<std::string> archives = listdir(r.down);
        ASSERT_EQ(archives.size(), 1u) << at;
        Entries entries = unpacked(r.down + archives[0]);
        ASSERT_EQ(entries.size(), 3u) << at;
        EXPECT_EQ(entries[0].second, "00000000\tEmail (ann)\tbn\n00000001\tcomp.x\tBn\n") << at;
    }
}

// A reply packet as readers write it, numbered from R0000000 again, and
// one unpacked by a reader's own options (lower case, format n), beside a
// letter kept from an earlier run: nothing overwritten, all of them sent;
// the same archive once more is not taken in again.
TEST(ReplyArchives, TakenInBesideAKeptLetterAndAllSent) {
    Reader r("SMTPHOST 127.0.0.1\n");
    auto letter = [](int n) {
        return "From: s" + std::to_string(n) + "@x.org\nTo: r@y.org\nSubject: " + std::to_string(n) + "\n\nbody\n";
    };
    writefile(r.soup + "R0000002.MSG", record(letter(0)));
    writefile(r.soup + "REPLIES", "R0000002\tmail\tb\n");
    writearchive(r.up + "vorpa0001.rep",
                 {{"REPLIES", "R0000000\tmail\tbn\r\nR0000001\tmail\tb\r\nR0000002\tmail\tb\r\n"},
                  {"R0000000.MSG", record(letter(1))},
                  {"R0000001.MSG", record(letter(2))},
                  {"R0000002.MSG", record(letter(3))}},
                 true);
    writearchive(r.up + "soupin1.tgz",
                 {{"replies", "r0000000\tmail\tn\n"},
                  {"r0000000.msg", "#! rnews " + std::to_string(letter(4).size()) + "\n" + letter(4)}},
                 false);
    ScriptedServer server(25);
    Script& s = server.session();
    s.send("220 ready\r\n").expect("EHLO myhost\r\n").send("250 hello\r\n");
    for (int n : {0, 4, 1, 2, 3}) {
        std::string i = std::to_string(n);
        s.expect("MAIL FROM:<s" + i + "@x.org>\r\n").send("250 ok\r\n");
        s.expect("RCPT TO:<r@y.org>\r\n").send("250 ok\r\n").expect("DATA\r\n").send("354 go\r\n");
        s.expect("From: s" + i + "@x.org\r\n").expectdata().send("250 queued\r\n");
    }
    s.expect("QUIT\r\n").send("221 bye\r\n");
    server.start();
    RunResult out = r.run({"email", "post"});
    EXPECT_TRUE(server.finish()) << server.errortext() << out.out;
    EXPECT_EQ(out.status, 0) << out.out << out.err;
    EXPECT_TRUE(contains(out.out, "\nTook in 1 letter from " + r.up + "soupin1.tgz\nTook in 3 letters from " + r.up +
                                      "vorpa0001.rep\n"))
        << out.out;
    EXPECT_EQ(listdir(r.soup), std::vector<std::string>{});
    EXPECT_EQ(listdir(r.up), std::vector<std::string>{"imported"});
    EXPECT_EQ(listdir(r.up + "imported"), (std::vector<std::string>{"soupin1.tgz", "vorpa0001.rep"}));

    writefile(r.up + "vorpa0001.rep", readfile(r.up + "imported/vorpa0001.rep"));
    out = r.run({"email", "post"});
    EXPECT_EQ(out.status, 0) << out.out << out.err;
    EXPECT_TRUE(contains(out.out, "Reply archive " + r.up + "vorpa0001.rep was taken in before: moved to " + r.up +
                                      "imported/vorpa0001.rep.1\n"))
        << out.out;
    EXPECT_EQ(listdir(r.soup), std::vector<std::string>{});
}

// Untrusted archives: refused whole, named, left where they are, and
// nothing of them written into the packet.
TEST(ReplyArchives, HostileOrDamagedArchivesAreLeftAndNothingIsWritten) {
    const std::string replies = "R0000000\tmail\tb\n";
    const std::string msg = record("From: a@x.org\n\nx\n");
    std::string zip;
    {
        Reader scratch;
        writearchive(scratch.up + "z", {{"REPLIES", replies}, {"R0000000.MSG", std::string(100000, 'x')}}, true);
        zip = readfile(scratch.up + "z");
    }
    struct Case {
        Case(std::vector<Entry> entries, std::string bytes, std::string reason, bool zip = true)
            : entries(std::move(entries)), bytes(std::move(bytes)), reason(std::move(reason)), zip(zip) {}
        std::vector<Entry> entries;
        std::string bytes;  // in place of entries
        std::string reason;
        bool zip;  // a tgz else, which holds what a zip cannot
    };
    std::vector<Case> cases = {
        {{{"REPLIES", replies}, {"R0000000.MSG", msg}, {"../x", msg}}, "", "\"../x\" is no plain file name"},
        {{{"REPLIES", replies}, {"R0000000.MSG", msg}, {"/tmp/x", msg}}, "", "\"/tmp/x\" is no plain file name"},
        {{{"REPLIES", replies}, {"R0000000.MSG", "", AE_IFLNK, "/etc/passwd"}}, "", "\"R0000000.MSG\" is a link"},
        {{{"REPLIES", replies}, {"R0000000.MSG", msg}, {"fifo", "", AE_IFIFO}}, "", "\"fifo\" is a device or other",
         false},
        {{{"REPLIES", replies + "R0000001\tmail\tb\n"}, {"R0000000.MSG", msg}}, "",
         "its REPLIES names R0000001.MSG, which it lacks"},
        {{{"R0000000.MSG", msg}}, "", "it holds no REPLIES"},
        {{}, tarbomb({2048}), "\"R1000000.MSG\" is over 64 MB"},
        {{}, tarbomb(std::vector<unsigned>(34, 60)), "it expands past 1 GB"},
        {{}, zip.substr(0, zip.size() / 2), "damaged: "},
        {{}, "REPLIES\n", "damaged: not a zip or tar archive"},
    };
    for (const Case& c : cases) {
        Reader r;
        writefile(r.soup + "R0000002.MSG", msg);
        writefile(r.soup + "REPLIES", "R0000002\tmail\tb\n");
        if (c.bytes.empty()) writearchive(r.up + "vorpa0001.rep", c.entries, c.zip);
        else writefile(r.up + "vorpa0001.rep", c.bytes);
        std::string archive = readfile(r.up + "vorpa0001.rep");
        RunResult out = r.run({"fetch"});
        EXPECT_EQ(out.status, 2) << c.reason;
        EXPECT_TRUE(contains(out.out, "! Reply archive " + r.up + "vorpa0001.rep left where it is: " + c.reason))
            << c.reason << "\n" << out.out;
        EXPECT_EQ(listdir(r.soup), (std::vector<std::string>{"R0000002.MSG", "REPLIES"})) << c.reason;
        EXPECT_EQ(readfile(r.soup + "REPLIES"), "R0000002\tmail\tb\n");
        EXPECT_EQ(listdir(r.up), std::vector<std::string>{"vorpa0001.rep"});
        EXPECT_EQ(readfile(r.up + "vorpa0001.rep"), archive);
    }
}

}  // namespace
