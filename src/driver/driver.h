// Run flags, console/log output, the progress meter and small file helpers
// shared by every phase.
#ifndef VORPA_DRIVER_H
#define VORPA_DRIVER_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

// transfer[] indices
enum { FETCHMAIL = 0, POSTMAIL = 1, FETCHNEWS = 2, POSTNEWS = 3 };

extern int transfer[4];
extern int testmode;
extern int verbose;
extern int listnews;
extern char listfilename[4096];
extern unsigned int listyear, listmonth, listday, listhour, listmin, listsec;
// REPLIES removal vote: -1 no verdict, 0 keep, 1 remove.
extern int killreplies;

extern const char osstr[];

// Log stream, or null when no log is written. In a namespace because the
// C library's logf() owns the global name.
namespace vorpa {
extern FILE* logf;
}

// printf-style report to the console and, when open, to the log.
// Messages of any length are written whole to both.
void logprintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Writes len bytes of text as logprintf writes what it formatted: to the
// console and, when open, to the log.
void logwrite(const char* text, size_t len);

// perror() for the phases. Standard output is flushed first: into a file or
// a pipe it is gathered, and a cron mail holding both streams must show the
// error where it happened among the reports.
void syserror(const char* what);

// Millisecond clock: (seconds % 1000000) * 1000 + microseconds / 1000.
uint32_t mtime();

// Writes v in decimal at p (20 characters at most) and returns the end.
// For the lines written once per message, where printf costs more than the
// rest of their handling.
char* putlong(char* p, long v);
// Copies text without its terminator to p and returns the end.
char* puttext(char* p, const char* text);

// Case-insensitive comparison of exactly n bytes.
int memicmp(const void* a, const void* b, unsigned n);
// 1 when a file or directory of that path exists.
int exist(const char* path);
// Ends the process with status 1 when the directory (given with its
// trailing "/") does not exist.
void checkdir(char* path);

// Socket layer start-up and shut-down hooks; nothing to do on this platform.
int sock_init();
void sock_deinit();

// Rate in bytes per second over elapsed milliseconds, without overflow.
uint32_t ratecps(uint64_t bytes, uint32_t elapsedms);

// The one-line progress meter of the two fetch phases, drawn on the console
// only when the standard output is a terminal: into a file or a pipe (a
// cron job's mail) the reports go alone.
class Meter {
public:
    Meter();
    // live: whether to draw.
    explicit Meter(bool live) : live(live) {}
    // Start of a unit: the next show() always draws.
    void forget() { drawnpercent = -1; }
    // Draws "\r%d%%" (and the rates when cur is not 0) if anything changed.
    // A fast transfer of small messages draws a new percentage for nearly
    // every received line: that drawing is inline and put together by hand.
    void show(int percent, uint32_t cur, uint32_t avg) {
        if (!live || (percent == drawnpercent && cur == drawncur && avg == drawnavg)) return;
        if (cur == 0 && percent >= 0 && percent < 100) {
            FILE* out = stdout;
            putc_unlocked('\r', out);
            if (percent >= 10) putc_unlocked(static_cast<char>('0' + percent / 10), out);
            putc_unlocked(static_cast<char>('0' + percent % 10), out);
            putc_unlocked('%', out);
        } else {
            drawwhole(percent, cur, avg);
        }
        fflush(stdout);
        drawnpercent = percent;
        drawncur = cur;
        drawnavg = avg;
    }
    // A report line (len bytes, through logwrite) that must appear while
    // the meter is shown (mail fetch).
    void report(int percent, const char* text, size_t len);
    // Wipes the meter line at the end of a unit.
    void erase();

private:
    // "\r%d%%" and, with a rate, " [%u cps, %u avg]      \b\b\b\b\b\b".
    void drawwhole(int percent, uint32_t cur, uint32_t avg);

    bool live;  // standard output is a terminal
    int drawnpercent = -1;
    uint32_t drawncur = 0;
    uint32_t drawnavg = 0;
};

// A 5000-byte measuring window of the current transfer rate.
struct RateWindow {
    uint32_t start = 0;
    uint32_t bytes = 0;
    uint32_t rate = 0;
    void restart();  // start now, bytes and rate 0
    // Counts a received line. When the window holds more than 5000 bytes it
    // closes: the rate is recomputed if the clock moved on and the window
    // restarts. Returns the bytes of the closed window, 0 if still open.
    uint32_t add(uint32_t len) {
        bytes += len;
        return bytes <= 5000 ? 0 : close();
    }

private:
    uint32_t close();
};

#endif
