// The hosts of a DNS answer's MX records, the most preferred first, names
// compressed as servers send them; nothing from an answer cut short.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/mx.h"

namespace {

using Bytes = std::vector<unsigned char>;

TEST(Mx, HostsByPreference) {
    // firm.example MX? Two answers: 20 alt.firm.example, 10 a.mx.example.net.
    Bytes answer{0x12, 0x34, 0x81, 0x80, 0, 1, 0, 2, 0, 0, 0, 0,
                 4, 'f', 'i', 'r', 'm', 7, 'e', 'x', 'a', 'm', 'p', 'l', 'e', 0, 0, 15, 0, 1};
    Bytes first{0xc0, 12, 0, 15, 0, 1, 0, 0, 1, 0, 0, 8, 0, 20, 3, 'a', 'l', 't', 0xc0, 12};
    Bytes second{0xc0, 12, 0, 15, 0, 1, 0, 0, 1, 0, 0, 19, 0, 10, 1, 'a', 2, 'm', 'x', 7, 'e', 'x', 'a', 'm', 'p',
                 'l', 'e', 3, 'n', 'e', 't', 0};
    answer.insert(answer.end(), first.begin(), first.end());
    answer.insert(answer.end(), second.begin(), second.end());
    EXPECT_EQ(mxhosts(answer.data(), static_cast<int>(answer.size())),
              (std::vector<std::string>{"a.mx.example.net", "alt.firm.example"}));
    EXPECT_TRUE(mxhosts(answer.data(), static_cast<int>(answer.size()) - 3).empty());
    EXPECT_TRUE(mxhosts(answer.data(), 11).empty());
}

}  // namespace
