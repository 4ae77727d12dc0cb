// The generator message parser: takes one unit (an acknowledgement byte, a data-bag
// reply or one ASCII message) off the link's transport and turns it into generator data,
// reply flags, trace lines and notifications. It does no I/O of its own: every byte comes
// from a UnitReader, by default ReceiveOneByte() on the link's ByteTransport, on CAN the
// frames of the link's adapter.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "link/comm_protocol.h"
#include "link/data_bag_stores.h"
#include "link/unit_reader.h"
#include "platform/platform.h"

namespace kestro {
namespace {

constexpr std::uint8_t kAck = 0x06;
constexpr std::uint8_t kNak = 0x15;
constexpr std::uint8_t kSoh = 0x01;
constexpr std::uint8_t kEtx = 0x03;
constexpr std::uint8_t kSpace = 0x20;
constexpr std::uint8_t kLastReplyType = 28;
// Slice of a receive wait: the abort flag, the run flag and the port are looked at
// again after each one.
constexpr int kWaitSliceMs = 50;
// Longest silence between two bytes of one unit. A byte takes about 0.5 ms at 19200
// baud (2 ms at 4800); the rest is slack for a loaded host and for drivers that hand
// bytes over in bursts. After it the unit is abandoned and the next byte starts anew.
constexpr int kInterByteTimeoutMs = 100;

// Set by ReceiveOneByte(): whether its last call on this thread gave up (abort flag, run
// flag, transport closed or gone) instead of returning a received byte. A received 0 and
// a given-up receive both return 0; the parser tells them apart with this.
thread_local bool t_receiveGaveUp = false;
// Whether the last give-up was the inter-byte limit running out.
thread_local bool t_receiveTimedOut = false;

// The payload of the longest frame a data-bag reply type can carry: its store's
// capacity (or the receive buffer, for the types without a store) less the header.
std::size_t maxDataBagReplyLength(std::uint8_t type) {
    std::size_t capacity = CCommProtocol::kRxBufferSize;
    if (const std::size_t store = dataBagStoreSize(type); store != 0) capacity = std::min(capacity, store);
    return capacity - 4;
}

bool isUpperLetter(std::uint8_t c) { return c >= 'A' && c <= 'Z'; }

// ---- Message vocabulary --------------------------------------------------------------

enum class Value : std::uint8_t {
    Digits,  // `count` characters read as a decimal number, digits not checked
    Range,   // one character between low and high, stored as its value
    None,    // the mnemonic stands alone
    Sign,    // a sign character and one digit
    Calib,   // one of "0".."4"
};

enum class Effect : std::uint8_t {
    Store,        // value into the field, then the flag
    FluoPrep,     // the byte field fluoPrepState
    FluoMode,     // fluoMode; 2 also sets fluoMode2Flag
    GenState,     // m_nGenState; 5, 6 and 7 become 14
    FlagOnly,
    CalibMode,    // "2" echoes "CA2" and notifies (7, 2)
    AecField,     // three on/off chambers
    AecFilm,      // 001, 010 or 100 only
    AnodeHeat,    // also restarts the heat poll count
    Warning,      // EL
    Error,        // ER
    PostTime,     // also restarts the post-exposure poll count
    CalibMA,      // also notifies (1, 1)
    HandSwitchMA, // HMA: flag, notifies (8, 1)
    ReceptorA,    // WSA: receptor, notifies (11, value)
};

struct Item {
    std::string_view mnemonic;
    Value value;
    int count;  // value characters after the letters
    char low;
    char high;
    int kind;   // reply flag
    LiveInt GeneratorData::*field;
    Effect effect;
};

using GD = GeneratorData;

constexpr Item digits(std::string_view m, int count, int kind, LiveInt GD::*field, Effect e = Effect::Store) {
    return {m, Value::Digits, count, 0, 0, kind, field, e};
}
constexpr Item range(std::string_view m, char low, char high, int kind, LiveInt GD::*field,
                     Effect e = Effect::Store) {
    return {m, Value::Range, 1, low, high, kind, field, e};
}

// In the order the mnemonics are tried at each position.
constexpr Item kVocabulary[] = {
    digits("FLK", 3, 32, &GD::fluoKV),
    digits("FLM", 3, 33, &GD::fluoMA),
    digits("FLI", 5, 34, &GD::fluoIntTimer),
    digits("FLT", 5, 35, &GD::fluoAccTimer),
    range("FLF", '0', '3', 37, &GD::fluoMode, Effect::FluoMode),
    range("FLA", '0', '3', 40, &GD::fluoABS),
    digits("FLS", 3, 36, &GD::fluoPPS),
    range("FLZ", '0', '3', 41, &GD::fluoMag),
    range("FLD", '0', '2', 43, &GD::fluoDose),
    range("FDR", '0', '2', 207, &GD::fluoDoseRate),
    range("FLP", '0', '1', 38, nullptr, Effect::FluoPrep),
    range("FLX", '0', '1', 39, &GD::fluoExposureState),
    range("FLR", '0', '2', 42, &GD::fluoTimerResetState),
    digits("ST", 3, 7, nullptr, Effect::GenState),
    {"RE", Value::None, 0, 0, 0, 8, nullptr, Effect::FlagOnly},
    range("WS", '0', '6', 9, &GD::receptor),
    range("BU", '0', '1', 10, &GD::buState),
    range("TO", '0', '1', 11, &GD::bTomo),
    range("FO", '0', '1', 12, &GD::focus),
    range("PR", '0', '2', 14, &GD::radPrepState),
    range("XR", '0', '2', 15, &GD::radExposureState),
    range("HO", '0', '1', 22, &GD::anodeHeatOver),
    {"CA", Value::Calib, 1, '0', '4', 23, &GD::calibMode, Effect::CalibMode},
    range("TB", '0', '2', 24, &GD::calibTube),
    range("TU", '0', '2', 44, &GD::currentTube),
    digits("KW", 3, 27, &GD::genKW),
    range("TR", '0', '1', 28, &GD::trState),
    digits("GC", 3, 29, &GD::genConfig),
    digits("HH", 3, 30, &GD::housingHeat),
    range("GM", '0', '2', 31, &GD::programMode),
    range("ET", '0', '3', 13, &GD::radTechnique),
    {"FN", Value::Sign, 2, 0, 0, 18, &GD::aecDensity, Effect::Store},
    digits("KV", 3, 0, &GD::radKV),
    digits("FI", 3, 16, &GD::aecField, Effect::AecField),
    digits("FS", 3, 17, &GD::aecFilm, Effect::AecFilm),
    digits("HE", 3, 21, &GD::anodeHeat, Effect::AnodeHeat),
    digits("EL", 3, 5, &GD::genWarningCode, Effect::Warning),
    digits("ER", 3, 4, &GD::genErrorCode, Effect::Error),
    digits("AT", 5, 20, &GD::postTime, Effect::PostTime),
    digits("AP", 5, 19, &GD::postMAS),
    digits("MC", 5, 25, &GD::calibMA, Effect::CalibMA),
    digits("FC", 5, 26, &GD::calibFilament),
    digits("MS", 5, 2, &GD::radMS),
    digits("MX", 5, 3, &GD::radMAS),
    digits("MA", 5, 1, &GD::radMA),
    digits("PWP", 3, 106, &GD::aecPWP),
    digits("DDC", 4, 107, &GD::aecDDC),
    digits("SPABS", 3, 108, &GD::absKV),
    digits("RPS", 3, 114, &GD::radPPS),
    digits("RPT", 4, 115, &GD::radPulseTime),
    digits("VE", 1, 111, &GD::cpuVersion),
    digits("FPP", 3, 203, &GD::fluoFPP),
    {"HMA", Value::None, 0, 0, 0, 200, nullptr, Effect::HandSwitchMA},
    digits("AET", 5, 204, &GD::aecExposureTime),
    digits("SEC", 5, 205, &GD::serialExposureCount),
    range("WSA", '0', '6', 9, &GD::receptor, Effect::ReceptorA),
    digits("LCC", 5, 206, &GD::lccValue),
};

static_assert(std::size(kVocabulary) == 57);

// Reply flag of each data-bag reply type 1..25 (type 7 goes by the last bag sent).
constexpr int kReplyKinds[kDataBagStoreCount] = {58,  59,  60,  61,  62,  63,  -1,  65,  66,
                                                 67,  68,  69,  109, 110, 112, 82,  80,  117,
                                                 118, 119, 120, 121, 122, 123, 124};

// ---- One unit -----------------------------------------------------------------------

class UnitParser {
public:
    using Notify = std::function<void(std::uintptr_t, std::intptr_t)>;

    UnitParser(CCommProtocol& owner, UnitReader& source, Notify notifyHost)
        : link(owner), reader(source), rx(owner.m_RxBuffer), notify(std::move(notifyHost)) {}

    void dataBagUnit();
    void asciiMessage();

private:
    // The rest of a message whose two letters have been read.
    void messageAfterLetters(std::uint8_t first, std::uint8_t second);
    // The unit's next byte. A unit whose bytes stop coming is abandoned (counted, with
    // a trace line) when the reader gives up on the inter-byte limit.
    std::optional<std::uint8_t> next() {
        const auto byte = reader.nextByte();
        if (!byte && reader.timedOut()) {
            LinkStatistics::add(link.m_Stats.droppedUnits);
            link.WriteTraceLine("Abandoned unit from GEN, no byte for ms :", kInterByteTimeoutMs, "");
        }
        return byte;
    }

    void dataBagReply(std::uint8_t type, std::size_t length);
    void traceMessage(std::size_t n);
    void scanItems(std::size_t n);
    const Item* itemAt(std::size_t i, std::size_t etx) const;
    std::optional<int> itemValue(const Item& item, std::size_t i) const;
    void applyItem(const Item& item, int value, std::size_t i);

    CCommProtocol& link;
    UnitReader& reader;
    unsigned char* rx;
    Notify notify;
};

void UnitParser::dataBagUnit() {
    auto firstByte = next();
    if (!firstByte) return;
    // A message the generator sends of its own accord (a prepare or exposure request, a
    // status) can arrive while an exchange runs. Two upper-case letters begin it: it is
    // read and handled as in message mode instead of being lost (a PR1 lost here goes
    // unanswered and the generator abandons the exposure). A letter followed by anything
    // else was a stray byte, and what follows it is taken as the unit's start. "E" keeps
    // its own meaning.
    if (isUpperLetter(*firstByte) && *firstByte != 'E') {
        const auto second = next();
        if (!second) return;
        if (isUpperLetter(*second)) {
            reader.readingMessage(true);
            messageAfterLetters(*firstByte, *second);
            return;
        }
        LinkStatistics::add(link.m_Stats.resyncs);
        firstByte = second;  // not a letter: read below as the unit's first byte
    }
    const std::uint8_t first = *firstByte;
    rx[0] = first;
    switch (first) {
        case kAck: link.m_bAckReceived = 1; return;
        case kNak:
            LinkStatistics::add(link.m_Stats.naks);
            link.m_bNakReceived = 1;
            return;
        case 'E':
            if (const auto second = next()) rx[1] = *second;
            return;
        case kSoh: break;
        default: LinkStatistics::add(link.m_Stats.resyncs); return;
    }

    const auto type = next();
    if (!type) return;
    rx[1] = *type;
    if (*type == 0 || *type > kLastReplyType) {
        LinkStatistics::add(link.m_Stats.resyncs);
        return;
    }
    const auto high = next();
    if (!high) return;
    rx[2] = *high;
    const auto low = next();
    if (!low) return;
    rx[3] = *low;
    if (link.m_bStopReceive) return;

    // A length beyond the longest frame of the type is no reply of the generator: it is
    // refused at once and the next byte is taken as the start of a new unit, instead
    // of waiting for up to 65535 bytes that will not come.
    const std::size_t length = std::size_t{*high} * 256 + *low;
    if (length > maxDataBagReplyLength(*type)) {
        LinkStatistics::add(link.m_Stats.resyncs);
        link.WriteTraceLine("Refused data bag reply longer than its type allows, type =", *type, "");
        return;
    }

    unsigned sum = kSoh + *type + *high + *low;
    for (std::size_t k = 0; k < length; ++k) {
        if (link.m_bStopReceive) return;
        const auto byte = next();
        if (!byte) return;
        sum += *byte;
        rx[4 + k] = *byte;
    }
    const auto checksum = next();
    if (!checksum) return;
    if ((sum & 0xFFu) != *checksum) {
        LinkStatistics::add(link.m_Stats.checksumErrors);
        if (reader.tracesDataBagChecksum()) {
            link.WriteTraceLine("calculated databag checksum = ", static_cast<int>(sum & 0xFFu), "");
            link.WriteTraceLine("CPU databag checksum = ", *checksum, "");
        }
        link.m_bDataBagChecksumError = 1;
        return;
    }
    dataBagReply(*type, length);
}

void UnitParser::dataBagReply(std::uint8_t type, std::size_t length) {
    if (type > kDataBagStoreCount) return;  // 26..28: nothing to keep

    if (type == 12) {
        static constexpr std::uint8_t kVersionStatus[] = {0x0C, 0x00, 0x03, 0x00, 0x99};
        if (std::memcmp(rx + 1, kVersionStatus, sizeof kVersionStatus) == 0 && link.m_pData)
            link.m_pData->bag99Status = rx[6] == 0x01 ? 0 : rx[6] == 0x00 ? 1 : 2;
    }

    if (type == 4) {
        writeDataBagStore(4, kTubeBlockOffset, rx + 4, length);
    } else {
        writeDataBagStore(type, 0, rx, 4 + length);
    }

    int kind = kReplyKinds[type - 1];
    if (type == 7) {
        kind = link.m_nLastDataBagKind;
        if (kind < 70 || kind > 74) return;
    }
    link.raiseReplyFlag(kind);
}

void UnitParser::asciiMessage() {
    const auto firstByte = next();
    if (!firstByte) return;
    const std::uint8_t first = *firstByte;
    rx[0] = first;
    if (!isUpperLetter(first)) {
        LinkStatistics::add(link.m_Stats.resyncs);
        return;
    }
    const auto second = next();
    if (!second) return;
    rx[1] = *second;
    if (!isUpperLetter(*second)) {
        LinkStatistics::add(link.m_Stats.resyncs);
        return;
    }
    messageAfterLetters(first, *second);
}

void UnitParser::messageAfterLetters(std::uint8_t first, std::uint8_t second) {
    rx[0] = first;
    rx[1] = second;
    // A message that does not reach its ETX within the receive buffer is dropped. The
    // rest of it is read and discarded up to its ETX and checksum, so the next call
    // starts at the next message instead of parsing the tail of this one.
    std::size_t n = 2;
    unsigned sum = first + second;
    bool overlong = false;
    for (;;) {
        const auto byte = next();
        if (!byte) return;
        if (n < CCommProtocol::kRxBufferSize) {
            rx[n++] = *byte;
            sum += *byte;
        } else {
            overlong = true;
        }
        if (*byte == kEtx) break;
    }
    const auto checksum = next();
    if (!checksum) return;
    if (overlong) {
        LinkStatistics::add(link.m_Stats.resyncs);
        link.WriteTraceLine("Discarded message from GEN longer than the receive buffer");
        return;
    }
    if ((sum & 0xFFu) != *checksum) {
        LinkStatistics::add(link.m_Stats.checksumErrors);
        return;
    }

    traceMessage(n);
    scanItems(n);
}

void UnitParser::traceMessage(std::size_t n) {
    std::string text(reinterpret_cast<const char*>(rx), n - 1);
    const std::string_view head = std::string_view(text).substr(0, 2);
    if ((head == "HE" || head == "ST") && !link.m_bTraceSTHE) return;
    if (head == "EL" || head == "ER") {
        const std::string digits = text.substr(text.size() >= 3 ? text.size() - 3 : 0);
        text = link.errorMessageText(std::atoi(digits.c_str()));
    }
    // Posted, not written: the reply flag this message raises next wakes its sender
    // without waiting for the write (the reader writes it right after the message).
    link.m_TraceFile.postLine("Got command from GEN :", -1, text);
}

const Item* UnitParser::itemAt(std::size_t i, std::size_t etx) const {
    for (const Item& item : kVocabulary) {
        const std::size_t letters = item.mnemonic.size();
        const std::size_t terminator = i + letters + static_cast<std::size_t>(item.count);
        if (terminator > etx) continue;  // never past this message's ETX
        if (std::memcmp(rx + i, item.mnemonic.data(), letters) != 0) continue;
        const bool etxOnly = item.effect == Effect::Warning || item.effect == Effect::Error;
        if (rx[terminator] == kEtx || (!etxOnly && rx[terminator] == kSpace)) return &item;
    }
    return nullptr;
}

std::optional<int> UnitParser::itemValue(const Item& item, std::size_t i) const {
    const std::size_t at = i + item.mnemonic.size();
    const int offset = static_cast<int>(at);
    switch (item.value) {
        case Value::Digits: {
            const int value = CCommProtocol::GetValue(rx, offset, item.count);
            if (item.effect == Effect::AecFilm && value != 1 && value != 10 && value != 100) return std::nullopt;
            return value;
        }
        case Value::Range:
        case Value::Calib:
            if (rx[at] < item.low || rx[at] > item.high) return std::nullopt;
            return rx[at] - '0';
        case Value::None: return 0;
        case Value::Sign: {
            const int digit = CCommProtocol::GetValue(rx, offset + 1, 1);
            return rx[at] == '-' ? -digit : digit;
        }
    }
    return std::nullopt;
}

void UnitParser::applyItem(const Item& item, int value, std::size_t i) {
    GeneratorData& data = *link.m_pData;
    auto store = [&](int v) { (data.*item.field) = v; };

    switch (item.effect) {
        case Effect::Store: store(value); break;
        case Effect::FluoPrep: data.fluoPrepState = static_cast<std::uint8_t>(value); break;
        case Effect::FluoMode:
            store(value);
            if (value == 2) data.fluoMode2Flag = 1;
            break;
        case Effect::GenState: link.m_nGenState = (value >= 5 && value <= 7) ? 14 : value; break;
        case Effect::FlagOnly: break;
        case Effect::CalibMode:
            if (value == 2) {
                link.SendCommand_B("CA2", 3, 23);
                notify(7, 2);
            }
            store(value == 0 ? 0 : 1);
            break;
        case Effect::AecField:
            switch (value) {
                case 0: store(0); break;
                case 1: store(1); break;
                case 10: store(2); break;
                case 11: store(3); break;
                case 100: store(4); break;
                case 101: store(5); break;
                case 110: store(6); break;
                case 111: store(7); break;
                default: break;  // not three chambers: the field keeps its value
            }
            break;
        case Effect::AecFilm: store(value == 1 ? 1 : value == 10 ? 2 : 4); break;
        case Effect::AnodeHeat:
            store(value);
            link.m_nHeatPollCount = 0;
            break;
        case Effect::PostTime:
            store(value);
            link.m_nPostExpPollCount = 0;
            break;
        case Effect::Warning:
            link.m_tLastEL = platform::currentTimeSeconds();
            store(value);
            notify(5, value);
            {
                std::lock_guard<std::mutex> lock(link.m_LastErrorLock);
                std::memcpy(link.m_szLastEL, rx + i, sizeof link.m_szLastEL);
            }
            break;
        case Effect::Error:
            store(value);
            notify(6, value);
            if (value == 220) {
                link.m_bErr220Pending = 1;
                link.m_nErr220Countdown = 100;
            }
            {
                std::lock_guard<std::mutex> lock(link.m_LastErrorLock);
                std::memcpy(link.m_szLastER, rx + i, sizeof link.m_szLastER);
            }
            break;
        case Effect::CalibMA:
            store(value);
            link.raiseReplyFlag(item.kind);
            notify(1, 1);
            return;
        case Effect::HandSwitchMA:
            link.raiseReplyFlag(item.kind);
            notify(8, 1);
            return;
        case Effect::ReceptorA:
            store(value);
            link.raiseReplyFlag(item.kind);
            notify(11, value);
            return;
    }
    link.raiseReplyFlag(item.kind);
}

void UnitParser::scanItems(std::size_t n) {
    if (!link.m_pData) return;
    const std::size_t etx = n - 1;
    std::size_t i = 0;
    while (i < n) {
        const Item* item = itemAt(i, etx);
        if (!item) {
            ++i;
            continue;
        }
        const std::optional<int> value = itemValue(*item, i);
        if (!value) {
            ++i;  // the position was taken; no later mnemonic is tried here
            continue;
        }
        applyItem(*item, *value, i);
        i += item->mnemonic.size() + static_cast<std::size_t>(item->count);
    }
}

// The byte transport's reader: every byte from ReceiveOneByte().
class ByteUnitReader : public UnitReader {
public:
    explicit ByteUnitReader(CCommProtocol& owner) : link(owner) {}
    // Waits for the unit's first byte (as long as the link runs) and keeps it: the mode
    // is chosen once it is there, not before the wait for it.
    bool beginUnit() override {
        const std::uint8_t byte = link.ReceiveOneByte();
        if (t_receiveGaveUp) return false;
        first = byte;
        return true;
    }
    // The kept first byte, then each further byte within the inter-byte limit.
    std::optional<std::uint8_t> nextByte() override {
        if (first) return std::exchange(first, std::nullopt);
        const std::uint8_t byte = link.receiveByteWithin(kInterByteTimeoutMs);
        timedOutLast = t_receiveGaveUp && t_receiveTimedOut;
        if (t_receiveGaveUp) return std::nullopt;
        return byte;
    }
    bool timedOut() const override { return timedOutLast; }

private:
    CCommProtocol& link;
    std::optional<std::uint8_t> first;
    bool timedOutLast = false;
};

}  // namespace

void CCommProtocol::ReceiveAndProcess() {
    m_bStopReceive = 0;
    ByteUnitReader byteReader(*this);
    UnitReader& reader = m_pUnitReader ? *m_pUnitReader : static_cast<UnitReader&>(byteReader);
    if (!reader.beginUnit()) return;
    // The mode is looked at once the unit has begun: a frame reader that waited for its
    // first frame across a change of mode (a data-bag exchange starting or ending) reads
    // the unit in the mode it was sent in.
    const bool dataBag = m_bDataBagMode != 0;
    reader.readingMessage(!dataBag);
    UnitParser parser(*this, reader, [this](std::uintptr_t w, std::intptr_t l) { notifyHost(w, l); });
    if (dataBag)
        parser.dataBagUnit();
    else
        parser.asciiMessage();
    m_TraceFile.flushPosted();
}

unsigned char CCommProtocol::ReceiveOneByte() { return receiveByteWithin(-1); }

unsigned char CCommProtocol::receiveByteWithin(int timeoutMs) {
    t_receiveGaveUp = true;
    t_receiveTimedOut = false;
    ByteTransport* port = transport();
    if (!port) return 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    while (m_bStopReceive.load() == 0 && runFlag().load() == 1 && port->isOpen() && !port->lost()) {
        if (port->bytesInQueue() > 0) {
            std::uint8_t byte = 0;
            if (port->read(&byte, 1) != 1) return 0;  // a failing read ends the receive
            t_receiveGaveUp = false;
            return byte;
        }
        int slice = kWaitSliceMs;
        if (timeoutMs >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
            if (left <= 0) {
                t_receiveTimedOut = true;
                return 0;
            }
            slice = static_cast<int>(std::min<long long>(left, kWaitSliceMs));
        }
        port->waitForInput(slice);
    }
    return 0;
}

}  // namespace kestro
