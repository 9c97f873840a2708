#include "core/interrupts.h"

#include <ctime>

namespace {

sigset_t interruptsignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

}  // namespace

Interrupts::Interrupts() : held(interruptsignals()) { sigprocmask(SIG_BLOCK, &held, &before); }

Interrupts::~Interrupts() {
    if (sig == 0) sigprocmask(SIG_SETMASK, &before, nullptr);
}

int Interrupts::taken() {
    if (sig != 0) return sig;
    sigset_t pending;
    if (sigpending(&pending) != 0) return 0;
    if (!sigismember(&pending, SIGINT) && !sigismember(&pending, SIGTERM) && !sigismember(&pending, SIGHUP))
        return 0;
    const timespec now{0, 0};
    int got = sigtimedwait(&held, nullptr, &now);
    if (got <= 0) return 0;
    sig = got;
    sigprocmask(SIG_SETMASK, &before, nullptr);
    return sig;
}

const char* Interrupts::name(int sig) {
    switch (sig) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    default:
        return "SIGHUP";
    }
}

void Interrupts::hold() {
    sigset_t set = interruptsignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void Interrupts::release() {
    sigset_t set = interruptsignals();
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
}
