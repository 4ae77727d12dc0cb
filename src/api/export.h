#pragma once
// The skeleton every export shares: C linkage, the export attribute, the calling
// convention, and no exception ever crossing the boundary.

#include <kestro/kestro.h>

#include "api/app.h"

#define KESTRO_EXPORT(ret) extern "C" KESTRO_API ret KESTRO_CALL

namespace kestro {

// Marks one export call in flight for its whole run: the link and the console it
// reaches through activeLink()/g_pConsole cannot be destroyed under it.
class ExportCall {
public:
    ExportCall() noexcept { enterExportCall(); }
    ~ExportCall() { leaveExportCall(); }
    ExportCall(const ExportCall&) = delete;
    ExportCall& operator=(const ExportCall&) = delete;
};

// Runs body as one call in flight; any exception becomes the export's failure value.
template <typename R, typename Body>
R guarded(R failure, Body&& body) noexcept {
    ExportCall call;
    try {
        return body();
    } catch (...) {
        return failure;
    }
}

template <typename Body>
void guardedVoid(Body&& body) noexcept {
    ExportCall call;
    try {
        body();
    } catch (...) {
    }
}

// The active link, or nullptr when the library has none (before load, after
// IO_DeleteRes). Called inside guarded (every export), the link stays alive until the
// export returns.
inline CCommProtocol* activeLink() { return g_pCommProtocol.load(); }

inline bool demoMode() {
    CCommProtocol* link = activeLink();
    return link && link->m_pData && link->m_pData->bDemo != 0;
}

}  // namespace kestro
