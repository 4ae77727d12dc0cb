// Data-bag operations that this build does not have yet. Each one fails honestly
// (no traffic, failure result, nothing changed); this file goes away when they are built.

#include "link/comm_protocol.h"
#include "link/data_bag_transfer.h"

namespace kestro {

// ---- data-bag mapping: the write direction, and the read direction of the bags
// that no packet refresh uses yet ----
void updateDataBagNotBuilt(CCommProtocol&, int, int) {}

}  // namespace kestro
