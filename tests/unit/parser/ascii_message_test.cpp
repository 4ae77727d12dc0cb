// ASCII messages: framing, checksum, trace, the item vocabulary and its effects.

#include <algorithm>
#include <cstring>
#include <functional>

#include "parser_fixture.h"

namespace kestro::test {
namespace {

using GD = GeneratorData;

bool hasLine(const std::vector<std::string>& lines, std::string_view text) {
    return std::find(lines.begin(), lines.end(), text) != lines.end();
}

// One row per mnemonic: the message carrying it alone, the flag it must set (and no
// other), the field and value it must store, and the notification it must post.
struct VocabularyCase {
    const char* text;
    int kind;
    LiveInt GD::*field;  // nullptr: no plain field (checked elsewhere)
    int value;
    std::vector<Note> notes;
};

const VocabularyCase kVocabularyCases[] = {
    {"FLK081", 32, &GD::fluoKV, 81, {}},
    {"FLM012", 33, &GD::fluoMA, 12, {}},
    {"FLI12345", 34, &GD::fluoIntTimer, 12345, {}},
    {"FLT54321", 35, &GD::fluoAccTimer, 54321, {}},
    {"FLF3", 37, &GD::fluoMode, 3, {}},
    {"FLA2", 40, &GD::fluoABS, 2, {}},
    {"FLS015", 36, &GD::fluoPPS, 15, {}},
    {"FLZ3", 41, &GD::fluoMag, 3, {}},
    {"FLD2", 43, &GD::fluoDose, 2, {}},
    {"FDR1", 207, &GD::fluoDoseRate, 1, {}},
    {"FLP1", 38, nullptr, 0, {}},
    {"FLX1", 39, &GD::fluoExposureState, 1, {}},
    {"FLR2", 42, &GD::fluoTimerResetState, 2, {}},
    {"ST002", 7, nullptr, 0, {}},
    {"RE", 8, nullptr, 0, {}},
    {"WS6", 9, &GD::receptor, 6, {}},
    {"BU1", 10, &GD::buState, 1, {}},
    {"TO1", 11, &GD::bTomo, 1, {}},
    {"FO1", 12, &GD::focus, 1, {}},
    {"PR2", 14, &GD::radPrepState, 2, {}},
    {"XR1", 15, &GD::radExposureState, 1, {}},
    {"HO1", 22, &GD::anodeHeatOver, 1, {}},
    {"CA4", 23, &GD::calibMode, 1, {}},
    {"TB2", 24, &GD::calibTube, 2, {}},
    {"TU1", 44, &GD::currentTube, 1, {}},
    {"KW050", 27, &GD::genKW, 50, {}},
    {"TR1", 28, &GD::trState, 1, {}},
    {"GC123", 29, &GD::genConfig, 123, {}},
    {"HH042", 30, &GD::housingHeat, 42, {}},
    {"GM2", 31, &GD::programMode, 2, {}},
    {"ET3", 13, &GD::radTechnique, 3, {}},
    {"FN-3", 18, &GD::aecDensity, -3, {}},
    {"KV080", 0, &GD::radKV, 80, {}},
    {"FI011", 16, &GD::aecField, 3, {}},
    {"FS100", 17, &GD::aecFilm, 4, {}},
    {"HE077", 21, &GD::anodeHeat, 77, {}},
    {"EL064", 5, &GD::genWarningCode, 64, {{5, 64}}},
    {"ER105", 4, &GD::genErrorCode, 105, {{6, 105}}},
    {"AT01500", 20, &GD::postTime, 1500, {}},
    {"AP00320", 19, &GD::postMAS, 320, {}},
    {"MC00250", 25, &GD::calibMA, 250, {{1, 1}}},
    {"FC03100", 26, &GD::calibFilament, 3100, {}},
    {"MS00100", 2, &GD::radMS, 100, {}},
    {"MX00032", 3, &GD::radMAS, 32, {}},
    {"MA00400", 1, &GD::radMA, 400, {}},
    {"PWP123", 106, &GD::aecPWP, 123, {}},
    {"DDC1234", 107, &GD::aecDDC, 1234, {}},
    {"SPABS077", 108, &GD::absKV, 77, {}},
    {"RPS030", 114, &GD::radPPS, 30, {}},
    {"RPT0456", 115, &GD::radPulseTime, 456, {}},
    {"VE7", 111, &GD::cpuVersion, 7, {}},
    {"FPP015", 203, &GD::fluoFPP, 15, {}},
    {"HMA", 200, nullptr, 0, {{8, 1}}},
    {"AET01234", 204, &GD::aecExposureTime, 1234, {}},
    {"SEC00042", 205, &GD::serialExposureCount, 42, {}},
    {"WSA5", 9, &GD::receptor, 5, {{11, 5}}},
    {"LCC09876", 206, &GD::lccValue, 9876, {}},
};

TEST_F(ParserTest, EveryMnemonicStoresItsFieldAndRaisesOnlyItsFlag) {
    for (const VocabularyCase& c : kVocabularyCases) {
        SCOPED_TRACE(c.text);
        clearFlags();
        process(message(c.text));
        EXPECT_EQ(setFlags(), std::vector<int>{c.kind});
        if (c.field) {
            EXPECT_EQ((link->m_pData->*c.field).load(), c.value);
        }
        EXPECT_EQ(notes(), c.notes);
    }
    EXPECT_EQ(link->m_pData->fluoPrepState.load(), 1);  // "FLP1"
    EXPECT_EQ(link->m_nGenState.load(), 2);             // "ST002"
    EXPECT_TRUE(port->written().empty());               // only "CA2" is answered
}

// Value rules beyond "store the value": mapped values, values refused, sign handling.
struct ValueCase {
    const char* text;
    std::function<std::atomic<std::int32_t>&(TestLink&)> target;
    int before;
    int after;
    int flag;  // -1: no flag at all
};

std::atomic<std::int32_t>& genState(TestLink& l) { return l.m_nGenState; }
std::atomic<std::int32_t>& aecField(TestLink& l) { return l.m_pData->aecField; }
std::atomic<std::int32_t>& aecFilm(TestLink& l) { return l.m_pData->aecFilm; }
std::atomic<std::int32_t>& aecDensity(TestLink& l) { return l.m_pData->aecDensity; }
std::atomic<std::int32_t>& fluoMode2Flag(TestLink& l) { return l.m_pData->fluoMode2Flag; }
std::atomic<std::int32_t>& radPrepState(TestLink& l) { return l.m_pData->radPrepState; }
std::atomic<std::int32_t>& calibMode(TestLink& l) { return l.m_pData->calibMode; }
std::atomic<std::int32_t>& fluoMode(TestLink& l) { return l.m_pData->fluoMode; }

TEST_F(ParserTest, ValueRulesOfTheSpecialItems) {
    const ValueCase cases[] = {
        {"ST005", genState, 0, 14, 7},      {"ST006", genState, 0, 14, 7},
        {"ST007", genState, 0, 14, 7},      {"ST003", genState, 0, 3, 7},
        {"ST008", genState, 0, 8, 7},       {"FI101", aecField, 0, 5, 16},
        {"FI000", aecField, 6, 0, 16},      {"FI120", aecField, 6, 6, 16},
        {"FI002", aecField, 6, 6, 16},      {"FS010", aecFilm, 0, 2, 17},
        {"FS001", aecFilm, 0, 1, 17},       {"FS011", aecFilm, 4, 4, -1},
        {"FS000", aecFilm, 4, 4, -1},       {"FN-2", aecDensity, 0, -2, 18},
        {"FN+2", aecDensity, 0, 2, 18},     {"FN 2", aecDensity, 0, 2, 18},
        {"FLF2", fluoMode2Flag, 0, 1, 37},  {"FLF1", fluoMode2Flag, 1, 1, 37},
        {"FLF9", fluoMode, 1, 1, -1},       {"PR7", radPrepState, 1, 1, -1},
        {"CA0", calibMode, 1, 0, 23},       {"CA3", calibMode, 0, 1, 23},
        {"CA5", calibMode, 0, 0, -1},
    };
    for (const ValueCase& c : cases) {
        SCOPED_TRACE(c.text);
        clearFlags();
        c.target(*link) = c.before;
        process(message(c.text));
        EXPECT_EQ(c.target(*link).load(), c.after);
        EXPECT_EQ(setFlags(), c.flag < 0 ? std::vector<int>{} : std::vector<int>{c.flag});
    }
    EXPECT_TRUE(port->written().empty());
    EXPECT_TRUE(notes().empty());
}

TEST_F(ParserTest, SeveralItemsInOneMessageAreAllHandled) {
    process(message("MC00100 FC00200 KV080 MS00100"));
    GeneratorData& d = *link->m_pData;
    EXPECT_EQ(d.calibMA.load(), 100);
    EXPECT_EQ(d.calibFilament.load(), 200);
    EXPECT_EQ(d.radKV.load(), 80);
    EXPECT_EQ(d.radMS.load(), 100);
    EXPECT_EQ(setFlags(), (std::vector<int>{0, 2, 25, 26}));
    EXPECT_EQ(notes(), (std::vector<Note>{{1, 1}}));

    // Items whose value is refused are skipped; the others still count.
    clearFlags();
    process(message("PR7 KV070 FLF9 XR1"));
    EXPECT_EQ(d.radKV.load(), 70);
    EXPECT_EQ(d.radExposureState.load(), 1);
    EXPECT_EQ(setFlags(), (std::vector<int>{0, 15}));
}

TEST_F(ParserTest, ChecksumDecidesWhetherAMessageCounts) {
    Bytes good = message("KV080");
    ASSERT_EQ(good.back(), 0x3C);
    Bytes bad = good;
    bad.back() = 0x3D;

    process(bad);
    EXPECT_EQ(link->m_pData->radKV.load(), 0);
    EXPECT_TRUE(setFlags().empty());
    EXPECT_TRUE(traceLines().empty());

    process(good);
    EXPECT_EQ(link->m_pData->radKV.load(), 80);
    EXPECT_EQ(setFlags(), std::vector<int>{0});
    EXPECT_EQ(traceLines(), std::vector<std::string>{"Got command from GEN : KV080"});
}

TEST_F(ParserTest, BytesThatCannotStartAMessageAreDroppedOneUnitAtATime) {
    // "x" and "1" are dropped alone, "A" with the "2" after it, then the message counts.
    port->feed(concat({Bytes{'x', '1', 'A', '2'}, message("KV090")}));
    link->ReceiveAndProcess();
    EXPECT_EQ(port->queued(), 10u);
    link->ReceiveAndProcess();
    link->ReceiveAndProcess();
    EXPECT_EQ(port->queued(), 7u);
    link->ReceiveAndProcess();
    EXPECT_EQ(port->queued(), 0u);
    EXPECT_EQ(link->m_pData->radKV.load(), 90);
}

TEST_F(ParserTest, HeatAndStatusMessagesAreTracedOnlyWhenConfigured) {
    link->m_bTraceSTHE = 0;
    link->m_nHeatPollCount = 5;
    process(concat({message("HE050"), message("ST002"), message("KV060")}));
    EXPECT_EQ(link->m_pData->anodeHeat.load(), 50);
    EXPECT_EQ(link->m_nHeatPollCount.load(), 0);
    EXPECT_EQ(link->m_nGenState.load(), 2);
    EXPECT_EQ(traceLines(), std::vector<std::string>{"Got command from GEN : KV060"});

    link->m_bTraceSTHE = 1;
    process(concat({message("HE051"), message("ST003")}));
    const std::vector<std::string> lines = traceLines();
    EXPECT_TRUE(hasLine(lines, "Got command from GEN : HE051"));
    EXPECT_TRUE(hasLine(lines, "Got command from GEN : ST003"));
}

TEST_F(ParserTest, PostTimeRestartsTheExposureWatchdog) {
    link->m_nPostExpPollCount = 40;
    process(message("AT00120 AP00016"));
    EXPECT_EQ(link->m_nPostExpPollCount.load(), 0);
    EXPECT_EQ(link->m_pData->postTime.load(), 120);
    EXPECT_EQ(link->m_pData->postMAS.load(), 16);
}

TEST_F(ParserTest, CalibrationModeTwoIsEchoedAndAnnounced) {
    process(message("CA2"));
    EXPECT_EQ(port->written(), message("CA2"));
    EXPECT_EQ(notes(), (std::vector<Note>{{7, 2}}));
    EXPECT_EQ(link->m_pData->calibMode.load(), 1);
    EXPECT_EQ(setFlags(), std::vector<int>{23});
}

TEST_F(ParserTest, ErrorReportArmsTheReadyLightAndTracesTheErrorText) {
    link->m_bErr220Pending = 0;
    link->m_nErr220Countdown = 0;
    process(message("ER220"));
    EXPECT_EQ(link->m_pData->genErrorCode.load(), 220);
    EXPECT_EQ(notes(), (std::vector<Note>{{6, 220}}));
    EXPECT_EQ(link->m_bErr220Pending.load(), 1);
    EXPECT_EQ(link->m_nErr220Countdown.load(), 100);
    EXPECT_EQ(setFlags(), std::vector<int>{4});
    EXPECT_EQ(std::string(link->m_szLastER, 5), "ER220");
    EXPECT_EQ(traceLines(), std::vector<std::string>{"Got command from GEN : Ready light pending"});

    // Another error does not arm it.
    link->m_bErr220Pending = 0;
    process(message("ER105"));
    EXPECT_EQ(link->m_bErr220Pending.load(), 0);
    EXPECT_EQ(std::string(link->m_szLastER, 5), "ER105");
}

TEST_F(ParserTest, WarningRecordsItsTimeAndText) {
    const std::int64_t before = platform::currentTimeSeconds();
    process(message("EL064"));
    EXPECT_GE(link->m_tLastEL.load(), before);
    EXPECT_LE(link->m_tLastEL.load(), platform::currentTimeSeconds());
    EXPECT_EQ(link->m_pData->genWarningCode.load(), 64);
    EXPECT_EQ(std::string(link->m_szLastEL, 5), "EL064");
    EXPECT_EQ(notes(), (std::vector<Note>{{5, 64}}));
    EXPECT_TRUE(hasLine(traceLines(), "Got command from GEN : Generator warning sixty-four"));
}

TEST_F(ParserTest, ErrorItemsCountOnlyAsTheLastItemOfTheirMessage) {
    process(message("ER220 "));
    process(message("ER221 KV080"));
    process(message("EL064 KV081"));
    EXPECT_EQ(link->m_pData->genErrorCode.load(), 0);
    EXPECT_EQ(link->m_pData->genWarningCode.load(), 0);
    EXPECT_EQ(link->m_nErr220Countdown.load(), 0);
    EXPECT_EQ(link->m_pData->radKV.load(), 81);  // the items after them still count
    EXPECT_EQ(setFlags(), std::vector<int>{0});
    EXPECT_TRUE(notes().empty());
    EXPECT_EQ(std::string(link->m_szLastER, 5), std::string(5, '\0'));
}

TEST_F(ParserTest, AnItemNeverReachesPastItsMessagesEnd) {
    process(message("MS12345"));
    clearFlags();
    // The buffer still holds "45" and the old ETX behind this shorter message.
    process(message("MS12"));
    EXPECT_EQ(link->m_pData->radMS.load(), 12345);
    EXPECT_TRUE(setFlags().empty());
}

TEST_F(ParserTest, OverlongMessageIsDroppedWithoutOverrunAndTheStreamResynchronises) {
    std::memset(link->m_TxBuffer, 0x5A, sizeof link->m_TxBuffer);
    // 512 bytes without an ETX, then a tail that on its own would be a good message.
    Bytes overlong(CCommProtocol::kRxBufferSize, 'Q');
    const Bytes tail = message("KV099");
    overlong.insert(overlong.end(), tail.begin(), tail.end());

    process(concat({overlong, message("KV080")}));
    EXPECT_EQ(link->m_pData->radKV.load(), 80);
    EXPECT_EQ(setFlags(), std::vector<int>{0});
    EXPECT_EQ(traceLines(), (std::vector<std::string>{"Discarded message from GEN longer than the receive buffer",
                                                      "Got command from GEN : KV080"}));
    EXPECT_TRUE(std::all_of(std::begin(link->m_TxBuffer), std::end(link->m_TxBuffer),
                            [](unsigned char b) { return b == 0x5A; }));

    // The longest message that fits (its ETX in the buffer's last byte) is still taken.
    Bytes longest(CCommProtocol::kRxBufferSize - 1, ' ');
    std::memcpy(longest.data(), "KV042", 5);
    process(message(std::string_view(reinterpret_cast<const char*>(longest.data()), longest.size())));
    EXPECT_EQ(link->m_pData->radKV.load(), 42);
}

// The generator's own messages (here a prepare request and a status) arrive while a
// data-bag exchange runs: they are handled as in message mode, and the reply around
// them is still read.
TEST_F(ParserTest, MessageArrivingDuringADataBagExchangeIsHandled) {
    link->m_bDataBagMode = 1;
    link->m_bTraceSTHE = 1;
    process(concat({message("PR1"), Bytes{0x06}, message("ST003"), reply(5, {0xAA, 0xBB})}));
    EXPECT_EQ(link->m_pData->radPrepState.load(), 1);
    EXPECT_EQ(link->m_bAckReceived.load(), 1);
    EXPECT_EQ(setFlags(), (std::vector<int>{7, 14, 62}));
    EXPECT_EQ(traceLines(), (std::vector<std::string>{"Got command from GEN : PR1", "Got command from GEN : ST003"}));

    // A damaged one is dropped as it would be outside the exchange.
    clearFlags();
    Bytes damaged = message("PR2");
    damaged.back() ^= 0x01;
    process(concat({damaged, reply(5, {0xAA, 0xBB})}));
    EXPECT_EQ(link->m_pData->radPrepState.load(), 1);
    EXPECT_EQ(setFlags(), std::vector<int>{62});
}

}  // namespace
}  // namespace kestro::test
