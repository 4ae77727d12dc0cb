#pragma once
// CMyProtocl: the service-console link on its own serial port.

#include <atomic>

#include <kestro/kestro_types.h>

#include "transport/serial_port.h"

namespace kestro {

class CMyProtocl {
public:
    // The run flag of the console's threads (1 keep running, 0 stop).
    static std::atomic<int> thread;

    CMyProtocl();
    virtual ~CMyProtocl();
    CMyProtocl(const CMyProtocl&) = delete;
    CMyProtocl& operator=(const CMyProtocl&) = delete;

    // Stops the console's threads and destroys the object.
    void Terminate();

    int setMsghWnd(HWND hWnd) {
        m_hMsgWnd = hWnd;
        return 1;
    }
    HWND msgWnd() const { return m_hMsgWnd.load(); }

    CSerialPort m_SerialPort;

private:
    std::atomic<HWND> m_hMsgWnd{nullptr};
};

}  // namespace kestro
