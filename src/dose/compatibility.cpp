// The generator compatibility query over data packet 22.

#include "dose/compatibility.h"

#include <atomic>
#include <cctype>
#include <mutex>
#include <string>

#include "data/model_data.h"
#include "link/comm_protocol.h"
#include "platform/platform.h"

namespace kestro {
namespace {

std::atomic<CompSleep> g_sleep{&platform::sleepMs};

constexpr std::size_t kRequestBytes = 8;  // bytes 2..9 of the packet

std::string_view trimmed(std::string_view piece) {
    while (!piece.empty() && std::isspace(static_cast<unsigned char>(piece.front()))) piece.remove_prefix(1);
    while (!piece.empty() && std::isspace(static_cast<unsigned char>(piece.back()))) piece.remove_suffix(1);
    return piece;
}

// A decimal number with an optional sign; nothing for anything else. Values far out of
// range are kept far out of range (never wrapped into 0..255).
std::optional<long> decimal(std::string_view piece) {
    std::size_t i = 0;
    bool negative = false;
    if (i < piece.size() && (piece[i] == '+' || piece[i] == '-')) negative = piece[i++] == '-';
    if (i == piece.size()) return std::nullopt;
    long value = 0;
    for (; i < piece.size(); ++i) {
        if (piece[i] < '0' || piece[i] > '9') return std::nullopt;
        if (value < 100000) value = value * 10 + (piece[i] - '0');
    }
    return negative ? -value : value;
}

const char* const kFieldLabels[8] = {
    "gen_CompInfo.OneMsEnable : ",           "gen_CompInfo.secondTubeEnable : ",
    "gen_CompInfo.ABSDoseRate : ",           "gen_CompInfo.FluoRadCurves : ",
    "gen_CompInfo.AECDataChannelRelated : ", "gen_CompInfo.DAPCalibrationUpdate : ",
    "gen_CompInfo.bFunctionConfigDetect : ", "gen_CompInfo.bDynamicFilCalib : ",
};

using Field = std::atomic<std::int32_t> GenCompInfo::*;
constexpr Field kFields[8] = {
    &GenCompInfo::OneMsEnable,           &GenCompInfo::secondTubeEnable,      &GenCompInfo::ABSDoseRate,
    &GenCompInfo::FluoRadCurves,         &GenCompInfo::AECDataChannelRelated, &GenCompInfo::DAPCalibrationUpdate,
    &GenCompInfo::bFunctionConfigDetect, &GenCompInfo::bDynamicFilCalib,
};

int refuse(CCommProtocol& link, std::string_view text, int number) {
    link.gen_CompInfo.clear();
    link.WriteTraceLine(text, number, "");
    return -1;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> parseCompEntry(std::string_view text) {
    std::vector<std::uint8_t> bytes;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find_first_of(",\r\n", start);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view piece = trimmed(text.substr(start, end - start));
        start = end + 1;
        if (piece.empty()) continue;  // "1,,2", a trailing comma, an empty line
        const std::optional<long> value = decimal(piece);
        if (!value || *value < 0 || *value > 255) return std::nullopt;
        if (bytes.size() < kRequestBytes) bytes.push_back(static_cast<std::uint8_t>(*value));
    }
    if (bytes.empty()) return std::nullopt;
    return bytes;
}

void decodeCompAnswer(GenCompInfo& info, int entry, const std::uint8_t* packet) {
    auto setFlag = [&](int flag) {
        if (flag >= 0 && flag < GenCompInfo::kFlagCount) info.bFunctionEnable[flag] = 1;
    };
    for (int j = 2; j <= 9; ++j) {
        for (int b = 0; b < 8; ++b) {
            if (((packet[j] >> b) & 1) == 0) continue;
            if (entry == 0) {
                if (j == 2)
                    info.*kFields[b] = 1;
                else
                    setFlag((j - 3) * 8 + b);
            } else {
                setFlag(64 * entry - 8 + (j - 2) * 8 + b);
            }
        }
    }
}

void copyCompRecord(const GenCompInfo& info, std::int32_t* record) {
    for (int f = 0; f < 8; ++f) record[f] = (info.*kFields[f]).load();
    for (int i = 0; i < GenCompInfo::kFlagCount; ++i) record[8 + i] = info.bFunctionEnable[i].load();
}

void setCompSleepForTesting(CompSleep sleep) { g_sleep = sleep ? sleep : &platform::sleepMs; }

int getGeneratorCompatibility(CCommProtocol& link) {
    GenCompInfo& info = link.gen_CompInfo;
    info.clear();
    // One query at a time, and no other packet transfer in between.
    std::lock_guard<std::recursive_mutex> lock(link.m_PacketOperationLock);

    CFunctionConfig config;
    const int total = config.compTotal();
    if (total > kCompMaxEntries)
        return refuse(link, "GetGeneratorCompatibilityInformation total is more than 10 : ", total);
    // Every entry is checked before the first is sent.
    std::vector<std::vector<std::uint8_t>> requests;
    for (int e = 0; e < total; ++e) {
        std::optional<std::vector<std::uint8_t>> bytes = parseCompEntry(config.compEntry(e));
        if (!bytes) return refuse(link, "GetGeneratorCompatibilityInformation invalid entry : ", e);
        requests.push_back(std::move(*bytes));
    }

    std::uint8_t* packet = link.m_pData->packet(22);
    for (int e = 0; e < total; ++e) {
        const std::vector<std::uint8_t>& bytes = requests[static_cast<std::size_t>(e)];
        for (std::size_t k = 0; k < bytes.size(); ++k) packet[2 + k] = bytes[k];

        const int sent = utilityModelData(link, 22, e);
        g_sleep.load()(500);
        if (!sent) {
            info.clear();
            link.WriteTraceLine("GetGeneratorCompatibilityInformation apply 22 err.......");
            return -1;
        }
        if (!refreshModelData(link, 22, e)) {
            info.clear();
            link.WriteTraceLine("GetGeneratorCompatibilityInformation requset 22 err.......");
            return -1;
        }
        decodeCompAnswer(info, e, packet);
        if (e == 0) {
            link.m_pData->fluoDoseRate = info.ABSDoseRate == 0 ? 100 : 0;
            for (int f = 0; f < 8; ++f) link.WriteTraceLine(kFieldLabels[f], (info.*kFields[f]).load(), "");
        }
    }
    for (int flag = 0; flag < 55; ++flag)
        link.WriteTraceLine("gen_CompInfo.bFunctionEnable" + std::to_string(flag) + ": ",
                            info.bFunctionEnable[flag].load(), "");
    return 1;
}

}  // namespace kestro
