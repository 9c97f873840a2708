// Small text helpers shared by every layer.
#ifndef VORPA_CORE_TEXT_H
#define VORPA_CORE_TEXT_H

#include <cstddef>
#include <cstdio>
#include <string>

// Writes v in decimal at p (20 characters at most) and returns the end.
// For the lines written once per message, where printf costs more than the
// rest of their handling.
char* putlong(char* p, long v);
// Copies text without its terminator to p and returns the end.
char* puttext(char* p, const char* text);

// Text that came from a server or a fetched message, as it may be shown on
// the console and in the log: control characters other than TAB become
// "^X" ("^[" for ESC, "^?" for DEL), bytes that are not UTF-8 "\xNN", and
// so do the bytes of the C1 controls (U+0080 to U+009F), which terminals
// take for ESC sequences too. A line end ("\n" or "\r\n") at the very end
// stays. Writes at p, which has room for kSafeGrowth * len bytes, and
// returns the end.
constexpr size_t kSafeGrowth = 4;
char* putsafe(char* p, const char* text, size_t len);
std::string safetext(const std::string& text);

// Longest line read from a file of ours or the user's, before its line
// end; a longer one is an error line.
constexpr size_t kLineMax = 65536;

// Reads one line of a message, whole and up to and including its "\n", but
// never more than left bytes, which it counts down. False at the end of the
// file or when left is 0 (line then empty), or on a read error (ferror).
bool readmessageline(FILE* file, long& left, std::string& line);

// Case-insensitive comparison of exactly n bytes.
int memicmp(const void* a, const void* b, unsigned n);

// Reads a signed number after optional white space, as "%ld" does; a
// number too large for a long saturates instead of wrapping. False when
// there is no number, leaving value alone.
bool readlong(const char*& p, long& value);

// The digits at text[at] as a number up to most, at moved past them; false
// when there are none, or the number is beyond most.
bool readnumber(const std::string& text, size_t& at, unsigned long long most, unsigned long long& value);

// 1 when a file or directory of that path exists.
int exist(const char* path);

#endif
