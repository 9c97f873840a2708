// SMTP replies to the end, each taken as an EHLO answer: every keyword
// line offers each of its parameters.
#include <string>

#include "fuzz.h"
#include "proto/smtp.h"

namespace {

void checkoffers(const Reply& reply) {
    Capabilities caps;
    for (const std::string& line : reply.lines) caps.add(line);
    for (const std::string& line : reply.lines) {
        size_t end = line.find(' ');
        const std::string name = line.substr(0, end);
        if (name.empty()) continue;
        expect(caps.has(name.c_str()));
        while (end != std::string::npos) {
            size_t from = end + 1;
            end = line.find(' ', from);
            const std::string parameter = line.substr(from, end - from);
            if (!parameter.empty()) expect(caps.offers(name.c_str(), parameter.c_str()));
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Socket sock;
    Peer peer(sock, data, size);
    for (Reply reply = readsmtp(sock); reply.status != Reply::Lost; reply = readsmtp(sock)) {
        expect(!reply.text.empty() || reply.status == Reply::Negative);
        expect(reply.lines.size() <= 1000);
        checkoffers(reply);
    }
    return 0;
}
