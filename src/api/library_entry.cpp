// Load-time entry of the shared library: builds the process-wide objects when the
// library is loaded and destroys them when it is unloaded.

#include "api/app.h"

#if defined(_WIN32)

#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            if (!kestro::theApp().InitInstance()) {
                kestro::theApp().ExitInstance();
                return FALSE;
            }
            return TRUE;
        case DLL_PROCESS_DETACH:
            // At process exit (reserved non-null) the system has already ended every
            // other thread: there is nothing left to stop or join, and the system takes
            // back the memory. On FreeLibrary the objects are destroyed; a host that
            // still has the link threads running should call IO_DeleteRes first, so that
            // they are not joined while the loader lock is held.
            if (reserved == nullptr) kestro::theApp().ExitInstance();
            return TRUE;
        default:
            return TRUE;
    }
}

#else

namespace {

// A shared object cannot refuse its load on POSIX: when the objects cannot be built
// the pointers stay null and every export returns its failure value.
__attribute__((constructor)) void kestroLoad() {
    if (!kestro::theApp().InitInstance()) kestro::theApp().ExitInstance();
}

__attribute__((destructor)) void kestroUnload() { kestro::theApp().ExitInstance(); }

}  // namespace

#endif
