// The vendor's XL driver exists only for Windows.

#include "transport/can_xl_api.h"

namespace kestro::xl {

const Api* loadDriverApi() { return nullptr; }

}  // namespace kestro::xl

namespace kestro {

// Without KESTRO_CAN the CAN link uses the kernel's first CAN interface.
const char* defaultCanBusSpec() { return "socketcan:can0"; }

}  // namespace kestro
