// Operations of the link that this build does not have yet. Each one fails honestly
// (no traffic, failure result); this file goes away when they are built.

#include "link/comm_protocol.h"

namespace kestro {

// ---- link thread loops ----
unsigned CCommProtocol::readThreadPro(void* link) { return link ? 0u : static_cast<unsigned>(-1); }
unsigned CCommProtocol::DllMainThreadPro(void* link) { return link ? 0u : static_cast<unsigned>(-1); }
void CCommProtocol::ReceiveWorkModePro() {}
void CCommProtocol::ReceiveProgModePro() {}
void CCommProtocol::ReceiveCalibModePro() {}

}  // namespace kestro
