// UpdateDataBag: the mapping between data-bag frames and the settings image.
//
// Read direction: the last reply of a bag, as the reader left it in the bag's store,
// is copied into the bag's packet. Write direction: the bag's write frame is built in
// the same store, so every frame position the mapping does not set keeps the byte of
// the last reply. Frame positions are F0 (0x01), F1 (index), F2 F3 (length), F4 on
// (data); image positions are P0 on.

#include <algorithm>
#include <cstring>
#include <span>

#include "link/comm_protocol.h"
#include "link/ctl_protocol.h"
#include "link/data_bag_stores.h"
#include "link/data_bag_transfer.h"

namespace kestro {
namespace {

constexpr std::size_t kTubeRecordLength = 448;

// Copies count bytes from `from` to `to`. Both ranges are checked against their
// buffers; a mapping that does not fit copies nothing.
void copyBytes(std::span<std::uint8_t> toBuffer, std::size_t to, std::span<const std::uint8_t> fromBuffer,
               std::size_t from, std::size_t count) {
    if (to > toBuffer.size() || count > toBuffer.size() - to) return;
    if (from > fromBuffer.size() || count > fromBuffer.size() - from) return;
    std::memmove(toBuffer.data() + to, fromBuffer.data() + from, count);
}

// The write header F0..F4: 01, index, length, command byte 00.
void writeHeader(std::span<std::uint8_t> f, int index, int length) {
    f[0] = 0x01;
    f[1] = static_cast<std::uint8_t>(index);
    f[2] = static_cast<std::uint8_t>(length >> 8);
    f[3] = static_cast<std::uint8_t>(length & 0xFF);
    f[4] = 0x00;
}

// Tube block positions of image bytes P161..P170.
constexpr std::size_t kTubeSettingPairs[] = {123, 124, 197, 198, 271, 272, 345, 346, 419, 420};

}  // namespace

void CCommProtocol::updateDataBagShared(int bag, int direction) { updateDataBagChecked(bag, direction); }

int CCommProtocol::updateDataBagChecked(int bag, int direction) {
    const int index = dataBagIndex(bag);
    if (index == 0 || (direction != 0 && direction != 1)) return 1;

    std::span<std::uint8_t> p(m_pData->SettingsImage, kSettingsImageSize);
    DataBagStoreAccess store(index);
    const std::span<std::uint8_t> f = store.bytes();
    const std::span<const std::uint8_t> rf = f;

    auto toImage = [&](std::size_t pos, std::size_t frame, std::size_t count) { copyBytes(p, pos, rf, frame, count); };
    auto toFrame = [&](std::size_t frame, std::size_t pos, std::size_t count) { copyBytes(f, frame, p, pos, count); };
    const bool dynamicFilament = gen_CompInfo.bDynamicFilCalib != 0;

    if (direction == 0) {
        switch (bag) {
            case 58: toImage(231, 4, 7); break;
            case 59: {  // the error-log record, with its reordered tail and errIndex
                std::uint8_t* log = p.data() + image::kErrorLog;
                std::copy_n(f.data() + 4, 15, log);
                log[15] = f[22];
                log[16] = f[21];
                log[17] = f[20];
                log[18] = static_cast<std::uint8_t>(f[19] + 1);
                log[19] = f[24];
                log[20] = f[25];
                log[21] = f[23];
                log[22] = errIndexFromCode(log[2]);
                if (log[22] == 255 && dynamic_cast<CCtlProtocol*>(this))
                    WriteTraceLine("Invalid m_pData->ErrLog.errCode = ", log[2], "");
                break;
            }
            case 60: toImage(112, 4, 24); break;
            case 61: {  // the tube block T0..T452 lies at kTubeBlockOffset in its store
                const std::uint8_t* t = f.data() + kTubeBlockOffset;
                if (m_bBackupTube.exchange(0) != 0) {
                    // The backup is taken before the image changes: without it the
                    // read counts as failed and the image keeps its bytes.
                    std::uint8_t record[kTubeRecordLength];
                    std::copy_n(t + 1, kTubeRecordLength, record);
                    if (!BackupTubeData(t[0], record)) return 0;
                }
                std::uint8_t* tube = p.data() + image::kTubeSelect;
                tube[0] = t[0];
                tube[1] = t[4];
                for (std::size_t i = 0; i < std::size(kTubeSettingPairs); ++i) tube[2 + i] = t[kTubeSettingPairs[i]];
                tube[12] = dynamicFilament ? t[421] : t[422];
                tube[13] = dynamicFilament ? t[423] : t[424];
                tube[14] = t[426];
                tube[15] = t[428];
                std::copy_n(t + 432, 5, tube + 16);
                std::copy_n(t + 5, 16, tube + 21);
                tube[37] = t[430];
                tube[38] = t[431];
                for (std::size_t i = 0; i < 8; ++i) tube[39 + i] = t[51 + 2 * i];
                break;
            }
            case 62:
                p[0] = f[5];
                p[1] = f[7];
                p[2] = f[9];
                p[3] = f[11];
                break;
            case 63:
                toImage(206, 4, 18);
                toImage(224, 23, 7);
                break;
            case 65: toImage(434, 4, 10); break;
            case 66: toImage(444, 5, 20); break;
            case 67: toImage(464, 4, 16); break;
            case 68:
                toImage(386, 4, 12);
                toImage(402, 20, 11);
                toImage(413, 39, 20);
                p[433] = f[61];
                break;
            case 69: {  // as many bytes as the reply carries, no more than the packet holds
                const std::size_t length = std::min<std::size_t>(f[3], dataPacketLayout(17)->length);
                toImage(image::kVersion, 4, length);
                if (p[1499] == 31) std::fill_n(p.data() + 1499, 10, std::uint8_t{0xFF});
                break;
            }
            case 70: case 71: case 72: case 73: case 74:
                toImage(356 + 6 * static_cast<std::size_t>(bag - 70), 6, 6);
                break;
            case 80:
                toImage(906, 4, 202);
                break;
            case 82: toImage(238, 4, 6); break;
            case 109: toImage(480, 4, 27); break;
            case 110: toImage(507, 4, 13); break;
            case 112: toImage(520, 4, 386); break;
            case 117: toImage(244, 4, 70); break;
            case 118:
                toImage(1549, 4, 20);
                toImage(1569, 28, 20);
                break;
            case 119:
                toImage(1589, 4, 10);
                toImage(1599, 16, 12);
                break;
            case 120: toImage(1610, 4, 72); break;
            case 121: toImage(314, 4, 10); break;
            case 122: toImage(334, 4, 22); break;
            case 123: toImage(324, 4, 10); break;
            case 124: toImage(1108, 4, 386); break;
            default: break;
        }
        return 1;
    }

    switch (bag) {
        case 58:
            writeHeader(f, 1, 7);
            toFrame(5, 231, 6);
            break;
        case 61: {  // the tube block; the caller puts the frame header in front of it
            std::uint8_t* t = f.data() + kTubeBlockOffset;
            t[0] = p[image::kTubeSelect];
            if (m_bRestoreTube.exchange(0) != 0) {
                // The backed-up record replaces T0..T447 (one position lower than it
                // was read); a restore that cannot read it changes nothing.
                std::uint8_t record[kTubeRecordLength];
                if (!RestoreTubeData(t[0], record)) return 0;
                std::copy_n(record, kTubeRecordLength, t);
                return 1;
            }
            const std::uint8_t* tube = p.data() + image::kTubeSelect;
            t[4] = tube[1];
            for (std::size_t i = 0; i < 8; ++i) t[51 + 2 * i] = tube[39 + i];
            for (std::size_t i = 0; i < std::size(kTubeSettingPairs); ++i) t[kTubeSettingPairs[i]] = tube[2 + i];
            t[dynamicFilament ? 421 : 422] = tube[12];
            t[dynamicFilament ? 423 : 424] = tube[13];
            t[426] = tube[14];
            t[428] = tube[15];
            std::copy_n(tube + 16, 5, t + 432);
            break;
        }
        case 62:
            for (std::size_t k = 12; k >= 4; --k) f[k] = f[k - 1];
            writeHeader(f, 5, 9);
            f[6] = p[0];
            f[8] = p[1];
            f[10] = p[2];
            f[12] = p[3];
            break;
        case 63:
            writeHeader(f, 6, 0x1B);
            toFrame(5, 206, 18);
            toFrame(24, 224, 7);
            break;
        case 65:
            writeHeader(f, 8, 0x0B);
            f[5] = 0;
            toFrame(6, 435, 9);
            break;
        case 66:
            writeHeader(f, 9, 0x17);
            toFrame(6, 444, 20);
            break;
        case 67:
            writeHeader(f, 10, 0x11);
            toFrame(5, 464, 16);
            break;
        case 68:
            for (std::size_t k = 67; k >= 5; --k) f[k] = f[k - 1];
            writeHeader(f, 11, 0x40);
            toFrame(5, 386, 12);
            toFrame(21, 402, 11);
            toFrame(40, 413, 20);
            f[62] = p[433];
            break;
        case 69:
            writeHeader(f, 12, 0x06);
            toFrame(5, image::kVersion, 15);
            break;
        case 70: case 71: case 72: case 73: case 74: {
            const std::size_t g = static_cast<std::size_t>(bag - 70);
            writeHeader(f, 7, 0x09);
            f[5] = 0;
            f[6] = static_cast<std::uint8_t>(g);
            toFrame(7, 356 + 6 * g, 6);
            break;
        }
        case 80:
            writeHeader(f, 17, 0xCB);
            toFrame(5, 906, 202);
            break;
        case 82:
            writeHeader(f, 16, 0x07);
            toFrame(5, 238, 6);
            break;
        case 109:
            writeHeader(f, 13, 0x1C);
            toFrame(5, 480, 27);
            break;
        case 110:
            writeHeader(f, 14, 0x0E);
            toFrame(5, 507, 13);
            break;
        case 112:
            writeHeader(f, 15, 0x183);
            toFrame(5, 520, 386);
            break;
        case 117:
            writeHeader(f, 18, 0x47);
            toFrame(5, 244, 70);
            break;
        case 118:
            writeHeader(f, 19, 0x31);
            toFrame(5, 1549, 20);
            toFrame(29, 1569, 20);
            break;
        case 119:
            writeHeader(f, 20, 0x19);
            toFrame(5, 1589, 10);
            toFrame(17, 1599, 12);
            break;
        case 120:
            writeHeader(f, 21, 0x4A);
            toFrame(6, 1610, 72);
            break;
        case 121:
            writeHeader(f, 22, 0x0B);
            toFrame(5, 314, 10);
            break;
        case 122:
            writeHeader(f, 23, 0x17);
            toFrame(5, 334, 22);
            break;
        case 123:
            writeHeader(f, 24, 0x0B);
            toFrame(5, 324, 10);
            break;
        case 124:
            writeHeader(f, 25, 0x183);
            toFrame(5, 1108, 386);
            break;
        default: break;  // 59 and 60 are read-only
    }
    return 1;
}

}  // namespace kestro
