// Tube-file exports: a tube's record and kW-limit tables from a file or an image.

#include <string>

#include "api/export.h"
#include "data/tube_files.h"

using namespace kestro;

KESTRO_EXPORT(int) IO_ApplyTubeFile(const char* path, int tube) {
    return guarded(-1, [&] {
        CCommProtocol* link = activeLink();
        if (!link || !path) return -1;
        return applyTubeFile(*link, path, tube, systemClock());
    });
}

KESTRO_EXPORT(int) IO_ApplyTubeFile1(const char* path, int tube) {
    return guarded(-1, [&] {
        CCommProtocol* link = activeLink();
        if (!link) return -1;
        if (!path) return link->m_pData->bDemo ? tube : -1;
        return applyTubeFile1(*link, path, tube);
    });
}

KESTRO_EXPORT(int) IO_ApplyWholeTubeFile(const unsigned char* image, int tube) {
    return guarded(0, [&] {
        CCommProtocol* link = activeLink();
        return link ? applyWholeTubeFile(*link, image, tube, systemClock()) : 0;
    });
}

KESTRO_EXPORT(int) GSIApplyWholeTubeFile(const char* path, int tube) {
    return guarded(0, [&] {
        if (IO_ApplyTubeFile(path, tube + 1) != tube + 1) return 0;
        return IO_ApplyTubeFile1(path, tube + 1) > 0 ? 1 : 0;
    });
}
