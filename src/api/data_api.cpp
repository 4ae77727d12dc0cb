// Pointers into the settings image.

#include "api/export.h"

using namespace kestro;

KESTRO_EXPORT(unsigned char*) IO_GetModelPointerByte(int packet) {
    return guarded<unsigned char*>(nullptr, [&]() -> unsigned char* {
        CCommProtocol* link = activeLink();
        return link ? link->m_pData->packet(packet) : nullptr;
    });
}

KESTRO_EXPORT(unsigned char*) GSIGetDataPacketPointer(int packet) { return IO_GetModelPointerByte(packet); }
