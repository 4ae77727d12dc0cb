#pragma once
// CImportExportOpt: exports a generator's whole stored configuration and calibration to
// one file and imports it (completely or in groups) into the same or another generator.
//
// Generator data file (byte positions; records of a section follow each other in loop
// order):
//        0  tube record of tube 1 (backup record 0)          1 x 448
//      448  tube record of tube 2 (with a second tube)       1 x 448
//    20000  Generator Limits                                 1 x 4
//    20100  Dynamic Filament Calibration, bytes 2..385       4 or 8 x 384
//    40000  Auxiliary Setup, receptors 1..6                  6 x 25
//    60000  Auxiliary IO, bytes 0..28, receptors 1..6        6 x 29
//    60500  Function Config                                  1 x 10
//    80000  AEC Setup, channels 1..4                         4 x 10
//   100000  AEC RLF (3 x 20) or AEC Channel Film (12 x 20)
//   120000  AEC Density                                      1 x 16
//   160000  Tube KW Limit, tubes 0..1 x selectors 0..3       8 x 386
//   180000  Cable Tank                                       1 x 6
//   200000  Tube Calibration, tubes 0..1 x selectors 0..15   32 x 202
//   220108  ABS Curve or DAP curve                           1 x 27
//   240013  power/time table rows 0..3                       4 x 73
//   260000  Generator Information (export only)              1 x 70
//   279000  compatibility block CC 01 BB 01, count, flags    6 + 8n
//   280000  end mark FF 01 FF 01                             4
//
// An export is written to a temporary file beside the target and renamed over it only
// when the whole export succeeded; an import checks the file before any traffic. All
// waits go through a Clock, and any thread may read the progress while one runs.

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/clock.h"

namespace kestro {

class CCommProtocol;

inline constexpr std::size_t kGenDataEndMarkPos = 280000;
inline constexpr std::size_t kGenDataMinSize = 280004;

// The compatibility record as the import/export object keeps it (a plain copy of the
// link's record, as the last compatibility query left it).
struct CompatibilityRecord {
    static constexpr int kFunctionEnableCount = 632;
    std::int32_t OneMsEnable = 0;
    std::int32_t secondTubeEnable = 0;
    std::int32_t ABSDoseRate = 0;
    std::int32_t FluoRadCurves = 0;
    std::int32_t AECDataChannelRelated = 0;
    std::int32_t DAPCalibrationUpdate = 0;
    std::int32_t bFunctionConfigDetect = 0;
    std::int32_t bDynamicFilCalib = 0;
    std::array<std::int32_t, kFunctionEnableCount> bFunctionEnable{};

    // Flag k (0..7) of the file's list: OneMsEnable .. bDynamicFilCalib.
    bool flag(int k) const;
    void setFlag(int k, bool on);
};

enum class TransferOperation : int {
    None = 0,
    Export = 1,
    Import = 2,
    ImportTubeCalibration = 3,
    ImportDapCalibration = 4,
    ImportAecCalibration = 5,
    ImportOtherData = 6,
};

struct TransferProgress {
    TransferOperation operation = TransferOperation::None;
    bool running = false;
    int recordsDone = 0;
    int recordsTotal = 0;
    std::string section;     // the section being transferred ("Tube Calibration ", ...)
    int sectionNumber = 0;   // 1-based
    int sectionCount = 0;
    std::int64_t elapsedMs = 0;
    int result = 0;          // 1 / 0 once finished; 0 while running
};

class CImportExportOpt {
public:
    // Takes the home directory (the host directory) once, and the real clock.
    CImportExportOpt();
    virtual ~CImportExportOpt() = default;
    CImportExportOpt(const CImportExportOpt&) = delete;
    CImportExportOpt& operator=(const CImportExportOpt&) = delete;

    // 1 success, 0 failure. Each restores the current directory to the home directory.
    int ExportGenData(CCommProtocol& link, const std::string& path);
    int ImportGenData(CCommProtocol& link, const std::string& path);
    int ImportTubeCalibrationData(CCommProtocol& link, const std::string& path);
    int ImportDAPCalibrationData(CCommProtocol& link, const std::string& path);
    int ImportAECCalibrationData(CCommProtocol& link, const std::string& path);
    int ImportGenOtherData(CCommProtocol& link, const std::string& path);

    // Copies the link's compatibility record into m_CompInfo.
    void GeneratorCompatibility(const CCommProtocol& link);

    const std::string& homeDirectory() const { return m_strHomeDir; }
    // The clock the waits go through (the real one unless a test replaces it). Not while
    // an operation runs.
    void setClock(Clock& clock) { m_pClock = &clock; }
    Clock& clock() const { return *m_pClock; }

    // The running operation, or the last one when none runs. Any thread.
    TransferProgress progress() const;

    CompatibilityRecord m_CompInfo;

private:
    friend class TransferRun;
    void beginProgress(TransferOperation operation, int total, int sections);
    void setSection(const std::string& section);
    void recordDone();
    void endProgress(int result);

    std::string m_strHomeDir;
    Clock* m_pClock;

    mutable std::mutex m_ProgressLock;
    TransferProgress m_Progress;
    Clock::TimePoint m_Start{};
};

}  // namespace kestro
