// The CAN link's reading and sending over a scripted bus: units start at frame
// boundaries, data-bag replies take ceil((L-3)/8) further frames, ASCII messages take at
// most 60 further frames, and every command or block goes out as one stream of frames.

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <functional>
#include <utility>
#include <mutex>
#include <thread>

#include "link/can_protocol.h"
#include "link/data_bag_stores.h"
#include "parser_fixture.h"

namespace kestro::test {
namespace {

// A bus whose frames the test queues; a receive on an empty queue waits its time.
class ScriptedBus : public CanMedia {
public:
    bool open(std::string*) override { return true; }
    void setAcceptance(std::uint32_t, std::uint32_t) override {}
    bool activate(std::uint32_t, std::string*, std::string*) override { return true; }
    void deactivate() override {}
    bool transmit(const CanFrame* frames, int count) override {
        std::lock_guard<std::mutex> lock(m);
        sent.insert(sent.end(), frames, frames + count);
        ++calls;
        return true;
    }
    bool receive(CanFrame* frame, int timeoutMs) override {
        // What happens while a receive waits (once): a frame arrives, the mode changes.
        if (std::function<void()> during = std::exchange(whileWaiting, nullptr)) during();
        {
            std::lock_guard<std::mutex> lock(m);
            if (!queue.empty()) {
                *frame = queue.front();
                queue.pop_front();
                return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
        return false;
    }

    // The bytes as frames of identifier id, 8 data bytes each; the last is filled up
    // with fill.
    void queueStream(const Bytes& bytes, std::uint8_t fill = 0x06, std::uint32_t id = 8) {
        std::lock_guard<std::mutex> lock(m);
        for (std::size_t at = 0; at < bytes.size(); at += 8) {
            CanFrame f;
            f.id = id;
            f.length = 8;
            for (std::size_t k = 0; k < 8; ++k) f.data[k] = at + k < bytes.size() ? bytes[at + k] : fill;
            queue.push_back(f);
        }
    }
    std::size_t queued() {
        std::lock_guard<std::mutex> lock(m);
        return queue.size();
    }

    std::function<void()> whileWaiting;
    std::mutex m;
    std::deque<CanFrame> queue;
    std::vector<CanFrame> sent;
    int calls = 0;
};

class CanLinkTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { prepareHostDirectory(); }
    void SetUp() override {
        auto media = std::make_unique<ScriptedBus>();
        bus = media.get();
        link = std::make_unique<CCanProtocol>(std::make_unique<CCanDriver>(std::move(media)));
        ASSERT_EQ(link->InitComm(), 1);
        CCanProtocol::thread = 1;
        traceFile = link->m_strTraceFileName;
        traceStart = fileSize();
    }
    void TearDown() override { link.reset(); }

    // Lets the parser take units until the queued frames are used up.
    void process() {
        for (int guard = 0; bus->queued() > 0 && guard < 1000; ++guard) link->ReceiveAndProcess();
    }
    std::size_t fileSize() const {
        std::error_code ec;
        auto size = std::filesystem::file_size(traceFile, ec);
        return ec ? 0 : static_cast<std::size_t>(size);
    }
    std::string traceSince() const {
        std::ifstream in(traceFile, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(traceStart));
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

    ScriptedBus* bus = nullptr;
    std::unique_ptr<CCanProtocol> link;
    std::string traceFile;
    std::size_t traceStart = 0;
};

TEST_F(CanLinkTest, MessageInOneFrameIgnoresTheRestOfTheFrame) {
    // KV080, ETX, checksum: 7 bytes; the eighth byte of the frame is not a message start.
    bus->queueStream(message("KV080"), 'S');
    bus->queueStream(message("ST003"), 0x00);
    process();
    EXPECT_EQ(link->m_pData->radKV.load(), 80);
    EXPECT_EQ(link->m_ReplyFlags[0].load(), 1);
    EXPECT_EQ(link->m_nGenState.load(), 3);
    EXPECT_NE(traceSince().find("Got command from GEN : KV080"), std::string::npos);
}

TEST_F(CanLinkTest, FramesThatDoNotStartWithTwoLettersAreDroppedWhole) {
    bus->queueStream(concat({Bytes{'1'}, message("KV080")}));
    bus->queueStream(concat({Bytes{'K', 'v'}, message("KV081")}));
    process();
    EXPECT_EQ(link->m_pData->radKV.load(), 0);
    EXPECT_EQ(link->m_ReplyFlags[0].load(), 0);
}

TEST_F(CanLinkTest, DataBagRepliesTakeTheirContinuationFramesOnly) {
    link->m_bDataBagMode = 1;
    // L + 5 bytes: L = 3 fits the first frame (checksum in byte 7), L = 4 needs one more
    // frame of which only the checksum is used, L = 11 exactly one, L = 12 two.
    for (std::size_t length : {3u, 4u, 11u, 12u, 36u}) {
        SCOPED_TRACE(length);
        Bytes payload(length);
        for (std::size_t i = 0; i < length; ++i) payload[i] = static_cast<std::uint8_t>(0x40 + i);
        const Bytes frame = reply(15, payload);
        link->m_ReplyFlags[112] = 0;
        link->m_bAckReceived = 0;
        bus->queueStream(frame, 0x06);  // what follows in the last frame must not count as ACKs
        link->ReceiveAndProcess();
        EXPECT_EQ(bus->queued(), 0u);
        EXPECT_EQ(link->m_ReplyFlags[112].load(), 1);
        EXPECT_EQ(link->m_bAckReceived.load(), 0);
        Bytes stored(4 + length);
        copyDataBagStore(15, stored.data(), stored.size());
        EXPECT_EQ(stored, Bytes(frame.begin(), frame.end() - 1));
    }
}

TEST_F(CanLinkTest, UnitIsReadInTheModeOfTheMomentItsFirstFrameArrives) {
    // The reader waits for a frame in one mode; an exchange starts or ends meanwhile and
    // the frame belongs to the new mode.
    const Bytes bag = reply(5, {0xAA, 0xBB});
    bus->whileWaiting = [&] {
        link->m_bDataBagMode = 1;
        bus->queueStream(bag);
    };
    link->ReceiveAndProcess();
    EXPECT_EQ(link->m_ReplyFlags[62].load(), 1);

    bus->whileWaiting = [&] {
        link->m_bDataBagMode = 0;
        bus->queueStream(message("PR1"));
    };
    link->ReceiveAndProcess();
    EXPECT_EQ(link->m_pData->radPrepState.load(), 1);
    EXPECT_EQ(link->m_ReplyFlags[14].load(), 1);
}

TEST_F(CanLinkTest, AcknowledgementFramesSetTheirFlagAndNothingElse) {
    link->m_bDataBagMode = 1;
    bus->queueStream(Bytes{0x06, 0x15, 0x15, 0x15, 0x15, 0x15, 0x15, 0x15});
    process();
    EXPECT_EQ(link->m_bAckReceived.load(), 1);
    EXPECT_EQ(link->m_bNakReceived.load(), 0);
}

TEST_F(CanLinkTest, BadDataBagChecksumIsTracedWithBothSums) {
    link->m_bDataBagMode = 1;
    Bytes frame = reply(5, {0xAA, 0xBB});  // checksum 0x6D
    frame.back() = 0x6E;
    bus->queueStream(frame);
    process();
    EXPECT_EQ(link->m_bDataBagChecksumError.load(), 1);
    EXPECT_EQ(link->m_ReplyFlags[62].load(), 0);
    const std::string trace = traceSince();
    EXPECT_NE(trace.find("calculated databag checksum =  109\r\n"), std::string::npos) << trace;
    EXPECT_NE(trace.find("CPU databag checksum =  110\r\n"), std::string::npos) << trace;
}

TEST_F(CanLinkTest, MissingContinuationFrameSpoilsTheReplyOrGivesItUp) {
    link->m_bDataBagMode = 1;
    Bytes payload(12, 0x11);
    // Auxiliary Setup (type 6) takes 12 data bytes; a Generator Limits reply (type 5)
    // that long would be refused at its length.
    const Bytes frame = reply(6, payload);  // 17 bytes: three frames

    // The second frame is lost; the next frame on the bus (a message) is taken in its
    // place, and the reply fails its checksum.
    bus->queueStream(Bytes(frame.begin(), frame.begin() + 8));
    bus->queueStream(message("KV080"));
    bus->queueStream(Bytes(frame.begin() + 16, frame.end()));
    link->ReceiveAndProcess();
    EXPECT_EQ(link->m_bDataBagChecksumError.load(), 1);
    EXPECT_EQ(link->m_ReplyFlags[63].load(), 0);
    EXPECT_EQ(link->m_Stats.droppedUnits.load(), 0u);  // read whole, only wrong

    // Nothing more arrives: the reply is given up after the continuation wait, counted
    // as a dropped unit and traced.
    process();
    link->m_bDataBagChecksumError = 0;
    bus->queueStream(Bytes(frame.begin(), frame.begin() + 8));
    const auto started = std::chrono::steady_clock::now();
    link->ReceiveAndProcess();
    const auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_LT(waited, std::chrono::milliseconds(CCanProtocol::kContinuationWaitMs + 200));
    EXPECT_EQ(link->m_ReplyFlags[63].load(), 0);
    EXPECT_EQ(link->m_bDataBagChecksumError.load(), 0);
    EXPECT_EQ(link->m_Stats.droppedUnits.load(), 1u);
    EXPECT_NE(traceSince().find("Abandoned unit from GEN, no CAN frame for ms : 100"), std::string::npos);

    // A receive stopped on purpose inside a unit is no dropped unit.
    bus->queueStream(Bytes(frame.begin(), frame.begin() + 8));
    bus->whileWaiting = [this] { link->m_bStopReceive = 1; };
    link->ReceiveAndProcess();
    link->m_bStopReceive = 0;
    EXPECT_EQ(link->m_Stats.droppedUnits.load(), 1u);
}

TEST_F(CanLinkTest, MessagesMayTakeSixtyFurtherFramesAndNoMore) {
    // 2 + 6 + 60 * 8 = 488 bytes fit: text of 486 characters, ETX and checksum.
    for (std::size_t textLength : {486u, 487u}) {
        SCOPED_TRACE(textLength);
        link->m_pData->radKV = 0;
        std::string text = "KV080";
        text.resize(textLength, ' ');
        bus->queueStream(message(text), 0x00);
        bus->queueStream(message("ST003"), 0x00);
        link->m_nGenState = 0;
        process();
        EXPECT_EQ(link->m_pData->radKV.load(), textLength == 486 ? 80 : 0);
        EXPECT_EQ(link->m_nGenState.load(), 3);  // the next message is still read
        EXPECT_EQ(link->m_Stats.droppedUnits.load(), textLength == 486 ? 0u : 1u);
    }
    EXPECT_EQ(traceSince().find("Abandoned unit"), std::string::npos);
    EXPECT_NE(traceSince().find("Dropped message from GEN longer than further frames : 60"), std::string::npos);
}

TEST_F(CanLinkTest, FramesOfOtherIdentifiersNeverReachTheParser) {
    bus->queueStream(message("KV090"), 0, 9);
    bus->queueStream(message("KV080"));
    process();
    EXPECT_EQ(link->m_pData->radKV.load(), 80);
    EXPECT_EQ(link->driver()->droppedFrames(), 1u);
}

TEST_F(CanLinkTest, CommandsAndBlocksGoOutAsOneStreamOfFrames) {
    link->m_nGenState = 2;
    EXPECT_EQ(link->SendCommand("KV?", 3, 0), 5);
    const unsigned char block[16] = {0x01, 0x05, 0x00, 0x0B, 0x00, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    EXPECT_EQ(link->SendData(block, 16, 62), 17);
    ASSERT_EQ(bus->calls, 2);
    ASSERT_EQ(bus->sent.size(), 4u);
    EXPECT_EQ(bus->sent[0].id, 0x550u);
    EXPECT_EQ(bus->sent[0].length, 5);
    EXPECT_EQ(Bytes(bus->sent[0].data, bus->sent[0].data + 5), (Bytes{'K', 'V', '?', 0x03, 0xE3}));
    EXPECT_EQ(bus->sent[1].length, 8);
    EXPECT_EQ(bus->sent[2].length, 8);
    EXPECT_EQ(bus->sent[3].length, 1);
    EXPECT_EQ(bus->sent[3].data[0], 0x53);  // checksum of the block
}

TEST_F(CanLinkTest, WorkerSenderWaitsSeventyMillisecondsPerAttempt) {
    link->m_nGenState = 2;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(link->GetCpuCommandData_C("HE?", 3, 21), 0);
    const auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_GE(waited, std::chrono::milliseconds(3 * 70));
    EXPECT_LT(waited, std::chrono::milliseconds(3 * 200));  // the serial link's budget
    EXPECT_EQ(bus->calls, 3);
}

class CanBusChoiceTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { prepareHostDirectory(); }
    void TearDown() override { ::unsetenv("KESTRO_CAN"); }
    std::string traceOf(CCanProtocol& link) {
        std::ifstream in(link.m_strTraceFileName, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
};

TEST_F(CanBusChoiceTest, UnusableBusNamesFailTheOpenAndAreNamedInTheTrace) {
    const char* cases[] = {"socketcan:kestronone0", "socketcand:127.0.0.1:notaport:can0", "serial:/dev/ttyS0",
                           "socketcand:127.0.0.1:1:can0"};
    for (const char* spec : cases) {
        SCOPED_TRACE(spec);
        ::setenv("KESTRO_CAN", spec, 1);
        CCanProtocol link;
        EXPECT_EQ(link.InitComm(), 0);
        const std::string trace = traceOf(link);
        const std::string named = std::string(spec).rfind("socketcan:", 0) == 0 ? "kestronone0" : spec;
        EXPECT_NE(trace.find(std::string(spec) == "socketcand:127.0.0.1:1:can0" ? "127.0.0.1:1" : named),
                  std::string::npos)
            << trace;
    }
}

}  // namespace
}  // namespace kestro::test
