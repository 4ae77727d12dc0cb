// Tube files and the tube backup file.

#include "data/tube_files.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <initializer_list>
#include <mutex>
#include <vector>

#include "link/comm_protocol.h"
#include "link/data_bag_stores.h"

namespace kestro {
namespace {

constexpr int kTubeSelectBag = 61;
constexpr int kTubeKwLimitBag = 112;
constexpr int kTubeSelectIndex = 4;
constexpr int kTubeKwLimitIndex = 15;
constexpr std::size_t kTubeSelectReadSlot = 1;  // m_bPacketRead slot of packet 4
constexpr int kAfterTubeRecordMs = 10;
constexpr std::size_t kKwLimitFrameSize = 391;  // F0..F390

using Bytes = std::vector<std::uint8_t>;

class File {
public:
    File(const std::string& path, const char* mode) : m_file(std::fopen(path.c_str(), mode)) {}
    explicit File(std::FILE* file) : m_file(file) {}
    ~File() { close(); }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    explicit operator bool() const { return m_file != nullptr; }
    std::FILE* get() const { return m_file; }
    // false when the buffered bytes could not be written.
    bool close() {
        if (!m_file) return true;
        const bool ok = std::fclose(m_file) == 0;
        m_file = nullptr;
        return ok;
    }

private:
    std::FILE* m_file;
};

long recordPosition(int tube) { return tube == 1 ? static_cast<long>(kTubeRecordSize) : 0L; }

enum class TubeFileRead { Ok, CannotOpen, TooShort };

// The first 2048 bytes of a tube file. A shorter file is refused: its missing tables
// would otherwise go to the generator as whatever the buffers held before.
TubeFileRead readTubeFile(CCommProtocol& link, const std::string& path, Bytes& out) {
    File file(path, "rb");
    if (!file) {
        link.WriteTraceLine("Tube file cannot be opened: " + path);
        return TubeFileRead::CannotOpen;
    }
    out.assign(kTubeFileSize, 0);
    const std::size_t got = std::fread(out.data(), 1, kTubeFileSize, file.get());
    if (got < kTubeFileSize) {
        link.WriteTraceLine("Tube file refused, it holds " + std::to_string(got) + " of 2048 bytes: " + path);
        return TubeFileRead::TooShort;
    }
    return TubeFileRead::Ok;
}

bool sendApply(CCommProtocol& link, Bytes& frame, int bag) {
    return link.ProcessCpuDataBag(frame.data(), static_cast<int>(frame.size()), bag, 1) != 0;
}

// A frame of `head` followed by count bytes (sized first and filled byte by byte:
// GCC 12 warns falsely about an insert after an initializer list at -O2).
Bytes frameOf(std::initializer_list<std::uint8_t> head, const std::uint8_t* bytes, std::size_t count) {
    Bytes frame(head.size() + count);
    std::size_t i = 0;
    for (std::uint8_t b : head) frame[i++] = b;
    for (std::size_t k = 0; k < count; ++k) frame[i++] = bytes[k];
    return frame;
}

// 01 0F 01 83 00 (tube-1) k, then the table's 384 bytes.
Bytes kwLimitFrame(int tube, int k, const std::uint8_t* table) {
    return frameOf({0x01, 0x0F, 0x01, 0x83, 0x00, static_cast<std::uint8_t>(tube - 1), static_cast<std::uint8_t>(k)}, table,
                   kKwLimitTableSize);
}

}  // namespace

bool writeTubeBackupRecord(const std::string& path, int tube, const std::uint8_t* record) {
    if (path.empty() || !record) return false;
    // Kept in place: "r+b" does not truncate; only a missing file is created.
    std::FILE* opened = std::fopen(path.c_str(), "r+b");
    if (!opened && errno == ENOENT) opened = std::fopen(path.c_str(), "w+b");
    File file(opened);
    if (!file) return false;
    if (std::fseek(file.get(), recordPosition(tube), SEEK_SET) != 0) return false;
    if (std::fwrite(record, 1, kTubeRecordSize, file.get()) != kTubeRecordSize) return false;
    return file.close();
}

bool readTubeBackupRecord(const std::string& path, int tube, std::uint8_t* out) {
    if (path.empty() || !out) return false;
    File file(path, "rb");
    if (!file || std::fseek(file.get(), recordPosition(tube), SEEK_SET) != 0) return false;
    std::array<std::uint8_t, kTubeRecordSize> record{};
    if (std::fread(record.data(), 1, record.size(), file.get()) != record.size()) return false;
    std::copy(record.begin(), record.end(), out);
    return true;
}

// Called by the Tube Select refresh while a backup is armed.
int CCommProtocol::BackupTubeData(int tube, unsigned char* bytes) {
    const std::string path = m_strTubeFilePath;
    if (!writeTubeBackupRecord(path, tube, bytes)) {
        WriteTraceLine("Tube backup not written: " + path);
        return 0;
    }
    return 1;
}

// Called when the Tube Select write is built while a restore is armed.
int CCommProtocol::RestoreTubeData(int tube, unsigned char* destination) {
    if (m_WorkFlags.bCommOk == 0) return 0;
    const std::string path = m_strTubeFilePath;
    if (!readTubeBackupRecord(path, tube, destination)) {
        WriteTraceLine("Tube restore not read: " + path);
        return 0;
    }
    return 1;
}

int applyTubeFile(CCommProtocol& link, const std::string& path, int tube, Clock& clock) {
    std::lock_guard<std::recursive_mutex> lock(link.m_PacketOperationLock);
    link.m_bPacketRead[kTubeSelectReadSlot] = 1;
    Bytes file;
    if (readTubeFile(link, path, file) != TubeFileRead::Ok) return -1;

    // T1..T448 of the tube block take the file's record, whatever the tube.
    writeDataBagStore(kTubeSelectIndex, kTubeBlockOffset + 1, file.data(), kTubeRecordSize);
    if (tube != 1 && tube != 2) return -2;
    const std::uint8_t t0 = static_cast<std::uint8_t>(tube - 1);
    writeDataBagStore(kTubeSelectIndex, kTubeBlockOffset, &t0, 1);

    Bytes frame;
    {
        DataBagStoreAccess store(kTubeSelectIndex);
        const std::uint8_t* t = store.bytes().data() + kTubeBlockOffset;
        frame = frameOf({0x01, 0x04, 0x01, 0xC2, 0x00}, t, kTubeRecordSize + 1);  // T0..T448
    }
    if (link.m_pData->bDemo) return tube;
    const bool accepted = sendApply(link, frame, kTubeSelectBag);
    clock.sleepMs(kAfterTubeRecordMs);
    return accepted ? tube : -3;
}

int applyTubeFile1(CCommProtocol& link, const std::string& path, int tube) {
    if (link.m_pData->bDemo) return tube;
    std::lock_guard<std::recursive_mutex> lock(link.m_PacketOperationLock);
    Bytes file;
    if (readTubeFile(link, path, file) != TubeFileRead::Ok) return -1;
    if (tube != 1 && tube != 2) return -2;
    for (int k = 0; k < 4; ++k) {
        Bytes frame = kwLimitFrame(tube, k, file.data() + kKwLimitTableOffset + kKwLimitTableSize * static_cast<std::size_t>(k));
        // Built in the bag's staging buffer, as every Tube KW Limit write is.
        writeDataBagStore(kTubeKwLimitIndex, 0, frame.data(), std::min(frame.size(), kKwLimitFrameSize));
        if (!sendApply(link, frame, kTubeKwLimitBag)) return -3;
    }
    return 1;
}

int applyWholeTubeFile(CCommProtocol& link, const std::uint8_t* image, int tube, Clock& clock) {
    if (!image || (tube != 1 && tube != 2)) return 0;
    std::lock_guard<std::recursive_mutex> lock(link.m_PacketOperationLock);
    link.m_bPacketRead[kTubeSelectReadSlot] = 1;
    Bytes record = frameOf({0x01, 0x04, 0x01, 0xC2, 0x00, static_cast<std::uint8_t>(tube - 1)}, image, kTubeRecordSize);
    if (!sendApply(link, record, kTubeSelectBag)) return 0;
    clock.sleepMs(kAfterTubeRecordMs);
    for (int k = 0; k < 4; ++k) {
        Bytes frame = kwLimitFrame(tube, k, image + kKwLimitTableOffset + kKwLimitTableSize * static_cast<std::size_t>(k));
        if (!sendApply(link, frame, kTubeKwLimitBag)) return 0;
    }
    return 1;
}

}  // namespace kestro
