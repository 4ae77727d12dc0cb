// Imports: the file check before any traffic, the frames written from the file's
// records, the compatibility rules for optional sections, the partial imports.

#include <filesystem>

#include "transfer_fixture.h"

namespace kestro::test {
namespace {

namespace fs = std::filesystem;

// A complete file whose byte at position i is recognisable: (i * 7 + i / 251) mod 256,
// with the end mark and a compatibility block carrying `flags` in `groups` groups.
Bytes generatorFile(std::uint8_t flags, int groups) {
    Bytes f(280004);
    for (std::size_t i = 0; i < f.size(); ++i) f[i] = static_cast<std::uint8_t>((i * 7 + i / 251) & 0xFF);
    const std::size_t count = 8 * static_cast<std::size_t>(groups);
    const Bytes head = {0xCC, 0x01, 0xBB, 0x01, static_cast<std::uint8_t>(count >> 8), static_cast<std::uint8_t>(count)};
    std::copy(head.begin(), head.end(), f.begin() + 279000);
    std::fill_n(f.begin() + 279006, count, 0);
    if (count > 0) f[279006] = flags;
    const Bytes mark = {0xFF, 0x01, 0xFF, 0x01};
    std::copy(mark.begin(), mark.end(), f.begin() + 280000);
    return f;
}

class ImportTest : public TransferTest {
protected:
    fs::path source() const { return host.dir() / "gen.dat"; }
    void useFile(const Bytes& content) {
        content_ = content;
        writeFileBytes(source(), content);
    }
    // The data bytes of a write frame after its selector bytes.
    static Bytes after(const Bytes& frame, std::size_t from) { return Bytes(frame.begin() + static_cast<std::ptrdiff_t>(from), frame.end()); }
    Bytes content_;
};

TEST_F(ImportTest, FullImportWritesTheFilesRecords) {
    host.write("Gen/INI/Function.ini", "[CompInformation]\r\ntotal=1\r\n");
    useFile(generatorFile(0x00, 1));
    ASSERT_EQ(IO_ImportGenData(source().c_str()), 1);

    const auto tubes = framesOf(4, true);
    ASSERT_EQ(tubes.size(), 1u);  // one tube
    Bytes tube = {0x01, 0x04, 0x01, 0xC2, 0x00, 0x00};
    const Bytes record = part(content_, 0, 448);
    tube.insert(tube.end(), record.begin(), record.end());
    EXPECT_EQ(tubes[0], tube);

    const auto limits = framesOf(5, true);
    ASSERT_EQ(limits.size(), 1u);
    const Bytes g = part(content_, 20000, 4);
    EXPECT_EQ(limits[0][6], g[0]);
    EXPECT_EQ(limits[0][12], g[3]);

    const auto calib = framesOf(17, true);
    ASSERT_EQ(calib.size(), 32u);
    for (std::size_t n = 0; n < 32; ++n) {
        SCOPED_TRACE(n);
        const Bytes& w = calib[n];
        EXPECT_EQ(w[5], n / 16);  // tube, outer loop
        EXPECT_EQ(w[6], n % 16);
        // F5 F6 are the selector; F7.. the record's bytes 2..201.
        EXPECT_EQ(after(w, 7), part(content_, 200000 + 202 * n + 2, 200));
    }
    const auto kw = framesOf(15, true);
    ASSERT_EQ(kw.size(), 8u);
    EXPECT_EQ(kw[5][5], 1);
    EXPECT_EQ(kw[5][6], 1);
    EXPECT_EQ(after(kw[5], 7), part(content_, 160000 + 386 * 5 + 2, 384));

    const auto aux = framesOf(7, true);
    ASSERT_EQ(aux.size(), 30u);  // six receptors, five groups each
    EXPECT_EQ(aux[7][5], 1);     // receptor 2 ...
    EXPECT_EQ(aux[7][6], 2);     // ... group 2
    EXPECT_EQ(after(aux[7], 7), part(content_, 60000 + 29 + 12, 6));

    const auto rows = framesOf(21, true);
    ASSERT_EQ(rows.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(rows[i][5], i);
        EXPECT_EQ(after(rows[i], 6), part(content_, 240013 + 73 * i + 1, 72));
    }
    EXPECT_EQ(framesOf(9, true).size(), 3u);  // AEC RLF, not the channel film
    for (int index : {13, 18, 23, 24, 25}) EXPECT_TRUE(framesOf(index, true).empty()) << index;

    const std::string t = trace();
    EXPECT_NE(t.find("IO_ImportGenData : enter "), std::string::npos);
    EXPECT_LT(t.find("Begin to restore generator calibration data for Import/Export"),
              t.find("Start to transform Tube Select data..."));
    EXPECT_LT(t.find("Start to transform Tube Select data..."), t.find("Start to transform Generator Limits data..."));
    EXPECT_NE(t.find("Succeed in restoring generator calibraton data for Import/Export!"), std::string::npos);
    EXPECT_EQ(fs::current_path(), fs::path(io->homeDirectory()));
    EXPECT_EQ(link->m_bRestoreTube, 0);
}

TEST_F(ImportTest, OptionalSectionsNeedBothTheFileAndTheGenerator) {
    setFeatures(true);
    struct Case {
        const char* what;
        std::string functionIni;
        Bytes file;
        std::size_t tubes;
        bool optional;
    };
    Bytes foreignBlock = generatorFile(0xFF, 1);
    foreignBlock[279000] = 0xCD;
    const Case cases[] = {
        {"total absent: no flag bytes", "", generatorFile(0xFF, 0), 1, false},
        {"block without its mark", "[CompInformation]\r\ntotal=1\r\n", foreignBlock, 1, false},
        {"file without features", "[CompInformation]\r\ntotal=1\r\n", generatorFile(0x00, 1), 1, false},
        {"both have every feature", "[CompInformation]\r\ntotal=1\r\n", generatorFile(0xFF, 1), 2, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        host.write("Gen/INI/Function.ini", c.functionIni);
        useFile(c.file);
        fake.clearFrames();
        ASSERT_EQ(IO_ImportGenData(source().c_str()), 1);
        EXPECT_EQ(framesOf(4, true).size(), c.tubes);
        EXPECT_EQ(framesOf(25, true).size(), c.optional ? 8u : 0u);   // dynamic filament, both tubes
        EXPECT_EQ(framesOf(24, true).size(), c.optional ? 1u : 0u);   // function config
        EXPECT_EQ(framesOf(23, true).size(), c.optional ? 12u : 0u);  // AEC channel film ...
        EXPECT_EQ(framesOf(9, true).size(), c.optional ? 0u : 3u);    // ... in place of AEC RLF
        EXPECT_EQ(framesOf(13, true).size(), c.optional ? 1u : 0u);   // DAP curve
    }
    // The channel film records land in packet bytes 2..21 and go out after F5 F6.
    const auto film = framesOf(23, true);
    ASSERT_EQ(film.size(), 12u);
    EXPECT_EQ(film[4][5], 1);  // p = 10 * film + channel: channel 1 ...
    EXPECT_EQ(film[4][6], 2);  // ... film 2
    EXPECT_EQ(after(film[4], 7), part(content_, 100000 + 20 * 4, 20));
    const auto tubes = framesOf(4, true);
    EXPECT_EQ(tubes[1][5], 1);
    EXPECT_EQ(after(tubes[1], 6), part(content_, 448, 448));
}

TEST_F(ImportTest, BadFilesAreRefusedBeforeAnyTraffic) {
    Bytes noMark = generatorFile(0, 0);
    noMark[280003] = 0x00;
    const Bytes truncated = part(generatorFile(0, 0), 0, 280003);
    writeFileBytes(host.dir() / "nomark.dat", noMark);
    writeFileBytes(host.dir() / "short.dat", truncated);
    struct Bad {
        const char* name;
        const char* why;
    };
    const Bad bad[] = {{"missing.dat", "cannot be opened"},
                       {"short.dat", "is shorter than 280004 bytes"},
                       {"nomark.dat", "has no end mark FF 01 FF 01 at 280000"}};
    using Import = int (*)(const char*);
    const Import imports[] = {IO_ImportGenData,      IO_ImportTubeCalibData, IO_ImportDAPCalibData, IO_ImportAECCalibData,
                              IO_ImportGenOtherData, GSIImportGeneratorData, GSIImportTubeCalibData};
    for (const Bad& b : bad) {
        const std::string path = (host.dir() / b.name).string();
        for (Import import : imports) {
            SCOPED_TRACE(b.name);
            const std::string before = trace();
            EXPECT_EQ(import(path.c_str()), 0);
            EXPECT_NE(trace().find("Import file refused, it " + std::string(b.why) + ": " + path, before.size()),
                      std::string::npos);
        }
    }
    EXPECT_TRUE(fake.frames().empty());
    EXPECT_NE(trace().find("Failed to import Tube Calibration data!"), std::string::npos);
}

TEST_F(ImportTest, TubeCalibrationImport) {
    host.write("Gen/INI/Function.ini", "[CompInformation]\r\ntotal=1\r\n");
    setFeatures(true);
    useFile(generatorFile(0x82, 1));  // second tube and dynamic filament calibration
    ASSERT_EQ(IO_ImportTubeCalibData(source().c_str()), 1);
    const auto dyn = framesOf(25, true);
    ASSERT_EQ(dyn.size(), 8u);
    EXPECT_EQ(dyn[6][5], 1);  // p = 10 t + k: t = 1 ...
    EXPECT_EQ(dyn[6][6], 2);  // ... k = 2
    EXPECT_EQ(after(dyn[6], 7), part(content_, 20100 + 384 * 6, 384));
    EXPECT_EQ(framesOf(17, true).size(), 32u);
    EXPECT_TRUE(framesOf(4, true).empty());
    EXPECT_TRUE(framesOf(15, true).empty());
    const std::string t = trace();
    EXPECT_NE(t.find("CImportExportOpt::ImportTubeCalibrationData:Begin to import tube calibration data"), std::string::npos);
    EXPECT_NE(t.find("Succeed in importing Tube calibraton data!"), std::string::npos);
}

TEST_F(ImportTest, AecCalibrationImportKeepsTheGeneratorsOwnSetupBytes) {
    useFile(generatorFile(0, 0));
    ASSERT_EQ(IO_ImportAECCalibData(source().c_str()), 1);
    const auto reads = framesOf(8, false);
    const auto writes = framesOf(8, true);
    ASSERT_EQ(reads.size(), 4u);
    ASSERT_EQ(writes.size(), 4u);
    for (std::size_t c = 0; c < 4; ++c) {
        SCOPED_TRACE(c);
        // The write's F6..F14 are packet bytes 1..9: the generator's reply with the
        // file's bytes 4, 5, 6 in place.
        Bytes expected = part(replyFor(8, {static_cast<std::uint8_t>(c)}), 1, 9);
        for (std::size_t k = 4; k <= 6; ++k) expected[k - 1] = content_[80000 + 10 * c + k];
        EXPECT_EQ(writes[c][5], c);
        EXPECT_EQ(after(writes[c], 6), expected);
    }
    EXPECT_EQ(framesOf(9, true).size(), 3u);
    EXPECT_NE(trace().find("Succeed in importing AEC calibraton data!"), std::string::npos);
}

TEST_F(ImportTest, DapAndOtherDataImports) {
    host.write("Gen/INI/Function.ini", "[CompInformation]\r\ntotal=1\r\n");
    useFile(generatorFile(0x20, 1));  // DAP calibration only
    ASSERT_EQ(IO_ImportDAPCalibData(source().c_str()), 1);
    EXPECT_TRUE(framesOf(13, true).empty());  // the generator lacks it
    link->gen_CompInfo.DAPCalibrationUpdate = 1;
    ASSERT_EQ(GSIImportDAPCalibData(source().c_str()), 1);
    const auto dap = framesOf(13, true);
    ASSERT_EQ(dap.size(), 1u);
    EXPECT_EQ(dap[0][5], 0);
    EXPECT_EQ(after(dap[0], 6), part(content_, 220108 + 1, 26));

    fake.clearFrames();
    ASSERT_EQ(IO_ImportGenOtherData(source().c_str()), 1);
    for (int index : {4, 5, 6, 7, 8, 10, 15, 16, 21}) EXPECT_FALSE(framesOf(index, true).empty()) << index;
    for (int index : {9, 13, 17, 23, 25}) EXPECT_TRUE(framesOf(index, true).empty()) << index;
    const std::string t = trace();
    EXPECT_NE(t.find("Begin to restore generator other data for Import/Export"), std::string::npos);
    EXPECT_NE(t.find("Succeed in restoring other data!"), std::string::npos);
}

TEST_F(ImportTest, FailuresStopWithTheirSection) {
    useFile(generatorFile(0, 0));
    nakIndex = 17;
    EXPECT_EQ(IO_ImportGenData(source().c_str()), 0);
    EXPECT_NE(trace().find("Failed to import Tube Calibration data!"), std::string::npos);
    EXPECT_EQ(framesOf(17, true).size(), 1u);  // rejected at once
    EXPECT_TRUE(framesOf(13, true).empty());
    EXPECT_TRUE(framesOf(21, true).empty());

    fake.clearFrames();
    nakIndex = 4;
    EXPECT_EQ(IO_ImportGenOtherData(source().c_str()), 0);
    EXPECT_NE(trace().find("Failed to import tube data!"), std::string::npos);
    EXPECT_TRUE(framesOf(5, true).empty());
    EXPECT_EQ(link->m_bRestoreTube, 0);
    EXPECT_EQ(fs::current_path(), fs::path(io->homeDirectory()));

    // A generator that does not answer: nothing is sent after the status query.
    fake.clearFrames();
    stSilent = true;
    EXPECT_EQ(IO_ImportAECCalibData(source().c_str()), 0);
    EXPECT_TRUE(framesOf(8, false).empty());
    EXPECT_NE(trace().find("Generator does not answer: nothing imported"), std::string::npos);
    stSilent = false;

    // Without communication the tube record cannot be restored.
    nakIndex = -1;
    link->m_WorkFlags.bCommOk = 0;
    EXPECT_EQ(IO_ImportGenData(source().c_str()), 0);
}

TEST_F(ImportTest, ImportProgressCountsEveryRecord) {
    useFile(generatorFile(0, 0));
    ASSERT_EQ(IO_ImportGenData(source().c_str()), 1);
    KestroTransferProgress p{};
    EXPECT_EQ(KestroGetTransferProgress(&p), 0);
    EXPECT_EQ(p.operation, KESTRO_TRANSFER_IMPORT);
    // 1 tube record, 62 packet records (no Generator Information), 4 rows.
    EXPECT_EQ(p.recordsTotal, 67);
    EXPECT_EQ(p.recordsDone, 67);
    EXPECT_EQ(p.result, 1);
    EXPECT_EQ(std::string(p.section), "Generator KW_MS Table ");
    EXPECT_EQ(p.sectionNumber, 11);  // tube records .. power/time table
    EXPECT_EQ(p.sectionCount, 11);
}

}  // namespace
}  // namespace kestro::test
