/* A host linked against the import library (Kestro.lib) with __stdcall declarations,
   as a program built with the DLL's import library is: the loader must bind the
   decorated references to the plain exports. Prints a summary; non-zero on failure. */

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <stdio.h>

__declspec(dllimport) int WINAPI IO_GetErrNumberUIReceived(int number);
__declspec(dllimport) int WINAPI IO_SetDllMode(int mode);

int main(void) {
    int failed = 0;
    HMODULE dll = GetModuleHandleA("Kestro.dll");
    FARPROC byName = dll ? GetProcAddress(dll, "IO_GetErrNumberUIReceived") : NULL;
    int bound = byName != NULL && (void (*)(void))byName == (void (*)(void))&IO_GetErrNumberUIReceived;
    printf("%s import of IO_GetErrNumberUIReceived binds the exported function\n", bound ? "ok  " : "FAIL");
    failed += !bound;
    int echoed = IO_GetErrNumberUIReceived(4711) == 4711;
    printf("%s IO_GetErrNumberUIReceived(4711) through the import library\n", echoed ? "ok  " : "FAIL");
    failed += !echoed;
    int refused = IO_SetDllMode(7) == 0;
    printf("%s IO_SetDllMode(7) refused through the import library\n", refused ? "ok  " : "FAIL");
    failed += !refused;
    printf("%d passed, %d failed\n", 3 - failed, failed);
    return failed;
}
