// Tube files and the tube backup file: the frames sent for tube 1 and 2, refusals
// before any traffic, demonstration mode, and backup records kept in place.

#include <atomic>
#include <filesystem>
#include <fstream>

#include "link/data_bag_stores.h"
#include "link_fixture.h"

namespace kestro::test {
namespace {

// A tube file whose byte i is (i * 7 + 3) mod 256, cut to `size` bytes.
Bytes tubeFileBytes(std::size_t size = 2048) {
    Bytes b(size);
    for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>((i * 7 + 3) & 0xFF);
    return b;
}

void writeBytes(const std::filesystem::path& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
}

Bytes readBytes(const std::filesystem::path& path) {
    const std::string s = TempHost::readFile(path);
    return Bytes(s.begin(), s.end());
}

Bytes slice(const Bytes& b, std::size_t from, std::size_t count) {
    return Bytes(b.begin() + static_cast<std::ptrdiff_t>(from), b.begin() + static_cast<std::ptrdiff_t>(from + count));
}

Bytes kwFrameHead(int tube, int k) {
    return {0x01, 0x0F, 0x01, 0x83, 0x00, static_cast<std::uint8_t>(tube - 1), static_cast<std::uint8_t>(k)};
}

class TubeFileTest : public LinkTest {
protected:
    void SetUp() override {
        LinkTest::SetUp();
        file = host.dir() / "tube.bin";
        writeBytes(file, tubeFileBytes());
        shortFile = host.dir() / "short.bin";
        writeBytes(shortFile, tubeFileBytes(2047));
        missing = host.dir() / "missing.bin";
    }
    // Answers writes with NAK from the n-th write on (1-based).
    void nakFromWrite(int n) {
        writes = 0;
        fake.setAnswer([this, n](const Bytes& frame) -> Bytes {
            if (frame.size() > 10 && ++writes >= n) return {0x15};
            return standardAnswer(frame);
        });
    }
    std::filesystem::path file, shortFile, missing;
    std::atomic<int> writes{0};
};

TEST_F(TubeFileTest, TubeRecordGoesOutAfterTheTubeByte) {
    const Bytes content = tubeFileBytes();
    for (int tube : {1, 2}) {
        fake.clearFrames();
        link->m_bPacketRead[1] = 0;
        EXPECT_EQ(IO_ApplyTubeFile(file.c_str(), tube), tube);
        const auto frames = sentFrames();
        ASSERT_EQ(frames.size(), 1u);
        Bytes expected = {0x01, 0x04, 0x01, 0xC2, 0x00, static_cast<std::uint8_t>(tube - 1)};
        const Bytes record = slice(content, 0, 448);
        expected.insert(expected.end(), record.begin(), record.end());
        EXPECT_EQ(frames[0], expected);
        EXPECT_EQ(link->m_bPacketRead[1], 1);  // a later apply of packet 4 may go ahead
    }
}

TEST_F(TubeFileTest, KwLimitTablesForTubeTwoInSelectorOrder) {
    const Bytes content = tubeFileBytes();
    EXPECT_EQ(IO_ApplyTubeFile1(file.c_str(), 2), 1);
    const auto frames = sentFrames();
    ASSERT_EQ(frames.size(), 4u);
    for (int k = 0; k < 4; ++k) {
        SCOPED_TRACE(k);
        Bytes expected = kwFrameHead(2, k);
        const Bytes table = slice(content, 512 + 384 * static_cast<std::size_t>(k), 384);
        expected.insert(expected.end(), table.begin(), table.end());
        EXPECT_EQ(frames[static_cast<std::size_t>(k)], expected);
    }
}

TEST_F(TubeFileTest, RefusalsSendNothing) {
    struct Case {
        const char* what;
        int result;
        int expected;
    };
    const std::string before = trace();
    const Case cases[] = {
        {"record, tube 3", IO_ApplyTubeFile(file.c_str(), 3), -2},
        {"tables, tube 0", IO_ApplyTubeFile1(file.c_str(), 0), -2},
        {"record, missing file, tube 1", IO_ApplyTubeFile(missing.c_str(), 1), -1},
        {"record, missing file, tube 3", IO_ApplyTubeFile(missing.c_str(), 3), -1},
        {"tables, missing file", IO_ApplyTubeFile1(missing.c_str(), 2), -1},
        {"record, short file", IO_ApplyTubeFile(shortFile.c_str(), 1), -1},
        {"tables, short file", IO_ApplyTubeFile1(shortFile.c_str(), 1), -1},
        {"whole, short file", GSIApplyWholeTubeFile(shortFile.c_str(), 0), 0},
        {"whole, missing file", GSIApplyWholeTubeFile(missing.c_str(), 1), 0},
        {"image, tube 3", IO_ApplyWholeTubeFile(tubeFileBytes().data(), 3), 0},
        {"image, none", IO_ApplyWholeTubeFile(nullptr, 1), 0},
        {"record, no path", IO_ApplyTubeFile(nullptr, 1), -1},
    };
    for (const Case& c : cases) EXPECT_EQ(c.result, c.expected) << c.what;
    EXPECT_TRUE(fake.frames().empty());
    const std::string lines = trace().substr(before.size());
    EXPECT_NE(lines.find("Tube file refused, it holds 2047 of 2048 bytes: " + shortFile.string()), std::string::npos);
    EXPECT_NE(lines.find("Tube file cannot be opened: " + missing.string()), std::string::npos);
}

TEST_F(TubeFileTest, TubeThreeStillLoadsTheRecordIntoTheTubeBlock) {
    ASSERT_EQ(IO_ApplyTubeFile(file.c_str(), 3), -2);
    const Bytes content = tubeFileBytes();
    DataBagStoreAccess store(4);
    EXPECT_EQ(Bytes(store.bytes().begin() + 5, store.bytes().begin() + 5 + 448), slice(content, 0, 448));
}

TEST_F(TubeFileTest, RejectedTablesStopAtOnce) {
    nakFromWrite(2);
    EXPECT_EQ(IO_ApplyTubeFile1(file.c_str(), 1), -3);
    EXPECT_EQ(fake.frames().size(), 2u);
    fake.clearFrames();
    nakFromWrite(1);
    EXPECT_EQ(IO_ApplyTubeFile(file.c_str(), 1), -3);
    EXPECT_EQ(fake.frames().size(), 1u);
    fake.clearFrames();
    nakFromWrite(3);
    EXPECT_EQ(IO_ApplyWholeTubeFile(tubeFileBytes().data(), 1), 0);
    EXPECT_EQ(fake.frames().size(), 3u);  // record and two tables, the first two accepted
}

TEST_F(TubeFileTest, WholeImageSendsRecordThenFourTables) {
    const Bytes whole = tubeFileBytes();
    EXPECT_EQ(IO_ApplyWholeTubeFile(whole.data(), 2), 1);
    const auto frames = sentFrames();
    ASSERT_EQ(frames.size(), 5u);
    Bytes record = {0x01, 0x04, 0x01, 0xC2, 0x00, 0x01};
    const Bytes r = slice(whole, 0, 448);
    record.insert(record.end(), r.begin(), r.end());
    EXPECT_EQ(frames[0], record);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(slice(frames[static_cast<std::size_t>(k) + 1], 0, 7), kwFrameHead(2, k));
    EXPECT_EQ(slice(frames[4], 7, 384), slice(whole, 1664, 384));
}

TEST_F(TubeFileTest, ServiceFormCountsTubesFromZero) {
    EXPECT_EQ(GSIApplyWholeTubeFile(file.c_str(), 1), 1);
    const auto frames = sentFrames();
    ASSERT_EQ(frames.size(), 5u);
    EXPECT_EQ(frames[0][5], 1);  // T0: tube 2
    for (int k = 0; k < 4; ++k) EXPECT_EQ(slice(frames[static_cast<std::size_t>(k) + 1], 0, 7), kwFrameHead(2, k));
    fake.clearFrames();
    EXPECT_EQ(GSIApplyWholeTubeFile(file.c_str(), 2), 0);  // tube 3
    EXPECT_TRUE(fake.frames().empty());
}

TEST_F(TubeFileTest, DemonstrationModeReadsTheRecordButNotTheTables) {
    link->m_pData->bDemo = 1;
    EXPECT_EQ(IO_ApplyTubeFile(missing.c_str(), 1), -1);
    EXPECT_EQ(IO_ApplyTubeFile(file.c_str(), 2), 2);
    EXPECT_EQ(IO_ApplyTubeFile1(missing.c_str(), 2), 2);
    EXPECT_EQ(IO_ApplyTubeFile1(shortFile.c_str(), 1), 1);
    EXPECT_EQ(GSIApplyWholeTubeFile(file.c_str(), 0), 1);
    EXPECT_TRUE(fake.frames().empty());
    DataBagStoreAccess store(4);
    EXPECT_EQ(store.bytes()[4], 0);  // T0 of the last record read: tube 1
    EXPECT_EQ(Bytes(store.bytes().begin() + 5, store.bytes().begin() + 5 + 448), slice(tubeFileBytes(), 0, 448));
}

// Reply data of Tube Select for a tube: T0 the tube, the rest recognisable per tube.
Bytes tubeReply(int t0) {
    Bytes d = patternData(4);
    d[0] = static_cast<std::uint8_t>(t0);
    for (std::size_t i = 1; i < d.size(); ++i) d[i] = static_cast<std::uint8_t>((i * 3 + 50 * t0 + 1) & 0xFF);
    return d;
}

TEST_F(TubeFileTest, BackupRewritesOneRecordAndKeepsTheOther) {
    const auto backup = host.dir() / "tubes.bak";
    writeBytes(backup, Bytes(900, 0xEE));
    replies[4] = tubeReply(0);
    ASSERT_EQ(IO_SetBackupMode(1, backup.c_str()), 1);
    ASSERT_EQ(IO_RefreshModelData(4, 1), 1);
    EXPECT_EQ(link->m_bBackupTube, 0);
    Bytes content = readBytes(backup);
    ASSERT_EQ(content.size(), 900u);  // never truncated
    EXPECT_EQ(slice(content, 0, 448), slice(tubeReply(0), 1, 448));
    EXPECT_EQ(slice(content, 448, 452), Bytes(452, 0xEE));

    replies[4] = tubeReply(1);
    ASSERT_EQ(IO_SetBackupMode(1, backup.c_str()), 1);
    ASSERT_EQ(IO_RefreshModelData(4, 2), 1);
    content = readBytes(backup);
    EXPECT_EQ(slice(content, 0, 448), slice(tubeReply(0), 1, 448));
    EXPECT_EQ(slice(content, 448, 448), slice(tubeReply(1), 1, 448));
    EXPECT_EQ(slice(content, 896, 4), Bytes(4, 0xEE));
}

TEST_F(TubeFileTest, BackupOfTubeOneIntoANewFileLeavesTheFirstRecordZero) {
    const auto backup = host.dir() / "new.bak";
    replies[4] = tubeReply(1);
    ASSERT_EQ(IO_SetBackupMode(1, backup.c_str()), 1);
    ASSERT_EQ(IO_RefreshModelData(4, 2), 1);
    const Bytes content = readBytes(backup);
    ASSERT_EQ(content.size(), 896u);
    EXPECT_EQ(slice(content, 0, 448), Bytes(448, 0));
    EXPECT_EQ(slice(content, 448, 448), slice(tubeReply(1), 1, 448));
}

TEST_F(TubeFileTest, UnwritableBackupFailsTheRefreshAndKeepsTheImage) {
    const auto backup = host.dir() / "no-such-dir" / "tubes.bak";
    ASSERT_EQ(IO_SetBackupMode(1, backup.c_str()), 1);
    const auto before = snapshot();
    const std::string lines = trace();
    EXPECT_EQ(IO_RefreshModelData(4, 1), 0);
    EXPECT_EQ(snapshot(), before);
    EXPECT_NE(trace().find("Tube backup not written: " + backup.string(), lines.size()), std::string::npos);
    EXPECT_EQ(IO_RefreshModelData(4, 1), 1);  // the request was consumed
}

TEST_F(TubeFileTest, RestoreSendsTheBackedUpRecordOfTheImagesTube) {
    const auto backup = host.dir() / "tubes.bak";
    Bytes content(896);
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<std::uint8_t>(i < 448 ? 0x11 : i & 0xFF);
    writeBytes(backup, content);
    link->m_WorkFlags.bCommOk = 1;
    image[image::kTubeSelect] = 1;  // the record of tube 1 (0-based)
    ASSERT_EQ(IO_SetRestoreMode(1, backup.c_str()), 1);
    ASSERT_EQ(IO_UtilityModelData1(4, 2), 1);
    EXPECT_EQ(link->m_bRestoreTube, 0);
    const auto frames = sentFrames();
    ASSERT_EQ(frames.size(), 1u);
    Bytes expected = {0x01, 0x04, 0x01, 0xC2, 0x00, 0x01};
    const Bytes record = slice(content, 448, 448);
    expected.insert(expected.end(), record.begin(), record.end());
    EXPECT_EQ(frames[0], expected);
}

TEST_F(TubeFileTest, RestoreRefusedWithoutCommunicationOrRecord) {
    const auto backup = host.dir() / "half.bak";
    writeBytes(backup, Bytes(500, 0x22));  // tube 0 whole, tube 1 cut short
    Bytes block(457);
    copyDataBagStore(4, block.data(), block.size());
    for (auto [commOk, tube] : {std::pair{0, 0}, std::pair{1, 1}}) {
        SCOPED_TRACE(tube);
        link->m_WorkFlags.bCommOk = commOk;
        image[image::kTubeSelect] = static_cast<std::uint8_t>(tube);
        ASSERT_EQ(IO_SetRestoreMode(1, backup.c_str()), 1);
        EXPECT_EQ(IO_UtilityModelData1(4, tube + 1), 0);
        Bytes after(457);
        copyDataBagStore(4, after.data(), after.size());
        EXPECT_EQ(slice(after, 5, 448), slice(block, 5, 448));  // T1.. as before
    }
    EXPECT_TRUE(fake.frames().empty());
    EXPECT_NE(trace().find("Tube restore not read: " + backup.string()), std::string::npos);
}

}  // namespace
}  // namespace kestro::test
