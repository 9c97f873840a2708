#include "net/mx.h"

#include <arpa/nameser.h>
#include <netinet/in.h>
#include <resolv.h>

#include <algorithm>
#include <utility>

namespace {

unsigned get16(const unsigned char* at) { return static_cast<unsigned>(at[0] << 8 | at[1]); }

}  // namespace

std::vector<std::string> mxhosts(const unsigned char* answer, int length) {
    if (length < NS_HFIXEDSZ) return {};
    const unsigned char* end = answer + length;
    unsigned questions = get16(answer + 4), answers = get16(answer + 6);
    const unsigned char* at = answer + NS_HFIXEDSZ;
    char name[NS_MAXDNAME];
    for (unsigned i = 0; i < questions; i++) {
        int n = dn_expand(answer, end, at, name, sizeof name);
        if (n < 0 || end - at < n + 4) return {};
        at += n + 4;
    }
    std::vector<std::pair<unsigned, std::string>> found;
    for (unsigned i = 0; i < answers; i++) {
        int n = dn_expand(answer, end, at, name, sizeof name);
        if (n < 0 || end - at < n + 10) return {};
        at += n;
        unsigned type = get16(at), size = get16(at + 8);
        at += 10;
        if (static_cast<unsigned>(end - at) < size) return {};
        if (type == ns_t_mx && size > 2 && dn_expand(answer, end, at + 2, name, sizeof name) >= 0)
            found.emplace_back(get16(at), name);
        at += size;
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::string> hosts;
    for (auto& [preference, host] : found) hosts.push_back(std::move(host));
    return hosts;
}

std::vector<std::string> mailexchangers(const std::string& domain) {
    unsigned char answer[NS_PACKETSZ * 4];
    int length = res_query(domain.c_str(), ns_c_in, ns_t_mx, answer, sizeof answer);
    return length > 0 ? mxhosts(answer, std::min<int>(length, sizeof answer)) : std::vector<std::string>{};
}
