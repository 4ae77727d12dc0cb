#pragma once
// A loaded library whose serial link talks to a FakeGenerator, with the link's reader
// thread running.

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <map>
#include <string>

#include <kestro/kestro.h>

#include "api/app.h"
#include "fake_generator.h"
#include "temp_host.h"

namespace kestro::test {

// Data lengths of the generator's replies, per wire index 1..25.
inline constexpr std::array<int, 26> kReplyLength = {0,  7,  22, 24, 453, 8,   26, 8,  10, 22, 16, 63, 55,
                                                     27, 13, 386, 6, 202, 70, 48, 24, 72, 10, 22, 10, 386};

// Recognisable reply data of an index: byte i is (index * 37 + i * 5 + 11) mod 256.
inline Bytes patternData(int index, int length = -1) {
    if (length < 0) length = kReplyLength[static_cast<std::size_t>(index)];
    Bytes d(static_cast<std::size_t>(length));
    for (std::size_t i = 0; i < d.size(); ++i) d[i] = static_cast<std::uint8_t>((index * 37 + i * 5 + 11) & 0xFF);
    return d;
}

class LinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        host.standardLayout("", "[Communication]\r\nCommunication Type=1\r\n");
        ASSERT_EQ(theApp().InitInstance(), 1);
        link = g_pCommProtocol.load();
        ASSERT_NE(link, nullptr);
        link->setTransport(&fake);
        ASSERT_EQ(link->startReadThread(), 1);
        ASSERT_EQ(link->resumeReadThread(), 1);
        image = link->m_pData->SettingsImage;
        fake.setAnswer([this](const Bytes& frame) { return standardAnswer(frame); });
    }
    void TearDown() override { theApp().ExitInstance(); }

    // Read requests (data of at most 3 bytes) get the stored reply of their index (the
    // pattern unless a test put another), the error-log clear and writes get ACK.
    Bytes standardAnswer(const Bytes& frame) {
        if (frame.size() < 6 || frame[0] != 0x01) return {};
        const int index = frame[1];
        const std::size_t length = std::size_t{frame[2]} * 256 + frame[3];
        if (index == 2 && frame[4] == 3) return {0x06};
        if (length > 3) return {0x06};
        // The statistics request with a non-zero parameter is followed by 01 03 00 01 00,
        // which the generator does not answer separately.
        const bool followUp = index == 3 && frame[4] == 0 && statisticsFollowUpDue;
        statisticsFollowUpDue = index == 3 && frame[4] != 0;
        if (followUp) return {};
        auto it = replies.find(index);
        return bagFrame(static_cast<std::uint8_t>(index), it != replies.end() ? it->second : patternData(index));
    }

    std::string trace() const { return TempHost::readFile(link->m_strTraceFileName); }

    // Frames written so far, without their checksums (each checksum is verified).
    std::vector<Bytes> sentFrames() const {
        std::vector<Bytes> out;
        for (Bytes f : fake.frames()) {
            EXPECT_FALSE(f.empty());
            if (f.empty()) continue;
            const std::uint8_t sum = f.back();
            f.pop_back();
            EXPECT_EQ(sum, sum8(f));
            out.push_back(f);
        }
        return out;
    }

    std::array<std::uint8_t, kSettingsImageSize> snapshot() const {
        std::array<std::uint8_t, kSettingsImageSize> copy{};
        std::memcpy(copy.data(), image, copy.size());
        return copy;
    }

    TempHost host;
    FakeGenerator fake;
    CCommProtocol* link = nullptr;
    std::uint8_t* image = nullptr;
    std::map<int, Bytes> replies;
    bool statisticsFollowUpDue = false;
};

}  // namespace kestro::test
