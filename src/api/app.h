#pragma once
// The application object and the process-wide objects it owns.

#include <atomic>
#include <mutex>

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

// ---- Calls in flight ---------------------------------------------------------------
// Every export runs inside one ExportCall (guarded/guardedVoid in api/export.h); nested
// exports on the same thread count once. The objects behind the pointers above stay
// alive while any call is in flight: IO_DeleteRes takes them out of the pointers (so
// later calls see none and fail), then destroys them only when no other call is left.
void enterExportCall() noexcept;
void leaveExportCall() noexcept;
int exportCallsInFlight() noexcept;

// Destroys link and console (either may be null) once no call but the caller's is in
// flight. Waits at most timeoutMs; calls still running after that keep the objects
// alive and the last of them to leave destroys them. true when destroyed here.
bool retireObjects(CCommProtocol* link, CMyProtocl* console, int timeoutMs) noexcept;

// Serialises building and taking down the process-wide objects (IO_CreateRes,
// IO_DeleteRes) among themselves.
std::mutex& lifecycleLock() noexcept;

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
