#pragma once
// Ctrl-C and termination requests for the long-running commands (shell, monitor, trace
// --follow): the handler only sets a flag, and blocking waits are interrupted (EINTR) or
// bounded, so the command ends cleanly: ports closed, threads joined.

namespace kestro::cli {

void installInterruptHandler();
bool interrupted();
void clearInterrupt();

}  // namespace kestro::cli
