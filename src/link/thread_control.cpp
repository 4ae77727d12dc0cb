// Creating, resuming, suspending and stopping the link's reader and worker threads.

#include "link/comm_protocol.h"

namespace kestro {

int CCommProtocol::startReadThread() {
    if (m_pUnitReader) m_pUnitReader->beforeReaderStart();
    if (m_pReadThread) return 1;
    try {
        m_pReadThread = std::make_unique<LinkThread>([this] { return readThreadPro(this); });
    } catch (...) {
        return 0;
    }
    if (m_pUnitReader) m_pUnitReader->afterReaderStart();
    return 1;
}

int CCommProtocol::startWriteThread() {
    if (m_pWriteThread) return 1;
    try {
        m_pWriteThread = std::make_unique<LinkThread>([this] { return DllMainThreadPro(this); });
    } catch (...) {
        return 0;
    }
    return 1;
}

int CCommProtocol::resumeThread(std::unique_ptr<LinkThread>& thread) {
    if (!thread) return 0;
    int previous = thread->resume();
    return (previous == 0 || previous == 1) ? 1 : 0;
}

int CCommProtocol::suspendWorkThreadShared() {
    if (m_pReadThread && m_pReadThread->suspend() < 0) return 0;
    if (m_pWriteThread && m_pWriteThread->suspend() < 0) return 0;
    return 1;
}

namespace {

int stopThread(std::unique_ptr<LinkThread>& thread, ByteTransport* transport, CCommProtocol& link) {
    if (!thread) return 0;
    // Wake every blocking wait the thread may be in: the port wait, a byte receive and
    // a reply wait; then join.
    link.m_bStopReceive = 1;
    if (transport) transport->cancelWait();
    thread->stopAndJoin();
    thread.reset();
    return 1;
}

}  // namespace

int CCommProtocol::stopReadThread() { return stopThread(m_pReadThread, transport(), *this); }

int CCommProtocol::stopWriteThread() { return stopThread(m_pWriteThread, transport(), *this); }

void CCommProtocol::stopThreadsShared() {
    runFlag() = 0;
    stopReadThread();
    stopWriteThread();
    WriteTraceLine("TerminateThreads");
}

}  // namespace kestro
