// Whole generator data sets against kestro-sim: an export from one simulator imported
// into a second and exported again gives the same file (apart from the Generator
// Information, which an import leaves alone); the simulator's data set survives a save
// and a load; its feature bits reach the compatibility answer. One test runs a full
// export and import on the real clock.

#include <filesystem>
#include <fstream>
#include <random>

#include "api/app.h"
#include "data/import_export.h"
#include "platform/clock.h"
#include "session.h"

namespace kestro::itest {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

Bytes readAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Every record the export reads: wire index and the selector bytes of its request.
std::vector<std::pair<int, Bytes>> exportedRecords() {
    std::vector<std::pair<int, Bytes>> out;
    auto add = [&](int index, Bytes selector) { out.emplace_back(index, std::move(selector)); };
    for (std::uint8_t t = 0; t < 2; ++t) add(4, {t});
    add(5, {});
    for (std::uint8_t r = 0; r < 6; ++r) {
        add(6, {r});
        for (std::uint8_t g = 0; g < 5; ++g) add(7, {r, g});
    }
    for (std::uint8_t c = 0; c < 4; ++c) add(8, {c});
    for (std::uint8_t s : {1, 2, 4}) add(9, {s});
    for (std::uint8_t ch = 0; ch < 4; ++ch)
        for (std::uint8_t f : {1, 2, 4}) add(23, {ch, f});
    add(10, {});
    add(13, {0});
    add(16, {});
    add(18, {});
    add(24, {0, 0});
    for (std::uint8_t t = 0; t < 2; ++t) {
        for (std::uint8_t k = 0; k < 4; ++k) add(15, {t, k});
        for (std::uint8_t k = 0; k < 4; ++k) add(25, {t, k});
        for (std::uint8_t k = 0; k < 16; ++k) add(17, {t, k});
    }
    return out;
}

// Fills every exported record of a simulator with random bytes (selector bytes kept
// where the reply carries them).
void scramble(sim::Simulator& simulator, std::uint32_t seed) {
    std::mt19937 random(seed);
    for (const auto& [index, selector] : exportedRecords()) {
        const sim::BagLayout* layout = sim::findBagLayout(index);
        Bytes data(layout->replyLength);
        for (auto& b : data) b = static_cast<std::uint8_t>(random());
        if (layout->selectorInReply)
            for (std::size_t i = 0; i < selector.size(); ++i) data[i] = selector[i];
        ASSERT_TRUE(simulator.putBagRecord(index, selector, data)) << index;
    }
}

class TransferSession : public Session {
protected:
    void SetUp() override {
        Session::SetUp();
        if (HasFatalFailure()) return;
        std::ofstream(m_host / "Gen/INI/Function.ini", std::ios::app)
            << "[CompInformation]\r\ntotal=1\r\n[GEN_KW_MS_TABLE]\r\n0=100,200,300\r\n1=5\r\n";
        if (!g_ImportExportOpt) {
            g_ImportExportOpt = new CImportExportOpt;
            ownImportExport = true;
        }
        m_sim->setState(2);
        ASSERT_EQ(initGenerator(), 1);
    }
    void TearDown() override {
        if (ownImportExport) delete g_ImportExportOpt.exchange(nullptr);
        else if (CImportExportOpt* io = g_ImportExportOpt.load()) io->setClock(systemClock());
        Session::TearDown();
    }

    void everyFeature() {
        auto& c = m_link->gen_CompInfo;
        for (auto* flag : {&c.OneMsEnable, &c.secondTubeEnable, &c.ABSDoseRate, &c.FluoRadCurves,
                           &c.AECDataChannelRelated, &c.DAPCalibrationUpdate, &c.bFunctionConfigDetect,
                           &c.bDynamicFilCalib})
            *flag = 1;
    }

    // Stops the running simulator (kept as `previous`) and starts another on the same
    // port link; the library reopens its port.
    void switchSimulator() {
        m_sim->stop();
        previous = std::move(m_serialSim);
        sim::SimulatorOptions options;
        options.linkPath = (m_host / "ttyGEN").string();
        m_serialSim = std::make_unique<sim::Simulator>(options);
        m_sim = m_serialSim.get();
        std::string error;
        ASSERT_TRUE(m_sim->start(&error)) << error;
        m_sim->setState(2);
        ASSERT_EQ(initGenerator(), 1);
    }

    bool ownImportExport = false;
    std::unique_ptr<sim::Simulator> previous;
    FakeClock fakeClock;
};

TEST_F(TransferSession, RoundTripThroughASecondSimulator) {
    g_ImportExportOpt.load()->setClock(fakeClock);  // the wire is real, the waits are not
    everyFeature();
    m_sim->setFeatures(0xFF);
    scramble(*m_sim, 7);
    const fs::path first = m_host / "first.dat";
    const fs::path second = m_host / "second.dat";
    ASSERT_EQ(IO_ExportGenData(first.c_str()), 1);

    switchSimulator();
    if (HasFatalFailure()) return;
    everyFeature();  // start-up cleared the record
    m_sim->setFeatures(0xFF);
    scramble(*m_sim, 8);  // a generator with other contents
    const Bytes before = m_sim->bagRecord(17, {1, 5}).value();
    ASSERT_EQ(IO_ImportGenData(first.c_str()), 1);
    EXPECT_NE(m_sim->bagRecord(17, {1, 5}).value(), before);
    EXPECT_EQ(m_sim->bagRecord(17, {1, 5}), previous->bagRecord(17, {1, 5}));
    ASSERT_EQ(GSIExportGeneratorData(second.c_str()), 1);

    const Bytes a = readAll(first);
    const Bytes b = readAll(second);
    ASSERT_EQ(a.size(), 280004u);
    ASSERT_EQ(b.size(), a.size());
    std::size_t differing = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const bool generatorInformation = i >= 260000 && i < 260070;
        if (a[i] != b[i]) {
            ++differing;
            EXPECT_TRUE(generatorInformation) << "byte " << i;
            if (!generatorInformation) break;
        }
    }
    EXPECT_GT(differing, 0u);  // the two generators' own information differs
    EXPECT_EQ(traceCount("Failed to"), 0u);
    EXPECT_EQ(traceCount("Succeed in restoring generator calibraton data for Import/Export!"), 1u);
    EXPECT_EQ(traceCount("Successfully export generator data."), 2u);
}

TEST_F(TransferSession, SimulatorDataSetSurvivesSaveAndLoad) {
    scramble(*m_sim, 11);
    m_sim->setFeatures(0x12);
    const fs::path saved = m_host / "sim-data.txt";
    std::string reply;
    ASSERT_TRUE(m_sim->control("data save " + saved.string(), &reply)) << reply;

    switchSimulator();
    if (HasFatalFailure()) return;
    EXPECT_NE(m_sim->bagRecord(17, {1, 3}), previous->bagRecord(17, {1, 3}));
    ASSERT_TRUE(m_sim->control("data load " + saved.string(), &reply)) << reply;
    for (const auto& [index, selector] : exportedRecords())
        EXPECT_EQ(m_sim->bagRecord(index, selector), previous->bagRecord(index, selector)) << index;
    ASSERT_TRUE(m_sim->control("features", &reply));
    EXPECT_EQ(reply, "OK 12");

    // The feature bits are what the compatibility answer of entry 0 reports.
    ASSERT_EQ(IO_RefreshModelData(22, 0), 1);
    EXPECT_EQ(m_link->m_pData->SettingsImage[image::kCompatibleInfo + 2], 0x12);
    ASSERT_TRUE(m_sim->control("features off", &reply));
    ASSERT_EQ(IO_RefreshModelData(22, 0), 1);
    EXPECT_EQ(m_link->m_pData->SettingsImage[image::kCompatibleInfo + 2], 0);

    std::ofstream(m_host / "bad.txt") << "bag 17 0001 00\n";
    EXPECT_FALSE(m_sim->control("data load " + (m_host / "bad.txt").string(), &reply));
    EXPECT_NE(reply.find("record does not fit bag 17"), std::string::npos) << reply;
}

// The real thing: every prescribed wait on the real clock (about two minutes).
TEST_F(TransferSession, ExportAndImportOnTheRealClock) {
    scramble(*m_sim, 3);
    const fs::path file = m_host / "real.dat";
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(IO_ExportGenData(file.c_str()), 1);
    const auto exported = std::chrono::steady_clock::now();
    ASSERT_EQ(IO_ImportGenData(file.c_str()), 1);
    const auto imported = std::chrono::steady_clock::now();
    // The waits alone: 62.4 s for the export, 63.1 s for the import.
    EXPECT_GE(exported - start, std::chrono::milliseconds(62400));
    EXPECT_GE(imported - exported, std::chrono::milliseconds(63100));
    KestroTransferProgress p{};
    EXPECT_EQ(KestroGetTransferProgress(&p), 0);
    EXPECT_EQ(p.recordsDone, p.recordsTotal);
    EXPECT_EQ(p.result, 1);
    EXPECT_EQ(readAll(file).size(), 280004u);
    EXPECT_EQ(traceCount("Failed to"), 0u);
}

}  // namespace
}  // namespace kestro::itest
