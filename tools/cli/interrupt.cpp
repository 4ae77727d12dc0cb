#include "interrupt.h"

#include <signal.h>

namespace kestro::cli {

namespace {
volatile sig_atomic_t gInterrupted = 0;
void onSignal(int) { gInterrupted = 1; }
}  // namespace

void installInterruptHandler() {
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: a blocking poll or read returns EINTR
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGHUP, &sa, nullptr);
}

bool interrupted() { return gInterrupted != 0; }
void clearInterrupt() { gInterrupted = 0; }

}  // namespace kestro::cli
