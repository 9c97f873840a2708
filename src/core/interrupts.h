// SIGINT, SIGTERM and SIGHUP end a run only where stopping loses nothing.
#ifndef VORPA_CORE_INTERRUPTS_H
#define VORPA_CORE_INTERRUPTS_H

#include <signal.h>

// While it lives, the three signals are held back, and the phases ask at
// each safe point whether one came. Once one is taken they are let through
// again: a second ends the program at once, which loses nothing either, as
// every state is durable by then. Programs the run starts get them as
// usual.
class Interrupts {
public:
    Interrupts();
    ~Interrupts();
    Interrupts(const Interrupts&) = delete;
    Interrupts& operator=(const Interrupts&) = delete;

    // The signal that came (it stays taken), or 0.
    int taken();
    // "SIGTERM" and the like.
    static const char* name(int sig);
    // In a child before exec: nothing held back.
    static void release();
    // In a thread of the run's other than the main one: the three signals
    // stay held back there for good, so that the main thread takes them.
    static void hold();

private:
    sigset_t held;
    sigset_t before;
    int sig = 0;
};

#endif
