// The one place reports go: the console and, when open, the log; and the
// progress meter of the two fetch phases.
#ifndef VORPA_CORE_REPORT_H
#define VORPA_CORE_REPORT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

class Report {
public:
    explicit Report(bool verbose = false) : verbose(verbose) {}
    Report(const Report&) = delete;
    Report& operator=(const Report&) = delete;

    // printf-style report to the console and the log, written whole.
    void say(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // The same, only in verbose mode: the "+ " lines of every step.
    void step(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // len bytes of text, as say writes what it formatted. The log is
    // flushed when the text ends a line.
    void write(const char* text, size_t len);
    // len bytes of text, to the console only.
    void show(const char* text, size_t len) { fwrite(text, 1, len, stdout); }
    // printf-style, to the console only.
    void console(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // perror(). Standard output is flushed first: into a file or a pipe it
    // is gathered, and a cron mail holding both streams must show the
    // error where it happened among the reports.
    void syserror(const char* what);
    // "what: reason" on the error stream, as syserror writes it.
    void error(const char* what, const char* reason);

    const bool verbose;
    // The log stream, or null when no log is written; the driver opens and
    // closes it.
    FILE* log = nullptr;
    int logerror = 0;  // errno of the first failed write to the log
};

// Millisecond clock: (seconds % 1000000) * 1000 + microseconds / 1000.
uint32_t mtime();

// Rate in bytes per second over elapsed milliseconds, without overflow.
uint32_t ratecps(uint64_t bytes, uint32_t elapsedms);

// The one-line progress meter of the two fetch phases, drawn on the console
// only when the standard output is a terminal: into a file or a pipe (a
// cron job's mail) the reports go alone.
class Meter {
public:
    explicit Meter(Report& out);
    // live: whether to draw.
    Meter(Report& out, bool live) : out(out), live(live) {}
    // Start of a unit: the next show() always draws.
    void forget() { drawnpercent = -1; }
    // Draws "\r%d%%" (and the rates when cur is not 0) if anything changed.
    // A fast transfer of small messages draws a new percentage for nearly
    // every received line: that drawing is inline and put together by hand.
    void show(int percent, uint32_t cur, uint32_t avg) {
        if (!live || (percent == drawnpercent && cur == drawncur && avg == drawnavg)) return;
        if (cur == 0 && percent >= 0 && percent < 100) {
            FILE* console = stdout;
            putc_unlocked('\r', console);
            if (percent >= 10) putc_unlocked(static_cast<char>('0' + percent / 10), console);
            putc_unlocked(static_cast<char>('0' + percent % 10), console);
            putc_unlocked('%', console);
        } else {
            drawwhole(percent, cur, avg);
        }
        fflush(stdout);
        drawnpercent = percent;
        drawncur = cur;
        drawnavg = avg;
    }
    // A report line (len bytes) that must appear while the meter is shown.
    void report(int percent, const char* text, size_t len);
    // Wipes the meter line at the end of a unit.
    void erase();

private:
    // "\r%d%%" and, with a rate, " [%u cps, %u avg]      \b\b\b\b\b\b".
    void drawwhole(int percent, uint32_t cur, uint32_t avg);

    Report& out;
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
