#pragma once
// A link over an in-memory byte source for the parser targets: the input is queued,
// writes are dropped, and an empty queue reads as a closed port, so the parser gives
// up instead of waiting for bytes that will not come.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "link/comm_protocol.h"

namespace kestro::fuzz {

class MemoryTransport : public ByteTransport {
public:
    void load(const std::uint8_t* data, std::size_t size) {
        m_input.assign(data, data + size);
        m_next = 0;
    }
    std::size_t queued() const { return m_input.size() - m_next; }

    bool isOpen() const override { return queued() > 0; }
    int write(const std::uint8_t*, int count) override { return count; }
    int bytesInQueue() override { return static_cast<int>(queued()); }
    int read(std::uint8_t* buffer, int count) override {
        const std::size_t n = std::min(queued(), static_cast<std::size_t>(count < 0 ? 0 : count));
        std::copy_n(m_input.data() + m_next, n, buffer);
        m_next += n;
        return static_cast<int>(n);
    }
    bool waitForInput(int) override { return queued() > 0; }
    void cancelWait() override {}

private:
    std::vector<std::uint8_t> m_input;
    std::size_t m_next = 0;
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

// The host directory of every target: a path under a regular file, where nothing can be
// created, not even by root. The link finds no settings there and its trace file cannot
// be opened, so no trace line reaches a disk (a directory that merely does not exist
// would be created by the trace and filled with every line the fuzzer makes).
inline void useUnwritableHostDirectory() { ::setenv("KESTRO_HOST_DIR", "/dev/null/kestro-fuzz-host", 1); }

// One link for the whole run.
inline FuzzLink& link(MemoryTransport& transport) {
    static FuzzLink* instance = [&] {
        useUnwritableHostDirectory();
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
