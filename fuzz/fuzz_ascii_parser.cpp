// The generator message parser in ASCII mode over any byte sequence.

#include "fuzz_link.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kestro::fuzz::parseAll(data, size, false);
    return 0;
}
