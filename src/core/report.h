// The one place reports go: the console, the log and the error stream,
// and the progress meter of the two fetch phases. Every line of the
// program reaches them through a Report, which formats it and hands it to
// its sink with the channel it belongs to.
#ifndef VORPA_CORE_REPORT_H
#define VORPA_CORE_REPORT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

enum class Channel {
    Both,     // console and log: the reports of the run
    Console,  // console only
    Live,     // console only, shown at once: the progress meter, the banner
    Log,      // log only: the header line of a run
    Error,    // error stream, after what the console holds, and the log
};

class Report {
public:
    // terminal: whether the console is one, so that the meter is drawn.
    explicit Report(bool verbose = false, bool terminal = false) : verbose(verbose), terminal(terminal) {}
    virtual ~Report() = default;
    Report(const Report&) = delete;
    Report& operator=(const Report&) = delete;

    // len bytes of text for channel: the one way out of every report.
    virtual void put(Channel channel, const char* text, size_t len) = 0;

    // printf-style report to the console and the log, written whole.
    void say(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // The same, only in verbose mode: the "+ " lines of every step.
    void step(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // len bytes of text, as say writes what it formatted.
    void write(const char* text, size_t len) { put(Channel::Both, text, len); }
    // len bytes of text, to the console only.
    void show(const char* text, size_t len) { put(Channel::Console, text, len); }
    // printf-style, to the console only.
    void console(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // printf-style, to the log only.
    void logonly(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // printf-style, to the error stream and the log.
    void alert(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // "what: " and the text of errno on the error stream, as perror() has it.
    void syserror(const char* what);
    // "what: reason" on the error stream, as syserror writes it.
    void error(const char* what, const char* reason);
    // Shows at once what the console has gathered: before a wait that may
    // last, or output of another program's.
    void flush() { put(Channel::Live, "", 0); }

    bool verbose;  // known once the command line is read
    const bool terminal;
};

// The console, the log and the error stream of a run.
class ConsoleReport : public Report {
public:
    explicit ConsoleReport(bool verbose = false);
    // The log is flushed when a text ends a line. The error stream gets a
    // text after standard output was flushed: into a file or a pipe that is
    // gathered, and a cron mail holding both streams must show the error
    // where it happened among the reports.
    void put(Channel channel, const char* text, size_t len) override;

    // The log stream, or null when no log is written; the driver opens and
    // closes it.
    FILE* log = nullptr;
    int logerror = 0;  // errno of the first failed write to the log
};

// Keeps what is reported, each text with its channel, to hand it on later
// in the same order: the lines of work done while another sink had the
// console.
class ReportBuffer : public Report {
public:
    using Report::Report;
    void put(Channel channel, const char* text, size_t len) override;
    // Hands what was kept to to, and forgets it.
    void replay(Report& to);
    // How many texts are kept; cut(n) forgets those after the first n.
    size_t size() const { return pieces.size(); }
    void cut(size_t n);

private:
    std::string texts;
    std::vector<std::pair<Channel, size_t>> pieces;  // lengths, in order
};

// Millisecond clock: (seconds % 1000000) * 1000 + microseconds / 1000.
uint32_t mtime();

// Rate in bytes per second over elapsed milliseconds, without overflow.
uint32_t ratecps(uint64_t bytes, uint32_t elapsedms);

// The one-line progress meter of the two fetch phases, drawn only when the
// report's console is a terminal: into a file or a pipe (a cron job's
// mail) the reports go alone.
class Meter {
public:
    explicit Meter(Report& out) : out(out), live(out.terminal) {}
    // live: whether to draw.
    Meter(Report& out, bool live) : out(out), live(live) {}
    // Start of a unit: the next show() always draws.
    void forget() { drawnpercent = -1; }
    // Draws "\r%d%%" (and the rates when cur is not 0) if anything changed.
    // A fast transfer checks for nearly every received line: the check is
    // inline.
    void show(int percent, uint32_t cur, uint32_t avg) {
        if (!live || (percent == drawnpercent && cur == drawncur && avg == drawnavg)) return;
        draw(percent, cur, avg);
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
    void draw(int percent, uint32_t cur, uint32_t avg);

    Report& out;
    bool live;
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
