// The compatibility query: the request entries of the settings file, what goes on the
// wire for each, the decoding of the answers into the record, its trace lines, and
// every way it fails.

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "dose/compatibility.h"
#include "link_fixture.h"

namespace kestro::test {
namespace {

struct ParseCase {
    const char* text;
    std::optional<Bytes> bytes;
};

TEST(CompEntry, Parsing) {
    const ParseCase cases[] = {
        {"3,1,0,0,0,0,0,255", Bytes{3, 1, 0, 0, 0, 0, 0, 255}},
        {" 7 , 8 ", Bytes{7, 8}},
        {"1\r\n2\n3", Bytes{1, 2, 3}},
        {"1,,2,", Bytes{1, 2}},
        {"1,2,3,4,5,6,7,8,9", Bytes{1, 2, 3, 4, 5, 6, 7, 8}},  // the packet holds eight
        {"+5", Bytes{5}},
        {"256", std::nullopt},
        {"1,-1", std::nullopt},
        {"99999999999", std::nullopt},
        {"", std::nullopt},
        {" , ,", std::nullopt},
        {"abc", std::nullopt},
        {"1,x", std::nullopt},
        {"0x10", std::nullopt},
    };
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(c.text);
        std::optional<std::vector<std::uint8_t>> parsed = parseCompEntry(c.text);
        EXPECT_EQ(parsed.has_value(), c.bytes.has_value());
        if (parsed && c.bytes) {
            EXPECT_EQ(*parsed, *c.bytes);
        }
    }
}

TEST(CompEntry, DecodingOfEntryZeroAndLaterEntries) {
    GenCompInfo info;
    std::uint8_t packet[10] = {0, 0, 0xA5, 0x01, 0, 0, 0, 0, 0, 0x80};
    decodeCompAnswer(info, 0, packet);
    EXPECT_EQ(info.OneMsEnable, 1);
    EXPECT_EQ(info.secondTubeEnable, 0);
    EXPECT_EQ(info.ABSDoseRate, 1);
    EXPECT_EQ(info.FluoRadCurves, 0);
    EXPECT_EQ(info.AECDataChannelRelated, 0);
    EXPECT_EQ(info.DAPCalibrationUpdate, 1);
    EXPECT_EQ(info.bFunctionConfigDetect, 0);
    EXPECT_EQ(info.bDynamicFilCalib, 1);
    EXPECT_EQ(info.bFunctionEnable[0], 1);
    EXPECT_EQ(info.bFunctionEnable[55], 1);

    std::uint8_t later[10] = {0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0x80};
    decodeCompAnswer(info, 1, later);
    EXPECT_EQ(info.bFunctionEnable[56], 1);   // 64 - 8
    EXPECT_EQ(info.bFunctionEnable[119], 1);  // 64 + 55
    decodeCompAnswer(info, 9, later);
    EXPECT_EQ(info.bFunctionEnable[568], 1);
    EXPECT_EQ(info.bFunctionEnable[631], 1);

    int set = 0;
    for (const auto& flag : info.bFunctionEnable) set += flag;
    EXPECT_EQ(set, 6);

    std::vector<std::int32_t> record(kCompRecordInts, -1);
    copyCompRecord(info, record.data());
    EXPECT_EQ((std::vector<std::int32_t>(record.begin(), record.begin() + 8)),
              (std::vector<std::int32_t>{1, 0, 1, 0, 0, 1, 0, 1}));
    EXPECT_EQ(record[8 + 0], 1);
    EXPECT_EQ(record[8 + 56], 1);
    EXPECT_EQ(record[8 + 631], 1);
    EXPECT_EQ(record[8 + 1], 0);
}

// The generator keeps what the library writes to packet 22, per entry, and answers a
// read with it (or with a fixed answer a test gives).
class CompatibilityTest : public LinkTest {
protected:
    void SetUp() override {
        LinkTest::SetUp();
        setCompSleepForTesting([](int) {});
        fake.setAnswer([this](const Bytes& frame) { return answerCompat(frame); });
    }
    void TearDown() override {
        setCompSleepForTesting(nullptr);
        LinkTest::TearDown();
    }

    void configure(const std::string& compInformation) {
        host.write("Gen/INI/Function.ini", "[Function]\r\nDemo Enable=0\r\n[CompInformation]\r\n" + compInformation);
    }

    Bytes answerCompat(const Bytes& frame) {
        if (frame.size() < 8 || frame[0] != 0x01 || frame[1] != 0x16) return standardAnswer(frame);
        const std::pair<int, int> entry{frame[5], frame[6]};
        if (frame[3] > 3) {  // a write: 01 16 00 0B 00 e/15 e%15 b2..b9
            if (refuseWrites) return {0x15};
            written[entry] = Bytes(frame.begin() + 5, frame.begin() + 15);
            return {0x06};
        }
        if (silentReads) return {};
        Bytes data = written.count(entry) ? written[entry] : Bytes(10, 0);
        if (auto it = fixedAnswers.find(entry.first * 15 + entry.second); it != fixedAnswers.end())
            for (std::size_t k = 0; k < it->second.size(); ++k) data[2 + k] = it->second[k];
        return bagFrame(0x16, data);
    }

    std::vector<Bytes> compatFrames() const {
        std::vector<Bytes> out;
        for (const Bytes& f : sentFrames())
            if (f.size() > 1 && f[1] == 0x16) out.push_back(f);
        return out;
    }
    std::vector<std::int32_t> record() const {
        std::vector<std::int32_t> r(kCompRecordInts, -1);
        IO_GeneratorCompatibility(r.data());
        return r;
    }
    static std::size_t count(const std::string& text, const std::string& what) {
        std::size_t n = 0;
        for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
        return n;
    }

    std::map<std::pair<int, int>, Bytes> written;
    std::map<int, Bytes> fixedAnswers;
    bool refuseWrites = false;
    bool silentReads = false;
};

TEST_F(CompatibilityTest, EntryZeroEchoedSetsFieldsFlagsAndFluoDoseRate) {
    configure("total=1\r\n0=3,1,0,0,0,0,0,255\r\n");
    link->m_pData->fluoDoseRate = 2;
    ASSERT_EQ(IO_GetGeneratorCompatibility(), 1);

    const std::vector<Bytes> frames = compatFrames();
    ASSERT_EQ(frames.size(), 2u);
    // The request: the entry selector, then the eight numbers; then the read-back.
    EXPECT_EQ(Bytes(frames[0].begin() + 5, frames[0].end()), (Bytes{0, 0, 3, 1, 0, 0, 0, 0, 0, 255}));
    EXPECT_EQ(frames[1], (Bytes{0x01, 0x16, 0x00, 0x03, 0x01, 0x00, 0x00}));

    const std::vector<std::int32_t> r = record();
    EXPECT_EQ((std::vector<std::int32_t>(r.begin(), r.begin() + 8)),
              (std::vector<std::int32_t>{1, 1, 0, 0, 0, 0, 0, 0}));
    for (int flag = 0; flag < GenCompInfo::kFlagCount; ++flag)
        EXPECT_EQ(r[8 + flag], flag == 0 || (flag >= 48 && flag <= 55) ? 1 : 0) << "flag " << flag;
    EXPECT_EQ(link->m_pData->fluoDoseRate, 100);

    const std::string t = trace();
    EXPECT_NE(t.find("gen_CompInfo.OneMsEnable :  1\r\n"), std::string::npos);
    EXPECT_NE(t.find("gen_CompInfo.secondTubeEnable :  1\r\n"), std::string::npos);
    EXPECT_NE(t.find("gen_CompInfo.bDynamicFilCalib :  0\r\n"), std::string::npos);
    EXPECT_EQ(count(t, "gen_CompInfo."), 8u + 55u);
    EXPECT_NE(t.find("gen_CompInfo.bFunctionEnable0:  1\r\n"), std::string::npos);
    EXPECT_NE(t.find("gen_CompInfo.bFunctionEnable48:  1\r\n"), std::string::npos);
    EXPECT_NE(t.find("gen_CompInfo.bFunctionEnable54:  1\r\n"), std::string::npos);
    EXPECT_EQ(t.find("gen_CompInfo.bFunctionEnable55"), std::string::npos);
}

TEST_F(CompatibilityTest, LaterEntriesAndShortListsAndAbsDoseRate) {
    configure("total=2\r\n0=4\r\n1=1\r\n");
    // A short list leaves the other request bytes of the packet as they were.
    std::uint8_t* packet = link->m_pData->packet(22);
    for (int k = 2; k < 10; ++k) packet[k] = static_cast<std::uint8_t>(0x10 + k);
    fixedAnswers[1] = {0x01, 0, 0, 0, 0, 0, 0, 0x02};
    link->m_pData->fluoDoseRate = 2;
    ASSERT_EQ(IO_GetGeneratorCompatibility(), 1);

    const std::vector<Bytes> frames = compatFrames();
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(Bytes(frames[0].begin() + 5, frames[0].end()), (Bytes{0, 0, 4, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19}));
    EXPECT_EQ(Bytes(frames[2].begin() + 5, frames[2].begin() + 8), (Bytes{0, 1, 1}));
    EXPECT_EQ(frames[3], (Bytes{0x01, 0x16, 0x00, 0x03, 0x01, 0x00, 0x01}));

    const std::vector<std::int32_t> r = record();
    EXPECT_EQ(r[2], 1);  // ABSDoseRate from entry 0's byte 2 bit 2
    EXPECT_EQ(link->m_pData->fluoDoseRate, 0);
    EXPECT_EQ(r[8 + 56], 1);   // entry 1, byte 2, bit 0
    EXPECT_EQ(r[8 + 113], 1);  // entry 1, byte 9, bit 1
}

TEST_F(CompatibilityTest, NoEntries) {
    configure("");
    ASSERT_EQ(IO_GetGeneratorCompatibility(), 1);
    EXPECT_TRUE(compatFrames().empty());
    EXPECT_EQ(count(trace(), "gen_CompInfo.bFunctionEnable"), 55u);
    EXPECT_EQ(count(trace(), "gen_CompInfo.OneMsEnable"), 0u);
}

struct FailureCase {
    const char* name;
    std::string settings;
    bool refuseWrites;
    bool silentReads;
    std::size_t framesSent;
    const char* trace;
};

TEST_F(CompatibilityTest, FailuresClearTheRecord) {
    const FailureCase cases[] = {
        {"more than ten entries", "total=11\r\n", false, false, 0,
         "GetGeneratorCompatibilityInformation total is more than 10 :  11\r\n"},
        {"a number above 255", "total=2\r\n0=1\r\n1=256\r\n", false, false, 0,
         "GetGeneratorCompatibilityInformation invalid entry :  1\r\n"},
        {"an entry without a number", "total=1\r\n0=\r\n", false, false, 0,
         "GetGeneratorCompatibilityInformation invalid entry :  0\r\n"},
        {"a missing entry", "total=2\r\n0=1\r\n", false, false, 0,
         "GetGeneratorCompatibilityInformation invalid entry :  1\r\n"},
        {"the write refused", "total=1\r\n0=7\r\n", true, false, 1,
         "GetGeneratorCompatibilityInformation apply 22 err.......\r\n"},
        {"no answer to the read-back (asked twice)", "total=1\r\n0=7\r\n", false, true, 3,
         "GetGeneratorCompatibilityInformation requset 22 err.......\r\n"},
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        configure(c.settings);
        refuseWrites = c.refuseWrites;
        silentReads = c.silentReads;
        link->gen_CompInfo.ABSDoseRate = 1;
        link->gen_CompInfo.bFunctionEnable[3] = 1;
        fake.clearFrames();
        const std::string before = trace();
        EXPECT_EQ(IO_GetGeneratorCompatibility(), -1);
        EXPECT_EQ(compatFrames().size(), c.framesSent);
        for (std::int32_t v : record()) ASSERT_EQ(v, 0);
        const std::string added = trace().substr(before.size());
        EXPECT_NE(added.find(c.trace), std::string::npos) << added;
        EXPECT_EQ(count(added, "gen_CompInfo."), 0u);
    }
}

TEST_F(CompatibilityTest, FailurePartWayClearsWhatEarlierEntriesSet) {
    configure("total=2\r\n0=255\r\n1=1\r\n");
    fake.setAnswer([this](const Bytes& frame) {
        if (frame.size() > 6 && frame[1] == 0x16 && frame[3] > 3 && frame[6] == 1) return Bytes{0x15};
        return answerCompat(frame);
    });
    EXPECT_EQ(IO_GetGeneratorCompatibility(), -1);
    EXPECT_EQ(compatFrames().size(), 3u);  // entry 0 written and read, entry 1 refused
    for (std::int32_t v : record()) ASSERT_EQ(v, 0);
}

}  // namespace
}  // namespace kestro::test
