#include "console/my_protocl.h"

namespace kestro {

std::atomic<int> CMyProtocl::thread{0};

CMyProtocl::CMyProtocl() = default;

CMyProtocl::~CMyProtocl() { m_SerialPort.Close(); }

void CMyProtocl::Terminate() {
    thread = 0;
    delete this;
}

}  // namespace kestro
