// Operations of the link that this build does not have yet. Each one fails honestly
// (no traffic, failure result); this file goes away when they are built.

#include "link/comm_protocol.h"

namespace kestro {

// ---- APR ----
int CCommProtocol::sendApplyAPRCommandShared(APRDataInfo&) { return 0; }
int CCommProtocol::applyAPRDirectlyShared(APRSourceData&) { return 0; }

}  // namespace kestro
