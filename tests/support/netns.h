// A private network namespace for the protocol tests and the benchmarks:
// they serve the fixed ports 25, 110 and 119 on 127.0.0.1 without clashing
// with anything on the machine and without needing root.
#ifndef VORPA_TESTS_NETNS_H
#define VORPA_TESTS_NETNS_H

// Moves the process (before it starts any thread) into a network namespace
// of its own, with a user namespace when not root, and brings its loopback
// up. False when the system refuses.
bool enternetns();

// Gives the namespace's loopback one more IPv4 address (say, a public
// one), so that a server on it is reached as if it were far away.
bool addloopback(const char* ipv4);

#endif
