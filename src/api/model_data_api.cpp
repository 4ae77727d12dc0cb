// Data-packet exports: refresh, apply and restore of the settings image's packets, the
// group refreshes of ordinary parameters, and the tube backup and restore requests.

#include <mutex>
#include <string>

#include "api/export.h"
#include "data/model_data.h"

using namespace kestro;

namespace {

template <typename Operation>
int onActiveLink(Operation operation) {
    return guarded(0, [&] {
        CCommProtocol* link = activeLink();
        return link ? operation(*link) : 0;
    });
}

int multiCommand(int code) {
    return onActiveLink([code](CCommProtocol& link) {
        if (link.m_pData->bDemo) return 1;
        return link.GetCpuMultiCommandData(code);
    });
}

}  // namespace

KESTRO_EXPORT(int) IO_RefreshModelData(int packet, int param) {
    return onActiveLink([&](CCommProtocol& link) { return refreshModelData(link, packet, param); });
}

KESTRO_EXPORT(int) IO_UtilityModelData(int packet, int param) {
    return onActiveLink([&](CCommProtocol& link) { return utilityModelData(link, packet, param); });
}

KESTRO_EXPORT(int) IO_UtilityModelData1(int packet, int param) {
    return onActiveLink([&](CCommProtocol& link) { return utilityModelData1(link, packet, param); });
}

KESTRO_EXPORT(int) GSIRefreshDataPacket(int packet, int param) { return IO_RefreshModelData(packet, param); }

KESTRO_EXPORT(int) GSIApplyDataPacket(int packet, int param) { return IO_UtilityModelData(packet, param) != 0 ? 1 : 0; }

KESTRO_EXPORT(int) IO_RefreshRadData(void) { return multiCommand(53); }
KESTRO_EXPORT(int) IO_RefreshSystemData(void) { return multiCommand(54); }
KESTRO_EXPORT(int) IO_RefreshFluoData(void) { return multiCommand(55); }

// The request waits for the next Tube Select refresh (backup) or write (restore); an
// operation already running finishes with the request it started with.
KESTRO_EXPORT(int) IO_SetBackupMode(int mode, const char* path) {
    return guarded(mode, [&] {
        if (CCommProtocol* link = activeLink()) {
            std::lock_guard<std::recursive_mutex> lock(link->m_PacketOperationLock);
            link->m_bBackupTube = mode;
            link->m_strTubeFilePath = path ? path : "";
        }
        return mode;
    });
}

KESTRO_EXPORT(int) IO_SetRestoreMode(int mode, const char* path) {
    return guarded(mode, [&] {
        if (CCommProtocol* link = activeLink()) {
            std::lock_guard<std::recursive_mutex> lock(link->m_PacketOperationLock);
            link->m_bRestoreTube = mode;
            link->m_strTubeFilePath = path ? path : "";
        }
        return mode;
    });
}
