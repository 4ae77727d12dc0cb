// Export: the file layout for a plain and a fully featured generator, the prescribed
// waits on the fake clock, the temporary file that protects an earlier export, and the
// progress figures.

#include <algorithm>
#include <filesystem>

#include "transfer_fixture.h"

namespace kestro::test {
namespace {

namespace fs = std::filesystem;

class ExportTest : public TransferTest {
protected:
    fs::path target() const { return host.dir() / "gen.dat"; }
    Bytes exportNow() {
        EXPECT_EQ(IO_ExportGenData(target().c_str()), 1);
        return fileBytes(target());
    }
};

// What the file must hold for the records every generator has.
void expectCommonSections(const Bytes& f) {
    const Bytes limits = replyFor(5, {});
    EXPECT_EQ(part(f, 20000, 4), (Bytes{limits[1], limits[3], limits[5], limits[7]}));
    for (int r = 1; r <= 6; ++r) {
        SCOPED_TRACE("receptor " + std::to_string(r));
        const std::uint8_t s = static_cast<std::uint8_t>(r - 1);
        Bytes setup = part(replyFor(6, {s}), 0, 18);
        const Bytes tail = part(replyFor(6, {s}), 19, 7);
        setup.insert(setup.end(), tail.begin(), tail.end());
        EXPECT_EQ(part(f, 40000 + 25 * static_cast<std::size_t>(r - 1), 25), setup);
        Bytes io;
        for (std::uint8_t g = 0; g < 5; ++g) {
            const Bytes group = part(replyFor(7, {s, g}), 2, 6);
            io.insert(io.end(), group.begin(), group.end());
        }
        io.resize(29);
        EXPECT_EQ(part(f, 60000 + 29 * static_cast<std::size_t>(r - 1), 29), io);
    }
    for (int c = 1; c <= 4; ++c)
        EXPECT_EQ(part(f, 80000 + 10 * static_cast<std::size_t>(c - 1), 10), replyFor(8, {static_cast<std::uint8_t>(c - 1)}));
    EXPECT_EQ(part(f, 120000, 16), replyFor(10, {1}));
    for (int t = 0; t < 2; ++t)
        for (int k = 0; k < 4; ++k)
            EXPECT_EQ(part(f, 160000 + 386 * static_cast<std::size_t>(4 * t + k), 386),
                      replyFor(15, {static_cast<std::uint8_t>(t), static_cast<std::uint8_t>(k)}));
    EXPECT_EQ(part(f, 180000, 6), replyFor(16, {}));
    for (int t = 0; t < 2; ++t)
        for (int k = 0; k < 16; ++k)
            EXPECT_EQ(part(f, 200000 + 202 * static_cast<std::size_t>(16 * t + k), 202),
                      replyFor(17, {static_cast<std::uint8_t>(t), static_cast<std::uint8_t>(k)}));
    EXPECT_EQ(part(f, 260000, 70), replyFor(18, {}));
    EXPECT_EQ(part(f, 280000, 4), (Bytes{0xFF, 0x01, 0xFF, 0x01}));
}

TEST_F(ExportTest, PlainSingleTubeGenerator) {
    host.write("Gen/INI/Function.ini", "[GEN_KW_MS_TABLE]\r\n0=1, 2,300,65535\r\n2=x,7\r\n");
    const fs::path elsewhere = host.dir() / "elsewhere";
    fs::create_directories(elsewhere);
    fs::current_path(elsewhere);

    const Bytes f = exportNow();
    ASSERT_EQ(f.size(), 280004u);
    EXPECT_EQ(part(f, 0, 448), part(replyFor(4, {0}), 1, 448));
    EXPECT_EQ(part(f, 448, 448), Bytes(448, 0));        // no second tube
    EXPECT_EQ(part(f, 20100, 384), Bytes(384, 0));      // no dynamic filament calibration
    EXPECT_EQ(part(f, 60500, 10), Bytes(10, 0));        // no function config
    EXPECT_EQ(part(f, 100060, 180), Bytes(180, 0));     // AEC RLF only, three records
    EXPECT_EQ(part(f, 220108, 27), Bytes(27, 0));       // no DAP curve
    for (int s = 1; s <= 3; ++s)
        EXPECT_EQ(part(f, 100000 + 20 * static_cast<std::size_t>(s - 1), 20),
                  part(replyFor(9, {static_cast<std::uint8_t>(s <= 2 ? s : 4)}), 1, 20));
    expectCommonSections(f);

    // Power/time rows: 01, then 36 big-endian values; missing or unreadable ones are 0.
    Bytes row0(73, 0);
    row0[0] = 1;
    row0[2] = 1;
    row0[4] = 2;
    row0[5] = 0x01;
    row0[6] = 0x2C;
    row0[7] = 0xFF;
    row0[8] = 0xFF;
    EXPECT_EQ(part(f, 240013, 73), row0);
    Bytes row2(73, 0);
    row2[0] = 1;
    row2[4] = 7;
    EXPECT_EQ(part(f, 240013 + 146, 73), row2);
    EXPECT_EQ(part(f, 240013 + 219, 1), Bytes{1});
    // "total" absent: the compatibility block carries no flag bytes.
    EXPECT_EQ(part(f, 279000, 8), (Bytes{0xCC, 0x01, 0xBB, 0x01, 0x00, 0x00, 0x00, 0x00}));

    EXPECT_EQ(fs::current_path(), fs::path(io->homeDirectory()));
    EXPECT_FALSE(fs::exists(target().string() + ".kestro-part"));
    // The prescribed waits, all on the replaceable clock: 100 ms per tube record and
    // after the backup, 800 ms per ordinary record, 1000 + 100 ms per Tube KW Limit and
    // Tube Calibration record and 100 ms after each tube, 500 ms for Cable Tank and
    // Generator Information.
    EXPECT_EQ(clock.sleptMs(), 200 + 21 * 800 + (40 * 1100 + 4 * 100) + 2 * 500);

    const std::string t = trace();
    const char* const inOrder[] = {"IO_ExportGenData : enter ",
                                   "Start to transform Tube Select data...",
                                   "Start to transform Generator Limits data...",
                                   "Start to transform Auxiliary Setup data...",
                                   "Start to transform AEC RLF data...",
                                   "Start to transform Tube Calibration data...",
                                   "Start to transform Generator KW_MS Table data...",
                                   "Start to transform Generator Information data...",
                                   "Start to transform Compatible Information data...",
                                   "Successfully export generator data."};
    std::size_t at = 0;
    for (const char* line : inOrder) {
        at = t.find(line, at);
        EXPECT_NE(at, std::string::npos) << line;
        if (at == std::string::npos) break;
    }
    EXPECT_EQ(t.find("Start to transform AEC Channel Film"), std::string::npos);
}

TEST_F(ExportTest, TwoTubesAndEveryFeature) {
    host.write("Gen/INI/Function.ini", "[CompInformation]\r\ntotal=2\r\n");
    setFeatures(true);
    const Bytes f = exportNow();
    ASSERT_EQ(f.size(), 280004u);
    EXPECT_EQ(part(f, 0, 448), part(replyFor(4, {0}), 1, 448));
    EXPECT_EQ(part(f, 448, 448), part(replyFor(4, {1}), 1, 448));
    for (int t = 0; t < 2; ++t)
        for (int k = 0; k < 4; ++k)
            EXPECT_EQ(part(f, 20100 + 384 * static_cast<std::size_t>(4 * t + k), 384),
                      part(replyFor(25, {static_cast<std::uint8_t>(t), static_cast<std::uint8_t>(k)}), 2, 384));
    EXPECT_EQ(part(f, 60500, 10), replyFor(24, {0, 0}));
    std::size_t pos = 100000;
    for (std::uint8_t ch = 0; ch < 4; ++ch)
        for (std::uint8_t film : {1, 2, 4}) {
            EXPECT_EQ(part(f, pos, 20), part(replyFor(23, {ch, film}), 2, 20)) << int(ch) << "/" << int(film);
            pos += 20;
        }
    EXPECT_EQ(part(f, 220108, 27), replyFor(13, {0}));
    expectCommonSections(f);
    Bytes block = {0xCC, 0x01, 0xBB, 0x01, 0x00, 0x10, 0xFF};
    block.resize(6 + 16, 0);
    EXPECT_EQ(part(f, 279000, 22), block);
    EXPECT_EQ(part(f, 279022, 10), Bytes(10, 0));
}

TEST_F(ExportTest, OneFeatureFlagSetsItsOwnBit) {
    host.write("Gen/INI/Function.ini", "[CompInformation]\r\ntotal=1\r\n");
    link->gen_CompInfo.AECDataChannelRelated = 1;
    const Bytes f = exportNow();
    EXPECT_EQ(part(f, 279000, 7), (Bytes{0xCC, 0x01, 0xBB, 0x01, 0x00, 0x08, 0x10}));
    EXPECT_EQ(part(f, 100000, 20), part(replyFor(23, {0, 1}), 2, 20));
}

TEST_F(ExportTest, FailedExportLeavesTheEarlierFileUntouched) {
    const Bytes earlier(280004, 0x5A);
    writeFileBytes(target(), earlier);
    silent = 17;  // Tube Calibration is never answered
    EXPECT_EQ(IO_ExportGenData(target().c_str()), 0);
    EXPECT_EQ(fileBytes(target()), earlier);
    EXPECT_FALSE(fs::exists(target().string() + ".kestro-part"));
    EXPECT_NE(trace().find("Failed to export Tube Calibration data!"), std::string::npos);
    EXPECT_EQ(link->m_bBackupTube, 0);

    // A new target is not created by a failed export.
    const fs::path fresh = host.dir() / "fresh.dat";
    silent = 5;
    EXPECT_EQ(GSIExportGeneratorData(fresh.c_str()), 0);
    EXPECT_FALSE(fs::exists(fresh));
    EXPECT_NE(trace().find("Failed to export Generator Limits data!"), std::string::npos);
}

TEST_F(ExportTest, GapsAreZeroEvenOverAnOlderFile) {
    writeFileBytes(target(), Bytes(300000, 0x77));
    const Bytes f = exportNow();
    ASSERT_EQ(f.size(), 280004u);
    EXPECT_EQ(part(f, 896, 19104), Bytes(19104, 0));
}

TEST_F(ExportTest, SilentGeneratorWritesNothing) {
    stSilent = true;
    EXPECT_EQ(IO_ExportGenData(target().c_str()), 0);
    EXPECT_FALSE(fs::exists(target()));
    EXPECT_TRUE(framesOf(4, false).empty());
    EXPECT_EQ(fs::current_path(), fs::path(io->homeDirectory()));
}

TEST_F(ExportTest, UnwritableTargetFailsAtTheTubeRecords) {
    const fs::path bad = host.dir() / "missing-dir" / "gen.dat";
    EXPECT_EQ(IO_ExportGenData(bad.c_str()), 0);
    EXPECT_NE(trace().find("Failed to export Tube Select data!"), std::string::npos);
    EXPECT_TRUE(framesOf(5, false).empty());  // nothing after the failed section
}

TEST_F(ExportTest, ProgressRisesToTheKnownTotal) {
    struct Seen {
        int done, total;
        std::string section;
        std::int64_t elapsed;
        int running;
    };
    std::vector<Seen> seen;
    std::mutex seenLock;
    onFrame = [&](const Bytes&) {
        KestroTransferProgress p{};
        const int r = KestroGetTransferProgress(&p);
        std::lock_guard<std::mutex> lock(seenLock);
        seen.push_back({p.recordsDone, p.recordsTotal, p.section, p.elapsedMs, r});
    };
    ASSERT_EQ(IO_ExportGenData(target().c_str()), 1);
    onFrame = nullptr;
    KestroTransferProgress last{};
    EXPECT_EQ(KestroGetTransferProgress(&last), 0);
    EXPECT_EQ(last.operation, KESTRO_TRANSFER_EXPORT);
    EXPECT_EQ(last.result, 1);
    // 1 tube record, 63 packet records, 4 power/time rows, the compatibility block and
    // the end mark.
    EXPECT_EQ(last.recordsTotal, 70);
    EXPECT_EQ(last.recordsDone, last.recordsTotal);
    EXPECT_EQ(last.elapsedMs, clock.sleptMs());
    EXPECT_EQ(last.sectionCount, 13);  // tube records .. compatibility block
    EXPECT_EQ(last.sectionNumber, 13);

    std::lock_guard<std::mutex> lock(seenLock);
    // Every bag frame after ST was sent while the export ran, with the total known.
    std::vector<Seen> during(seen.begin() + 1, seen.end());
    ASSERT_GT(during.size(), 60u);
    for (std::size_t i = 0; i < during.size(); ++i) {
        EXPECT_EQ(during[i].running, 1);
        EXPECT_EQ(during[i].total, 70);
        if (i > 0) {
            EXPECT_GE(during[i].done, during[i - 1].done);
            EXPECT_GE(during[i].elapsed, during[i - 1].elapsed);
        }
    }
    EXPECT_EQ(during.front().done, 0);
    EXPECT_EQ(during.front().section, "Tube Select ");
    EXPECT_TRUE(std::any_of(during.begin(), during.end(), [](const Seen& s) { return s.section == "Tube Calibration "; }));
    EXPECT_EQ(KestroGetTransferProgress(nullptr), -1);
}

}  // namespace
}  // namespace kestro::test
