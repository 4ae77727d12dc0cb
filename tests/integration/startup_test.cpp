// Start-up against the simulator: the status check, the tables loaded from the
// generator's data packets, and a generator that does not answer.

#include "session.h"

namespace kestro::itest {
namespace {

using Bytes = sim::Bytes;

std::size_t dataBagsReceived(const sim::Simulator& s, int index) {
    std::size_t count = 0;
    for (const auto& entry : s.received())
        if (entry.unit.kind == sim::UnitKind::DataBag && entry.unit.bagIndex == index && entry.unit.checksumOk) ++count;
    return count;
}

TEST_F(Session, StartUpChecksStatusAndLoadsTablesFromTheGenerator) {
    m_sim->setState(2);
    // Distinct records so that a byte taken from the wrong place shows.
    for (int receptor = 0; receptor < 5; ++receptor) {
        Bytes aux = *m_sim->bagRecord(6, {static_cast<std::uint8_t>(receptor)});
        for (std::size_t i = 2; i < aux.size(); ++i) aux[i] = static_cast<std::uint8_t>(100 + receptor * 30 + i);
        aux[1] = static_cast<std::uint8_t>(receptor % 2);   // enabled
        aux[5] = static_cast<std::uint8_t>(10 + receptor);  // AEC channel
        ASSERT_TRUE(m_sim->putBagRecord(6, {}, aux));
    }

    ASSERT_EQ(initGenerator(), 1);
    EXPECT_EQ(traceCount("Generator Initialized !"), 1u);
    EXPECT_EQ(m_link->m_WorkFlags.bCommOk, 1);
    EXPECT_EQ(m_link->m_nGenState, 2);  // as the "ST" answer reported it
    EXPECT_EQ(m_sim->countCommand("ST"), 1u);

    // Packet 6 for receptors 1..5, packet 8 for AEC setups 1..4, the dose-rate curve once.
    EXPECT_EQ(dataBagsReceived(*m_sim, 6), 5u);
    EXPECT_EQ(dataBagsReceived(*m_sim, 8), 4u);
    EXPECT_EQ(dataBagsReceived(*m_sim, 13), 1u);
    EXPECT_EQ(traceCount("Refreshing databag  :  AuxiliarySetup"), 5u);
    EXPECT_EQ(traceCount("Refresh Failed!"), 0u);

    {
        std::lock_guard<std::mutex> lock(m_link->m_TablesLock);
        ASSERT_EQ(m_link->m_AuxiliaryEnabled.size(), 5u);
        ASSERT_EQ(m_link->m_AECFilmSpeed.size(), 4u);
        for (int receptor = 0; receptor < 5; ++receptor) {
            EXPECT_EQ(m_link->m_AuxiliaryEnabled[receptor], static_cast<std::uint32_t>(receptor % 2));
            EXPECT_EQ(m_link->m_AuxiliaryAECChannel[receptor], static_cast<std::uint32_t>(10 + receptor));
        }
        for (int setup = 0; setup < 4; ++setup) {
            const Bytes aec = *m_sim->bagRecord(8, {static_cast<std::uint8_t>(setup)});
            EXPECT_EQ(m_link->m_AECFilmSpeed[setup], aec[1]);
            EXPECT_EQ(m_link->m_AECField[setup], aec[2]);
        }
        const Bytes curve = *m_sim->bagRecord(13, {0});
        ASSERT_EQ(m_link->m_doseRateData.size(), 12u);
        for (std::size_t i = 0; i < 12; ++i)
            EXPECT_EQ(m_link->m_doseRateData[i], curve[2 * i + 1] * 256u + curve[2 * i + 2]) << "value " << i;
    }

    // The image holds the last auxiliary record read (receptor 5): reply bytes 0..17
    // at 206.., bytes 19..25 at 224.. (reply byte 18 is not kept).
    const Bytes aux = *m_sim->bagRecord(6, {4});
    const std::uint8_t* image = m_link->m_pData->SettingsImage;
    for (std::size_t i = 0; i < 18; ++i) EXPECT_EQ(image[206 + i], aux[i]) << "aux byte " << i;
    for (std::size_t i = 0; i < 7; ++i) EXPECT_EQ(image[224 + i], aux[19 + i]) << "aux byte " << 19 + i;
    // AfterSelectReceptor ran on the refreshed record.
    EXPECT_EQ(m_link->m_pData->receptor, aux[0]);
}

TEST_F(Session, SilentGeneratorFailsStartUpWithoutStoppingTheReader) {
    m_sim->setFault("silence", true);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(initGenerator(), -2);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    EXPECT_EQ(traceCount("Get ST during init gen failed!!"), 1u);
    EXPECT_EQ(traceCount("Generator Initialized !"), 0u);
    EXPECT_EQ(m_link->m_WorkFlags.bCommOk, 0);
    EXPECT_EQ(m_sim->countCommand("ST"), 2u);  // sent twice, never answered

    // The threads keep running: once the generator talks again, commands get through.
    m_sim->setFault("silence", false);
    char query[] = "KV?";
    EXPECT_EQ(m_link->GetCpuCommandData(query, 3, 0), 1);
}

}  // namespace
}  // namespace kestro::itest
