#pragma once
// Moving data packets between the generator and the settings image: refresh (read a
// packet from the generator), apply (write it back) and restore (write it back without
// the read-before-write conditions, as a restore or an import does).
//
// All three return 1 on success and 0 on failure, write the trace lines of the
// exchange, succeed at once without traffic in demonstration mode, and run one at a
// time (the link's packet-operation lock). A failed refresh leaves the image as it
// was; an apply never changes the image.

namespace kestro {

class CCommProtocol;

int refreshModelData(CCommProtocol& link, int packet, int param);
int utilityModelData(CCommProtocol& link, int packet, int param);
int utilityModelData1(CCommProtocol& link, int packet, int param);

// The model name of a packet as the trace lines show it ("Unknown" outside 1..25).
const char* modelName(int packet);

}  // namespace kestro
