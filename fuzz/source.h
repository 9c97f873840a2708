// What the fuzz targets of a mail source share: events told to nobody, and
// a message's text read to its end, no longer than the input.
#ifndef VORPA_FUZZ_SOURCE_H
#define VORPA_FUZZ_SOURCE_H

#include "fuzz.h"
#include "proto/mailsource.h"

struct QuietEvents : SourceEvents {
    void step(SourceStep) override {}
    void loggingin(const SaslLogin&) override {}
    void refused(size_t, const Reply&) override {}
    void failed(const SourceFailure&) override {}
};

inline void readwhole(MessageText& text) {
    size_t bytes = 0;
    text.read([&bytes](const char*, size_t len, bool, size_t) {
        bytes += len;
        return true;
    });
    expect(bytes <= kFedMax);
}

#endif
