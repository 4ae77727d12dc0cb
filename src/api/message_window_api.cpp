// Message windows for hosts on POSIX, and the link statistics beside them.

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

KESTRO_EXPORT(int) KestroGetLinkStatistics(KestroLinkStatistics* out) {
    return guarded(0, [&] {
        CCommProtocol* link = activeLink();
        if (!link || !out) return 0;
        link->m_Stats.snapshot(*out, link->m_ReplyLedger.lateAnswersAbsorbed(), link->m_nReconnections.load());
        return 1;
    });
}

#endif
