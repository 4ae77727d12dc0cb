#pragma once
// The skeleton every export shares: C linkage, the export attribute, the calling
// convention, and no exception ever crossing the boundary.

#include <kestro/kestro.h>

#include "api/app.h"

#define KESTRO_EXPORT(ret) extern "C" KESTRO_API ret KESTRO_CALL

namespace kestro {

// Runs body; any exception becomes the export's failure value.
template <typename R, typename Body>
R guarded(R failure, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return failure;
    }
}

template <typename Body>
void guardedVoid(Body&& body) noexcept {
    try {
        body();
    } catch (...) {
    }
}

// The active link, or nullptr when the library has none (before load, after
// IO_DeleteRes).
inline CCommProtocol* activeLink() { return g_pCommProtocol.load(); }

inline bool demoMode() {
    CCommProtocol* link = activeLink();
    return link && link->m_pData && link->m_pData->bDemo != 0;
}

}  // namespace kestro
