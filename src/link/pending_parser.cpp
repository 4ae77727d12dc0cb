// Operations of the link that this build does not have yet. Each one fails honestly
// (no traffic, failure result); this file goes away when they are built.

#include "link/comm_protocol.h"

namespace kestro {

// ---- message parser ----
void CCommProtocol::ReceiveAndProcess() { m_bStopReceive = 0; }
unsigned char CCommProtocol::ReceiveOneByte() { return 0; }

}  // namespace kestro
