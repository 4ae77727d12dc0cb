// Reopening a device that went away under the link (an unplugged USB adapter, a line
// hung up): the connection is marked down at once, and the same device is opened again
// as soon as it is back, without the host having to start the link anew.

#include "link/comm_protocol.h"

namespace kestro {
namespace {

constexpr int kLostCheckMs = 100;

}  // namespace

void CCommProtocol::reconnectLostPort() {
    ByteTransport* port = transport();
    if (!port || !port->lost()) return;
    m_WorkFlags.bCommOk = 0;
    WriteTraceLine("COM port lost, m_WorkFlags.bCommOk FALSE; reopening every ms :", kReopenPeriodMs, "");
    while (runFlag() == 1 && port->lost()) {
        if (port->reopen()) {
            ++m_nReconnections;
            // bCommOk comes back with the worker's next answered poll.
            WriteTraceLine("COM port reopened");
            return;
        }
        // Wait for the next attempt, but hand the reader back at once when the host
        // has closed or reopened the port itself meanwhile.
        for (int waited = 0; waited < kReopenPeriodMs && port->lost(); waited += kLostCheckMs)
            if (!LinkThread::sleepMs(kLostCheckMs)) return;  // the reader is being stopped
    }
}

}  // namespace kestro
