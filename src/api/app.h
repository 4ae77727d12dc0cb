#pragma once
// The application object and the process-wide objects it owns.

#include <atomic>

#include "console/my_protocl.h"
#include "data/import_export.h"
#include "link/can_protocol.h"
#include "link/ctl_protocol.h"

namespace kestro {

extern std::atomic<CCtlProtocol*> g_pCtlProtocol;
extern std::atomic<CCanProtocol*> g_pCanProtocol;
extern std::atomic<CCommProtocol*> g_pCommProtocol;
extern std::atomic<CMyProtocl*> g_pConsole;
extern std::atomic<CImportExportOpt*> g_ImportExportOpt;

// Builds the configured link ("Communication Type" 0 or missing: CAN, else serial)
// unless one of that kind exists; 1 when g_pCommProtocol is set afterwards.
int CreateInstanceOfCommProtocol();

class CCommLibApp {
public:
    // Load: the link, the console and the import/export object. FALSE (0) when the
    // link could not be built; nothing else is then created.
    int InitInstance();
    // Unload: destroys whatever the pointers still hold.
    int ExitInstance();
};

CCommLibApp& theApp();

}  // namespace kestro
