#include "core/report.h"

#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <string>

#include "core/text.h"

namespace {

void vreport(Report& report, Channel channel, const char* format, va_list ap) {
    // The common case formats on the stack; longer messages are formatted
    // again into a string of their own size so that nothing is cut.
    char buf[200];
    va_list again;
    va_copy(again, ap);
    int n = vsnprintf(buf, sizeof buf, format, ap);
    if (n < 0) {
        va_end(again);
        return;
    }
    if (static_cast<size_t>(n) < sizeof buf) {
        report.put(channel, buf, n);
    } else {
        std::string whole(static_cast<size_t>(n) + 1, '\0');
        vsnprintf(&whole[0], whole.size(), format, again);
        report.put(channel, whole.data(), n);
    }
    va_end(again);
}

// A server's line quoted in a report comes with its CR LF: the CR would
// show as "^M" in a cron mail and in the log.
void putwithoutcr(const char* text, size_t len, FILE* to) {
    const char* end = text + len;
    for (const char* p = text; p < end;) {
        const char* cr = static_cast<const char*>(memchr(p, '\r', static_cast<size_t>(end - p)));
        if (!cr) {
            fwrite(p, 1, static_cast<size_t>(end - p), to);
            return;
        }
        bool crlf = cr + 1 < end && cr[1] == '\n';
        fwrite(p, 1, static_cast<size_t>(cr - p) + (crlf ? 0 : 1), to);
        p = cr + 1;
    }
}

}  // namespace

void Report::say(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    vreport(*this, Channel::Both, format, ap);
    va_end(ap);
}

void Report::step(const char* format, ...) {
    if (!verbose) return;
    va_list ap;
    va_start(ap, format);
    vreport(*this, Channel::Both, format, ap);
    va_end(ap);
}

void Report::console(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    vreport(*this, Channel::Console, format, ap);
    va_end(ap);
}

void Report::logonly(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    vreport(*this, Channel::Log, format, ap);
    va_end(ap);
}

void Report::alert(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    vreport(*this, Channel::Error, format, ap);
    va_end(ap);
}

// The text of errno is taken before anything is written.
void Report::syserror(const char* what) { error(what, std::strerror(errno)); }

void Report::error(const char* what, const char* reason) { alert("%s: %s\n", what, reason); }

ConsoleReport::ConsoleReport(bool verbose) : Report(verbose, isatty(STDOUT_FILENO) == 1) {}

void ConsoleReport::put(Channel channel, const char* text, size_t len) {
    switch (channel) {
    case Channel::Both:
        putwithoutcr(text, len, stdout);
        break;
    case Channel::Log:
        break;
    case Channel::Console:
        fwrite(text, 1, len, stdout);
        return;
    case Channel::Live:
        fwrite(text, 1, len, stdout);
        fflush(stdout);
        return;
    case Channel::Error:
        // What went wrong belongs in the log too, beside what followed it.
        fflush(stdout);
        fwrite(text, 1, len, stderr);
        break;
    }
    if (!log) return;
    putwithoutcr(text, len, log);
    // Each whole line reaches the file at once: a run that is killed
    // leaves in the log what it reported.
    if (len > 0 && text[len - 1] == '\n' && fflush(log) != 0 && logerror == 0) logerror = errno;
}

void ReportBuffer::put(Channel channel, const char* text, size_t len) {
    texts.append(text, len);
    pieces.emplace_back(channel, len);
}

void ReportBuffer::replay(Report& to) {
    size_t at = 0;
    for (const auto& piece : pieces) {
        to.put(piece.first, texts.data() + at, piece.second);
        at += piece.second;
    }
    texts.clear();
    pieces.clear();
}

void ReportBuffer::cut(size_t n) {
    if (n >= pieces.size()) return;
    size_t at = 0;
    for (size_t i = 0; i < n; i++) at += pieces[i].second;
    texts.resize(at);
    pieces.resize(n);
}

uint32_t mtime() {
    timeval tv;
    gettimeofday(&tv, nullptr);
    return static_cast<uint32_t>(tv.tv_sec % 1000000) * 1000u + static_cast<uint32_t>(tv.tv_usec / 1000);
}

uint32_t ratecps(uint64_t bytes, uint32_t elapsedms) {
    if (elapsedms == 0) return 0;
    return static_cast<uint32_t>(bytes * 1000u / elapsedms);
}

namespace {

char* putpercent(char* p, int percent) {
    p = putlong(p, percent);
    *p++ = '%';
    return p;
}

}  // namespace

void Meter::draw(int percent, uint32_t cur, uint32_t avg) {
    char line[64];  // the longest drawing takes 60 bytes
    char* p = line;
    *p++ = '\r';
    p = putpercent(p, percent);
    if (cur != 0) {
        p = puttext(p, " [");
        p = putlong(p, cur);
        p = puttext(p, " cps, ");
        p = putlong(p, avg);
        p = puttext(p, " avg]      \b\b\b\b\b\b");
    }
    out.put(Channel::Live, line, static_cast<size_t>(p - line));
}

void Meter::report(int percent, const char* text, size_t len) {
    if (live) out.put(Channel::Console, "\r", 1);
    out.write(text, len);
    if (!live) return;
    char shown[16];
    out.put(Channel::Live, shown, static_cast<size_t>(putpercent(shown, percent) - shown));
}

void Meter::erase() {
    static const char wipe[] = "\r                          \r";
    if (live) out.put(Channel::Live, wipe, sizeof wipe - 1);
}

void RateWindow::restart() {
    start = mtime();
    bytes = 0;
    rate = 0;
}

uint32_t RateWindow::close() {
    uint32_t now = mtime();
    if (now > start) rate = ratecps(bytes, now - start);
    uint32_t closed = bytes;
    start = now;  // one reading of the clock: it is slow in a virtual machine
    bytes = 0;
    return closed;
}
