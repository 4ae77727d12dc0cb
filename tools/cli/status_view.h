#pragma once
// The status view that `status`, the shell's `watch` and `monitor` share.

#include "command.h"

namespace kestro::cli {

// Prints mode, state, heat and values of the open session; with withNotifications also
// the notifications queued so far.
int showStatus(Context& context, bool withNotifications);

}  // namespace kestro::cli
