// Choosing the CAN-media backend from a KESTRO_CAN value.

#include <cstdlib>

#include "transport/can_media.h"

namespace kestro {

std::unique_ptr<CanMedia> makeCanMedia(const std::string& spec, std::string* error) {
    auto bad = [&](const std::string& why) -> std::unique_ptr<CanMedia> {
        if (error) *error = "KESTRO_CAN=\"" + spec + "\": " + why;
        return nullptr;
    };
    if (spec.rfind("socketcan:", 0) == 0) {
        const std::string name = spec.substr(10);
        if (name.empty()) return bad("no interface named");
        return makeSocketCanMedia(name, error);
    }
    if (spec.rfind("socketcand:", 0) == 0) {
        // HOST:PORT:BUS; the host may itself hold colons (IPv6), so split from the end.
        const std::string rest = spec.substr(11);
        const std::size_t busColon = rest.rfind(':');
        if (busColon == std::string::npos || busColon == 0) return bad("expected socketcand:HOST:PORT:BUS");
        const std::size_t portColon = rest.rfind(':', busColon - 1);
        if (portColon == std::string::npos || portColon == 0) return bad("expected socketcand:HOST:PORT:BUS");
        const std::string host = rest.substr(0, portColon);
        const std::string portText = rest.substr(portColon + 1, busColon - portColon - 1);
        const std::string bus = rest.substr(busColon + 1);
        char* end = nullptr;
        const long port = std::strtol(portText.c_str(), &end, 10);
        if (portText.empty() || *end != '\0' || port < 1 || port > 65535) return bad("bad port \"" + portText + "\"");
        if (bus.empty() || bus.find_first_of(" <>") != std::string::npos) return bad("bad bus name \"" + bus + "\"");
        return makeSocketCandMedia(host, static_cast<int>(port), bus);
    }
    return bad("expected socketcan:IFACE or socketcand:HOST:PORT:BUS");
}

}  // namespace kestro
