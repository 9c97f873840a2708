#include "core/text.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

// The program runs in the "C" locale, where only A to Z have lower-case
// forms: folding them here spares a library call per byte of every header
// line and reply compared.
static int lowered(unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

int memicmp(const void* a, const void* b, unsigned n) {
    const unsigned char* p = static_cast<const unsigned char*>(a);
    const unsigned char* q = static_cast<const unsigned char*>(b);
    for (unsigned i = 0; i < n; i++) {
        int d = lowered(p[i]) - lowered(q[i]);
        if (d != 0) return d;
    }
    return 0;
}

char* putlong(char* p, long v) {
    unsigned long u = v < 0 ? 0ul - static_cast<unsigned long>(v) : static_cast<unsigned long>(v);
    if (v < 0) *p++ = '-';
    char digits[20];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u != 0);
    while (n > 0) *p++ = digits[--n];
    return p;
}

char* puttext(char* p, const char* text) {
    size_t len = std::strlen(text);
    std::memcpy(p, text, len);
    return p + len;
}

int exist(const char* path) { return access(path, F_OK) == 0 ? 1 : 0; }

bool readlong(const char*& p, long& value) {
    char* end;
    long v = std::strtol(p, &end, 10);
    if (end == p) return false;
    value = v;
    p = end;
    return true;
}
