#pragma once
// The CAN-media interface: what the CAN adapter needs from a bus that is not reached
// through the vendor's driver. One file per backend (can_socketcan, can_socketcand).
// Backends move whole frames; splitting byte streams into frames and everything above
// stays in the adapter and the link.

#include <memory>
#include <string>

#include "transport/can_frame.h"

namespace kestro {

class CanMedia {
public:
    virtual ~CanMedia() = default;

    // Opens the bus. false with a reason when it cannot be reached.
    virtual bool open(std::string* error) = 0;
    // Only frames with identifiers first..last are received from now on.
    virtual void setAcceptance(std::uint32_t first, std::uint32_t last) = 0;
    // Takes part in the bus (bitRate: what the link runs at). false with a reason when
    // the bus cannot be used; warning: something the trace should show (a bus that
    // runs at another bit rate).
    virtual bool activate(std::uint32_t bitRate, std::string* error, std::string* warning) = 0;
    virtual void deactivate() = 0;
    // Sends the frames in order, all or none. false when they could not be sent.
    virtual bool transmit(const CanFrame* frames, int count) = 0;
    // Waits up to timeoutMs for one accepted frame. false when none came (or the bus is
    // gone; the wait then still takes its time, so a caller in a loop does not spin).
    virtual bool receive(CanFrame* frame, int timeoutMs) = 0;

    // The bus went away while it was in use (the connection closed or failed, the
    // interface went down or vanished) and has not been opened again since.
    virtual bool lost() const { return false; }
    // Opens a lost bus again, with the acceptance and activation it had. true when it is
    // back (also when someone else reopened it meanwhile).
    virtual bool reopen(std::string* error) {
        (void)error;
        return false;
    }
};

// The bus named by a KESTRO_CAN value: "socketcan:IFACE" or "socketcand:HOST:PORT:BUS".
// nullptr with a reason for a value that names neither, or a backend this platform has
// not got.
std::unique_ptr<CanMedia> makeCanMedia(const std::string& spec, std::string* error);

// The SocketCAN backend (Linux); on other platforms nullptr with a reason.
std::unique_ptr<CanMedia> makeSocketCanMedia(const std::string& interfaceName, std::string* error);
std::unique_ptr<CanMedia> makeSocketCandMedia(const std::string& host, int port, const std::string& bus);

// The bus a CAN link uses when KESTRO_CAN is not set: "socketcan:can0" on Linux, empty
// (the vendor's XL driver) on Windows.
const char* defaultCanBusSpec();

}  // namespace kestro
