// The parser in data-bag mode (acknowledgements and data-bag replies) over any byte
// sequence; replies that pass their checks land in the process-wide stores.

#include "fuzz_link.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kestro::fuzz::parseAll(data, size, true);
    return 0;
}
