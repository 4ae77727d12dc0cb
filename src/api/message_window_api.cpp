// Message windows for hosts on POSIX.

#if !defined(_WIN32)

#include "api/export.h"
#include "platform/posix/message_window_posix.h"

using namespace kestro;

KESTRO_EXPORT(HWND) KestroCreateMessageWindow(void) {
    return guarded<HWND>(nullptr, [] { return platform::createMessageWindow(); });
}

KESTRO_EXPORT(int) KestroGetMessage(HWND window, KestroMessage* out, int timeoutMs) {
    return guarded(-1, [&] { return platform::getMessage(window, out, timeoutMs); });
}

KESTRO_EXPORT(void) KestroDestroyMessageWindow(HWND window) {
    guardedVoid([&] { platform::destroyMessageWindow(window); });
}

#endif
