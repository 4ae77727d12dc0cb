// The vendor's XL driver DLL, loaded at run time: every call by GetProcAddress. No
// vendor header or import library is needed to build.

#include <windows.h>

#include <mutex>

#include "transport/can_xl_api.h"

namespace kestro::xl {
namespace {

bool waitForEventWin32(XLhandle event, int timeoutMs) {
    if (!event) {
        Sleep(static_cast<DWORD>(timeoutMs));
        return false;
    }
    return WaitForSingleObject(static_cast<HANDLE>(event), static_cast<DWORD>(timeoutMs)) == WAIT_OBJECT_0;
}

template <typename F>
bool resolve(HMODULE module, const char* name, F*& target) {
    FARPROC p = GetProcAddress(module, name);
    if (!p) return false;
    target = reinterpret_cast<F*>(reinterpret_cast<void*>(p));
    return true;
}

bool load(Api& api) {
    api = Api{};
#if defined(_WIN64)
    const char* dll = "vxlapi64.dll";
#else
    const char* dll = "vxlapi.dll";
#endif
    HMODULE module = LoadLibraryA(dll);
    const bool ok = module != nullptr && resolve(module, "xlOpenDriver", api.xlOpenDriver) &&
          resolve(module, "xlGetDriverConfig", api.xlGetDriverConfig) &&
          resolve(module, "xlGetApplConfig", api.xlGetApplConfig) &&
          resolve(module, "xlSetApplConfig", api.xlSetApplConfig) &&
          resolve(module, "xlGetChannelMask", api.xlGetChannelMask) && resolve(module, "xlOpenPort", api.xlOpenPort) &&
          resolve(module, "xlCanSetChannelMode", api.xlCanSetChannelMode) &&
          resolve(module, "xlCanSetChannelAcceptance", api.xlCanSetChannelAcceptance) &&
          resolve(module, "xlCanAddAcceptanceRange", api.xlCanAddAcceptanceRange) &&
          resolve(module, "xlDeactivateChannel", api.xlDeactivateChannel) &&
          resolve(module, "xlCanSetChannelBitrate", api.xlCanSetChannelBitrate) &&
          resolve(module, "xlActivateChannel", api.xlActivateChannel) &&
          resolve(module, "xlCanTransmit", api.xlCanTransmit) && resolve(module, "xlReceive", api.xlReceive) &&
          resolve(module, "xlSetNotification", api.xlSetNotification) &&
          resolve(module, "xlClosePort", api.xlClosePort) && resolve(module, "xlCloseDriver", api.xlCloseDriver);
    api.waitForEvent = &waitForEventWin32;
    if (!ok && module) FreeLibrary(module);
    return ok;
}

}  // namespace

// Loaded once it could be; a driver installed later is found by the next open.
const Api* loadDriverApi() {
    static std::mutex lock;
    static Api api;
    static bool loaded = false;
    std::lock_guard<std::mutex> guard(lock);
    if (!loaded) loaded = load(api);
    return loaded ? &api : nullptr;
}

}  // namespace kestro::xl

namespace kestro {

// Without KESTRO_CAN the CAN link uses the vendor's driver.
const char* defaultCanBusSpec() { return ""; }

}  // namespace kestro
