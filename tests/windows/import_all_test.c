/* A host linked at load time against Kestro.lib that imports every export the DLL has,
   by name, C functions and class members, virtual tables and statics alike: it only
   starts if the loader binds them all. Each bound address must equal what GetProcAddress
   gives for the name.

   imports.h (written by run_wine_tests.sh from the import library's definitions) holds
   one IMPORT(name, symbol) line per export. The expected count is the first argument. */

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* The import address slots themselves: referring to them makes the loader bind them. */
#define IMPORT(n, name, symbol) extern void* imp##n __asm__("\"" symbol "\"");
#include "imports.h"
#undef IMPORT

struct Import {
    const char* name;
    void* const* slot;
};
#define IMPORT(n, name, symbol) {name, &imp##n},
static const struct Import imports[] = {
#include "imports.h"
};
#undef IMPORT

int main(int argc, char** argv) {
    const int expected = argc > 1 ? atoi(argv[1]) : -1;
    const int count = (int)(sizeof imports / sizeof imports[0]);
    HMODULE dll = GetModuleHandleA("Kestro.dll");
    int failed = 0, bound = 0;
    if (!dll) {
        printf("FAIL Kestro.dll is not loaded with the program\n");
        return 1;
    }
    for (int i = 0; i < count; ++i) {
        FARPROC byName = GetProcAddress(dll, imports[i].name);
        if (byName && (void*)byName == *imports[i].slot) {
            ++bound;
        } else {
            printf("FAIL %s: imported %p, by name %p\n", imports[i].name, *imports[i].slot, (void*)byName);
            ++failed;
        }
    }
    printf("%s the program started with %d load-time imports from Kestro.dll, each bound to its export\n",
           failed == 0 ? "ok  " : "FAIL", bound);
    if (expected >= 0 && count != expected) {
        printf("FAIL the import library names %d exports, the table marks %d implemented\n", count, expected);
        ++failed;
    } else if (expected >= 0) {
        printf("ok   that is every export the table marks implemented (%d of 305)\n", count);
    }
    return failed ? 1 : 0;
}
