// The CAN adapter over the XL driver's calls: the calling sequence and its arguments,
// the two start-up branches, frame splitting and the receive rules.

#include <gtest/gtest.h>

#include <numeric>

#include "fake_xl_driver.h"
#include "link/can_protocol.h"
#include "parser_fixture.h"

namespace kestro::test {
namespace {

using Calls = std::vector<std::string>;

struct TraceRecord {
    std::vector<std::string> lines;
    CCanDriver::TraceSink sink() {
        return [this](std::string_view text, int number, std::string_view suffix) {
            lines.push_back(std::string(text) + (number >= 0 ? std::to_string(number) : "") + std::string(suffix));
        };
    }
};

class XlDriverTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { prepareHostDirectory(); }
    void SetUp() override {
        // A non-CAN channel first, then three CAN channels.
        fake.hardware = {{1, 0, 0, false}, {57, 0, 0, true}, {57, 0, 1, true}, {57, 0, 2, true}};
        api = fake.api();
    }
    FakeXl fake;
    xl::Api api{};
    TraceRecord trace;
};

const Calls kBusStart = {
    "xlOpenPort Tavrino access 0x6 permission 0x6 queue 256 version 3 bus 1",
    "xlCanSetChannelMode 7 0x6 0 0",
    "xlCanSetChannelAcceptance 7 0x6 0xFFF 0xFFF 1",
    "xlCanAddAcceptanceRange 7 0x6 8..8",
    "xlDeactivateChannel 7 0x6",
    "xlCanSetChannelBitrate 7 0x6 500000",
    "xlActivateChannel 7 0x6 bus 1 flags 8",
};

Calls concat(Calls head, const Calls& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

TEST_F(XlDriverTest, FirstStartRegistersTheFirstTwoCanChannelsAndStartsTheBus) {
    CCanProtocol link(std::make_unique<CCanDriver>(&api));
    ASSERT_EQ(link.InitComm(), 1);
    EXPECT_EQ(fake.calls, concat({"xlOpenDriver", "xlGetDriverConfig", "xlGetApplConfig Tavrino 0 bus 1",
                                  "xlSetApplConfig Tavrino 0 hw 57/0/0 bus 1", "xlGetChannelMask 57/0/0 = 0x2",
                                  "xlSetApplConfig Tavrino 1 hw 57/0/1 bus 1", "xlGetChannelMask 57/0/1 = 0x4"},
                                 kBusStart));
    EXPECT_EQ(fake.registered, (std::vector<int>{1, 2}));
    EXPECT_EQ(link.driver()->m_ChannelMask[0], 0x2u);
    EXPECT_EQ(link.driver()->m_ChannelMask[1], 0x4u);
    EXPECT_EQ(link.driver()->m_bOpen.load(), 1);

    // A second open while open does nothing and succeeds.
    fake.calls.clear();
    EXPECT_EQ(link.driver()->OpenChannels(), 0);
    EXPECT_TRUE(fake.calls.empty());
}

TEST_F(XlDriverTest, LaterStartsUseTheRegistrationAndBothOpenFormsAgree) {
    fake.registered = {2, 3};
    Calls noArguments, sixArguments;
    {
        CCanProtocol link(std::make_unique<CCanDriver>(&api));
        ASSERT_EQ(link.InitComm(), 1);
        noArguments = fake.calls;
    }
    fake.calls.clear();
    {
        CCanProtocol link(std::make_unique<CCanDriver>(&api));
        ASSERT_EQ(link.InitComm(3, 9600, 2, 7, 3, 64), 1);
        sixArguments = fake.calls;
    }
    const Calls expected = concat({"xlOpenDriver", "xlGetDriverConfig", "xlGetApplConfig Tavrino 0 bus 1",
                                   "xlGetChannelMask 57/0/1 = 0x4", "xlGetApplConfig Tavrino 1 bus 1",
                                   "xlGetChannelMask 57/0/2 = 0x8"},
                                  {"xlOpenPort Tavrino access 0xC permission 0xC queue 256 version 3 bus 1",
                                   "xlCanSetChannelMode 7 0xC 0 0", "xlCanSetChannelAcceptance 7 0xC 0xFFF 0xFFF 1",
                                   "xlCanAddAcceptanceRange 7 0xC 8..8", "xlDeactivateChannel 7 0xC",
                                   "xlCanSetChannelBitrate 7 0xC 500000", "xlActivateChannel 7 0xC bus 1 flags 8"});
    EXPECT_EQ(noArguments, expected);
    EXPECT_EQ(sixArguments, expected);
}

TEST_F(XlDriverTest, OneCanChannelOnlyRegistersItAndFailsWith255) {
    fake.hardware = {{1, 0, 0, false}, {57, 0, 0, true}};
    CCanDriver driver(&api);
    EXPECT_EQ(driver.OpenChannels(), 255);
    EXPECT_EQ(fake.registered, (std::vector<int>{1}));
    EXPECT_EQ(driver.m_ChannelMask[0], 0x2u);
    EXPECT_EQ(driver.m_ChannelMask[1], 0u);
    EXPECT_EQ(driver.m_bOpen.load(), 0);
    EXPECT_EQ(std::count_if(fake.calls.begin(), fake.calls.end(),
                            [](const std::string& c) { return c.rfind("xlOpenPort", 0) == 0; }),
              0);

    fake.calls.clear();
    CCanProtocol link(std::make_unique<CCanDriver>(&api));
    EXPECT_EQ(link.InitComm(), 0);

    // No CAN channel at all: the failing status of the registration query comes back.
    fake.hardware = {{1, 0, 0, false}};
    fake.registered.clear();
    CCanDriver none(&api);
    EXPECT_EQ(none.OpenChannels(), 101);
    EXPECT_TRUE(fake.registered.empty());
}

TEST_F(XlDriverTest, StreamsAreSplitIntoFramesOfIdentifier0x550InOneCall) {
    fake.registered = {1, 2};
    CCanDriver driver(&api, trace.sink());
    ASSERT_EQ(driver.OpenChannels(), 0);
    struct Case {
        int length;
        std::vector<int> dlcs;
    };
    const Case cases[] = {{5, {5}}, {8, {8}}, {16, {8, 8}}, {17, {8, 8, 1}}, {512, std::vector<int>(64, 8)}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        std::vector<unsigned char> bytes(static_cast<std::size_t>(c.length));
        std::iota(bytes.begin(), bytes.end(), 0);
        fake.transmitted.clear();
        fake.calls.clear();
        EXPECT_EQ(driver.SendFrames(bytes.data(), c.length), c.length);
        ASSERT_EQ(fake.transmitted.size(), 1u);
        EXPECT_EQ(fake.calls.back(), "xlCanTransmit 7 0x2 " + std::to_string(c.dlcs.size()));  // channel mask 0
        const auto& events = fake.transmitted[0];
        ASSERT_EQ(events.size(), c.dlcs.size());
        for (std::size_t k = 0; k < events.size(); ++k) {
            EXPECT_EQ(events[k].tag, xl::XL_TRANSMIT_MSG);
            EXPECT_EQ(events[k].tagData.msg.id, 0x550u);
            EXPECT_EQ(events[k].tagData.msg.flags, 0u);
            EXPECT_EQ(events[k].tagData.msg.dlc, c.dlcs[k]);
            for (int b = 0; b < c.dlcs[k]; ++b) EXPECT_EQ(events[k].tagData.msg.data[b], bytes[8 * k + b]);
            for (int b = c.dlcs[k]; b < 8; ++b) EXPECT_EQ(events[k].tagData.msg.data[b], 0);  // no padding bytes
        }
    }
    EXPECT_TRUE(trace.lines.empty());
}

TEST_F(XlDriverTest, RefusedAndFailedSendsReturnZeroAndTraceTheBytes) {
    fake.registered = {1, 2};
    CCanDriver driver(&api, trace.sink());
    ASSERT_EQ(driver.OpenChannels(), 0);

    // 65 frames do not fit one call: refused whole, nothing reaches the driver.
    std::vector<unsigned char> tooLong(513, 'A');
    EXPECT_EQ(driver.SendFrames(tooLong.data(), 513), 0);
    EXPECT_TRUE(fake.transmitted.empty());
    ASSERT_EQ(trace.lines.size(), 1u);
    std::string expected = "Sent CAN Failed : ";
    for (int i = 0; i < 513; ++i) expected += "A ";
    EXPECT_EQ(trace.lines[0], expected);

    fake.transmitStatus = 11;
    const unsigned char kv[] = {'K', 'V', '?', 0x03, 0xE3};
    EXPECT_EQ(driver.SendFrames(kv, 5), 0);
    ASSERT_EQ(trace.lines.size(), 2u);
    EXPECT_EQ(trace.lines[1], std::string("Sent CAN Failed : K V ? \x03 \xE3 "));
}

TEST_F(XlDriverTest, OnlyFramesOfIdentifier8AreDelivered) {
    CCanDriver driver(&api);
    fake.rxQueue = {FakeXl::frame(9, {1, 2, 3, 4, 5, 6, 7, 8}), FakeXl::frame(8, {1, 2}, 4 /* chip state */),
                    FakeXl::frame(8, {'K', 'V', '0', '8', '0', 0x03, 0x3C, 0x55})};
    unsigned char buffer[8] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(driver.ReceiveFrame(buffer), 0);
    EXPECT_EQ(driver.ReceiveFrame(buffer), 0);
    EXPECT_EQ(buffer[0], 0xEE);  // untouched
    EXPECT_EQ(driver.ReceiveFrame(buffer), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 8), std::string("KV080\x03\x3C\x55", 8));
    EXPECT_EQ(driver.ReceiveFrame(buffer), 0);  // empty queue
    EXPECT_EQ(driver.droppedFrames(), 2u);
}

TEST_F(XlDriverTest, ReadThreadStartArmsTheNotificationAndHandsTheHandlesBack) {
    fake.registered = {1, 2};
    CCanProtocol link(std::make_unique<CCanDriver>(&api));
    ASSERT_EQ(link.InitComm(), 1);
    fake.calls.clear();
    ASSERT_EQ(link.startReadThread(), 1);
    EXPECT_EQ(fake.calls, (Calls{"xlSetNotification 7 level 1"}));
    CCanDriver& d = *link.driver();
    EXPECT_NE(d.m_hNotify, nullptr);
    EXPECT_EQ(d.m_hRxEvent, d.m_hNotify);
    EXPECT_EQ(d.m_hRxPort, 7);
    EXPECT_EQ(link.m_hNotifyEvent.load(), d.m_hNotify);
    EXPECT_EQ(link.stopReadThread(), 1);
}

TEST_F(XlDriverTest, CloseDeactivatesAndKeepsTheStateWhenThatFails) {
    fake.registered = {1, 2};
    CCanProtocol link(std::make_unique<CCanDriver>(&api));
    ASSERT_EQ(link.InitComm(), 1);
    link.m_WorkFlags.bCommOk = 1;
    fake.calls.clear();
    EXPECT_EQ(link.CloseComm(), 1);
    EXPECT_EQ(fake.calls, (Calls{"xlDeactivateChannel 7 0x6"}));
    EXPECT_EQ(link.m_WorkFlags.bCommOk.load(), 0);

    link.m_WorkFlags.bCommOk = 1;
    fake.deactivateStatus = 5;
    EXPECT_EQ(link.CloseComm(), 0);
    EXPECT_EQ(link.m_WorkFlags.bCommOk.load(), 1);
}

TEST_F(XlDriverTest, FailingReceiveMarksTheAdapterLostAndReopenRunsTheOpenSequenceAgain) {
    fake.registered = {1, 2};
    CCanProtocol link(std::make_unique<CCanDriver>(&api));
    ASSERT_EQ(link.InitComm(), 1);
    CCanDriver& d = *link.driver();
    d.SetRxHandles(7, nullptr);
    unsigned char buffer[8];
    EXPECT_EQ(d.ReceiveFrame(buffer), 0);  // an empty queue is no loss
    EXPECT_FALSE(d.lost());
    fake.receiveStatus = 129;  // the adapter was unplugged
    EXPECT_EQ(d.ReceiveFrame(buffer), 0);
    EXPECT_TRUE(d.lost());

    // Still away: the port and the driver are closed once, opening the driver fails,
    // and the next attempt closes nothing that is not open.
    fake.openDriverStatus = 201;
    fake.calls.clear();
    EXPECT_FALSE(d.Reopen(500000, 8, 8));
    EXPECT_EQ(fake.calls, (Calls{"xlDeactivateChannel 7 0x6", "xlClosePort 7", "xlCloseDriver", "xlOpenDriver"}));
    fake.calls.clear();
    EXPECT_FALSE(d.Reopen(500000, 8, 8));
    EXPECT_EQ(fake.calls, (Calls{"xlOpenDriver"}));
    EXPECT_TRUE(d.lost());

    // Back: the start-up's sequence, the notification armed again, frames delivered.
    fake.openDriverStatus = 0;
    fake.receiveStatus = 0;
    fake.calls.clear();
    EXPECT_TRUE(d.Reopen(500000, 8, 8));
    EXPECT_FALSE(d.lost());
    EXPECT_EQ(fake.calls, concat(concat({"xlOpenDriver", "xlGetDriverConfig", "xlGetApplConfig Tavrino 0 bus 1",
                                         "xlGetChannelMask 57/0/0 = 0x2", "xlGetApplConfig Tavrino 1 bus 1",
                                         "xlGetChannelMask 57/0/1 = 0x4"},
                                        kBusStart),
                                 {"xlSetNotification 7 level 1"}));
    EXPECT_EQ(d.m_hRxPort, 7);
    EXPECT_EQ(d.m_hRxEvent, d.m_hNotify);
    fake.rxQueue = {FakeXl::frame(8, {'K', 'V', '0', '8', '0', 0x03, 0x3C, 0x55})};
    EXPECT_EQ(d.ReceiveFrame(buffer), 1);
}

}  // namespace
}  // namespace kestro::test
