// A line of the newsgroups state file, then a GROUP reply: the range
// fetched never reaches back to articles the mark holds, and the line
// written back reads as it was written.
#include <string>

#include "fuzz.h"
#include "proto/nntp.h"
#include "soup/soup.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    // Both come as C strings: each ends at a NUL.
    size_t lf = input.find('\n');
    GroupLine group(input.substr(0, input.find_first_of(std::string("\n\0", 2))));
    const std::string reply = lf == std::string::npos ? "" : input.substr(lf + 1);
    GroupRange range(reply.c_str(), group.high);
    if (range.count != 0) expect(range.first > group.high && range.last > group.high);

    long high = range.count != 0 ? range.last : group.high;
    GroupLine back(group.name + ": " + std::to_string(group.low) + "-" + std::to_string(high));
    expect(back.name == group.name && back.low == group.low && back.high == high);
    return 0;
}
