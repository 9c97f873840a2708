#include "driver/driver.h"

#include <sys/time.h>

#include <cstdarg>
#include <string>

namespace vorpa {
FILE* logf = nullptr;
}

namespace {

// The common case formats into this buffer; longer messages are formatted
// again into a string of their own size so that nothing is cut.
char buf[200];

void writeboth(const char* text, size_t len) {
    fwrite(text, 1, len, stdout);
    if (vorpa::logf) fwrite(text, 1, len, vorpa::logf);
}

void vlogprintf(const char* format, va_list ap) {
    va_list again;
    va_copy(again, ap);
    int n = vsnprintf(buf, sizeof buf, format, ap);
    if (n < 0) {
        va_end(again);
        return;
    }
    if (static_cast<size_t>(n) < sizeof buf) {
        writeboth(buf, n);
    } else {
        std::string whole(static_cast<size_t>(n) + 1, '\0');
        vsnprintf(&whole[0], whole.size(), format, again);
        writeboth(whole.data(), n);
    }
    va_end(again);
}

}  // namespace

void logprintf(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    vlogprintf(format, ap);
    va_end(ap);
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

void Meter::show(int percent, uint32_t cur, uint32_t avg) {
    if (percent == drawnpercent && cur == drawncur && avg == drawnavg) return;
    printf("\r%d%%", percent);
    if (cur != 0) printf(" [%u cps, %u avg]      \b\b\b\b\b\b", cur, avg);
    fflush(stdout);
    drawnpercent = percent;
    drawncur = cur;
    drawnavg = avg;
}

void Meter::report(int percent, const char* format, ...) {
    fputs("\r", stdout);
    va_list ap;
    va_start(ap, format);
    vlogprintf(format, ap);
    va_end(ap);
    printf("%d%%", percent);
    fflush(stdout);
}

void Meter::erase() {
    fputs("\r                          \r", stdout);
    fflush(stdout);
}

void RateWindow::restart() {
    start = mtime();
    bytes = 0;
    rate = 0;
}

uint32_t RateWindow::add(uint32_t len) {
    bytes += len;
    if (bytes <= 5000) return 0;
    uint32_t now = mtime();
    if (now > start) rate = ratecps(bytes, now - start);
    uint32_t closed = bytes;
    start = mtime();
    bytes = 0;
    return closed;
}
