#include "core/progress.h"

void Progress::start() {
    unit();
    since = window.start;
    bytes = 0;
    rate = 0;
}

void Progress::update(uint32_t now) {
    if (bytes > least && now > since) rate = ratecps(bytes, now - since);
}
