// News fetch benchmark: vorpa fetches the articles of one group from a
// server in this process, in a private network namespace:
//   (a) 20,000 articles of about 3 KB on loopback,
//   (b) 2,000 articles of about 5 KB on loopback,
//   (c) 200 articles of about 5 KB behind a relay that delays each
//       direction by 100 ms,
//   (d) 200 groups of one or two articles of about 1 KB on loopback, where
//       every group's mark is journaled,
//   (e) 50 groups of 4 articles of about 5 KB behind a relay that delays
//       each direction by 100 ms,
//   (f) to (i) 1, 50, 500 and 5000 groups of 4 articles of about 1 KB on
//       loopback: a run must grow with the groups, not their square.
// For each it prints wall time, CPU time and peak resident memory of vorpa,
// checks every stored record, and sets the wall time beside that of a bare
// client that sends every command (GROUP and ARTICLE) at once and reads the
// answers, over the same path. The server writes each answer in two parts, status
// line and text, as INN's nnrpd does.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "benchkit.h"

namespace {

struct Scenario {
    const char* name;
    long count;
    size_t size;  // of an article, about
    int delayms;  // each way; 0 for none
    int runs;
};

const Scenario scenarios[] = {
    {"a", 20000, 3000, 0, 3},
    {"b", 2000, 5000, 0, 5},
    {"c", 200, 5000, 100, 3},
};

// Article n as sent: headers, a blank line and a body of 68-character
// lines, every tenth of them starting with a dot (stuffed on the wire).
std::string wirearticle(long n, size_t size) {
    std::string num = std::to_string(n);
    std::string text =
        "Path: bench!not-for-mail\r\nFrom: bench@example.test\r\nNewsgroups: bench.group\r\n"
        "Subject: benchmark article " +
        num + "\r\nMessage-ID: <" + num +
        "@bench.test>\r\n"
        "Date: Wed, 9 Dec 2026 00:00:00 +0000\r\n\r\n";
    for (int i = 0; text.size() < size; i++) {
        std::string line(68, static_cast<char>('a' + (n + i) % 26));
        if (i % 10 == 0) line[0] = '.';
        text += (line[0] == '.' ? "." : "") + line + "\r\n";
    }
    return text;
}

// The same article as stored: dots unstuffed, LF line ends.
std::string stored(const std::string& wire) {
    std::string out;
    size_t at = 0;
    while (at < wire.size()) {
        size_t end = wire.find("\r\n", at);
        size_t from = wire[at] == '.' ? at + 1 : at;
        out.append(wire, from, end - from).push_back('\n');
        at = end + 2;
    }
    return out;
}

// Serves one session: GROUP, then ARTICLE for any number, then QUIT.
// served tells whether the session ended with QUIT.
void serve(int listener, const Scenario& sc, bool& served) {
    served = false;
    int fd = acceptbounded(listener);
    if (fd < 0) return;
    LineReader in(fd);
    std::string line;
    bool ok = sendall(fd, "200 bench server ready\r\n");
    while (ok && in.line(line)) {
        long n;
        if (line.compare(0, 6, "GROUP ") == 0) {
            ok = sendall(fd, "211 " + std::to_string(sc.count) + " 1 " + std::to_string(sc.count) + " bench.group\r\n");
        } else if (std::sscanf(line.c_str(), "ARTICLE %ld", &n) == 1 && n >= 1 && n <= sc.count) {
            ok = sendall(fd, "220 " + std::to_string(n) + " <" + std::to_string(n) + "@bench.test> article\r\n") &&
                 sendall(fd, wirearticle(n, sc.size) + ".\r\n");
        } else if (line == "QUIT\r\n") {
            served = sendall(fd, "205 bye\r\n");
            break;
        } else {
            ok = sendall(fd, "500 what?\r\n");
        }
    }
    close(fd);
}

// The bare client: every ARTICLE command sent at once (from a thread of
// its own, so that sending never waits on reading), every answer read.
// True when all articles came.
bool bare(unsigned short port, const Scenario& sc) {
    int fd = connectloopback(port);
    if (fd < 0) return false;
    LineReader in(fd);
    std::string line;
    bool ok = in.line(line) && sendall(fd, "GROUP bench.group\r\n") && in.line(line);
    std::string commands;
    for (long n = 1; n <= sc.count; n++) commands += "ARTICLE " + std::to_string(n) + "\r\n";
    std::thread sender([&] { ok = sendall(fd, commands) && ok; });
    long articles = 0;
    for (long n = 1; n <= sc.count && in.line(line); n++) {
        if (line.compare(0, 4, "220 ") != 0) continue;
        while (in.line(line) && line != ".\r\n") {
        }
        articles += line == ".\r\n";
    }
    sender.join();
    ok = ok && sendall(fd, "QUIT\r\n") && in.line(line);
    close(fd);
    return ok && articles == sc.count;
}

// Every record whole and in order, and the new mark in place: the number of
// articles stored right, or -1 when anything else is wrong.
long check(const std::string& dir, const Scenario& sc) {
    std::string packet = readwhole(dir + "/soup/00000000.MSG");
    size_t at = 0;
    long good = 0;
    for (long n = 1; n <= sc.count && at + 4 <= packet.size(); n++, at += 4) {
        std::string text = stored(wirearticle(n, sc.size));
        const unsigned char* p = reinterpret_cast<const unsigned char*>(packet.data() + at);
        size_t len = size_t(p[0]) << 24 | size_t(p[1]) << 16 | size_t(p[2]) << 8 | p[3];
        if (len != text.size() || packet.compare(at + 4, len, text) != 0) break;
        at += len;
        good++;
    }
    bool whole =
        at == packet.size() && readwhole(dir + "/newsrc") == "bench.group: 0-" + std::to_string(sc.count) + "\n";
    return whole ? good : -1;
}

bool run(const Scenario& sc, const std::string& dir) {
    unsigned short serverport;
    int listener = listenloopback(serverport);
    std::unique_ptr<Relay> relay;
    if (sc.delayms > 0) relay = std::make_unique<Relay>(serverport, std::chrono::milliseconds(sc.delayms));
    unsigned short port = relay ? relay->port : serverport;
    std::string soup = dir + "/soup/";
    mkdir(soup.c_str(), 0700);
    writewhole(dir + "/vorpa.cfg", "NNTPHOST 127.0.0.1:" + std::to_string(port) + "\nSOUPDIR " + soup +
                                       "\nNEWSGROUPS " + dir + "/newsrc\n");

    Figures runs;
    bool ok = true;
    long good = 0;
    for (int i = 0; i < sc.runs; i++) {
        writewhole(dir + "/newsrc", "bench.group: 0-0\n");
        bool served;
        std::thread server(serve, listener, std::cref(sc), std::ref(served));
        Measure m = runvorpa({"news", "fetch", "/config=" + dir + "/vorpa.cfg"}, dir, 600);
        server.join();
        good = check(dir, sc);
        if (m.status != 0 || !served || good != sc.count) {
            ok = false;
            std::printf("vorpa run failed (exit %d); its output:\n%s\n", m.status, readwhole(dir + "/output").c_str());
        }
        unlink((soup + "00000000.MSG").c_str());
        unlink((soup + "AREAS").c_str());
        runs.vorpa.push_back(m);

        std::thread bareserver(serve, listener, std::cref(sc), std::ref(served));
        Clock::time_point start = Clock::now();
        bool bareok = bare(port, sc);
        runs.bare.push_back(std::chrono::duration<double>(Clock::now() - start).count());
        bareserver.join();
        if (!bareok || !served) {
            ok = false;
            std::printf("bare client failed\n");
        }
    }
    relay.reset();
    close(listener);
    rmdir(soup.c_str());

    std::printf("(%s) %ld articles of about %zu bytes in one group, ", sc.name, sc.count, sc.size);
    if (sc.delayms > 0)
        std::printf("%d ms each way", sc.delayms);
    else
        std::printf("on loopback");
    std::printf("; %s\n", runsof(sc.runs).c_str());
    printfigures(runs, sc.count, "articles", sc.delayms > 0 ? 4 : 0);
    std::printf("  check:       %s (%ld articles stored byte for byte)\n", ok ? "passed" : "FAILED", good);
    return ok;
}

// Scenarios of many groups.
struct Groups {
    const char* name;
    int count;
    long articles;  // in each group; 0: one or two, by turns
    size_t size;    // of an article, about
    int delayms;    // each way; 0 for none
    int runs;
    long articlesof(int g) const { return articles > 0 ? articles : 1 + g % 2; }
};

const Groups groupscenarios[] = {
    {"d", 200, 0, 1000, 0, 7},
    {"e", 50, 4, 5000, 100, 3},
    {"f", 1, 4, 1000, 0, 5},
    {"g", 50, 4, 1000, 0, 5},
    {"h", 500, 4, 1000, 0, 3},
    {"i", 5000, 4, 1000, 0, 1},
};

std::string groupname(int g) { return "bench.g" + std::to_string(g); }

// Serves one session of many groups: GROUP of any bench group, ARTICLE of
// the numbers of the group selected last, QUIT.
void servegroups(int listener, const Groups& gs, bool& served) {
    served = false;
    int fd = acceptbounded(listener);
    if (fd < 0) return;
    LineReader in(fd);
    std::string line;
    bool ok = sendall(fd, "200 bench server ready\r\n");
    long count = 0;
    long n;
    int g;
    while (ok && in.line(line)) {
        if (std::sscanf(line.c_str(), "GROUP bench.g%d", &g) == 1 && g >= 0 && g < gs.count) {
            count = gs.articlesof(g);
            ok = sendall(fd, "211 " + std::to_string(count) + " 1 " + std::to_string(count) + " " + groupname(g) +
                                 "\r\n");
        } else if (std::sscanf(line.c_str(), "ARTICLE %ld", &n) == 1 && n >= 1 && n <= count) {
            // Each group's articles are its own: no cross-posts.
            ok = sendall(fd, "220 " + std::to_string(n) + " <" + std::to_string(n) + "." + std::to_string(g) +
                                 "@bench.test> article\r\n") &&
                 sendall(fd, wirearticle(n, gs.size) + ".\r\n");
        } else if (line == "QUIT\r\n") {
            served = sendall(fd, "205 bye\r\n");
            break;
        } else {
            ok = sendall(fd, "500 what?\r\n");
        }
    }
    close(fd);
}

// The bare client of many groups: every GROUP and ARTICLE sent at once
// (from a thread of its own), every answer read. True when all came.
bool baregroups(unsigned short port, const Groups& gs) {
    int fd = connectloopback(port);
    if (fd < 0) return false;
    LineReader in(fd);
    std::string line;
    bool ok = in.line(line);
    std::string commands;
    long total = 0;
    for (int g = 0; g < gs.count; g++) {
        commands += "GROUP " + groupname(g) + "\r\n";
        for (long n = 1; n <= gs.articlesof(g); n++) commands += "ARTICLE " + std::to_string(n) + "\r\n";
        total += gs.articlesof(g);
    }
    bool sent = false;
    std::thread sender([&] { sent = sendall(fd, commands); });
    long articles = 0;
    for (int g = 0; g < gs.count && ok; g++) {
        ok = in.line(line) && line.compare(0, 4, "211 ") == 0;
        for (long n = 1; n <= gs.articlesof(g) && ok && in.line(line); n++) {
            if (line.compare(0, 4, "220 ") != 0) continue;
            while (in.line(line) && line != ".\r\n") {
            }
            articles += line == ".\r\n";
        }
    }
    sender.join();
    ok = ok && sent && sendall(fd, "QUIT\r\n") && in.line(line);
    close(fd);
    return ok && articles == total;
}

// Every group's file, its AREAS line and its new mark.
bool checkgroups(const std::string& dir, const Groups& gs) {
    std::string areas, newsrc;
    for (int g = 0; g < gs.count; g++) {
        char number[16];
        std::snprintf(number, sizeof number, "%08X", static_cast<unsigned>(g));
        std::string packet;
        for (long n = 1; n <= gs.articlesof(g); n++) {
            std::string text = stored(wirearticle(n, gs.size));
            size_t len = text.size();
            packet += std::string{char(len >> 24), char(len >> 16), char(len >> 8), char(len)} + text;
        }
        if (readwhole(dir + "/soup/" + number + ".MSG") != packet) return false;
        areas += std::string(number) + "\t" + groupname(g) + "\tBn\n";
        newsrc += groupname(g) + ": 0-" + std::to_string(gs.articlesof(g)) + "\n";
    }
    return readwhole(dir + "/soup/AREAS") == areas && readwhole(dir + "/newsrc") == newsrc;
}

bool rungroups(const Groups& gs, const std::string& dir) {
    unsigned short serverport;
    int listener = listenloopback(serverport);
    std::unique_ptr<Relay> relay;
    if (gs.delayms > 0) relay = std::make_unique<Relay>(serverport, std::chrono::milliseconds(gs.delayms));
    unsigned short port = relay ? relay->port : serverport;
    std::string soup = dir + "/soup/";
    mkdir(soup.c_str(), 0700);
    writewhole(dir + "/vorpa.cfg", "NNTPHOST 127.0.0.1:" + std::to_string(port) + "\nSOUPDIR " + soup +
                                       "\nNEWSGROUPS " + dir + "/newsrc\n");
    std::string state;
    long articles = 0;
    for (int g = 0; g < gs.count; g++) {
        state += groupname(g) + ": 0-0\n";
        articles += gs.articlesof(g);
    }
    Figures runs;
    bool ok = true;
    for (int i = 0; i < gs.runs; i++) {
        writewhole(dir + "/newsrc", state);
        bool served;
        std::thread server(servegroups, listener, std::cref(gs), std::ref(served));
        Measure m = runvorpa({"news", "fetch", "/config=" + dir + "/vorpa.cfg"}, dir, 600);
        server.join();
        if (m.status != 0 || !served || !checkgroups(dir, gs)) {
            ok = false;
            std::printf("vorpa run failed (exit %d); its output:\n%s\n", m.status, readwhole(dir + "/output").c_str());
        }
        // Put aside until the end, not removed: ext4 makes each new inode
        // pass over the ones freed in the last minutes, which would charge
        // the next run for this one's removal.
        std::string spent = dir + "/spent-" + gs.name + std::to_string(i);
        if (rename((dir + "/soup").c_str(), spent.c_str()) != 0 || mkdir(soup.c_str(), 0700) != 0) ok = false;
        runs.vorpa.push_back(m);

        std::thread bareserver(servegroups, listener, std::cref(gs), std::ref(served));
        Clock::time_point start = Clock::now();
        bool bareok = baregroups(port, gs);
        runs.bare.push_back(std::chrono::duration<double>(Clock::now() - start).count());
        bareserver.join();
        if (!bareok || !served) {
            ok = false;
            std::printf("bare client failed\n");
        }
    }
    relay.reset();
    close(listener);
    rmdir(soup.c_str());
    std::printf("(%s) %d groups of %s articles of about %zu bytes, ", gs.name, gs.count,
                gs.articles > 0 ? std::to_string(gs.articles).c_str() : "1 or 2", gs.size);
    if (gs.delayms > 0)
        std::printf("%d ms each way", gs.delayms);
    else
        std::printf("on loopback");
    std::printf("; %s\n", runsof(gs.runs).c_str());
    printfigures(runs, articles, "articles", gs.delayms > 0 ? 2 : 0);
    std::printf("  check:       %s\n", ok ? "passed" : "FAILED");
    return ok;
}

}  // namespace

// With an argument "a" to "i", runs only that scenario.
int main(int argc, char** argv) {
    isolate();
    std::string only = argc > 1 ? argv[1] : "";
    std::string dir = tempdir("vorpa-newsbench");
    std::printf("vorpa: %s\n", vorpabinary());
    bool ok = true;
    for (const Scenario& sc : scenarios)
        if (only.empty() || only == sc.name) ok = run(sc, dir) && ok;
    for (const Groups& gs : groupscenarios)
        if (only.empty() || only == gs.name) ok = rungroups(gs, dir) && ok;
    std::system(("rm -rf '" + dir + "'").c_str());
    return ok ? 0 : 1;
}
