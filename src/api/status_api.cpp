// Status, heat and counter exports, the generator phase, the CPU version, the free
// command, and the auxiliary and AEC configuration learnt at start-up.

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "api/operator_common.h"
#include "data/model_data.h"
#include "platform/platform.h"

using namespace kestro;
using op::Command;

namespace {

constexpr int kFail = -1;

// The common shape of a status query: no traffic in demonstration mode, otherwise the
// stored value after an acknowledged query or -1.
int statusQuery(const char* text, int kind, LiveInt GeneratorData::*field) {
    return op::withLink(kFail, [&](CCommProtocol& link, GeneratorData& d) -> int {
        if (d.bDemo) return d.*field;
        return op::sendThenRead(link, Command(text), kind, d.*field, kFail);
    });
}

int storedValue(LiveInt GeneratorData::*field) {
    return op::withLink(kFail, [&](CCommProtocol&, GeneratorData& d) -> int { return d.*field; });
}

// Entry of a configuration array, or nothing when the index is outside it.
std::optional<std::uint32_t> entry(const std::vector<std::uint32_t>& array, int index) {
    if (index < 0 || static_cast<std::size_t>(index) >= array.size()) return std::nullopt;
    return array[static_cast<std::size_t>(index)];
}

// The film-speed or field entry of the AEC channel of auxiliary aux (from 0).
int aecChannelConfig(int aux, int* out, std::vector<std::uint32_t> CCommProtocol::*values) {
    return op::withLink(0, [&](CCommProtocol& link, GeneratorData&) -> int {
        if (!out) return 0;
        std::lock_guard<std::mutex> lock(link.m_TablesLock);
        const std::vector<std::uint32_t>& channelValues = link.*values;
        if (link.m_AuxiliaryAECChannel.size() != 5 || channelValues.size() != 4) return 0;
        std::optional<std::uint32_t> channel = entry(link.m_AuxiliaryAECChannel, aux);
        if (!channel || *channel == 0) return 0;
        std::optional<std::uint32_t> value = entry(channelValues, static_cast<int>(*channel) - 1);
        if (!value) return 0;  // a channel number the generator does not have
        *out = static_cast<int>(*value);
        return 1;
    });
}

}  // namespace

KESTRO_EXPORT(int) IO_GetSTValue(void) {
    return op::withLink(kFail, [&](CCommProtocol& link, GeneratorData& d) -> int {
        if (d.bDemo) return link.m_nGenState;
        return op::send(link, Command("ST"), 7) ? link.m_nGenState.load() : kFail;
    });
}

KESTRO_EXPORT(int) IO_GetGenKW(void) { return statusQuery("KW", 27, &GeneratorData::genKW); }
KESTRO_EXPORT(int) IO_GetGenConfig(void) { return statusQuery("GC", 29, &GeneratorData::genConfig); }
KESTRO_EXPORT(int) IO_GetHousingTubeHeat(void) { return statusQuery("HH?", 30, &GeneratorData::housingHeat); }
KESTRO_EXPORT(int) IO_GetSerialExposureCount(void) {
    return statusQuery("SEC?", 205, &GeneratorData::serialExposureCount);
}
KESTRO_EXPORT(int) IO_GetAECExposureTime(void) { return statusQuery("AET?", 204, &GeneratorData::aecExposureTime); }

KESTRO_EXPORT(int) IO_GetAnodeTubeHeat(BYTE bQuery) {
    return op::withLink(kFail, [&](CCommProtocol& link, GeneratorData& d) -> int {
        if (d.bDemo || !bQuery) return d.anodeHeat;
        return op::sendThenRead(link, Command("HE?"), 21, d.anodeHeat, kFail);
    });
}

KESTRO_EXPORT(int) IO_SetAnodeHeatOver(BYTE bQuery, int on) {
    return op::withLink(kFail, [&](CCommProtocol& link, GeneratorData& d) -> int {
        if (d.bDemo) return d.anodeHeatOver;
        Command command(bQuery ? "HO?" : on != 0 ? "HO1" : "HO0");
        return op::sendThenRead(link, command, 22, d.anodeHeatOver, kFail);
    });
}

KESTRO_EXPORT(int) IO_GetPostMASValue(void) { return storedValue(&GeneratorData::postMAS); }
KESTRO_EXPORT(int) IO_GetPostTIMEValue(void) { return storedValue(&GeneratorData::postTime); }

KESTRO_EXPORT(int) IO_GetCurrentTube(void) {
    return op::withLink(kFail, [&](CCommProtocol&, GeneratorData& d) -> int { return d.currentTube + 1; });
}

// Sent in demonstration mode too.
KESTRO_EXPORT(int) IO_SetVersion(BYTE bQuery, int value) {
    return op::withLink(kFail, [&](CCommProtocol& link, GeneratorData& d) -> int {
        if (bQuery) {
            if (value != 0) return d.cpuVersion;
            return op::sendThenRead(link, Command("VE?"), 111, d.cpuVersion, kFail);
        }
        if (value < 0 || value > 100) return kFail;
        return op::sendThenRead(link, Command("VE").put(static_cast<char>('0' + value)), 111, d.cpuVersion, kFail);
    });
}

KESTRO_EXPORT(int) IO_SendUnrestrictedCommand(const char* text, int length) {
    return op::withLink(0, [&](CCommProtocol& link, GeneratorData&) -> int {
        if (!text || length < 0) return 0;
        std::vector<char> bytes(text, text + length);
        return link.SendCpuUnrestrictedCommand(bytes.data(), length);
    });
}

KESTRO_EXPORT(int) IO_GetGenPhase(int* phase) {
    return op::withLink(0, [&](CCommProtocol& link, GeneratorData&) -> int {
        if (!phase || link.m_WorkFlags.bCommOk == 0) return 0;
        const int state = link.m_nGenState;
        if (state == 3 || state == 10 || state == 4) {
            *phase = state;
            return 1;
        }
        const int reported = IO_GetSTValue();
        if (reported == kFail) return 0;
        *phase = reported;
        return 1;
    });
}

// Anode heat limits: bytes 19 and 20 of the Tube Select packet, read for tube 1.
KESTRO_EXPORT(int) IO_GetAnodeHeat(KestroUIntArray* heat) {
    return op::withLink(0, [&](CCommProtocol& link, GeneratorData& d) -> int {
        if (!heat) return 0;
        platform::sleepMs(100);
        const std::uint8_t* packet = d.packet(4);
        const int refreshed = refreshModelData(link, 4, 1);
        platform::sleepMs(100);
        if (!refreshed) return 0;
        heat->count = 2;
        if (heat->capacity < 2 || !heat->items) return 0;
        heat->items[0] = packet[19];
        heat->items[1] = packet[20];
        return 1;
    });
}

KESTRO_EXPORT(KestroString) IO_GetGenCPUVersion(void) {
    thread_local std::string text;
    return guarded(KestroString{"0.0.0"}, [&] {
        unsigned b0 = 0, b1 = 0, b3 = 0;
        if (CCommProtocol* link = activeLink(); link && link->m_pData) {
            const std::uint8_t* packet = link->m_pData->packet(17);
            if (refreshModelData(*link, 17, 0)) {
                b0 = packet[0];
                b1 = packet[1];
                b3 = packet[3];
            }
        }
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%u.%u.%u", b0, b1, b3);
        text = buffer;
        return KestroString{text.c_str()};
    });
}

KESTRO_EXPORT(int) IO_GetEnabledAuxiliary(int* pairs) {
    return op::withLink(0, [&](CCommProtocol& link, GeneratorData&) -> int {
        if (!pairs) return 0;
        std::lock_guard<std::mutex> lock(link.m_TablesLock);
        if (link.m_AuxiliaryEnabled.size() != 5) return 0;
        for (int i = 0; i < 5; ++i) {
            pairs[2 * i] = i;
            pairs[2 * i + 1] = static_cast<int>(link.m_AuxiliaryEnabled[static_cast<std::size_t>(i)]);
        }
        return 1;
    });
}

KESTRO_EXPORT(int) IO_GetAuxiliaryAECEnabledInformation(int aux, int* enabled) {
    return op::withLink(0, [&](CCommProtocol& link, GeneratorData&) -> int {
        if (!enabled) return 0;
        std::lock_guard<std::mutex> lock(link.m_TablesLock);
        std::optional<std::uint32_t> auxEnabled = entry(link.m_AuxiliaryEnabled, aux);
        if (!auxEnabled || *auxEnabled == 0 || link.m_AuxiliaryAECChannel.size() != 5 || aux >= 5) return 0;
        *enabled = link.m_AuxiliaryAECChannel[static_cast<std::size_t>(aux)] > 0 ? 1 : 0;
        return 1;
    });
}

KESTRO_EXPORT(int) IO_GetAECFilmSpeedConfig(int aux, int* filmSpeed) {
    return aecChannelConfig(aux, filmSpeed, &CCommProtocol::m_AECFilmSpeed);
}

KESTRO_EXPORT(int) IO_GetAECFieldConfig(int aux, int* field) {
    return aecChannelConfig(aux, field, &CCommProtocol::m_AECField);
}
