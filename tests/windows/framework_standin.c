/* A test-only stand-in for the framework's DLL, loaded as MFC42.DLL by
   framework_host_test.exe: a string constructor from a text at ordinal 537 and the string
   destructor at ordinal 800, both __thiscall, building strings in the framework's layout
   on msvcrt's heap and counting their calls. It shows that Kestro.dll, finding the
   framework's DLL in the process, builds and releases strings through it. Built with
   -DSTANDIN_WRONG_LAYOUT its constructor leaves the count at 0: Kestro.dll must then not
   use the pair. */

#include <stdlib.h>
#include <string.h>

typedef struct {
    long refs;
    int length;
    int allocLength;
} Header;

static volatile long constructed, destroyed;

__attribute__((thiscall)) void* standInConstruct(char** self, const char* text) {
    size_t n = text ? strlen(text) : 0;
    Header* h = malloc(sizeof(Header) + n + 1);
#ifdef STANDIN_WRONG_LAYOUT
    h->refs = 0;
#else
    h->refs = 1;
#endif
    h->length = (int)n;
    h->allocLength = (int)n;
    memcpy(h + 1, text ? text : "", n + 1);
    *self = (char*)(h + 1);
    ++constructed;
    return self;
}

__attribute__((thiscall)) void standInDestroy(char** self) {
    Header* h = (Header*)*self - 1;
    ++destroyed;
    if (h->refs >= 0 && --h->refs <= 0) free(h);
}

__declspec(dllexport) void standInCounts(long* c, long* d) {
    *c = constructed;
    *d = destroyed;
}
