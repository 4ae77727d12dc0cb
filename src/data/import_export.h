#pragma once
// CImportExportOpt: exports and imports whole generator data sets.

namespace kestro {

class CImportExportOpt {
public:
    CImportExportOpt() = default;
    virtual ~CImportExportOpt() = default;
    CImportExportOpt(const CImportExportOpt&) = delete;
    CImportExportOpt& operator=(const CImportExportOpt&) = delete;
};

}  // namespace kestro
