// Import and export of whole generator data sets.

#include "data/import_export.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "data/model_data.h"
#include "data/tube_files.h"
#include "link/comm_protocol.h"
#include "platform/platform.h"

namespace kestro {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Section names as the trace lines show them, for packets 1..25.
const char* const kSectionNames[kPacketCount] = {
    "Generator Time ",         "Generator Error Log ",   "Generator Statistics ",  "Tube Select ",
    "Generator Limits ",       "Auxiliary Setup ",       "Auxiliary IO ",          "AEC Setup ",
    "AEC RLF ",                "AEC Density ",           "Fluo Setup ",            "ABS Curve or DAP curve",
    "ABS KVBreak ",            "Tube KW Limit ",         "Cable Tank ",            "Tube Calibration ",
    "Version ",                "Generator Information ", "Load Calibration Curve ", "Load Calibration Break ",
    "Generator KW_MS Table ",  "Compatible Information ", "AEC Channel Film ",     "Function Config ",
    "Dynamic Filament Calibration ",
};

std::string sectionName(int packet) { return kSectionNames[packet - 1]; }

constexpr int kTubeSelect = 4, kGenLimits = 5, kAuxSetup = 6, kAuxIO = 7, kAecSetup = 8, kAecRlf = 9,
              kAecDensity = 10, kDapCurve = 12, kKwLimit = 14, kCableTank = 15, kTubeCalib = 16, kGenInfo = 18,
              kKwMsTable = 21, kCompInfo = 22, kAecFilm = 23, kFuncConfig = 24, kDynFil = 25;

constexpr std::size_t kCompatibilityPos = 279000;
constexpr std::size_t kPowerTablePos = 240013;
constexpr std::size_t kPowerRowSize = 73;
constexpr int kPowerRowValues = 36;
constexpr std::uint8_t kEndMark[4] = {0xFF, 0x01, 0xFF, 0x01};
constexpr std::uint8_t kCompatibilityMark[4] = {0xCC, 0x01, 0xBB, 0x01};
// Flag bytes that fit between the compatibility block and the end mark.
constexpr int kMaxCompatibilityGroups = static_cast<int>((kGenDataEndMarkPos - kCompatibilityPos - 6) / 8);

constexpr int kRecordWaitMs = 800;
constexpr int kLongRecordWaitMs = 1000;  // Tube KW Limit and Tube Calibration
constexpr int kShortRecordWaitMs = 500;  // Cable Tank and Generator Information
constexpr int kAfterRecordMs = 100;      // after each long record, and after each tube
constexpr int kTubeRecordWaitMs = 100;
constexpr int kPowerRowImportWaitMs = 300;

struct Record {
    int packet;
    int param;
    std::size_t filePos;
    std::size_t packetOffset;  // first packet byte of the record
    std::size_t length;
    int waitMs;
    int afterMs;  // after the record is written to the file / applied
};

enum class SectionKind { TubeRecords, Packets, PowerTable, Compatibility, EndMark };

struct Section {
    SectionKind kind;
    int namePacket;
    std::vector<Record> records;
    bool aecMerge = false;  // AEC calibration import: only bytes 4..6 of each record
};

// Which optional sections take part.
struct Features {
    int tubes = 1;
    bool dynamicFilament = false;
    bool functionConfig = false;
    bool aecChannelFilm = false;
    bool dapCurve = false;
};

Section packets(int packet) { return Section{SectionKind::Packets, packet, {}}; }

Section tubeRecords(int tubes) {
    Section s{SectionKind::TubeRecords, kTubeSelect, {}};
    for (int tube = 1; tube <= tubes; ++tube)
        s.records.push_back({kTubeSelect, tube, kTubeRecordSize * static_cast<std::size_t>(tube - 1), 0, kTubeRecordSize,
                             kTubeRecordWaitMs, 0});
    return s;
}

Section single(int packet, std::size_t pos, std::size_t length, int waitMs, int param = 0) {
    Section s = packets(packet);
    s.records.push_back({packet, param, pos, 0, length, waitMs, 0});
    return s;
}

Section perSelector(int packet, std::size_t pos, std::size_t length, int first, int last) {
    Section s = packets(packet);
    for (int p = first; p <= last; ++p)
        s.records.push_back({packet, p, pos + length * static_cast<std::size_t>(p - first), 0, length, kRecordWaitMs, 0});
    return s;
}

Section dynamicFilament(int tubes) {
    Section s = packets(kDynFil);
    std::size_t pos = 20100;
    for (int t = 0; t < tubes; ++t)
        for (int k = 0; k < 4; ++k, pos += 384) s.records.push_back({kDynFil, 10 * t + k, pos, 2, 384, kRecordWaitMs, 0});
    return s;
}

Section aecChannelFilm() {
    Section s = packets(kAecFilm);
    std::size_t pos = 100000;
    for (int ch = 0; ch < 4; ++ch)
        for (int f : {1, 2, 4}) {
            s.records.push_back({kAecFilm, 10 * f + ch, pos, 2, 20, kRecordWaitMs, 0});
            pos += 20;
        }
    return s;
}

// Tube KW Limit and Tube Calibration: both tubes, a longer wait, 100 ms after each
// record and 100 ms more after each tube.
Section perTube(int packet, std::size_t pos, std::size_t length, int selectors) {
    Section s = packets(packet);
    for (int t = 0; t < 2; ++t)
        for (int k = 0; k < selectors; ++k) {
            const int after = kAfterRecordMs + (k == selectors - 1 ? kAfterRecordMs : 0);
            s.records.push_back({packet, 256 * t + k, pos, 0, length, kLongRecordWaitMs, after});
            pos += length;
        }
    return s;
}

Section powerTable(int waitMs) {
    Section s{SectionKind::PowerTable, kKwMsTable, {}};
    for (int i = 0; i < 4; ++i)
        s.records.push_back({kKwMsTable, i, kPowerTablePos + kPowerRowSize * static_cast<std::size_t>(i), 0, kPowerRowSize,
                             waitMs, 0});
    return s;
}

Section genLimits() { return single(kGenLimits, 20000, 4, kRecordWaitMs); }
Section auxSetup() { return perSelector(kAuxSetup, 40000, 25, 1, 6); }
Section auxIO() { return perSelector(kAuxIO, 60000, 29, 1, 6); }
Section funcConfig() { return single(kFuncConfig, 60500, 10, kRecordWaitMs); }
Section aecSetup() { return perSelector(kAecSetup, 80000, 10, 1, 4); }
Section aecAtRlfPosition(const Features& f) { return f.aecChannelFilm ? aecChannelFilm() : perSelector(kAecRlf, 100000, 20, 1, 3); }
Section aecDensity() { return single(kAecDensity, 120000, 16, kRecordWaitMs); }
Section kwLimit() { return perTube(kKwLimit, 160000, 386, 4); }
Section cableTank() { return single(kCableTank, 180000, 6, kShortRecordWaitMs); }
Section tubeCalibration() { return perTube(kTubeCalib, 200000, 202, 16); }
Section dapCurve() { return single(kDapCurve, 220108, 27, kRecordWaitMs, 1); }

// The data sections of a whole data set, in file order, up to the power/time table.
void appendDataSections(std::vector<Section>& plan, const Features& f) {
    plan.push_back(tubeRecords(f.tubes));
    plan.push_back(genLimits());
    if (f.dynamicFilament) plan.push_back(dynamicFilament(f.tubes));
    plan.push_back(auxSetup());
    plan.push_back(auxIO());
    if (f.functionConfig) plan.push_back(funcConfig());
    plan.push_back(aecSetup());
    plan.push_back(aecAtRlfPosition(f));
    plan.push_back(aecDensity());
    plan.push_back(kwLimit());
    plan.push_back(cableTank());
    plan.push_back(tubeCalibration());
    if (f.dapCurve) plan.push_back(dapCurve());
}

std::vector<Section> exportPlan(const Features& f) {
    std::vector<Section> plan;
    appendDataSections(plan, f);
    plan.push_back(powerTable(0));
    plan.push_back(single(kGenInfo, 260000, 70, kShortRecordWaitMs));
    plan.push_back(Section{SectionKind::Compatibility, kCompInfo, {{kCompInfo, 0, kCompatibilityPos, 0, 0, 0, 0}}});
    plan.push_back(Section{SectionKind::EndMark, 0, {{0, 0, kGenDataEndMarkPos, 0, 4, 0, 0}}});
    return plan;
}

std::vector<Section> importPlan(TransferOperation operation, const Features& f) {
    std::vector<Section> plan;
    switch (operation) {
        case TransferOperation::Import:
            appendDataSections(plan, f);
            plan.push_back(powerTable(kPowerRowImportWaitMs));
            break;
        case TransferOperation::ImportTubeCalibration:
            if (f.dynamicFilament) plan.push_back(dynamicFilament(f.tubes));
            plan.push_back(tubeCalibration());
            break;
        case TransferOperation::ImportDapCalibration:
            if (f.dapCurve) plan.push_back(dapCurve());
            break;
        case TransferOperation::ImportAecCalibration: {
            Section setup = aecSetup();
            setup.aecMerge = true;
            plan.push_back(setup);
            plan.push_back(aecAtRlfPosition(f));
            break;
        }
        case TransferOperation::ImportOtherData:
            plan.push_back(tubeRecords(f.tubes));
            plan.push_back(genLimits());
            plan.push_back(auxSetup());
            plan.push_back(auxIO());
            if (f.functionConfig) plan.push_back(funcConfig());
            plan.push_back(aecSetup());
            plan.push_back(aecDensity());
            plan.push_back(kwLimit());
            plan.push_back(cableTank());
            plan.push_back(powerTable(kPowerRowImportWaitMs));
            break;
        default: break;
    }
    return plan;
}

// Sections with a name (the end mark has none).
int sectionCount(const std::vector<Section>& plan) {
    int n = 0;
    for (const Section& s : plan) n += s.kind == SectionKind::EndMark ? 0 : 1;
    return n;
}

int recordCount(const std::vector<Section>& plan) {
    int n = 0;
    for (const Section& s : plan) n += static_cast<int>(s.records.size());
    return n;
}

// "12, 34,x,56" -> 12 34 0 56: each piece as a decimal integer (leading blanks, a sign,
// digits up to the first other character; nothing gives 0). Missing values are 0.
Bytes powerRow(const std::string& text) {
    Bytes row(kPowerRowSize, 0);
    row[0] = 0x01;
    std::size_t start = 0;
    for (int i = 0; i < kPowerRowValues && start <= text.size(); ++i) {
        std::size_t end = text.find(',', start);
        if (end == std::string::npos) end = text.size();
        const std::string piece = text.substr(start, end - start);
        const long value = std::strtol(piece.c_str(), nullptr, 10);
        const auto v = static_cast<std::uint16_t>(static_cast<unsigned long>(value) & 0xFFFFu);
        row[1 + 2 * static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> 8);
        row[2 + 2 * static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v & 0xFF);
        start = end + 1;
    }
    return row;
}

int compatibilityGroups(const CFunctionConfig& config) {
    const int n = config.compTotal();
    if (n <= 0) return 0;
    return n > kMaxCompatibilityGroups ? kMaxCompatibilityGroups : n;
}

Bytes compatibilityBlock(const CompatibilityRecord& record, int groups) {
    const std::size_t count = 8 * static_cast<std::size_t>(groups);
    Bytes block(6 + count, 0);
    for (std::size_t i = 0; i < 4; ++i) block[i] = kCompatibilityMark[i];
    block[4] = static_cast<std::uint8_t>(count >> 8);
    block[5] = static_cast<std::uint8_t>(count & 0xFF);
    if (count > 0)
        for (int k = 0; k < 8; ++k)
            if (record.flag(k)) block[6] = static_cast<std::uint8_t>(block[6] | (1u << k));
    return block;
}

class File {
public:
    File(const std::string& path, const char* mode) : m_file(std::fopen(path.c_str(), mode)) {}
    ~File() { close(); }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    explicit operator bool() const { return m_file != nullptr; }
    bool close() {
        if (!m_file) return true;
        const bool ok = std::fclose(m_file) == 0;
        m_file = nullptr;
        return ok;
    }
    bool writeAt(std::size_t pos, const std::uint8_t* bytes, std::size_t count) {
        return m_file && std::fseek(m_file, static_cast<long>(pos), SEEK_SET) == 0 &&
               std::fwrite(bytes, 1, count, m_file) == count;
    }
    bool readAt(std::size_t pos, std::uint8_t* bytes, std::size_t count) {
        return m_file && std::fseek(m_file, static_cast<long>(pos), SEEK_SET) == 0 &&
               std::fread(bytes, 1, count, m_file) == count;
    }
    long size() {
        if (!m_file || std::fseek(m_file, 0, SEEK_END) != 0) return -1;
        return std::ftell(m_file);
    }

private:
    std::FILE* m_file;
};

// The temporary file an export is written to, beside the target.
std::string temporaryPath(const std::string& path) { return path + ".kestro-part"; }

}  // namespace

bool CompatibilityRecord::flag(int k) const {
    switch (k) {
        case 0: return OneMsEnable != 0;
        case 1: return secondTubeEnable != 0;
        case 2: return ABSDoseRate != 0;
        case 3: return FluoRadCurves != 0;
        case 4: return AECDataChannelRelated != 0;
        case 5: return DAPCalibrationUpdate != 0;
        case 6: return bFunctionConfigDetect != 0;
        case 7: return bDynamicFilCalib != 0;
        default: return false;
    }
}

void CompatibilityRecord::setFlag(int k, bool on) {
    const std::int32_t v = on ? 1 : 0;
    switch (k) {
        case 0: OneMsEnable = v; break;
        case 1: secondTubeEnable = v; break;
        case 2: ABSDoseRate = v; break;
        case 3: FluoRadCurves = v; break;
        case 4: AECDataChannelRelated = v; break;
        case 5: DAPCalibrationUpdate = v; break;
        case 6: bFunctionConfigDetect = v; break;
        case 7: bDynamicFilCalib = v; break;
        default: break;
    }
}

// One export or import run: the link, the file, the clock and the progress.
class TransferRun {
public:
    TransferRun(CImportExportOpt& owner, CCommProtocol& link, const std::string& path, TransferOperation operation)
        : m_owner(owner), m_link(link), m_path(path), m_operation(operation), m_clock(owner.clock()) {}

    ~TransferRun() {
        // Whatever happened, the current directory goes back to the home directory.
        platform::setCurrentDirectory(m_owner.homeDirectory());
    }

    int exportData();
    int importData();

private:
    bool generatorAnswers() {
        if (m_link.m_pData->bDemo) return true;
        char command[] = "ST";
        return m_link.GetCpuCommandData(command, 2, 7) != 0;
    }
    void trace(const std::string& text) { m_link.WriteTraceLine(text); }
    void wait(int ms) { m_clock.sleepMs(ms); }
    std::uint8_t* packetBytes(const Record& r) { return m_link.m_pData->packet(r.packet) + r.packetOffset; }

    int fail(const std::string& line) {
        trace(line);
        m_owner.endProgress(0);
        return 0;
    }

    // Export.
    bool exportTubes(const Section& s, const std::string& file);
    bool exportSection(const Section& s, File& file);
    // Import.
    enum class Check { Ok, CannotOpen, TooShort, NoEndMark };
    Check checkFile();
    CompatibilityRecord fileFlags();
    bool importTubes(const Section& s);
    bool importSection(const Section& s, File& file);

    CImportExportOpt& m_owner;
    CCommProtocol& m_link;
    std::string m_path;
    TransferOperation m_operation;
    Clock& m_clock;
};

bool TransferRun::exportTubes(const Section& s, const std::string& file) {
    for (const Record& r : s.records) {
        // Each Tube Select refresh consumes the backup request: it is armed per tube.
        m_link.m_strTubeFilePath = file;
        m_link.m_bBackupTube = 1;
        const bool ok = refreshModelData(m_link, kTubeSelect, r.param) != 0;
        wait(r.waitMs);
        if (!ok) return false;
        m_owner.recordDone();
    }
    // Disarmed as IO_SetBackupMode (0, path) leaves it.
    m_link.m_bBackupTube = 0;
    m_link.m_strTubeFilePath = m_path;
    wait(kTubeRecordWaitMs);
    return true;
}

bool TransferRun::exportSection(const Section& s, File& file) {
    for (const Record& r : s.records) {
        switch (s.kind) {
            case SectionKind::Packets:
                if (!refreshModelData(m_link, r.packet, r.param)) return false;
                wait(r.waitMs);
                if (!file.writeAt(r.filePos, packetBytes(r), r.length)) return false;
                wait(r.afterMs);
                break;
            case SectionKind::PowerTable: {
                const Bytes row = powerRow(m_link.m_FunctionConfig.kwMsTableRow(r.param));
                if (!file.writeAt(r.filePos, row.data(), row.size())) return false;
                break;
            }
            case SectionKind::Compatibility: {
                const Bytes block = compatibilityBlock(m_owner.m_CompInfo, compatibilityGroups(m_link.m_FunctionConfig));
                if (!file.writeAt(r.filePos, block.data(), block.size())) return false;
                break;
            }
            case SectionKind::EndMark:
                if (!file.writeAt(r.filePos, kEndMark, sizeof kEndMark)) return false;
                break;
            case SectionKind::TubeRecords: return false;
        }
        m_owner.recordDone();
    }
    return true;
}

int TransferRun::exportData() {
    std::lock_guard<std::recursive_mutex> operation(m_link.m_PacketOperationLock);
    m_owner.beginProgress(m_operation, 0, 0);
    if (!generatorAnswers()) return fail("Generator does not answer: nothing exported");
    m_owner.GeneratorCompatibility(m_link);
    const CompatibilityRecord& c = m_owner.m_CompInfo;
    Features f;
    f.tubes = c.secondTubeEnable ? 2 : 1;
    f.dynamicFilament = c.bDynamicFilCalib != 0;
    f.functionConfig = c.bFunctionConfigDetect != 0;
    f.aecChannelFilm = c.AECDataChannelRelated != 0;
    f.dapCurve = c.DAPCalibrationUpdate != 0;
    const std::vector<Section> plan = exportPlan(f);
    m_owner.beginProgress(m_operation, recordCount(plan), sectionCount(plan));

    // Everything goes to a fresh temporary file; the target is replaced only by a
    // complete export.
    const std::string temporary = temporaryPath(m_path);
    platform::deleteFile(temporary);
    std::unique_ptr<File> file;
    for (const Section& s : plan) {
        const std::string name = s.kind == SectionKind::EndMark ? "" : sectionName(s.namePacket);
        if (!name.empty()) {
            trace("Start to transform " + name + "data...");
            m_owner.setSection(name);
        }
        bool ok;
        if (s.kind == SectionKind::TubeRecords) {
            ok = exportTubes(s, temporary);
            if (ok) {
                // The tube backup created the file (no backup is taken in
                // demonstration mode: then it is created here).
                file = std::make_unique<File>(temporary, "r+b");
                if (!*file) file = std::make_unique<File>(temporary, "w+b");
                ok = static_cast<bool>(*file);
            }
        } else {
            ok = file && exportSection(s, *file);
        }
        if (!ok) {
            m_link.m_bBackupTube = 0;
            file.reset();
            platform::deleteFile(temporary);
            return fail("Failed to export " + (name.empty() ? std::string("end mark ") : name) + "data!");
        }
    }
    if (!file || !file->close()) {
        platform::deleteFile(temporary);
        return fail("Failed to export generator data: " + temporary + " could not be written");
    }
    if (!platform::replaceFile(temporary, m_path)) {
        platform::deleteFile(temporary);
        return fail("Failed to export generator data: " + m_path + " could not be replaced");
    }
    trace("Successfully export generator data.");
    m_owner.endProgress(1);
    return 1;
}

TransferRun::Check TransferRun::checkFile() {
    File file(m_path, "rb");
    if (!file) return Check::CannotOpen;
    const long size = file.size();
    if (size < static_cast<long>(kGenDataMinSize)) return Check::TooShort;
    std::uint8_t mark[4] = {};
    if (!file.readAt(kGenDataEndMarkPos, mark, sizeof mark) || !std::equal(mark, mark + 4, kEndMark))
        return Check::NoEndMark;
    return Check::Ok;
}

// The feature flags the file records; all clear when its block does not start with
// CC 01 BB 01.
CompatibilityRecord TransferRun::fileFlags() {
    CompatibilityRecord flags;
    File file(m_path, "rb");
    std::uint8_t head[6] = {};
    if (!file.readAt(kCompatibilityPos, head, sizeof head) || !std::equal(head, head + 4, kCompatibilityMark)) return flags;
    const int groups = compatibilityGroups(m_link.m_FunctionConfig);
    Bytes bits(8 * static_cast<std::size_t>(groups));
    if (bits.empty() || !file.readAt(kCompatibilityPos + 6, bits.data(), bits.size())) return flags;
    for (int k = 0; k < 8; ++k) flags.setFlag(k, (bits[0] >> k) & 1u);
    return flags;
}

bool TransferRun::importTubes(const Section& s) {
    for (const Record& r : s.records) {
        // Each Tube Select write consumes the restore request: it is armed per tube.
        m_link.m_strTubeFilePath = m_path;
        m_link.m_bRestoreTube = 1;
        m_link.m_pData->packet(kTubeSelect)[0] = static_cast<std::uint8_t>(r.param - 1);
        const bool ok = utilityModelData1(m_link, kTubeSelect, r.param) != 0;
        wait(r.waitMs);
        if (!ok) return false;
        m_owner.recordDone();
    }
    m_link.m_bRestoreTube = 0;
    wait(kTubeRecordWaitMs);
    return true;
}

bool TransferRun::importSection(const Section& s, File& file) {
    for (const Record& r : s.records) {
        std::uint8_t* packet = packetBytes(r);
        if (s.aecMerge) {
            // The generator's own AEC setup, with the calibrated bytes 4..6 of the file.
            std::uint8_t record[10] = {};
            if (!file.readAt(r.filePos, record, r.length)) return false;
            if (!refreshModelData(m_link, r.packet, r.param)) return false;
            wait(r.waitMs);
            std::copy(record + 4, record + 7, packet + 4);
        } else if (!file.readAt(r.filePos, packet, r.length)) {
            return false;
        }
        if (!utilityModelData1(m_link, r.packet, r.param)) return false;
        wait(r.waitMs);
        wait(r.afterMs);
        m_owner.recordDone();
    }
    return true;
}

int TransferRun::importData() {
    std::lock_guard<std::recursive_mutex> operation(m_link.m_PacketOperationLock);
    m_owner.beginProgress(m_operation, 0, 0);

    struct Lines {
        const char* begin;
        const char* success;
    };
    Lines lines{};
    switch (m_operation) {
        case TransferOperation::Import:
            lines = {"Begin to restore generator calibration data for Import/Export",
                     "Succeed in restoring generator calibraton data for Import/Export!"};
            break;
        case TransferOperation::ImportTubeCalibration:
            lines = {"CImportExportOpt::ImportTubeCalibrationData:Begin to import tube calibration data",
                     "Succeed in importing Tube calibraton data!"};
            break;
        case TransferOperation::ImportDapCalibration:
            lines = {"CImportExportOpt::ImportDAPCalibrationData:Begin to import DAP data",
                     "Succeed in importing DAP calibraton data!"};
            break;
        case TransferOperation::ImportAecCalibration:
            lines = {"CImportExportOpt::ImportAECCalibrationData:Begin to import AEC calibration data",
                     "Succeed in importing AEC calibraton data!"};
            break;
        case TransferOperation::ImportOtherData:
            lines = {"Begin to restore generator other data for Import/Export", "Succeed in restoring other data!"};
            break;
        default: return fail("Unknown import");
    }

    // Nothing is sent for a file that is not a complete generator data file.
    const Check check = checkFile();
    if (check != Check::Ok) {
        static const char* const kWhy[] = {"", "cannot be opened", "is shorter than 280004 bytes",
                                           "has no end mark FF 01 FF 01 at 280000"};
        trace("Import file refused, it " + std::string(kWhy[static_cast<int>(check)]) + ": " + m_path);
        if (m_operation != TransferOperation::Import && m_operation != TransferOperation::ImportOtherData) {
            // A partial import fails as its first section.
            const int first = m_operation == TransferOperation::ImportTubeCalibration  ? kTubeCalib
                              : m_operation == TransferOperation::ImportDapCalibration ? kDapCurve
                                                                                       : kAecSetup;
            trace("Failed to import " + sectionName(first) + "data!");
        }
        m_owner.endProgress(0);
        return 0;
    }
    if (!generatorAnswers()) return fail("Generator does not answer: nothing imported");

    trace(lines.begin);
    m_owner.GeneratorCompatibility(m_link);
    const CompatibilityRecord& g = m_owner.m_CompInfo;
    const CompatibilityRecord fromFile = fileFlags();
    Features f;
    f.tubes = g.secondTubeEnable && fromFile.secondTubeEnable ? 2 : 1;
    f.dynamicFilament = g.bDynamicFilCalib && fromFile.bDynamicFilCalib;
    f.functionConfig = g.bFunctionConfigDetect && fromFile.bFunctionConfigDetect;
    f.aecChannelFilm = g.AECDataChannelRelated && fromFile.AECDataChannelRelated;
    f.dapCurve = g.DAPCalibrationUpdate && fromFile.DAPCalibrationUpdate;
    const std::vector<Section> plan = importPlan(m_operation, f);
    m_owner.beginProgress(m_operation, recordCount(plan), sectionCount(plan));

    std::unique_ptr<File> file;
    for (const Section& s : plan) {
        if (s.kind == SectionKind::TubeRecords) {
            trace("Start to transform " + sectionName(s.namePacket) + "data...");
            m_owner.setSection(sectionName(s.namePacket));
            if (!importTubes(s)) {
                m_link.m_bRestoreTube = 0;
                return fail("Failed to import tube data!");
            }
            continue;
        }
        const std::string name = sectionName(s.namePacket);
        trace("Start to transform " + name + "data...");
        m_owner.setSection(name);
        if (!file) file = std::make_unique<File>(m_path, "rb");
        if (!*file || !importSection(s, *file)) {
            file.reset();
            return fail("Failed to import " + name + "data!");
        }
    }
    file.reset();
    trace(lines.success);
    m_owner.endProgress(1);
    return 1;
}

// ---- CImportExportOpt ---------------------------------------------------------------------

CImportExportOpt::CImportExportOpt() : m_strHomeDir(platform::hostDirectory()), m_pClock(&systemClock()) {}

void CImportExportOpt::GeneratorCompatibility(const CCommProtocol& link) {
    const GenCompInfo& info = link.gen_CompInfo;
    m_CompInfo.OneMsEnable = info.OneMsEnable;
    m_CompInfo.secondTubeEnable = info.secondTubeEnable;
    m_CompInfo.ABSDoseRate = info.ABSDoseRate;
    m_CompInfo.FluoRadCurves = info.FluoRadCurves;
    m_CompInfo.AECDataChannelRelated = info.AECDataChannelRelated;
    m_CompInfo.DAPCalibrationUpdate = info.DAPCalibrationUpdate;
    m_CompInfo.bFunctionConfigDetect = info.bFunctionConfigDetect;
    m_CompInfo.bDynamicFilCalib = info.bDynamicFilCalib;
    for (std::size_t i = 0; i < m_CompInfo.bFunctionEnable.size(); ++i) m_CompInfo.bFunctionEnable[i] = info.bFunctionEnable[i];
}

int CImportExportOpt::ExportGenData(CCommProtocol& link, const std::string& path) {
    return TransferRun(*this, link, path, TransferOperation::Export).exportData();
}
int CImportExportOpt::ImportGenData(CCommProtocol& link, const std::string& path) {
    return TransferRun(*this, link, path, TransferOperation::Import).importData();
}
int CImportExportOpt::ImportTubeCalibrationData(CCommProtocol& link, const std::string& path) {
    return TransferRun(*this, link, path, TransferOperation::ImportTubeCalibration).importData();
}
int CImportExportOpt::ImportDAPCalibrationData(CCommProtocol& link, const std::string& path) {
    return TransferRun(*this, link, path, TransferOperation::ImportDapCalibration).importData();
}
int CImportExportOpt::ImportAECCalibrationData(CCommProtocol& link, const std::string& path) {
    return TransferRun(*this, link, path, TransferOperation::ImportAecCalibration).importData();
}
int CImportExportOpt::ImportGenOtherData(CCommProtocol& link, const std::string& path) {
    return TransferRun(*this, link, path, TransferOperation::ImportOtherData).importData();
}

TransferProgress CImportExportOpt::progress() const {
    std::lock_guard<std::mutex> lock(m_ProgressLock);
    TransferProgress copy = m_Progress;
    if (copy.running)
        copy.elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(m_pClock->now() - m_Start).count();
    return copy;
}

void CImportExportOpt::beginProgress(TransferOperation operation, int total, int sections) {
    std::lock_guard<std::mutex> lock(m_ProgressLock);
    if (!m_Progress.running || m_Progress.operation != operation) {
        m_Progress = TransferProgress{};
        m_Progress.operation = operation;
        m_Progress.running = true;
        m_Start = m_pClock->now();
    }
    m_Progress.recordsTotal = total;
    m_Progress.sectionCount = sections;
}

void CImportExportOpt::setSection(const std::string& section) {
    std::lock_guard<std::mutex> lock(m_ProgressLock);
    m_Progress.section = section;
    ++m_Progress.sectionNumber;
}

void CImportExportOpt::recordDone() {
    std::lock_guard<std::mutex> lock(m_ProgressLock);
    ++m_Progress.recordsDone;
}

void CImportExportOpt::endProgress(int result) {
    std::lock_guard<std::mutex> lock(m_ProgressLock);
    if (!m_Progress.running) return;
    m_Progress.running = false;
    m_Progress.result = result;
    m_Progress.elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(m_pClock->now() - m_Start).count();
}

}  // namespace kestro
