#include "api/app.h"

#include <chrono>
#include <cstdio>
#include <new>
#include <thread>
#include <vector>

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
        CIniFile index;
        CLocalCommConfig config;
        // A settings path the platform had to cut names another file: choosing a link
        // from it would be a guess. Say which path it was and build none.
        for (const CIniFile* file : {static_cast<const CIniFile*>(&index), static_cast<const CIniFile*>(&config)}) {
            if (!file->pathCut()) continue;
            std::fprintf(stderr, "Kestro: settings path too long for this platform (%zu characters): %s\n",
                         file->fullPath().size(), file->fullPath().c_str());
            g_pCommProtocol = nullptr;
            return 0;
        }
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

// ---- Calls in flight -------------------------------------------------------------------

namespace {

std::atomic<int> g_callsInFlight{0};
thread_local int t_callDepth = 0;

// Objects taken down while calls were still in flight; the last call to leave destroys
// them. The flag keeps the lock off the path of every other call.
std::atomic<bool> g_hasRetired{false};
std::mutex g_retiredLock;
std::vector<CCommProtocol*> g_retiredLinks;
std::vector<CMyProtocl*> g_retiredConsoles;

void destroy(CCommProtocol* link, CMyProtocl* console) noexcept {
    try {
        if (link) link->TerminateThreads();  // stops both threads and destroys the link
    } catch (...) {
    }
    try {
        if (console) console->Terminate();
    } catch (...) {
    }
}

void destroyRetired() noexcept {
    std::vector<CCommProtocol*> links;
    std::vector<CMyProtocl*> consoles;
    {
        std::lock_guard<std::mutex> lock(g_retiredLock);
        // A call may have entered since the count reached zero; it cannot reach these
        // objects (they are in no pointer any more), so they can go.
        links.swap(g_retiredLinks);
        consoles.swap(g_retiredConsoles);
        g_hasRetired = false;
    }
    for (CCommProtocol* link : links) destroy(link, nullptr);
    for (CMyProtocl* console : consoles) destroy(nullptr, console);
}

}  // namespace

void enterExportCall() noexcept {
    if (t_callDepth++ == 0) g_callsInFlight.fetch_add(1);
}

void leaveExportCall() noexcept {
    if (--t_callDepth != 0) return;
    if (g_callsInFlight.fetch_sub(1) == 1 && g_hasRetired.load()) destroyRetired();
}

int exportCallsInFlight() noexcept { return g_callsInFlight.load(); }

bool retireObjects(CCommProtocol* link, CMyProtocl* console, int timeoutMs) noexcept {
    if (!link && !console) return true;
    // The caller's own call (when it is inside an export) does not use the objects.
    const int own = t_callDepth > 0 ? 1 : 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    // The pointers were cleared before this load: a call that is not counted yet will
    // find them empty (both sides use sequentially consistent operations).
    while (g_callsInFlight.load() > own) {
        if (std::chrono::steady_clock::now() >= deadline) {
            if (link) link->WriteTraceLine("IO_DeleteRes: calls still in flight, the link closes after the last of them");
            {
                std::lock_guard<std::mutex> lock(g_retiredLock);
                if (link) g_retiredLinks.push_back(link);
                if (console) g_retiredConsoles.push_back(console);
                g_hasRetired = true;
            }
            // Everyone may have left in the meantime without seeing the flag.
            if (own == 0 && g_callsInFlight.load() == 0) destroyRetired();
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    destroy(link, console);
    return true;
}

std::mutex& lifecycleLock() noexcept {
    static std::mutex lock;
    return lock;
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
