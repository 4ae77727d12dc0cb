// The CAN link's unit reader and the parser over any sequence of CAN frames, in ASCII
// and in data-bag mode.
//
// Input: one mode byte (bit 0: data-bag mode), then frames of ten bytes each: an
// identifier selector (below 0xE0 the link's receive identifier 8, else an identifier
// 0..31, which the adapter drops unless it is 8), a length (taken modulo 9; bytes past it
// are 0, as the backends deliver them) and eight data bytes. A short tail is ignored.
//
// Properties: every unit takes at least one frame (the reader always makes progress),
// and after any sequence a message in a fresh frame is read as sent (the link is still
// usable). AddressSanitizer guards the frame buffer: the reader never reads past a frame.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>

#include "fuzz_link.h"
#include "link/can_protocol.h"
#include "transport/can_media.h"

namespace {

using kestro::CanFrame;

// A bus whose received frames come from the input. When they are used up the receive
// stops the link's wait for a further frame, as an abort of the receive does, so that
// an unfinished unit is given up at once instead of after the continuation wait.
class FrameQueue final : public kestro::CanMedia {
public:
    std::deque<CanFrame> frames;
    std::atomic<std::int32_t>* stopReceive = nullptr;

    bool open(std::string*) override { return true; }
    void setAcceptance(std::uint32_t, std::uint32_t) override {}
    bool activate(std::uint32_t, std::string*, std::string*) override { return true; }
    void deactivate() override {}
    bool transmit(const CanFrame*, int) override { return true; }
    bool receive(CanFrame* frame, int) override {
        if (frames.empty()) {
            if (stopReceive) *stopReceive = 1;
            return false;
        }
        *frame = frames.front();
        frames.pop_front();
        return true;
    }
};

struct CanLink {
    FrameQueue* bus = nullptr;
    std::unique_ptr<kestro::CCanProtocol> link;
};

CanLink& canLink() {
    static CanLink* instance = [] {
        kestro::fuzz::useUnwritableHostDirectory();
        auto* made = new CanLink;
        auto bus = std::make_unique<FrameQueue>();
        made->bus = bus.get();
        made->link = std::make_unique<kestro::CCanProtocol>(std::make_unique<kestro::CCanDriver>(std::move(bus)));
        made->bus->stopReceive = &made->link->m_bStopReceive;
        if (made->link->InitComm() != 1) std::abort();
        return made;
    }();
    return *instance;
}

CanFrame frameFrom(const std::uint8_t* p) {
    CanFrame f;
    f.id = p[0] < 0xE0 ? kestro::CCanProtocol::kReceiveId : p[0] & 0x1Fu;
    f.length = static_cast<std::uint8_t>(p[1] % 9);
    std::memcpy(f.data, p + 2, f.length);
    return f;
}

// Takes units until the frames are used up; each must take at least one frame.
void readAll(CanLink& c) {
    while (!c.bus->frames.empty()) {
        const std::size_t before = c.bus->frames.size();
        c.link->ReceiveAndProcess();
        if (c.bus->frames.size() >= before) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    CanLink& c = canLink();
    kestro::CCanProtocol& link = *c.link;
    link.m_bDataBagMode = (data[0] & 1) ? 1 : 0;
    for (std::size_t at = 1; at + 10 <= size; at += 10) c.bus->frames.push_back(frameFrom(data + at));
    readAll(c);

    // A kV reply in one fresh frame, in ASCII mode: the value lands whatever came before.
    link.m_bDataBagMode = 0;
    link.m_pData->radKV = -1;
    CanFrame probe;
    probe.id = kestro::CCanProtocol::kReceiveId;
    probe.length = 7;
    const std::uint8_t message[] = {'K', 'V', '1', '2', '3', 0x03};
    unsigned sum = 0;
    for (std::uint8_t b : message) sum += b;
    std::memcpy(probe.data, message, sizeof message);
    probe.data[6] = static_cast<std::uint8_t>(sum & 0xFF);
    c.bus->frames.push_back(probe);
    readAll(c);
    if (link.m_pData->radKV != 123) std::abort();
    return 0;
}
