#include "data/model_data.h"

#include <cstdint>
#include <optional>
#include <vector>

#include "link/comm_protocol.h"

namespace kestro {
namespace {

const char* const kModelNames[kPacketCount] = {
    "GenTime",        "GenErrLog",      "GenStatistics",  "TubeSelect",     "GenLimit",
    "AuxiliarySetup", "AuxiliaryIO",    "AECSetup",       "AECRLF",         "AECDensity",
    "FluoSetup",      "ABS/DAP Curve",  "ABSKVBreak",     "TubeKWLimit",    "CableTank",
    "TubeCalib",      "Version",        "GenInfor",       "LoadCalibCurve", "LoadCalibBreak",
    "GenKWMSTable",   "CompInfor",      "AECChannelFilm", "FunctionConfig", "DynamicFilCalib",
};

// Where a packet's refresh flag lives in m_bPacketRead (packets 1, 4, 8, 9, 10, 11).
int packetReadSlot(int packet) {
    switch (packet) {
        case 1: return 0;
        case 4: return 1;
        case 8: return 2;
        case 9: return 3;
        case 10: return 4;
        case 11: return 5;
        default: return -1;
    }
}

struct ReadRequest {
    std::vector<std::uint8_t> frame;  // F0..F(3+L); the checksum is added when sending
    int bag;
};

std::uint8_t low(int value) { return static_cast<std::uint8_t>(value & 0xFF); }

// The request frame of a packet refresh, or nothing when the packet or its parameter
// cannot be refreshed by this build.
std::optional<ReadRequest> readRequest(int packet, int p) {
    switch (packet) {
        case 6:
            if (p < 1 || p > 6) return std::nullopt;
            return ReadRequest{{0x01, 0x06, 0x00, 0x02, 0x01, low(p - 1)}, 63};
        case 8:
            if (p < 1 || p > 4) return std::nullopt;
            return ReadRequest{{0x01, 0x08, 0x00, 0x02, 0x01, low(p - 1)}, 65};
        case 12:
            return ReadRequest{{0x01, 0x0D, 0x00, 0x02, 0x01, low(p - 1)}, 109};
        case 17:
            return ReadRequest{{0x01, 0x0C, 0x00, 0x01, 0x01}, 69};
        default:
            // The other packets' refreshes are not built yet.
            return std::nullopt;
    }
}

}  // namespace

const char* modelName(int packet) {
    if (packet < 1 || packet > kPacketCount) return "Unknown";
    return kModelNames[packet - 1];
}

int refreshModelData(CCommProtocol& link, int packet, int index) {
    if (link.m_pData->bDemo) return 1;
    std::lock_guard<std::recursive_mutex> operation(link.m_PacketOperationLock);
    link.WriteTraceLine("Refreshing databag  : ", -1, modelName(packet));

    bool ok = false;
    if (std::optional<ReadRequest> request = readRequest(packet, index)) {
        ok = link.ProcessCpuDataBag(request->frame.data(), static_cast<int>(request->frame.size()), request->bag, 0) != 0;
        if (ok) {
            link.UpdateDataBag(request->bag, 0);
            if (const int slot = packetReadSlot(packet); slot >= 0) link.m_bPacketRead[static_cast<std::size_t>(slot)] = 1;
            if (packet == 6) link.AfterSelectReceptor();
        }
    }
    if (!ok) {
        link.WriteTraceLine("Refresh Failed!");
        return 0;
    }
    return 1;
}

}  // namespace kestro
