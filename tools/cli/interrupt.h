#pragma once
// Ctrl-C and termination requests for the long-running commands (shell, monitor, trace
// --follow): the handler only sets a flag, and blocking waits are interrupted (EINTR) or
// bounded, so the command ends cleanly: ports closed, threads joined.

namespace kestro::cli {

void installInterruptHandler();
// True after Ctrl-C, SIGTERM or SIGHUP, or once standard output can no longer be written.
bool interrupted();
void clearInterrupt();

}  // namespace kestro::cli
