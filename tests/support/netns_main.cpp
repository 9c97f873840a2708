// gtest main for protocol tests: the test binary first moves into a private
// network namespace of its own, where it may serve the fixed ports.
#include <cstdio>

#include <gtest/gtest.h>

#include "netns.h"

int main(int argc, char** argv) {
    if (!enternetns()) {
        std::perror("cannot enter a private network namespace");
        return 1;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
