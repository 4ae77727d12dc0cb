// Model data exchange: the request frames of the 25 data packets, the write frames
// built on the bags' stores, and the read-before-write conditions.

#include "data/model_data.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "link/comm_protocol.h"
#include "link/data_bag_stores.h"
#include "link/data_bag_transfer.h"

namespace kestro {
namespace {

const char* const kModelNames[kPacketCount] = {
    "GenTime",        "GenErrLog",      "GenStatistics",  "TubeSelect",     "GenLimit",
    "AuxiliarySetup", "AuxiliaryIO",    "AECSetup",       "AECRLF",         "AECDensity",
    "FluoSetup",      "ABS/DAP Curve",  "ABSKVBreak",     "TubeKWLimit",    "CableTank",
    "TubeCalib",      "Version",        "GenInfor",       "LoadCalibCurve", "LoadCalibBreak",
    "GenKWMSTable",   "CompInfor",      "AECChannelFilm", "FunctionConfig", "DynamicFilCalib",
};

enum class Operation { Refresh, Apply, Restore };

// Where a packet's read flag lives in m_bPacketRead (packets 1, 4, 8, 9, 10, 11).
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

bool packetRead(const CCommProtocol& link, int packet) {
    const int slot = packetReadSlot(packet);
    return slot >= 0 && link.m_bPacketRead[static_cast<std::size_t>(slot)] != 0;
}

std::uint8_t byte(int value) { return static_cast<std::uint8_t>(value & 0xFF); }

bool kwLimitSelector(int p) { return (p >= 0 && p <= 3) || (p >= 256 && p <= 259); }
bool tubeCalibSelector(int p) { return (p >= 0 && p <= 15) || (p >= 256 && p <= 271); }
// Parameters whose selector bytes are worked out from them: only those whose every
// byte fits in 0..255 (anything else would go out cut to its low 8 bits).
bool curveSelector(int p) { return p >= 1 && p <= 256; }                    // packet 12: p-1
bool div15Selector(int p) { return p >= 0 && p <= 255 * 15 + 14; }          // 22, 24: p div 15, p mod 15
bool div10Selector(int p) { return p >= 0 && p <= 255 * 10 + 9; }           // 23, 25: p div 10, p mod 10

// ---- Refresh ----------------------------------------------------------------------------

struct Request {
    std::vector<std::uint8_t> frame;  // F0..F(3+L); the checksum is added when sending
    int bag;
    bool applyMode = false;  // answered by ACK/NAK instead of a reply; nothing is copied
};

// The request frame of a packet with parameter p, or nothing when the packet cannot be
// refreshed with that parameter. Packet 7 is handled by the caller (five groups).
std::optional<Request> readRequest(int packet, int p) {
    auto simple = [](std::uint8_t index, int bag) { return Request{{0x01, index, 0x00, 0x01, 0x01}, bag}; };
    auto one = [](std::uint8_t index, std::uint8_t a, int bag) { return Request{{0x01, index, 0x00, 0x02, 0x01, a}, bag}; };
    auto two = [](std::uint8_t index, std::uint8_t a, std::uint8_t b, int bag) {
        return Request{{0x01, index, 0x00, 0x03, 0x01, a, b}, bag};
    };
    switch (packet) {
        case 1: return simple(0x01, 58);
        case 2:
            if (p >= 0 && p <= 2) return Request{{0x01, 0x02, 0x00, 0x01, byte(p)}, 59};
            if (p == 3) return Request{{0x01, 0x02, 0x00, 0x01, 0x03}, 59, true};
            return std::nullopt;
        case 3:
            if (p < 0 || p > 4) return std::nullopt;
            return Request{{0x01, 0x03, 0x00, 0x01, byte(p)}, 60};
        case 4:
            if (p < 1 || p > 2) return std::nullopt;
            return one(0x04, byte(p - 1), 61);
        case 5: return simple(0x05, 62);
        case 6:
            if (p < 1 || p > 6) return std::nullopt;
            return one(0x06, byte(p - 1), 63);
        case 8:
            if (p < 1 || p > 4) return std::nullopt;
            return one(0x08, byte(p - 1), 65);
        case 9:
            if (p <= 0) return std::nullopt;
            return one(0x09, byte(p <= 2 ? p : 4), 66);
        case 10: return one(0x0A, 0x01, 67);
        case 11: return simple(0x0B, 68);
        case 12:
            if (!curveSelector(p)) return std::nullopt;
            return one(0x0D, byte(p - 1), 109);
        case 13: return simple(0x0E, 110);
        case 14:
            if (!kwLimitSelector(p)) return std::nullopt;
            return two(0x0F, byte(p / 256), byte(p % 256), 112);
        case 15: return simple(0x10, 82);
        case 16:
            if (!tubeCalibSelector(p)) return std::nullopt;
            return two(0x11, byte(p / 256), byte(p % 256), 80);
        case 17: return simple(0x0C, 69);
        case 18: return simple(0x12, 117);
        case 19: return simple(0x13, 118);
        case 20: return simple(0x14, 119);
        case 21:
            if (p < 0 || p > 3) return std::nullopt;
            return one(0x15, byte(p), 120);
        case 22:
            if (!div15Selector(p)) return std::nullopt;
            return two(0x16, byte(p / 15), byte(p % 15), 121);
        case 23:
            if (!div10Selector(p)) return std::nullopt;
            return two(0x17, byte(p % 10), byte(p / 10), 122);
        case 24:
            if (!div15Selector(p)) return std::nullopt;
            return two(0x18, byte(p / 15), byte(p % 15), 123);
        case 25:
            if (!div10Selector(p)) return std::nullopt;
            return two(0x19, byte(p / 10), byte(p % 10), 124);
        default: return std::nullopt;
    }
}

bool sendRequest(CCommProtocol& link, Request& request) {
    return link.ProcessCpuDataBag(request.frame.data(), static_cast<int>(request.frame.size()), request.bag,
                                  request.applyMode ? 1 : 0) != 0;
}

bool refreshPacket(CCommProtocol& link, int packet, int p) {
    if (packet == 7) {
        if (p < 1 || p > 6) return false;
        for (int g = 0; g < 5; ++g) {
            Request request{{0x01, 0x07, 0x00, 0x03, 0x01, byte(p - 1), byte(g)}, 70 + g};
            if (!sendRequest(link, request)) return false;
            link.updateDataBagChecked(request.bag, 0);
        }
        return true;
    }
    std::optional<Request> request = readRequest(packet, p);
    if (!request || !sendRequest(link, *request)) return false;
    if (request->applyMode) return true;  // the error-log clear: nothing to copy
    if (!link.updateDataBagChecked(request->bag, 0)) return false;
    if (const int slot = packetReadSlot(packet); slot >= 0) link.m_bPacketRead[static_cast<std::size_t>(slot)] = 1;
    if (packet == 6) link.AfterSelectReceptor();
    return true;
}

// ---- Apply and restore -----------------------------------------------------------------

using Patch = void (*)(std::uint8_t* frame, int p);

// Builds the bag's write frame in its store, lets patch set the caller's bytes, and
// sends the frame (length F2×256 + F3 + 4) in apply mode. The frame is copied out of
// the store first: the reader needs the store while the answer is awaited.
bool sendWrite(CCommProtocol& link, int bag, int p, Patch patch = nullptr) {
    if (!link.updateDataBagChecked(bag, 1)) return false;
    std::vector<std::uint8_t> frame;
    {
        DataBagStoreAccess store(dataBagIndex(bag));
        const auto bytes = store.bytes();
        if (bytes.size() < 5) return false;
        if (patch) patch(bytes.data(), p);
        const std::size_t length = std::size_t{bytes[2]} * 256 + bytes[3] + 4;
        if (length > bytes.size()) return false;
        frame.assign(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
    }
    return link.ProcessCpuDataBag(frame.data(), static_cast<int>(frame.size()), bag, 1) != 0;
}

// The Tube Select write: 01 04 01 C2 00, then the tube block from T0 (apply) or an
// explicit tube byte and the restored record from T0 (restore).
bool sendTubeWrite(CCommProtocol& link, int p, bool restore) {
    if (!link.updateDataBagChecked(61, 1)) return false;
    std::vector<std::uint8_t> frame = {0x01, 0x04, 0x01, 0xC2, 0x00};
    {
        DataBagStoreAccess store(4);
        const std::uint8_t* t = store.bytes().data() + kTubeBlockOffset;
        if (restore) {
            frame.push_back(byte(p - 1));
            frame.insert(frame.end(), t, t + 448);
        } else {
            frame.insert(frame.end(), t, t + 449);
        }
    }
    return link.ProcessCpuDataBag(frame.data(), static_cast<int>(frame.size()), 61, 1) != 0;
}

bool applyPacket(CCommProtocol& link, int packet, int p, bool restore) {
    auto readDone = [&] { return restore || packetRead(link, packet); };
    switch (packet) {
        case 1: return readDone() && sendWrite(link, 58, p);
        case 4:
            if (restore) {
                // Only a tube record brought back from the backup file is sent this
                // way (one position lower, after an explicit tube byte); anything else
                // would reach the generator shifted by one byte.
                if (p < 1 || p > 2 || link.m_bRestoreTube == 0) return false;
                return sendTubeWrite(link, p, true);
            }
            // An armed restore belongs to the restore variant; this write would send
            // the restored record at the wrong positions.
            if (!packetRead(link, 4) || link.m_bRestoreTube != 0) return false;
            return sendTubeWrite(link, p, false);
        case 5: {
            // The write is built on a fresh reply: the generator's other limit bytes go
            // back as they are.
            Request request{{0x01, 0x05, 0x00, 0x01, 0x01}, 62};
            return sendRequest(link, request) && sendWrite(link, 62, p);
        }
        case 6:
            if (p < 1 || p > 6 || !sendWrite(link, 63, p)) return false;
            link.AfterSelectReceptor();
            return true;
        case 7:
            if (p < 1 || p > 6) return false;
            for (int g = 0; g < 5; ++g) {
                if (!sendWrite(link, 70 + g, p, [](std::uint8_t* f, int q) { f[5] = byte(q - 1); })) return false;
            }
            return true;
        case 8:
            if (p < 1 || p > 4 || !readDone()) return false;
            return sendWrite(link, 65, p, [](std::uint8_t* f, int q) { f[5] = byte(q - 1); });
        case 9:
            if (p < 1 || !readDone()) return false;
            return sendWrite(link, 66, p, [](std::uint8_t* f, int q) { f[5] = byte(q <= 2 ? q : 4); });
        case 10: return readDone() && sendWrite(link, 67, p);
        case 11: return readDone() && sendWrite(link, 68, p);
        case 12:
            if (!curveSelector(p)) return false;
            return sendWrite(link, 109, p, [](std::uint8_t* f, int q) { f[5] = byte(q - 1); });
        case 13: return sendWrite(link, 110, p);
        case 14:
            if (!kwLimitSelector(p)) return false;
            return sendWrite(link, 112, p, [](std::uint8_t* f, int q) {
                f[5] = byte(q / 256);
                f[6] = byte(q % 256);
            });
        case 15: return sendWrite(link, 82, p);
        case 16:
            if (!tubeCalibSelector(p)) return false;
            return sendWrite(link, 80, p, [](std::uint8_t* f, int q) {
                f[5] = byte(q / 256);
                f[6] = byte(q % 256);
            });
        case 17: return sendWrite(link, 69, p);
        case 18:
            if (p != 0 && p != 2) return false;
            return sendWrite(link, 117, p, [](std::uint8_t* f, int q) { f[4] = byte(q); });
        case 19: return sendWrite(link, 118, p);
        case 20: return sendWrite(link, 119, p);
        case 21:
            if (p < 0 || p > 3) return false;
            return sendWrite(link, 120, p, [](std::uint8_t* f, int q) { f[5] = byte(q); });
        case 22:
            if (restore || !div15Selector(p)) return false;
            return sendWrite(link, 121, p, [](std::uint8_t* f, int q) {
                f[5] = byte(q / 15);
                f[6] = byte(q % 15);
            });
        case 23:
            if (!div10Selector(p)) return false;
            return sendWrite(link, 122, p, [](std::uint8_t* f, int q) {
                f[5] = byte(q % 10);
                f[6] = byte(q / 10);
            });
        case 24:
            if (!div15Selector(p)) return false;
            return sendWrite(link, 123, p, [](std::uint8_t* f, int q) {
                f[5] = byte(q / 15);
                f[6] = byte(q % 15);
            });
        case 25:
            if (!restore || !div10Selector(p)) return false;
            return sendWrite(link, 124, p, [](std::uint8_t* f, int q) {
                f[5] = byte(q / 10);
                f[6] = byte(q % 10);
            });
        default: return false;  // 2 and 3 are read-only; other numbers are no packets
    }
}

int runOperation(CCommProtocol& link, Operation operation, int packet, int p) {
    if (link.m_pData->bDemo) return 1;
    std::lock_guard<std::recursive_mutex> lock(link.m_PacketOperationLock);
    static const char* const kLabels[] = {"Refreshing databag  : ", "Applying Databag : ", "Restoring Databag : "};
    static const char* const kFailures[] = {"Refresh Failed!", "Apply Failed!", "RS Failed!"};
    const auto which = static_cast<std::size_t>(operation);
    link.WriteTraceLine(kLabels[which], -1, modelName(packet));

    const bool ok = operation == Operation::Refresh ? refreshPacket(link, packet, p)
                                                    : applyPacket(link, packet, p, operation == Operation::Restore);
    if (!ok) {
        link.WriteTraceLine(kFailures[which]);
        return 0;
    }
    return 1;
}

}  // namespace

const char* modelName(int packet) {
    if (packet < 1 || packet > kPacketCount) return "Unknown";
    return kModelNames[packet - 1];
}

int refreshModelData(CCommProtocol& link, int packet, int param) {
    return runOperation(link, Operation::Refresh, packet, param);
}

int utilityModelData(CCommProtocol& link, int packet, int param) {
    return runOperation(link, Operation::Apply, packet, param);
}

int utilityModelData1(CCommProtocol& link, int packet, int param) {
    return runOperation(link, Operation::Restore, packet, param);
}

}  // namespace kestro
