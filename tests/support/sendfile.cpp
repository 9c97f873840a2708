// Sending whole files, for tests and benchmarks: as CR LF text, as
// dot-stuffed text closed by the end-of-data line, or byte for byte.
#include "testnet.h"

#include <climits>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace testnet {

namespace {

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// Opens file for reading and moves to offset; null when either fails.
File openfile(const char* file, const char* mode, unsigned long offset) {
    if (!file) return nullptr;
    File f(std::fopen(file, mode));
    if (f && offset != 0 && std::fseek(f.get(), static_cast<long>(offset), SEEK_SET) != 0) f.reset();
    return f;
}

const int kLineBuf = 8192;

enum class Piece {
    Line,  // ended by an LF, which is not stored
    Part,  // the buffer is full and the line goes on
    Last,  // the file ended (or could not be read further)
};

// Reads the next piece of a line into buf, at most cap bytes. A line longer
// than cap comes in several pieces; zero bytes are data like any other.
Piece readpiece(FILE* f, char* buf, int cap, int& len) {
    len = 0;
    while (len < cap) {
        int c = getc(f);
        if (c == EOF) return Piece::Last;
        if (c == '\n') return Piece::Line;
        buf[len++] = static_cast<char>(c);
    }
    return Piece::Part;
}

// Totals beyond what an int holds are reported as INT_MAX.
int clamptotal(long long total) {
    return total > INT_MAX ? INT_MAX : static_cast<int>(total);
}

const char kCrLf[] = "\r\n";
const char kEndOfData[] = ".\r\n";

}  // namespace

// A failed send ends the transfer: going on would only hide the failure in
// the sum of what was sent.
int SendText(Socket& s, const char* file, unsigned long offset) {
    File f = openfile(file, "r", offset);
    if (!f) return -1;
    std::vector<char> line(kLineBuf);
    long long total = 0;
    for (;;) {
        int len = 0;
        Piece p = readpiece(f.get(), line.data(), kLineBuf - 1, len);
        if (s.Send(line.data(), len) < 0) return s.iResult = -1;
        total += len;
        if (p == Piece::Last) break;
        if (p == Piece::Line) {
            if (s.Send(const_cast<char*>(kCrLf), 2) < 0) return s.iResult = -1;
            total += 2;
        }
    }
    if (std::ferror(f.get())) return s.iResult = -1;
    return s.iResult = clamptotal(total);
}

// Collects converted lines and sends them in chunks of up to 32 KB. Every
// read ends a line, the empty one after a final LF included, as the callers
// of this interface have always seen it.
int SendDotText(Socket& s, const char* file) {
    File f = openfile(file, "r", 0);
    if (!f) return -1;
    const size_t chunk = 32767;
    std::vector<char> line(kLineBuf);
    std::string out;
    out.reserve(chunk + 1);
    long long total = 0;
    auto flush = [&]() {
        if (out.empty()) return true;
        if (s.Send(&out[0], static_cast<int>(out.size())) < 0) return false;
        total += out.size();
        out.clear();
        return true;
    };

    bool linestart = true;
    for (;;) {
        int len = 0;
        Piece p = readpiece(f.get(), line.data(), kLineBuf - 1, len);
        if (out.size() + len + 32 > chunk && !flush()) return s.iResult = -1;
        if (linestart && len > 0 && line[0] == '.') out += '.';
        out.append(line.data(), len);
        linestart = p != Piece::Part;
        if (linestart) out += kCrLf;
        if (p == Piece::Last) break;
    }
    if (std::ferror(f.get()) || !flush()) return s.iResult = -1;
    if (s.Send(const_cast<char*>(kEndOfData), 3) < 0) return s.iResult = -1;
    return s.iResult = clamptotal(total + 3);
}

// The result is that of the last send, as the callers of this interface
// expect: the size of the last partial block, or 0 when the file's remaining
// length is a multiple of the block size.
int SendBinary(Socket& s, const char* file, unsigned long offset) {
    s.iResult = 0;
    File f = openfile(file, "rb", offset);
    if (!f) return -1;
    std::vector<char> block(kLineBuf);
    for (;;) {
        size_t n = std::fread(block.data(), 1, block.size(), f.get());
        if (std::ferror(f.get())) return s.iResult = -1;
        if (s.Send(block.data(), static_cast<int>(n)) < 0) return s.iResult = -1;
        if (n < block.size()) break;
    }
    return s.iResult;
}

}  // namespace testnet
