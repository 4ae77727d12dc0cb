#pragma once
// Time and port for the console link's threads. The console's waits are long (3 s start
// delay, 2 s retries, 4 s upload give-up, 2 s start window), so its threads take every
// sleep and input wait from a ConsoleClock that tests replace with virtual time; and they
// reach the line through a ConsolePort that tests replace with an in-memory peer.

#include "link/byte_transport.h"

namespace kestro {

class CSerialPort;

// What the console link needs from its line: the transport and a purge of both queues.
class ConsolePort : public ByteTransport {
public:
    virtual void purge() = 0;
};

// The serial port of the console object as a ConsolePort.
class SerialConsolePort final : public ConsolePort {
public:
    explicit SerialConsolePort(CSerialPort& port) : m_port(port) {}

    bool isOpen() const override;
    int write(const std::uint8_t* data, int count) override;
    int bytesInQueue() override;
    int read(std::uint8_t* buffer, int count) override;
    bool waitForInput(int timeoutMs) override;
    void cancelWait() override;
    void purge() override;

private:
    CSerialPort& m_port;
};

class ConsoleClock {
public:
    virtual ~ConsoleClock() = default;
    // Sleeps; false as soon as the calling thread is asked to stop.
    virtual bool sleepMs(int milliseconds) = 0;
    // Waits up to milliseconds for input on port, never less unless input arrives or
    // the thread is asked to stop. true when input is queued afterwards.
    virtual bool waitForInput(ConsolePort& port, int milliseconds) = 0;
};

// The wall clock; sleeps and waits are cancelled by a stop of the calling LinkThread.
ConsoleClock& realConsoleClock();

}  // namespace kestro
