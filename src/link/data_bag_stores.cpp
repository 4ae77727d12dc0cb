// The process-wide data-bag stores.

#include "link/data_bag_stores.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace kestro {
namespace {

// Each capacity is the longest frame of the bag, reply or write, whichever is longer:
// the write frame is built in the same store (F0 .. F(3+L), the checksum is added by
// the sender). Type 4 holds 4 untouched bytes and the 453-byte tube block; type 12 only
// the Version write frame (F0..F19).
constexpr std::array<std::size_t, kDataBagStoreCount> kStoreSizes = {
    11,   // 1  Generator Time: reply and write L = 7
    26,   // 2  Generator Error Log: reply up to F25
    28,   // 3  Generator Statistics: reply up to F27
    457,  // 4  Tube Select: kTubeBlockOffset + 453
    13,   // 5  Generator Limits: write L = 9
    31,   // 6  Auxiliary Setup: write L = 27
    13,   // 7  Auxiliary IO: write L = 9
    15,   // 8  AEC Setup: write L = 11
    27,   // 9  AEC RLF: reply and write up to F26
    21,   // 10 AEC Density: write L = 17
    68,   // 11 Fluo Setup: write L = 64
    20,   // 12 Version: write frame F0..F19
    32,   // 13 ABS / DAP curve: write L = 28
    18,   // 14 ABS kV break: write L = 14
    391,  // 15 Tube kW limit: write L = 387
    11,   // 16 Cable tank: write L = 7
    207,  // 17 Tube calibration: write L = 203
    75,   // 18 Generator information: write L = 71
    53,   // 19 Load calibration curve: write L = 49
    29,   // 20 Load calibration break: write L = 25
    78,   // 21 kW/ms table: write L = 74
    15,   // 22 Compatible information: write L = 11
    27,   // 23 AEC channel film: write L = 23
    15,   // 24 Function config: write L = 11
    391,  // 25 Dynamic filament calibration: write L = 387
};

constexpr std::size_t offsetOf(int index) {
    std::size_t offset = 0;
    for (int i = 0; i < index; ++i) offset += kStoreSizes[static_cast<std::size_t>(i)];
    return offset;
}

constexpr std::size_t kTotalSize = offsetOf(kDataBagStoreCount);

struct Stores {
    std::array<std::uint8_t, kTotalSize> bytes{};
    std::array<std::mutex, kDataBagStoreCount> locks;
};

Stores& stores() {
    static Stores s;
    return s;
}

bool valid(int type) { return type >= 1 && type <= kDataBagStoreCount; }

std::uint8_t* storeBytes(int type) {
    static constexpr auto kOffsets = [] {
        std::array<std::size_t, kDataBagStoreCount> offsets{};
        for (int i = 0; i < kDataBagStoreCount; ++i) offsets[static_cast<std::size_t>(i)] = offsetOf(i);
        return offsets;
    }();
    return stores().bytes.data() + kOffsets[static_cast<std::size_t>(type - 1)];
}

std::mutex& storeLock(int type) { return stores().locks[static_cast<std::size_t>(type - 1)]; }

}  // namespace

std::size_t dataBagStoreSize(int type) { return valid(type) ? kStoreSizes[static_cast<std::size_t>(type - 1)] : 0; }

const std::uint8_t* dataBagStore(int type) { return valid(type) ? storeBytes(type) : nullptr; }

std::size_t copyDataBagStore(int type, std::uint8_t* out, std::size_t capacity) {
    if (!valid(type) || !out) return 0;
    const std::size_t count = std::min(capacity, dataBagStoreSize(type));
    std::lock_guard<std::mutex> lock(storeLock(type));
    std::memcpy(out, storeBytes(type), count);
    return count;
}

bool writeDataBagStore(int type, std::size_t offset, const std::uint8_t* bytes, std::size_t count) {
    const std::size_t size = dataBagStoreSize(type);
    if (size == 0 || offset > size || count > size - offset) return false;
    if (count == 0) return true;
    if (!bytes) return false;
    std::lock_guard<std::mutex> lock(storeLock(type));
    std::memcpy(storeBytes(type) + offset, bytes, count);
    return true;
}

DataBagStoreAccess::DataBagStoreAccess(int type) {
    if (!valid(type)) return;
    m_lock = std::unique_lock<std::mutex>(storeLock(type));
    m_bytes = std::span<std::uint8_t>(storeBytes(type), dataBagStoreSize(type));
}

}  // namespace kestro
