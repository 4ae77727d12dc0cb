// Import/export exports: whole generator data sets to and from one file, and the
// progress of the one that runs.

#include <cstring>
#include <string>

#include "api/export.h"
#include "data/import_export.h"

using namespace kestro;

namespace {

using Member = int (CImportExportOpt::*)(CCommProtocol&, const std::string&);

int runMember(const char* exportName, Member member, const char* path) {
    return guarded(0, [&] {
        CCommProtocol* link = activeLink();
        if (!link) return 0;
        link->WriteTraceLine(std::string(exportName) + " : enter ");
        CImportExportOpt* io = g_ImportExportOpt.load();
        if (!io) {
            link->WriteTraceLine(std::string(exportName) + " : !g_ImportExportOpt");
            return 0;
        }
        if (!path) return 0;
        return (io->*member)(*link, path);
    });
}

}  // namespace

KESTRO_EXPORT(int) IO_ExportGenData(const char* path) {
    return runMember("IO_ExportGenData", &CImportExportOpt::ExportGenData, path);
}
KESTRO_EXPORT(int) IO_ImportGenData(const char* path) {
    return runMember("IO_ImportGenData", &CImportExportOpt::ImportGenData, path);
}
KESTRO_EXPORT(int) IO_ImportTubeCalibData(const char* path) {
    return runMember("IO_ImportTubeCalibData", &CImportExportOpt::ImportTubeCalibrationData, path);
}
KESTRO_EXPORT(int) IO_ImportDAPCalibData(const char* path) {
    return runMember("IO_ImportDAPCalibData", &CImportExportOpt::ImportDAPCalibrationData, path);
}
KESTRO_EXPORT(int) IO_ImportAECCalibData(const char* path) {
    return runMember("IO_ImportAECCalibData", &CImportExportOpt::ImportAECCalibrationData, path);
}
KESTRO_EXPORT(int) IO_ImportGenOtherData(const char* path) {
    return runMember("IO_ImportGenOtherData", &CImportExportOpt::ImportGenOtherData, path);
}

KESTRO_EXPORT(int) GSIExportGeneratorData(const char* path) { return IO_ExportGenData(path); }
KESTRO_EXPORT(int) GSIImportGeneratorData(const char* path) { return IO_ImportGenData(path); }
KESTRO_EXPORT(int) GSIImportTubeCalibData(const char* path) { return IO_ImportTubeCalibData(path); }
KESTRO_EXPORT(int) GSIImportDAPCalibData(const char* path) { return IO_ImportDAPCalibData(path); }
KESTRO_EXPORT(int) GSIImportAECCalibData(const char* path) { return IO_ImportAECCalibData(path); }
KESTRO_EXPORT(int) GSIImportGenOtherData(const char* path) { return IO_ImportGenOtherData(path); }

#if !defined(_WIN32)
KESTRO_EXPORT(int) KestroGetTransferProgress(KestroTransferProgress* out) {
    return guarded(-1, [&] {
        CImportExportOpt* io = g_ImportExportOpt.load();
        if (!out || !io) return -1;
        const TransferProgress p = io->progress();
        std::memset(out, 0, sizeof *out);
        out->operation = static_cast<std::int32_t>(p.operation);
        out->running = p.running ? 1 : 0;
        out->recordsDone = p.recordsDone;
        out->recordsTotal = p.recordsTotal;
        out->elapsedMs = p.elapsedMs;
        out->result = p.result;
        out->sectionNumber = p.sectionNumber;
        out->sectionCount = p.sectionCount;
        std::strncpy(out->section, p.section.c_str(), sizeof out->section - 1);
        return p.running ? 1 : 0;
    });
}
#endif
