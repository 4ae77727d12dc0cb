// Reopening a device that went away under the link (an unplugged USB adapter, a line
// hung up): the connection is marked down at once, and the same device is opened again
// as soon as it is back, without the host having to start the link anew.

#include <algorithm>
#include <chrono>
#include <string>

#include "link/comm_protocol.h"

namespace kestro {
namespace {

constexpr int kLostCheckMs = 100;

}  // namespace

void CCommProtocol::reconnectLostPort() {
    ByteTransport* port = transport();
    if (!port || !port->lost()) return;
    const std::string device = port->deviceName();
    m_WorkFlags.bCommOk = 0;
    WriteTraceLine(device + " lost, m_WorkFlags.bCommOk FALSE; reopening every ms :", kReopenPeriodMs, "");
    while (runFlag() == 1 && port->lost()) {
        // Attempts start kReopenPeriodMs apart; one that itself waits (a connection that
        // is not answered) counts towards the period, and at least one look's pause
        // follows every attempt.
        const auto started = std::chrono::steady_clock::now();
        if (port->reopen()) {
            ++m_nReconnections;
            // bCommOk comes back with the worker's next answered poll.
            WriteTraceLine(device + " reopened");
            return;
        }
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
        const int rest = std::max(kLostCheckMs, kReopenPeriodMs - static_cast<int>(took.count()));
        // Wait for the next attempt, but hand the reader back at once when the host
        // has closed or reopened the device itself meanwhile.
        for (int waited = 0; waited < rest && port->lost(); waited += kLostCheckMs)
            if (!LinkThread::sleepMs(std::min(kLostCheckMs, rest - waited))) return;  // the reader is being stopped
    }
}

}  // namespace kestro
