// Data-bag mode units: acknowledgements, replies into the stores, the Version status,
// checksum errors, over-long replies, and receives that are given up.

#include <algorithm>
#include <cstring>
#include <future>

#include "link/data_bag_stores.h"
#include "parser_fixture.h"

namespace kestro::test {
namespace {

Bytes storeBytes(int type) {
    Bytes bytes(dataBagStoreSize(type));
    copyDataBagStore(type, bytes.data(), bytes.size());
    return bytes;
}

void fillStore(int type, std::uint8_t value) {
    Bytes bytes(dataBagStoreSize(type), value);
    ASSERT_TRUE(writeDataBagStore(type, 0, bytes.data(), bytes.size()));
}

Bytes withoutChecksum(Bytes frame) {
    frame.pop_back();
    return frame;
}

class DataBagTest : public ParserTest {
protected:
    void SetUp() override {
        ParserTest::SetUp();
        link->m_bDataBagMode = 1;
    }
};

TEST_F(DataBagTest, AcknowledgementsAndTheSwallowingE) {
    process(Bytes{0x06});
    EXPECT_EQ(link->m_bAckReceived.load(), 1);
    process(Bytes{0x15});
    EXPECT_EQ(link->m_bNakReceived.load(), 1);

    link->m_bAckReceived = 0;
    link->m_bNakReceived = 0;
    port->feed(Bytes{'E', 0x06, 0x42, 0x15, 0x7F, 0x06});
    link->ReceiveAndProcess();  // "E" and the ACK after it
    EXPECT_EQ(port->queued(), 4u);
    link->ReceiveAndProcess();  // a stray letter: the NAK after it still counts
    EXPECT_EQ(port->queued(), 2u);
    EXPECT_EQ(link->m_bNakReceived.load(), 1);
    link->ReceiveAndProcess();  // a byte that starts nothing
    EXPECT_EQ(link->m_bAckReceived.load(), 0);
    link->ReceiveAndProcess();
    EXPECT_EQ(link->m_bAckReceived.load(), 1);
    EXPECT_TRUE(setFlags().empty());
}

TEST_F(DataBagTest, GoodReplyIsStoredWholeAndRaisesTheFlagOfItsBag) {
    // Type 12 (examined, not stored), 4 (payload only) and 7 (flag by the last bag sent)
    // have their own tests.
    const std::pair<int, int> typeToKind[] = {
        {1, 58},   {2, 59},   {3, 60},   {5, 62},   {6, 63},   {8, 65},   {9, 66},   {10, 67},
        {11, 68},  {13, 109}, {14, 110}, {15, 112}, {16, 82},  {17, 80},  {18, 117}, {19, 118},
        {20, 119}, {21, 120}, {22, 121}, {23, 122}, {24, 123}, {25, 124},
    };
    for (auto [type, kind] : typeToKind) {
        SCOPED_TRACE(type);
        fillStore(type, 0xEE);
        clearFlags();
        const Bytes frame = reply(static_cast<std::uint8_t>(type), {0xAA, 0x00, static_cast<std::uint8_t>(type)});
        process(frame);
        EXPECT_EQ(setFlags(), std::vector<int>{kind});
        Bytes expected(dataBagStoreSize(type), 0xEE);
        std::copy(frame.begin(), frame.end() - 1, expected.begin());
        EXPECT_EQ(storeBytes(type), expected);
    }
    EXPECT_EQ(link->m_bDataBagChecksumError.load(), 0);
}

TEST_F(DataBagTest, WrongChecksumOnlySetsTheChecksumError) {
    const Bytes good = {0x01, 0x05, 0x00, 0x02, 0xAA, 0xBB, 0x6D};
    ASSERT_EQ(good, reply(5, {0xAA, 0xBB}));
    Bytes bad = good;
    bad.back() = 0x6E;

    fillStore(5, 0x11);
    process(bad);
    EXPECT_EQ(link->m_bDataBagChecksumError.load(), 1);
    EXPECT_TRUE(setFlags().empty());
    EXPECT_EQ(storeBytes(5), Bytes(dataBagStoreSize(5), 0x11));

    link->m_bDataBagChecksumError = 0;
    process(good);
    EXPECT_EQ(link->m_bDataBagChecksumError.load(), 0);
    EXPECT_EQ(setFlags(), std::vector<int>{62});
    EXPECT_TRUE(std::equal(good.begin(), good.end() - 1, storeBytes(5).begin()));
}

TEST_F(DataBagTest, TubeSelectKeepsOnlyItsDataAfterTheFourReservedBytes) {
    fillStore(4, 0xEE);
    Bytes block(453);
    for (std::size_t k = 0; k < block.size(); ++k) block[k] = static_cast<std::uint8_t>(k * 7);
    process(reply(4, block));
    EXPECT_EQ(setFlags(), std::vector<int>{61});
    const Bytes store = storeBytes(4);
    EXPECT_EQ(Bytes(store.begin(), store.begin() + kTubeBlockOffset), Bytes(4, 0xEE));
    EXPECT_EQ(Bytes(store.begin() + kTubeBlockOffset, store.begin() + kTubeBlockOffset + 453), block);
}

TEST_F(DataBagTest, AuxiliaryIoRaisesTheFlagOfTheGroupLastSent) {
    const Bytes frame = reply(7, {0x01, 0x02, 0x03});
    link->m_nLastDataBagKind = 72;
    process(frame);
    EXPECT_EQ(setFlags(), std::vector<int>{72});

    clearFlags();
    fillStore(7, 0x00);
    link->m_nLastDataBagKind = 65;  // not an auxiliary group: stored, no flag
    process(frame);
    EXPECT_TRUE(setFlags().empty());
    EXPECT_TRUE(std::equal(frame.begin(), frame.end() - 1, storeBytes(7).begin()));
}

TEST_F(DataBagTest, VersionReplySetsTheStatusAndIsKeptInItsStore) {
    struct Case {
        Bytes payload;
        int status;  // expected bag99Status, the old value was 7
    };
    const Case cases[] = {
        {{0x00, 0x99, 0x01}, 0},
        {{0x00, 0x99, 0x00}, 1},
        {{0x00, 0x99, 0x05}, 2},
        {{0x00, 0x98, 0x01}, 7},
        {{0x01, 0x99, 0x01}, 7},
        {{0x00, 0x99, 0x01, 0x00}, 7},
    };
    fillStore(12, 0x33);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.payload));
        link->m_pData->bag99Status = 7;
        clearFlags();
        const Bytes frame = reply(12, c.payload);
        process(frame);
        EXPECT_EQ(link->m_pData->bag99Status.load(), c.status);
        EXPECT_EQ(setFlags(), std::vector<int>{69});
        EXPECT_EQ(Bytes(link->m_RxBuffer, link->m_RxBuffer + frame.size() - 1), withoutChecksum(frame));
        const Bytes store = storeBytes(12);
        EXPECT_EQ(Bytes(store.begin(), store.begin() + static_cast<std::ptrdiff_t>(frame.size() - 1)),
                  withoutChecksum(frame));
    }
    // The longest reply the length byte allows is kept whole.
    const Bytes longest = reply(12, Bytes(255, 0x5A));
    process(longest);
    EXPECT_EQ(storeBytes(12), withoutChecksum(longest));
}

TEST_F(DataBagTest, RepliesWithoutAStoreOrOutsideTheTypeRange) {
    // 26..28 pass their checks and do nothing.
    for (std::uint8_t type : {26, 27, 28}) process(reply(type, {0x01, 0x02}));
    EXPECT_TRUE(setFlags().empty());
    EXPECT_EQ(link->m_bDataBagChecksumError.load(), 0);

    // 0 and 29 end the unit after the type byte; what follows is read as new units.
    for (std::uint8_t type : {0, 29}) {
        SCOPED_TRACE(int{type});
        link->m_bAckReceived = 0;
        port->feed(Bytes{0x01, type, 0x06});
        link->ReceiveAndProcess();
        EXPECT_EQ(port->queued(), 1u);
        link->ReceiveAndProcess();
        EXPECT_EQ(link->m_bAckReceived.load(), 1);
    }
}

TEST_F(DataBagTest, LengthBeyondTheLongestFrameOfItsTypeIsRefusedAtOnce) {
    std::memset(link->m_TxBuffer, 0x5A, sizeof link->m_TxBuffer);
    struct Case {
        std::uint8_t type;
        std::size_t length;
        bool accepted;
    };
    const Case cases[] = {
        {1, 7, true},     {1, 8, false},     {15, 387, true}, {15, 388, false}, {23, 23, true},
        {4, 453, true},   {4, 454, false},   {12, 255, true}, {12, 256, false}, {26, 508, true},
        {26, 509, false}, {5, 0xFFFF, false},
    };
    const Bytes next = reply(5, {0xAA, 0xBB, 0xCC});
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << int{c.type} << " length " << c.length);
        if (c.type <= 25 && c.type != 5) fillStore(c.type, 0xEE);
        const Bytes before = c.type <= 25 ? storeBytes(c.type) : Bytes{};
        clearFlags();
        Bytes payload(c.length);
        for (std::size_t k = 0; k < payload.size(); ++k) payload[k] = static_cast<std::uint8_t>(k * 7 + 0x30);
        Bytes frame = reply(c.type, payload);
        // A refused header is followed at once by the next reply, not by the payload it
        // announced: the next reply must be understood.
        if (!c.accepted) frame.resize(4);
        const auto traced = traceLines().size();
        process(concat({frame, next}));
        EXPECT_EQ(link->m_bDataBagChecksumError.load(), 0);
        EXPECT_EQ(link->m_ReplyFlags[62].load(), 1) << "the reply after it was lost";
        const std::vector<std::string> lines = traceLines();
        const bool hasStore = c.type <= 25 && c.type != 5;
        if (c.accepted) {
            if (hasStore) {
                EXPECT_NE(storeBytes(c.type), before);
            }
            EXPECT_EQ(lines.size(), traced);
        } else {
            EXPECT_EQ(setFlags(), std::vector<int>{62});
            if (hasStore) {
                EXPECT_EQ(storeBytes(c.type), before);
            }
            ASSERT_EQ(lines.size(), traced + 1);
            EXPECT_EQ(lines.back().rfind("Refused data bag reply longer than its type allows, type =", 0), 0u)
                << lines.back();
        }
    }
    EXPECT_TRUE(std::all_of(std::begin(link->m_TxBuffer), std::end(link->m_TxBuffer),
                            [](unsigned char b) { return b == 0x5A; }));
}

// A unit whose bytes stop coming is abandoned after the inter-byte limit; the next
// unit is read normally.
TEST(UnitInProgress, SilenceInsideAUnitAbandonsItAndTheNextUnitIsRead) {
    prepareHostDirectory();
    struct Case {
        const char* what;
        bool dataBagMode;
        Bytes start;  // the bytes that come before the silence
        Bytes after;  // a complete unit after it
    };
    const Case cases[] = {
        {"data-bag header", true, {0x01, 0x05, 0xFF}, reply(5, {0x11, 0x22})},
        {"data-bag payload", true, {0x01, 0x05, 0x00, 0x02, 0x11}, reply(5, {0x11, 0x22})},
        {"data-bag checksum", true, {0x01, 0x05, 0x00, 0x02, 0x11, 0x22}, reply(5, {0x11, 0x22})},
        {"swallowing E", true, {'E'}, Bytes{0x06}},
        {"second letter", false, {'K'}, message("KV081")},
        {"message body", false, {'K', 'V', '0'}, message("KV081")},
        {"message checksum", false, {'K', 'V', '0', '8', '1', 0x03}, message("KV081")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeTransport port(/*blockingWaits=*/true);
        TestLink link(&port);
        link.m_bDataBagMode = c.dataBagMode ? 1 : 0;
        port.feed(c.start);
        const auto started = std::chrono::steady_clock::now();
        auto done = std::async(std::launch::async, [&] { link.ReceiveAndProcess(); });
        ASSERT_EQ(done.wait_for(std::chrono::seconds(3)), std::future_status::ready) << "the unit waits forever";
        EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(90));
        EXPECT_EQ(port.queued(), 0u);
        for (const auto& flag : link.m_ReplyFlags) EXPECT_EQ(flag.load(), 0);
        EXPECT_EQ(link.m_bDataBagChecksumError.load(), 0);

        port.feed(c.after);
        link.ReceiveAndProcess();
        if (c.dataBagMode && c.after.size() == 1) {
            EXPECT_EQ(link.m_bAckReceived.load(), 1);
        } else if (c.dataBagMode) {
            EXPECT_EQ(link.m_ReplyFlags[62].load(), 1);
        } else {
            EXPECT_EQ(link.m_pData->radKV.load(), 81);
        }
    }
}

TEST_F(DataBagTest, UnfinishedReplyHasNoEffect) {
    fillStore(5, 0x22);
    const Bytes frame = reply(5, {0xAA, 0xBB, 0xCC});
    for (std::size_t cut = 1; cut < frame.size(); ++cut) {
        SCOPED_TRACE(cut);
        process(Bytes(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(cut)));
        EXPECT_FALSE(port->isOpen());  // the receive was given up when the bytes ran out
        EXPECT_TRUE(setFlags().empty());
        EXPECT_EQ(link->m_bDataBagChecksumError.load(), 0);
    }
    EXPECT_EQ(storeBytes(5), Bytes(dataBagStoreSize(5), 0x22));
}

TEST_F(DataBagTest, ReplyWaitsWhileAReaderHoldsItsStore) {
    fillStore(5, 0x22);
    const Bytes frame = reply(5, {0xAA, 0xBB});
    port->feed(frame);
    std::future<void> parsed;
    {
        DataBagStoreAccess access(5);
        parsed = std::async(std::launch::async, [&] { link->ReceiveAndProcess(); });
        EXPECT_EQ(parsed.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
        EXPECT_EQ(link->m_ReplyFlags[62].load(), 0);
        EXPECT_EQ(Bytes(access.bytes().begin(), access.bytes().end()), Bytes(dataBagStoreSize(5), 0x22));
    }
    ASSERT_EQ(parsed.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(setFlags(), std::vector<int>{62});
    EXPECT_TRUE(std::equal(frame.begin(), frame.end() - 1, storeBytes(5).begin()));
}

// A receive blocked on an empty port ends when the abort flag or the run flag says so.
TEST(ReceiveGiveUp, AbortAndStopEndAWaitingReceive) {
    prepareHostDirectory();
    for (bool viaAbortFlag : {true, false}) {
        SCOPED_TRACE(viaAbortFlag ? "abort flag" : "run flag");
        FakeTransport port(/*blockingWaits=*/true);
        TestLink link(&port);
        link.m_bDataBagMode = 1;
        link.m_nLastDataBagKind = 0;
        port.feed(Bytes{0x01, 0x05, 0x00, 0x02, 0xAA});

        auto done = std::async(std::launch::async, [&] { link.ReceiveAndProcess(); });
        ASSERT_TRUE(port.awaitEmptyWaits(1, std::chrono::seconds(5)));
        EXPECT_EQ(done.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
        if (viaAbortFlag)
            link.m_bStopReceive = 1;
        else
            link.run = 0;
        ASSERT_EQ(done.wait_for(std::chrono::seconds(5)), std::future_status::ready);

        for (const auto& flag : link.m_ReplyFlags) EXPECT_EQ(flag.load(), 0);
        EXPECT_EQ(link.m_bDataBagChecksumError.load(), 0);

        // A later unit is handled as usual (the abort flag is cleared by each call).
        link.run = 1;
        port.feed(Bytes{0x06});
        link.ReceiveAndProcess();
        EXPECT_EQ(link.m_bAckReceived.load(), 1);
    }
}

TEST(ReceiveGiveUp, NoTransportGivesUpAtOnce) {
    prepareHostDirectory();
    TestLink link(nullptr);
    link.m_bStopReceive = 1;
    link.ReceiveAndProcess();
    EXPECT_EQ(link.m_bStopReceive.load(), 0);
    EXPECT_EQ(link.ReceiveOneByte(), 0);
    link.m_bDataBagMode = 1;
    link.ReceiveAndProcess();
    EXPECT_EQ(link.m_bAckReceived.load(), 0);
}

// ---- The store interface ------------------------------------------------------------

TEST(DataBagStores, RefusesWritesOutsideAStore) {
    const std::uint8_t byte = 0x42;
    EXPECT_FALSE(writeDataBagStore(0, 0, &byte, 1));
    EXPECT_FALSE(writeDataBagStore(26, 0, &byte, 1));
    EXPECT_FALSE(writeDataBagStore(1, dataBagStoreSize(1), &byte, 1));
    EXPECT_TRUE(writeDataBagStore(1, dataBagStoreSize(1) - 1, &byte, 1));
    EXPECT_EQ(dataBagStore(1)[dataBagStoreSize(1) - 1], 0x42);
    EXPECT_EQ(dataBagStore(26), nullptr);
    EXPECT_TRUE(DataBagStoreAccess(26).bytes().empty());
    EXPECT_EQ(DataBagStoreAccess(23).bytes().size(), dataBagStoreSize(23));
}

}  // namespace
}  // namespace kestro::test

namespace kestro::test {
namespace {

// The parser's counters follow what it refused, dropped and found damaged.
TEST(LinkCounters, ParserCountsNaksChecksumErrorsResyncsAndDroppedUnits) {
    prepareHostDirectory();
    FakeTransport port(/*blockingWaits=*/true);
    TestLink link(&port);
    auto run = [&](const Bytes& bytes, bool dataBagMode) {
        link.m_bDataBagMode = dataBagMode ? 1 : 0;
        port.feed(bytes);
        while (port.queued() > 0) link.ReceiveAndProcess();
    };
    Bytes badSum = message("KV080");
    badSum.back() ^= 0x01;
    run(concat({badSum, Bytes{'K', 0x01}, Bytes{0x7F}, message("KV081")}), false);
    Bytes badBag = reply(5, {1, 2});
    badBag.back() ^= 0x01;
    run(concat({Bytes{0x15, 0x15, 0x42}, badBag, Bytes{0x01, 0x05, 0xFF, 0xFF}}), true);
    // A unit cut short by silence.
    port.feed(Bytes{0x01, 0x05, 0x00});
    link.ReceiveAndProcess();

    KestroLinkStatistics s{};
    link.m_Stats.snapshot(s, 0, 0);
    EXPECT_EQ(s.naks, 2u);
    EXPECT_EQ(s.checksumErrors, 2u);
    // 'K' then a non-letter, the stray 0x7F, the stray 0x42 and the 0xFFFF length.
    EXPECT_EQ(s.resyncs, 4u);
    EXPECT_EQ(s.droppedUnits, 1u);
    EXPECT_EQ(link.m_pData->radKV.load(), 81);
}

}  // namespace
}  // namespace kestro::test
