// The import over any generator data file: the check before any traffic (size at least
// 280004, the end mark FF 01 FF 01 at 280000) and the reading of the file's records into
// the packets, with the generator in demo mode (no traffic) or not answering.
//
// A whole file is too large for the fuzzer to mutate into something the import reads,
// so the input describes one compactly, as changes to a valid file (a recognisable byte
// pattern with a compatibility block and the end mark):
//   byte 0   bits 0..2 the import (full, tube calibration, DAP, AEC, other data),
//            bit 3 the generator does not answer (no demo mode)
//   byte 1   the generator's eight compatibility flags
//   byte 2   "total" of [CompInformation] in the function settings (255: 100000)
//   byte 3   the file's size: 0 280004; 1 280004 + byte 4; 2 280003 - byte 4;
//            3 byte 4 * 1100; 4 no file at all
//   byte 4   the size's number
//   then patches of [region, offset high, offset low, length, bytes...]: the bytes are
//   written from the region's start (one of the sections' positions) plus the offset
//   (13 bits), cut at the end of the file.
// The file stays on disk between inputs; only what changed is written again.
//
// Property: the import succeeds exactly when the file passes the check and the
// generator answers; its progress then reads finished with the same result.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "data/import_export.h"
#include "fuzz_link.h"
#include "platform/clock.h"

namespace {

namespace fs = std::filesystem;
using Range = std::pair<std::size_t, std::size_t>;  // [begin, end)

// The longest file an input can ask for (size form 3: 255 * 1100 bytes).
constexpr std::size_t kMaxSize = 255 * 1100;
constexpr std::size_t kRegions[] = {0,      448,    20000,  20100,  40000,  60000,  60500,  80000,
                                    100000, 120000, 160000, 180000, 200000, 220108, 240013, 260000,
                                    279000, 279006, 279990, 280000};

std::vector<std::uint8_t> validFile() {
    std::vector<std::uint8_t> f(kMaxSize);
    for (std::size_t i = 0; i < f.size(); ++i) f[i] = static_cast<std::uint8_t>((i * 7 + i / 251) & 0xFF);
    const std::uint8_t head[6] = {0xCC, 0x01, 0xBB, 0x01, 0x00, 0x08};
    std::copy(head, head + 6, f.begin() + 279000);
    std::fill_n(f.begin() + 279006, 8, 0xFF);
    const std::uint8_t mark[4] = {0xFF, 0x01, 0xFF, 0x01};
    std::copy(mark, mark + 4, f.begin() + kestro::kGenDataEndMarkPos);
    return f;
}

void writeText(const fs::path& path, const std::string& text) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
}

void removeHost();

struct Importer {
    std::string host;
    std::string path;     // the import file
    std::string missing;  // a file that is never there
    int fd = -1;
    std::size_t diskSize = 0;
    int total = -1;  // what the function settings hold
    std::vector<std::uint8_t> base = validFile();
    std::vector<std::uint8_t> work = base;  // base, changed in `dirty`
    std::vector<Range> dirty;
    kestro::FakeClock clock;
    kestro::fuzz::MemoryTransport transport;
    kestro::fuzz::FuzzLink* link = nullptr;
    kestro::CImportExportOpt* io = nullptr;

    void setTotal(int value) {
        if (value == total) return;
        writeText(fs::path(host) / "Gen/INI/Function.ini", "[CompInformation]\r\ntotal=" + std::to_string(value) + "\r\n");
        total = value;
    }

    // Brings the file on disk to `size` bytes of work; `changed` are the ranges this
    // input changed, the previous input's are written back to the base.
    void sync(std::size_t size, const std::vector<Range>& changed) {
        auto put = [&](std::size_t begin, std::size_t end) {
            end = std::min(end, size);
            if (begin < end && ::pwrite(fd, work.data() + begin, end - begin, static_cast<off_t>(begin)) !=
                                   static_cast<ssize_t>(end - begin))
                std::abort();
        };
        for (const Range& r : dirty) put(r.first, r.second);
        for (const Range& r : changed) put(r.first, r.second);
        if (size > diskSize) put(diskSize, size);
        if (size != diskSize && ::ftruncate(fd, static_cast<off_t>(size)) != 0) std::abort();
        diskSize = size;
    }
};

Importer& importer() {
    static Importer* instance = [] {
        auto* made = new Importer;
        // In memory when the system has a tmpfs there: the file is changed for every input.
        std::error_code ec;
        const fs::path tmp = fs::is_directory("/dev/shm", ec) ? fs::path("/dev/shm") : fs::temp_directory_path();
        std::string pattern = (tmp / "kestro-fuzz-import-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) std::abort();
        made->host = pattern;
        std::atexit(removeHost);
        const fs::path host(made->host);
        fs::create_directories(host / "Gen/INI");
        writeText(host / "Gen/INI/Path.ini",
                  "[INI Path]\r\nFunctionConfigPath=\\Gen\\INI\\Function.ini\r\nPathIniPath=\\Gen\\INI\\PathCfg.ini\r\n");
        // The trace directory is a regular file: no trace file can be opened in it.
        writeText(host / "Gen/INI/PathCfg.ini", "[LocalPath]\r\nTracePath=\\Trace\\\r\n");
        writeText(host / "Trace", "");
        made->setTotal(1);
        ::setenv("KESTRO_HOST_DIR", made->host.c_str(), 1);

        made->path = (host / "gen.dat").string();
        made->missing = (host / "absent.dat").string();
        made->fd = ::open(made->path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        if (made->fd < 0) std::abort();
        made->link = new kestro::fuzz::FuzzLink(&made->transport);
        made->io = new kestro::CImportExportOpt;
        made->io->setClock(made->clock);
        return made;
    }();
    return *instance;
}

void removeHost() {
    std::error_code ec;
    fs::remove_all(importer().host, ec);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 5) return 0;
    Importer& im = importer();
    kestro::fuzz::FuzzLink& link = *im.link;

    const int kind = data[0] & 7;
    link.m_pData->bDemo = (data[0] & 8) ? 0 : 1;
    kestro::GenCompInfo& g = link.gen_CompInfo;
    const std::uint8_t flags = data[1];
    g.OneMsEnable = flags & 1;
    g.secondTubeEnable = (flags >> 1) & 1;
    g.ABSDoseRate = (flags >> 2) & 1;
    g.FluoRadCurves = (flags >> 3) & 1;
    g.AECDataChannelRelated = (flags >> 4) & 1;
    g.DAPCalibrationUpdate = (flags >> 5) & 1;
    g.bFunctionConfigDetect = (flags >> 6) & 1;
    g.bDynamicFilCalib = (flags >> 7) & 1;
    im.setTotal(data[2] == 255 ? 100000 : data[2]);

    std::size_t fileSize = kestro::kGenDataMinSize;
    bool present = true;
    switch (data[3] % 5) {
        case 0: break;
        case 1: fileSize += data[4]; break;
        case 2: fileSize = kestro::kGenDataMinSize - 1 - data[4]; break;
        case 3: fileSize = std::size_t{data[4]} * 1100; break;
        default: present = false; break;
    }

    std::vector<Range> changed;
    for (std::size_t at = 5; at + 4 <= size;) {
        const std::size_t region = kRegions[data[at] % std::size(kRegions)];
        const std::size_t offset = ((std::size_t{data[at + 1]} << 8) | data[at + 2]) & 0x1FFF;
        const std::size_t length = std::min<std::size_t>(data[at + 3], size - (at + 4));
        const std::size_t begin = std::min(region + offset, kMaxSize);
        const std::size_t end = std::min(begin + length, kMaxSize);
        std::copy(data + at + 4, data + at + 4 + (end - begin), im.work.begin() + static_cast<std::ptrdiff_t>(begin));
        if (begin < end) changed.emplace_back(begin, end);
        at += 4 + length;
    }
    im.sync(fileSize, changed);

    const std::string& path = present ? im.path : im.missing;
    int result = 0;
    switch (kind % 5) {
        case 0: result = im.io->ImportGenData(link, path); break;
        case 1: result = im.io->ImportTubeCalibrationData(link, path); break;
        case 2: result = im.io->ImportDAPCalibrationData(link, path); break;
        case 3: result = im.io->ImportAECCalibrationData(link, path); break;
        default: result = im.io->ImportGenOtherData(link, path); break;
    }

    const std::uint8_t* mark = im.work.data() + kestro::kGenDataEndMarkPos;
    const bool acceptable = present && fileSize >= kestro::kGenDataMinSize && mark[0] == 0xFF && mark[1] == 0x01 &&
                            mark[2] == 0xFF && mark[3] == 0x01;
    const bool expected = acceptable && link.m_pData->bDemo;
    if (result != (expected ? 1 : 0)) std::abort();
    const kestro::TransferProgress progress = im.io->progress();
    if (progress.running || progress.result != result) std::abort();

    // Back to the valid file for the next input (on disk when it is synced).
    for (const Range& r : changed)
        std::copy(im.base.begin() + static_cast<std::ptrdiff_t>(r.first), im.base.begin() + static_cast<std::ptrdiff_t>(r.second),
                  im.work.begin() + static_cast<std::ptrdiff_t>(r.first));
    im.dirty = std::move(changed);
    return 0;
}
