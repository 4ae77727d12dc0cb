#pragma once
// Moving data packets between the generator and the settings image.

namespace kestro {

class CCommProtocol;

// Reads data packet `packet` (1..25) with selector `index` from the generator into the
// settings image. 1 on success, 0 on failure (the image is then left as it was). In
// demonstration mode it succeeds at once without traffic. This build reads packets 6,
// 8, 12 and 17; every other packet fails after its trace lines, without traffic.
int refreshModelData(CCommProtocol& link, int packet, int index);

// The model name of a packet as the trace lines show it ("Unknown" outside 1..25).
const char* modelName(int packet);

}  // namespace kestro
