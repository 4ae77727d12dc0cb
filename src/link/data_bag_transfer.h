#pragma once
// Internal pieces of the data-bag transfer shared by its source files.

namespace kestro {

class CCommProtocol;

// UpdateDataBag for the bags and directions this build cannot map yet: does nothing.
void updateDataBagNotBuilt(CCommProtocol& link, int bag, int direction);

}  // namespace kestro
