// The outgoing message files in all five formats, walked to their end as
// the posting walk does: find a message, read its lines, seek past it, and
// read it as the walk does.
#include <cstdio>
#include <string>
#include <vector>

#include "core/text.h"
#include "fuzz.h"
#include "soup/soup.h"

namespace {

void walk(std::vector<char>& bytes, char letter) {
    const long size = static_cast<long>(bytes.size());
    File file(fmemopen(bytes.data(), bytes.size(), "r"));
    expect(file != nullptr);
    long offset = 0;
    for (long messages = 0;; messages++) {
        expect(messages <= size);  // each message takes a byte at least
        expect(std::fseek(file.get(), offset, SEEK_SET) == 0);
        long length = nextmessage(file.get(), letter);
        expect(length >= -1);
        if (length <= 0) return;
        long start = std::ftell(file.get());
        expect(start >= offset && start <= size);
        // Only a length read from the file may reach past its end, an
        // "u" length by one byte at most.
        if (letter == 'u') expect(length <= size - start + 1);
        if (letter == 'm' || letter == 'M') expect(length <= size - start);
        if (length > size - start) return;  // cut short: not sent

        long left = length;
        std::string line, text;
        while (readmessageline(file.get(), left, line)) {
            expect(left >= 0 && line.find('\n') >= line.size() - 1);
            // No message holds the line that would begin the next one.
            if (letter == 'm') expect(line.compare(0, 5, "From ") != 0);
            text += line;
        }
        expect(left == 0 && line.empty());
        expect(text.compare(0, std::string::npos, bytes.data() + start, static_cast<size_t>(length)) == 0);
        if (letter == 'M') expect(text.find("\1\1\1\1") == std::string::npos);

        // Read in the same pass as the walk reads it: the same message,
        // its fields lines of its header.
        OutgoingMessage read;
        expect(std::fseek(file.get(), offset, SEEK_SET) == 0);
        expect(readmessage(file.get(), letter, read) == length && read.start == start);
        size_t at = 0;
        for (const std::string& field : read.fields) {
            at = text.find(field, at);
            expect(at != std::string::npos);
            at += field.size();
        }
        offset = start + length;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;  // fmemopen takes no empty buffer
    std::vector<char> bytes(data, data + size);
    for (char letter : {'u', 'm', 'M', 'b', 'B'}) walk(bytes, letter);
    return 0;
}
