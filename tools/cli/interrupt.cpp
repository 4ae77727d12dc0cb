#include "interrupt.h"

#include <poll.h>
#include <signal.h>

#include <cstdio>

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

// A reader that went away (kestro monitor | head) ends the command too: SIGPIPE is
// ignored, so a failed write leaves the error flag of standard output set.
bool interrupted() {
    if (gInterrupted != 0 || std::ferror(stdout) != 0) return true;
    // A pipe whose reader has closed shows POLLERR on the writing end, even before a write.
    pollfd p{1, 0, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & (POLLERR | POLLHUP)) != 0;
}
void clearInterrupt() { gInterrupted = 0; }

}  // namespace kestro::cli
