// The deflate layer: what is written is compressed and held until the
// flush ends its block; what is read is inflated as it arrives.
#include <zlib.h>

#include <cerrno>
#include <memory>

#include "net/layer.h"

struct DeflateLayer::Streams {
    z_stream out{};
    z_stream in{};
    bool outready = false;
    bool inready = false;
    char input[16384];  // read from below, not yet all inflated

    ~Streams() {
        if (outready) deflateEnd(&out);
        if (inready) inflateEnd(&in);
    }
};

DeflateLayer::DeflateLayer() : z(std::make_unique<Streams>()) {
    z->outready = deflateInit2(&z->out, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) == Z_OK;
    z->inready = inflateInit2(&z->in, -15) == Z_OK;
}

DeflateLayer::~DeflateLayer() = default;

bool DeflateLayer::ready() const { return z->outready && z->inready; }

// Runs deflate over what out holds with mode, appending all it makes to kept.
static bool deflateinto(z_stream& out, int mode, std::string& kept) {
    char chunk[4096];
    do {
        out.next_out = reinterpret_cast<Bytef*>(chunk);
        out.avail_out = sizeof chunk;
        int r = deflate(&out, mode);
        if (r != Z_OK && r != Z_BUF_ERROR) return false;
        kept.append(chunk, sizeof chunk - out.avail_out);
    } while (out.avail_out == 0);
    return true;
}

int DeflateLayer::write(const char* data, int len) {
    z->out.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    z->out.avail_in = static_cast<uInt>(len);
    if (!deflateinto(z->out, Z_NO_FLUSH, kept)) {
        errno = EPROTO;
        return -1;
    }
    flushed = false;
    counts.sent += static_cast<uint64_t>(len);
    return len;
}

int DeflateLayer::flush() {
    if (!flushed) {
        z->out.avail_in = 0;
        if (!deflateinto(z->out, Z_SYNC_FLUSH, kept)) {
            errno = EPROTO;
            return -1;
        }
        flushed = true;
    }
    while (!kept.empty()) {
        int n = writebelow(kept.data(), static_cast<int>(kept.size()));
        if (n < 0) return n;
        counts.wiresent += static_cast<uint64_t>(n);
        kept.erase(0, static_cast<size_t>(n));
    }
    return Layer::flush();
}

// Takes all the layer below has before it says EAGAIN, so that pending()
// is true only while a read delivers.
int DeflateLayer::read(char* buf, int len) {
    z_stream& in = z->in;
    if (ended) return 0;
    for (;;) {
        if (in.avail_in > 0 || more) {
            in.next_out = reinterpret_cast<Bytef*>(buf);
            in.avail_out = static_cast<uInt>(len);
            int r = inflate(&in, Z_SYNC_FLUSH);
            if (r != Z_OK && r != Z_BUF_ERROR && r != Z_STREAM_END) {
                errno = EPROTO;
                return -1;
            }
            int made = len - static_cast<int>(in.avail_out);
            more = in.avail_out == 0;
            ended = r == Z_STREAM_END;
            if (made > 0) {
                counts.received += static_cast<uint64_t>(made);
                return made;
            }
            if (ended) return 0;
            // Room for output and input left, yet nothing made: never so in
            // a sound stream.
            if (in.avail_in > 0) {
                errno = EPROTO;
                return -1;
            }
        }
        int n = readbelow(z->input, sizeof z->input);
        if (n <= 0) return n;
        counts.wirereceived += static_cast<uint64_t>(n);
        in.next_in = reinterpret_cast<Bytef*>(z->input);
        in.avail_in = static_cast<uInt>(n);
    }
}

bool DeflateLayer::pending() const { return more || z->in.avail_in > 0 || Layer::pending(); }
