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

namespace {

// Length of the UTF-8 sequence at p (at most left bytes) that encodes a
// printable character: 0 for none (a malformed, overlong or cut sequence,
// a surrogate, beyond U+10FFFF, a C1 control).
size_t utf8printable(const unsigned char* p, size_t left) {
    unsigned char c = p[0];
    size_t n;
    unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
    if (c == 0xC2) {
        n = 2;
        low = 0xA0;
    } else if (c > 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) low = 0xA0;
        if (c == 0xED) high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) low = 0x90;
        if (c == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (left < n || p[1] < low || p[1] > high) return 0;
    for (size_t i = 2; i < n; i++)
        if (p[i] < 0x80 || p[i] > 0xBF) return 0;
    return n;
}

}  // namespace

char* putsafe(char* p, const char* text, size_t len) {
    const unsigned char* s = reinterpret_cast<const unsigned char*>(text);
    size_t body = len;
    if (body > 0 && s[body - 1] == '\n') body -= body > 1 && s[body - 2] == '\r' ? 2 : 1;
    static const char hex[] = "0123456789ABCDEF";
    for (size_t i = 0; i < body;) {
        unsigned char c = s[i];
        if (c == '\t' || (c >= ' ' && c < 0x7F)) {
            *p++ = static_cast<char>(c);
            i++;
        } else if (c < ' ' || c == 0x7F) {
            *p++ = '^';
            *p++ = static_cast<char>(c ^ 0x40);
            i++;
        } else if (size_t n = utf8printable(s + i, body - i)) {
            std::memcpy(p, s + i, n);
            p += n;
            i += n;
        } else {
            *p++ = '\\';
            *p++ = 'x';
            *p++ = hex[c >> 4];
            *p++ = hex[c & 15];
            i++;
        }
    }
    std::memcpy(p, text + body, len - body);
    return p + (len - body);
}

std::string safetext(const std::string& text) {
    std::string shown(kSafeGrowth * text.size(), '\0');
    shown.resize(static_cast<size_t>(putsafe(&shown[0], text.data(), text.size()) - shown.data()));
    return shown;
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

bool readmessageline(FILE* file, long& left, std::string& line) {
    line.clear();
    int c;
    while (left > 0 && (c = getc(file)) != EOF) {
        left--;
        line.push_back(static_cast<char>(c));
        if (c == '\n') break;
    }
    return !line.empty() && !ferror(file);
}

bool readnumber(const std::string& text, size_t& at, unsigned long long most, unsigned long long& value) {
    size_t start = at;
    value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
        value = value * 10 + static_cast<unsigned>(text[at++] - '0');
        if (value > most) return false;
    }
    return at > start;
}
