// Operations of the link that this build does not have yet. Each one fails honestly
// (no traffic, failure result); this file goes away when they are built.

#include "link/comm_protocol.h"

namespace kestro {

// ---- data-bag transfer ----
int CCommProtocol::getCpuMultiCommandDataShared(int) { return 0; }
int CCommProtocol::GetCpuMultiCommandData_C(int) { return 0; }
int CCommProtocol::processCpuDataBagShared(unsigned char*, int, int, int) { return m_pData->bDemo ? 1 : 0; }
void CCommProtocol::updateDataBagShared(int, int) {}

}  // namespace kestro
