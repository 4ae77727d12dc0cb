#pragma once
// Moving data packets between the generator and the settings image.

namespace kestro {

class CCommProtocol;

// Reads data packet `packet` (1..25) with selector `index` from the generator into the
// settings image. 1 on success, 0 on failure (the image is then left as it was). In
// demonstration mode it succeeds at once without traffic.
int refreshModelData(CCommProtocol& link, int packet, int index);

}  // namespace kestro
