#include "data/model_data.h"

#include "link/comm_protocol.h"

namespace kestro {

int refreshModelData(CCommProtocol& link, int packet, int index) {
    if (link.m_pData->bDemo) return 1;
    // Packet reads need the data-bag transfer, which this build does not have yet.
    (void)packet;
    (void)index;
    return 0;
}

}  // namespace kestro
