#include "console/console_clock.h"

#include <chrono>

#include "link/link_thread.h"
#include "transport/serial_port.h"

namespace kestro {

bool SerialConsolePort::isOpen() const { return m_port.IsOpen() != 0; }
int SerialConsolePort::write(const std::uint8_t* data, int count) { return m_port.write(data, count); }
int SerialConsolePort::bytesInQueue() { return m_port.BytesInQueue(); }
int SerialConsolePort::read(std::uint8_t* buffer, int count) { return m_port.read(buffer, count); }
bool SerialConsolePort::waitForInput(int timeoutMs) { return m_port.waitForInput(timeoutMs); }
void SerialConsolePort::cancelWait() { m_port.cancelWait(); }
void SerialConsolePort::purge() {
    m_port.PurgeTx();
    m_port.PurgeRx();
}

namespace {

class RealConsoleClock final : public ConsoleClock {
public:
    bool sleepMs(int milliseconds) override { return LinkThread::sleepMs(milliseconds); }

    bool waitForInput(ConsolePort& port, int milliseconds) override {
        using namespace std::chrono;
        const auto deadline = steady_clock::now() + std::chrono::milliseconds(milliseconds);
        for (;;) {
            if (port.bytesInQueue() > 0) return true;
            const auto left = duration_cast<std::chrono::milliseconds>(deadline - steady_clock::now()).count();
            if (left <= 0) return false;
            if (port.isOpen()) {
                // Returns early on input, a cancel, a closed or vanished port; only input
                // ends the turn early, anything else waits out the rest of it.
                port.waitForInput(static_cast<int>(left));
                if (port.bytesInQueue() > 0) return true;
                if (LinkThread::current() && LinkThread::current()->stopRequested()) return false;
                if (steady_clock::now() < deadline && !LinkThread::sleepMs(10)) return false;
            } else if (!LinkThread::sleepMs(static_cast<int>(left < 20 ? left : 20))) {
                return false;
            }
        }
    }
};

}  // namespace

ConsoleClock& realConsoleClock() {
    static RealConsoleClock clock;
    return clock;
}

}  // namespace kestro
