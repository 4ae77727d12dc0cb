#pragma once
// The library as a host program sees it: loaded with dlopen, exports bound by name.

#include <cstdint>
#include <string>

#include <kestro/kestro_types.h>

namespace kestro::cli {

struct MessageView {
    uint32_t message;
    uintptr_t wParam;
    intptr_t lParam;
};

// The exports the tool uses. The first group is required; the others may be missing in
// an older library, and a command that needs one says so.
struct Api {
    void* handle = nullptr;
    std::string path;
    HWND (*createWindow)() = nullptr;
    int (*getMessage)(HWND, MessageView*, int) = nullptr;
    void (*destroyWindow)(HWND) = nullptr;
    int (*initGenerator)(HWND) = nullptr;
    int (*closeComm)(int) = nullptr;
    void (*deleteRes)() = nullptr;
    unsigned char* (*modelPointer)(int) = nullptr;
    int (*setDemoMode)(unsigned char, uint32_t) = nullptr;
    int (*commState)() = nullptr;
    KestroString (*errorMessage)(int) = nullptr;

    int (*radKV)(unsigned char, int) = nullptr;
    int (*radMA)(unsigned char, int) = nullptr;
    int (*radMS)(unsigned char, int) = nullptr;
    int (*radMX)(unsigned char, int) = nullptr;
    int (*setDllMode)(int) = nullptr;
    int (*stValue)() = nullptr;
    int (*fluoKV)(unsigned char, int) = nullptr;
    int (*fluoMA)(unsigned char, int) = nullptr;
    int (*fluoPPS)(unsigned char, int) = nullptr;
    int (*accTimer)(unsigned char) = nullptr;
    int (*intTimer)(unsigned char) = nullptr;
    int (*anodeHeat)(unsigned char) = nullptr;
    int (*housingHeat)() = nullptr;
    int (*postMAS)() = nullptr;
    int (*postTime)() = nullptr;
    int (*genKW)() = nullptr;
    int (*calibParameters)() = nullptr;
    int (*calibMA)() = nullptr;
    int (*calibFilament)() = nullptr;
    int (*calibKV)() = nullptr;
    int (*aecDensity)(unsigned char, int) = nullptr;

    // Any other export by name (null when the library has none).
    void* symbol(const char* name) const;
};

// Loads the library at path and binds the exports; false with a message when it cannot.
bool loadApi(Api& api, const std::string& path, std::string* error);

// The library of the build tree when the tool runs there, else the installed one
// (found through the tool's RUNPATH, then the system's search path).
std::string defaultLibrary();

}  // namespace kestro::cli
