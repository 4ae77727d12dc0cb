#include "api/app.h"

#include <new>

#include "platform/platform.h"

namespace kestro {

std::atomic<CCtlProtocol*> g_pCtlProtocol{nullptr};
std::atomic<CCanProtocol*> g_pCanProtocol{nullptr};
std::atomic<CCommProtocol*> g_pCommProtocol{nullptr};
std::atomic<CMyProtocl*> g_pConsole{nullptr};
std::atomic<CImportExportOpt*> g_ImportExportOpt{nullptr};

int CreateInstanceOfCommProtocol() {
    CCommProtocol* chosen = nullptr;
    try {
        CLocalCommConfig config;
        if (config.communicationType() != 0) {
            if (!g_pCtlProtocol) g_pCtlProtocol = new CCtlProtocol;
            chosen = g_pCtlProtocol;
        } else {
            if (!g_pCanProtocol) g_pCanProtocol = new CCanProtocol;
            chosen = g_pCanProtocol;
        }
    } catch (...) {
        chosen = nullptr;
    }
    g_pCommProtocol = chosen;
    return chosen ? 1 : 0;
}

int CCommLibApp::InitInstance() {
    if (!CreateInstanceOfCommProtocol()) {
        platform::messageBox("Kestro", "CreateInstanceOfCommProtocol failed!", platform::BoxIcon::Information);
        return 0;
    }
    try {
        g_pConsole = new CMyProtocl;
        if (!g_ImportExportOpt) g_ImportExportOpt = new CImportExportOpt;
    } catch (...) {
        platform::messageBox("Kestro", "CreateInstanceOfCommProtocol failed!", platform::BoxIcon::Information);
        return 0;
    }
    return 1;
}

int CCommLibApp::ExitInstance() {
    if (CCtlProtocol* link = g_pCtlProtocol.exchange(nullptr)) {
        g_pCommProtocol = nullptr;
        delete link;
    }
    if (CCanProtocol* link = g_pCanProtocol.exchange(nullptr)) {
        g_pCommProtocol = nullptr;
        delete link;
    }
    if (CMyProtocl* console = g_pConsole.exchange(nullptr)) delete console;
    if (CImportExportOpt* io = g_ImportExportOpt.exchange(nullptr)) delete io;
    return 1;
}

CCommLibApp& theApp() {
    static CCommLibApp app;
    return app;
}

}  // namespace kestro
