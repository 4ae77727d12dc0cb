#pragma once
// A link over an in-memory byte source for the parser targets: the input is queued,
// writes are dropped, and an empty queue reads as a closed port, so the parser gives
// up instead of waiting for bytes that will not come.

#include <cstdint>
#include <cstdlib>
#include <deque>

#include "link/comm_protocol.h"

namespace kestro::fuzz {

class MemoryTransport : public ByteTransport {
public:
    void load(const std::uint8_t* data, std::size_t size) { m_input.assign(data, data + size); }
    std::size_t queued() const { return m_input.size(); }

    bool isOpen() const override { return !m_input.empty(); }
    int write(const std::uint8_t*, int count) override { return count; }
    int bytesInQueue() override { return static_cast<int>(m_input.size()); }
    int read(std::uint8_t* buffer, int count) override {
        int n = 0;
        while (n < count && !m_input.empty()) {
            buffer[n++] = m_input.front();
            m_input.pop_front();
        }
        return n;
    }
    bool waitForInput(int) override { return !m_input.empty(); }
    void cancelWait() override {}

private:
    std::deque<std::uint8_t> m_input;
};

class FuzzLink : public CCommProtocol {
public:
    explicit FuzzLink(ByteTransport* transport) { finishConstruction(transport, &run); }
    ~FuzzLink() override { beginDestruction(); }

    std::atomic<int> run{0};

    int InitComm() override { return 0; }
    int InitComm(UINT, UINT, UINT, UINT, UINT, UINT) override { return 0; }
    int CloseComm() override { return 0; }
    int InitGen() override { return 0; }
    int ResetGen() override { return 0; }
    int SendCpuUnrestrictedCommand(char*, int) override { return 0; }
    int SendApplyAPRCommand(APRDataInfo&) override { return 0; }
    int ApplyAPRDirectly(APRSourceData&) override { return 0; }
    void AfterSelectReceptor() override {}
    int GetCpuCommandData_B(char*, int, int) override { return 0; }
    int GetCpuMultiCommandData(int) override { return 0; }
    int GetCpuCommandData(char*, int, int) override { return 0; }
    int ProcessCpuDataBag(unsigned char*, int, int, int) override { return 0; }
    void UpdateDataBag(int, int) override {}
    unsigned char GetByteFromInt(int value, int digit) override { return byteFromInt(value, digit); }
    void PostErrorMessage(bool, int) override {}
    int resumeWriteThread() override { return 0; }
    int resumeReadThread() override { return 0; }
    int SuspendWorkThread() override { return 0; }
    void TerminateThreads() override {}
};

// One link for the whole run. The host directory does not exist, so the link finds no
// settings and writes no trace (the fuzzer must not fill a disk).
inline FuzzLink& link(MemoryTransport& transport) {
    static FuzzLink* instance = [&] {
        ::setenv("KESTRO_HOST_DIR", "/nonexistent/kestro-fuzz-host", 1);
        return new FuzzLink(&transport);
    }();
    return *instance;
}

// Feeds the input and lets the parser take units until it is used up; every unit must
// consume at least one byte.
inline void parseAll(const std::uint8_t* data, std::size_t size, bool dataBagMode) {
    static MemoryTransport transport;
    FuzzLink& l = link(transport);
    l.m_bDataBagMode = dataBagMode ? 1 : 0;
    transport.load(data, size);
    while (transport.queued() > 0) {
        const std::size_t before = transport.queued();
        l.ReceiveAndProcess();
        if (transport.queued() >= before) std::abort();  // a unit that reads nothing would hang the reader
    }
}

}  // namespace kestro::fuzz
